#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "com_test_support.h"

namespace {

using Counted = Stub<IUnknown>;

TEST(GlobalInterfaceTable, HandsOutTheObjectItselfOutsideApartments) {
    IGlobalInterfaceTable* git = Git();
    Counted obj;
    DWORD cookie = 0;
    ASSERT_EQ(git->RegisterInterfaceInGlobal(&obj, IID_IUnknown, &cookie), S_OK);
    EXPECT_EQ(obj.refs, 2u);
    struct Case {
        DWORD cookie;
        const IID* iid;
        HRESULT hr;
        bool same;
    };
    const Case cases[] = {{cookie, &IID_IUnknown, S_OK, true},
                          {cookie, &IID_IDispatch, E_NOINTERFACE, false},
                          {cookie + 1000, &IID_IUnknown, E_INVALIDARG, false},
                          {0, &IID_IUnknown, E_INVALIDARG, false}};
    for (const auto& c : cases) {
        IUnknown* p = reinterpret_cast<IUnknown*>(&obj) + 1;
        EXPECT_EQ(git->GetInterfaceFromGlobal(c.cookie, *c.iid, reinterpret_cast<void**>(&p)),
                  c.hr);
        EXPECT_EQ(p == &obj, c.same);
        if (c.same) {
            EXPECT_EQ(obj.refs, 3u);
            p->Release();
        } else {
            EXPECT_EQ(p, nullptr);
        }
    }
    DWORD bad = 5;
    EXPECT_EQ(git->RegisterInterfaceInGlobal(&obj, IID_IDispatch, &bad), E_NOINTERFACE);
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(git->RegisterInterfaceInGlobal(nullptr, IID_IUnknown, &bad), E_INVALIDARG);
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(obj.refs, 1u);
}

TEST(GlobalInterfaceTable, ThreadsRegisterAndRevokeAtOnce) {
    IGlobalInterfaceTable* git = Git();
    Counted obj;
    constexpr int kThreads = 4, kEach = 200;
    std::mutex m;
    std::set<DWORD> seen;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            std::vector<DWORD> mine;
            for (int i = 0; i < kEach; ++i) {
                DWORD c = 0;
                ASSERT_EQ(git->RegisterInterfaceInGlobal(&obj, IID_IUnknown, &c), S_OK);
                mine.push_back(c);
            }
            {
                std::lock_guard lock(m);
                for (DWORD c : mine) EXPECT_TRUE(seen.insert(c).second) << c;
            }
            for (DWORD c : mine) {
                IUnknown* p = nullptr;
                ASSERT_EQ(
                    git->GetInterfaceFromGlobal(c, IID_IUnknown, reinterpret_cast<void**>(&p)),
                    S_OK);
                p->Release();
                EXPECT_EQ(git->RevokeInterfaceFromGlobal(c), S_OK);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(obj.refs, 1u);
    // Cookies are small counters, not addresses.
    EXPECT_LT(*seen.rbegin() - *seen.begin(), 100000u);
}

}  // namespace
