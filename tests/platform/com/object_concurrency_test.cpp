// Reference counts, error information and Invoke from several threads at
// once on shared objects.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comobj_test_widget.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 2000;

template <class Fn>
void RunOnThreads(Fn fn) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(fn, t);
    for (std::thread& th : threads) th.join();
}

TEST(ObjectConcurrencyTest, AddRefReleaseAndQueryInterfaceBalance) {
    mv::ComPtr<ITestWidget> widget = MakeWidget();
    RunOnThreads([&](int) {
        for (int i = 0; i < kRounds; ++i) {
            widget->AddRef();
            mv::ComPtr<IDispatch> disp;
            EXPECT_EQ(S_OK, widget.As(&disp));
            mv::ComPtr<ISupportErrorInfo> support;
            EXPECT_EQ(S_OK, disp.As(&support));
            widget->Release();
        }
    });
    // Exactly one reference is left: the next release destroys the object.
    EXPECT_EQ(1, mv::ModuleLockCount());
    EXPECT_EQ(2u, widget->AddRef());
    EXPECT_EQ(1u, widget->Release());
    widget.Reset();
    EXPECT_EQ(0, mv::ModuleLockCount());
}

TEST(ObjectConcurrencyTest, ErrorInformationStaysOnItsThread) {
    mv::ComPtr<ITestWidget> widget = MakeWidget();
    IDispatch* disp = widget.get();
    RunOnThreads([&](int t) {
        const std::u16string mine = u"thread " + mv::ToUtf16(std::to_string(t));
        for (int i = 0; i < kRounds / 4; ++i) {
            mv::ReportError(u"Test.Thread", IID_ITestWidget, mine, E_FAIL);
            mv::ComPtr<IErrorInfo> info;
            ASSERT_EQ(S_OK, GetErrorInfo(0, info.Put()));
            mv::Bstr text;
            info->GetDescription(text.Out());
            EXPECT_EQ(mine, text.view());

            // A failing member called through Invoke reports on this thread.
            mv::Variant code(static_cast<LONG>(E_ABORT));
            DISPPARAMS dp{&code, nullptr, 1, 0};
            EXCEPINFO ei{};
            EXPECT_EQ(DISP_E_EXCEPTION,
                      disp->Invoke(24, IID_NULL, 0, DISPATCH_METHOD, &dp, nullptr, &ei, nullptr));
            EXPECT_EQ(E_ABORT, ei.scode);
            EXPECT_EQ(u"Widget failed on purpose", mv::Bstr::Attach(ei.bstrDescription).view());
            SysFreeString(ei.bstrSource);

            // Concurrent puts and gets on one object.
            mv::Variant value(static_cast<LONG>(i));
            DISPID put = DISPID_PROPERTYPUT;
            DISPPARAMS pp{&value, &put, 1, 1};
            EXPECT_EQ(S_OK, disp->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &pp, nullptr,
                                         nullptr, nullptr));
            mv::Variant got;
            EXPECT_EQ(S_OK, mv::DispGetProperty(disp, 1, &got));
            EXPECT_EQ(VT_I4, got.vt);
        }
        SetErrorInfo(0, nullptr);
    });
    widget.Reset();
    EXPECT_EQ(0, mv::ModuleLockCount());
}

// A thread that ends with an error object still stored lets go of it; one
// that cleared or read it, or stored nothing, leaves nothing behind either.
TEST(ObjectConcurrencyTest, ThreadEndReleasesTheStoredErrorInformation) {
    enum class Last { Nothing, Left, Cleared, Read, ReplacedThenLeft, StoredTwice };
    const struct {
        Last last;
        const char* what;
    } cases[] = {
        {Last::Nothing, "nothing stored"},
        {Last::Left, "left in the slot"},
        {Last::Cleared, "cleared with null"},
        {Last::Read, "read back"},
        {Last::ReplacedThenLeft, "replaced, the newer left"},
        {Last::StoredTwice, "the same object stored twice"},
    };
    // What is left of the count once the test's own reference is all.
    auto others = [](IErrorInfo* info) {
        info->AddRef();
        return info->Release() - 1;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        mv::ComPtr<ICreateErrorInfo> first, second;
        ASSERT_EQ(S_OK, CreateErrorInfo(first.Put()));
        ASSERT_EQ(S_OK, CreateErrorInfo(second.Put()));
        mv::ComPtr<IErrorInfo> kept, newer;
        ASSERT_EQ(S_OK, first.As(&kept));
        ASSERT_EQ(S_OK, second.As(&newer));
        first.Reset();
        second.Reset();
        RunOnThreads([&](int) {
            if (c.last == Last::Nothing) return;
            EXPECT_EQ(S_OK, SetErrorInfo(0, kept.get()));
            if (c.last == Last::StoredTwice) {
                EXPECT_EQ(S_OK, SetErrorInfo(0, kept.get()));
            }
            if (c.last == Last::ReplacedThenLeft) {
                EXPECT_EQ(S_OK, SetErrorInfo(0, newer.get()));
            }
            if (c.last == Last::Cleared) {
                EXPECT_EQ(S_OK, SetErrorInfo(0, nullptr));
            }
            if (c.last == Last::Read) {
                mv::ComPtr<IErrorInfo> info;
                EXPECT_EQ(S_OK, GetErrorInfo(0, info.Put()));
                EXPECT_EQ(kept.get(), info.get());
            }
        });
        EXPECT_EQ(0u, others(kept.get()));
        EXPECT_EQ(0u, others(newer.get()));
    }
}

// The object lock excludes other threads at every depth of re-entry and
// lets none of them in until the outermost hold ends; a thread that waits
// is woken when it ends.
TEST(ObjectConcurrencyTest, TheObjectLockIsReentrantAndExcludesOtherThreads) {
    mv::RecursiveLock lock;
    long counter = 0;  // guarded by the lock; a lost update shows a fault
    int inside = 0;
    RunOnThreads([&](int t) {
        for (int i = 0; i < kRounds; ++i) {
            std::lock_guard outer(lock);
            const int depth = 1 + (i + t) % 3;
            for (int d = 0; d < depth; ++d) lock.lock();
            EXPECT_EQ(0, inside++);
            ++counter;
            if (i % 97 == 0) std::this_thread::yield();
            --inside;
            for (int d = 0; d < depth; ++d) lock.unlock();
        }
    });
    EXPECT_EQ(long{kThreads} * kRounds, counter);

    // try_lock: taken again by the owner at any depth, refused to another
    // thread until the last release.
    ASSERT_TRUE(lock.try_lock());
    ASSERT_TRUE(lock.try_lock());
    auto other = [&] {
        bool taken = true;
        std::thread([&] {
            taken = lock.try_lock();
            if (taken) lock.unlock();
        }).join();
        return taken;
    };
    EXPECT_FALSE(other());
    lock.unlock();
    EXPECT_FALSE(other());
    lock.unlock();
    EXPECT_TRUE(other());
}

}  // namespace
