#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "sys.h"

namespace {

struct Shared {
    CRITICAL_SECTION cs;
    HANDLE go = nullptr;
    LONG volatile counter = 0;
    LONG plain = 0;
    DWORD slot = 0;
    std::atomic<int> zeroSlots{0};
};

DWORD Worker(LPVOID p) {
    auto* s = static_cast<Shared*>(p);
    WaitForSingleObject(s->go, INFINITE);
    if (TlsGetValue(s->slot) == nullptr) ++s->zeroSlots;
    for (int i = 0; i < 1000; ++i) {
        InterlockedIncrement(&s->counter);
        mv::CriticalSectionLock outer(s->cs);
        mv::CriticalSectionLock inner(s->cs);  // recursive entry
        ++s->plain;
    }
    return 42;
}

TEST(ThreadConcurrency, ThreadsSerialiseThroughLocksAndEndWithTheirCode) {
    Shared s;
    InitializeCriticalSection(&s.cs);
    s.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s.slot = TlsAlloc();
    int mine = 0;
    TlsSetValue(s.slot, &mine);  // set on this thread only

    std::vector<HANDLE> threads;
    for (int i = 0; i < 4; ++i) {
        DWORD id = 0;
        HANDLE h = CreateThread(nullptr, 0, Worker, &s, 0, &id);
        ASSERT_NE(h, nullptr);
        EXPECT_NE(id, 0u);
        EXPECT_NE(id, GetCurrentThreadId());
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(h, &code));
        threads.push_back(h);
    }
    ASSERT_TRUE(SetEvent(s.go));
    for (HANDLE h : threads) {
        EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0) << "stays signalled";
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(h, &code));
        EXPECT_EQ(code, 42u);
        EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(s.counter, 4000);
    EXPECT_EQ(s.plain, 4000);
    EXPECT_EQ(s.zeroSlots.load(), 4);
    EXPECT_EQ(TlsGetValue(s.slot), &mine);
    TlsFree(s.slot);
    CloseHandle(s.go);
    DeleteCriticalSection(&s.cs);
}

TEST(ThreadConcurrency, AutoResetEventReleasesOneWaiterPerSignal) {
    struct Ping {
        HANDLE request;
        HANDLE reply;
        LONG volatile handled;
    } ping{CreateEventA(nullptr, FALSE, FALSE, nullptr),
           CreateEventA(nullptr, FALSE, FALSE, nullptr), 0};
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* q = static_cast<Ping*>(p);
            for (int i = 0; i < 3; ++i) {
                WaitForSingleObject(q->request, INFINITE);
                InterlockedIncrement(&q->handled);
                SetEvent(q->reply);
            }
            return 0;
        },
        &ping, 0, nullptr);
    ASSERT_NE(t, nullptr);
    for (int i = 1; i <= 3; ++i) {
        SetEvent(ping.request);
        ASSERT_EQ(WaitForSingleObject(ping.reply, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(ping.handled, i);
    }
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    CloseHandle(ping.request);
    CloseHandle(ping.reply);
}

TEST(ThreadConcurrency, SlotValuesAndUserNamesArePerThread) {
    const DWORD slot = TlsAlloc();
    int mine = 1;
    TlsSetValue(slot, &mine);
    mv::SetThreadUserNameForTesting("client");
    struct Seen {
        DWORD slot;
        bool zero = false;
        char user[64] = {};
    } seen{slot};
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* s = static_cast<Seen*>(p);
            s->zero = TlsGetValue(s->slot) == nullptr;
            DWORD size = sizeof s->user;
            GetUserNameA(s->user, &size);
            return 0;
        },
        &seen, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_TRUE(seen.zero);
    EXPECT_STRNE(seen.user, "client");
    EXPECT_EQ(TlsGetValue(slot), &mine);
    mv::SetThreadUserNameForTesting(nullptr);
    TlsFree(slot);
}

}  // namespace
