#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "apartment.h"
#include "com_test_support.h"

namespace {

// An IDispatch object that notes the thread of every call and whether two
// calls ever overlapped.
// An IDispatch object that notes the thread of every call and whether two
// calls ever overlapped.
class Recorder final : public Stub<IDispatch> {
public:
    void Released() override {
        std::lock_guard lock(m);
        releasedOn = std::this_thread::get_id();
    }
    HRESULT GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID* ids) override {
        Note();
        ids[0] = 7;
        return S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (inside.exchange(true)) overlapped = true;
        Note();
        ++calls;
        if (result) {
            result->vt = VT_I4;
            result->lVal = id;
        }
        inside = false;
        return S_OK;
    }
    void Note() {
        std::lock_guard lock(m);
        lastThread = std::this_thread::get_id();
    }
    std::thread::id LastThread() {
        std::lock_guard lock(m);
        return lastThread;
    }
    std::thread::id ReleasedOn() {
        std::lock_guard lock(m);
        return releasedOn;
    }

    std::atomic<bool> inside{false}, overlapped{false};
    std::atomic<int> calls{0};
    std::mutex m;
    std::thread::id lastThread, releasedOn;
};

TEST(Apartment, RunsTasksOnItsThreadInOrder) {
    mv::Apartment apt;
    std::thread::id initOn;
    ASSERT_TRUE(apt.Start([&] { initOn = std::this_thread::get_id(); }));
    EXPECT_FALSE(apt.Start());
    EXPECT_EQ(initOn, apt.ThreadId());
    EXPECT_NE(initOn, std::this_thread::get_id());

    std::vector<int> order;
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(apt.Post([&order, i] { order.push_back(i); }));
    std::thread::id ranOn;
    bool current = false;
    EXPECT_EQ(apt.RunSync([&] {
        ranOn = std::this_thread::get_id();
        current = mv::Apartment::Current() == &apt;
    }),
              S_OK);
    EXPECT_EQ(ranOn, apt.ThreadId());
    EXPECT_TRUE(current);
    EXPECT_EQ(mv::Apartment::Current(), nullptr);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_THROW(apt.RunSync([] { throw std::runtime_error("inside"); }), std::runtime_error);
}

TEST(Apartment, AStoppedApartmentAnswersInsteadOfHanging) {
    mv::Apartment apt;
    bool exitRan = false;
    ASSERT_TRUE(apt.Start({}, [&] { exitRan = true; }));
    int ranBeforeQuit = 0;
    apt.Post([&] { ++ranBeforeQuit; });
    apt.Quit();
    EXPECT_TRUE(apt.Join());
    EXPECT_EQ(ranBeforeQuit, 1);
    EXPECT_TRUE(exitRan);
    EXPECT_FALSE(apt.IsRunning());
    EXPECT_EQ(apt.RunSync([] {}), RPC_E_DISCONNECTED);
    EXPECT_FALSE(apt.Post([] {}));
}

TEST(Apartment, TwoApartmentsCanCallEachOther) {
    mv::Apartment a, b;
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    std::thread::id innerOn;
    HRESULT inner = E_FAIL;
    // a waits for b, which calls back into a: a keeps serving its queue.
    EXPECT_EQ(a.RunSync([&] {
        EXPECT_EQ(
            b.RunSync([&] { inner = a.RunSync([&] { innerOn = std::this_thread::get_id(); }); }),
            S_OK);
    }),
              S_OK);
    EXPECT_EQ(inner, S_OK);
    EXPECT_EQ(innerOn, a.ThreadId());
}

TEST(ApartmentGit, ObjectsOfTheApartmentAreReachedThroughProxies) {
    auto* obj = new Recorder;
    mv::Apartment apt;
    IGlobalInterfaceTable* git = Git();
    DWORD cookie = 0;
    ASSERT_TRUE(apt.Start([&] {
        EXPECT_EQ(git->RegisterInterfaceInGlobal(obj, IID_IDispatch, &cookie), S_OK);
        obj->Release();  // the table's reference keeps it
    }));

    IDispatch* proxy = nullptr;
    ASSERT_EQ(git->GetInterfaceFromGlobal(cookie, IID_IDispatch, reinterpret_cast<void**>(&proxy)),
              S_OK);
    EXPECT_NE(proxy, static_cast<IDispatch*>(obj));
    EXPECT_EQ(CallMethod(proxy, 5), 5);
    EXPECT_EQ(obj->LastThread(), apt.ThreadId());
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(u"Name");
    EXPECT_EQ(proxy->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 7);

    struct Case {
        const IID* iid;
        HRESULT hr;
    };
    const Case cases[] = {
        {&IID_IUnknown, S_OK}, {&IID_IDispatch, S_OK}, {&IID_IClassFactory, E_NOINTERFACE}};
    for (const auto& c : cases) {
        IUnknown* p = nullptr;
        EXPECT_EQ(proxy->QueryInterface(*c.iid, reinterpret_cast<void**>(&p)), c.hr);
        if (p) p->Release();
    }
    // On its own thread the table hands out the object itself.
    IDispatch* direct = nullptr;
    apt.RunSync([&] {
        git->GetInterfaceFromGlobal(cookie, IID_IDispatch, reinterpret_cast<void**>(&direct));
    });
    EXPECT_EQ(direct, static_cast<IDispatch*>(obj));
    apt.RunSync([&] { direct->Release(); });

    // Many callers at once: every call runs on the apartment, one at a time.
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] {
            IDispatch* p = nullptr;
            ASSERT_EQ(
                git->GetInterfaceFromGlobal(cookie, IID_IDispatch, reinterpret_cast<void**>(&p)),
                S_OK);
            for (int i = 0; i < 50; ++i) CallMethod(p, i);
            p->Release();
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(obj->calls, 1 + 4 * 50);
    EXPECT_FALSE(obj->overlapped);

    // Revoked from this thread: released on the apartment's thread.
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
    proxy->Release();
    apt.RunSync([] {});  // the releases were queued before this
    EXPECT_EQ(obj->refs, 0u);
    EXPECT_EQ(obj->ReleasedOn(), apt.ThreadId());
    apt.Quit();
    apt.Join();
    delete obj;
}

TEST(ApartmentGit, ProxiesOfAStoppedApartmentAreDisconnected) {
    auto* obj = new Recorder;
    auto apt = std::make_unique<mv::Apartment>();
    IGlobalInterfaceTable* git = Git();
    DWORD cookie = 0;
    ASSERT_TRUE(apt->Start([&] {
        git->RegisterInterfaceInGlobal(obj, IID_IDispatch, &cookie);
        obj->Release();
    }));
    IDispatch* proxy = nullptr;
    ASSERT_EQ(git->GetInterfaceFromGlobal(cookie, IID_IDispatch, reinterpret_cast<void**>(&proxy)),
              S_OK);
    std::thread::id aptThread = apt->ThreadId();
    apt->Quit();
    apt->Join();
    // The apartment let go of everything on its own thread before it ended.
    EXPECT_EQ(obj->refs, 0u);
    EXPECT_EQ(obj->ReleasedOn(), aptThread);

    CallMethod(proxy, 1, RPC_E_DISCONNECTED);
    IUnknown* again = nullptr;
    EXPECT_EQ(git->GetInterfaceFromGlobal(cookie, IID_IUnknown, reinterpret_cast<void**>(&again)),
              RPC_E_DISCONNECTED);
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    proxy->Release();
    apt.reset();
    delete obj;
}

}  // namespace
