#include <gtest/gtest.h>

#include "sys.h"

namespace {

TEST(CriticalSection, IsRecursiveForTheOwningThread) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    {
        mv::CriticalSectionLock lock(cs);
        EXPECT_TRUE(TryEnterCriticalSection(&cs));
        LeaveCriticalSection(&cs);
    }
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    DeleteCriticalSection(&cs);
}

TEST(Interlocked, ReturnsTheDocumentedValues) {
    struct Case {
        const char* what;
        LONG start;
        LONG (*op)(LONG volatile*);
        LONG result;
        LONG after;
    };
    const Case cases[] = {
        {"increment", 5, [](LONG volatile* v) { return InterlockedIncrement(v); }, 6, 6},
        {"decrement", 5, [](LONG volatile* v) { return InterlockedDecrement(v); }, 4, 4},
        {"increment wraps", INT32_MAX, [](LONG volatile* v) { return InterlockedIncrement(v); },
         INT32_MIN, INT32_MIN},
        {"exchange", 5, [](LONG volatile* v) { return InterlockedExchange(v, 9); }, 5, 9},
        {"compare-exchange hit", 5,
         [](LONG volatile* v) { return InterlockedCompareExchange(v, 9, 5); }, 5, 9},
        {"compare-exchange miss", 5,
         [](LONG volatile* v) { return InterlockedCompareExchange(v, 9, 4); }, 5, 5},
    };
    for (const Case& c : cases) {
        LONG volatile value = c.start;
        EXPECT_EQ(c.op(&value), c.result) << c.what;
        EXPECT_EQ(value, c.after) << c.what;
    }
}

ULONGLONG g_fakeTicks = 0;

TEST(TickCount, ThirtyTwoBitFormWrapsWhileTheWideFormDoesNot) {
    mv::SetTickClockForTesting([] { return g_fakeTicks; });
    const struct {
        ULONGLONG ticks;
        DWORD narrow;
    } cases[] = {{0, 0}, {0xFFFFFFFFull, 0xFFFFFFFFu}, {0x100000000ull, 0}, {0x100000005ull, 5}};
    for (const auto& c : cases) {
        g_fakeTicks = c.ticks;
        EXPECT_EQ(GetTickCount(), c.narrow) << c.ticks;
        EXPECT_EQ(GetTickCount64(), c.ticks);
    }
    mv::SetTickClockForTesting(nullptr);
    const ULONGLONG a = GetTickCount64();
    EXPECT_GE(GetTickCount64(), a);
}

DWORD g_sleptFor = 0;

TEST(Sleep, TestHookTakesThePauseInsteadOfTheClock) {
    mv::SetSleepForTesting([](DWORD ms) { g_sleptFor += ms; });
    Sleep(3600000);  // an hour
    Sleep(1000);
    mv::SetSleepForTesting(nullptr);
    EXPECT_EQ(g_sleptFor, 3601000u);
    Sleep(0);
    EXPECT_EQ(g_sleptFor, 3601000u);
}

TEST(Event, SignalledStateFollowsTheResetMode) {
    struct Case {
        const char* what;
        BOOL manual;
        BOOL initial;
        DWORD firstWait;
        DWORD secondWait;
    };
    const Case cases[] = {
        {"auto-reset, set", FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {"manual-reset, set", TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {"auto-reset, clear", FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {"manual-reset, clear", TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const Case& c : cases) {
        HANDLE e = CreateEventA(nullptr, c.manual, c.initial, nullptr);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(WaitForSingleObject(e, 0), c.firstWait) << c.what;
        EXPECT_EQ(WaitForSingleObject(e, 0), c.secondWait) << c.what;
        EXPECT_TRUE(SetEvent(e));
        EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0) << c.what;
        EXPECT_TRUE(ResetEvent(e));
        EXPECT_EQ(WaitForSingleObject(e, 1), WAIT_TIMEOUT) << c.what;
        EXPECT_TRUE(CloseHandle(e));
    }
}

TEST(Handles, UnknownOrClosedHandlesFailWithoutCrashing) {
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(e));
    int local = 0;
    for (HANDLE h :
         {e, static_cast<HANDLE>(&local), static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(SetEvent(h));
        EXPECT_FALSE(ResetEvent(h));
        EXPECT_FALSE(CloseHandle(h));
    }
}

TEST(Tls, UnsetAndReallocatedSlotsReadZero) {
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    EXPECT_EQ(TlsGetValue(slot), nullptr);
    int marker = 0;
    ASSERT_TRUE(TlsSetValue(slot, &marker));
    EXPECT_EQ(TlsGetValue(slot), &marker);
    ASSERT_TRUE(TlsFree(slot));
    EXPECT_FALSE(TlsFree(slot)) << "freeing twice";
    const DWORD again = TlsAlloc();
    ASSERT_EQ(again, slot) << "the lowest free slot is handed out again";
    EXPECT_EQ(TlsGetValue(again), nullptr);
    TlsFree(again);
    EXPECT_EQ(TlsGetValue(TLS_OUT_OF_INDEXES), nullptr);
    EXPECT_FALSE(TlsSetValue(TLS_OUT_OF_INDEXES, &marker));
}

TEST(Thread, CreateSuspendedIsRefused) {
    SetLastError(0);
    HANDLE h = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

}  // namespace
