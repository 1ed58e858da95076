// Critical sections, interlocked operations, tick counts and sleeps.
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sys.h"

extern "C" {

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_lock(&cs->mutex);
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    return pthread_mutex_trylock(&cs->mutex) == 0 ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_unlock(&cs->mutex);
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_destroy(&cs->mutex);
}

LONG InterlockedIncrement(LONG volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comperand) {
    LONG expected = comperand;
    __atomic_compare_exchange_n(destination, &expected, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;  // the initial value, whether or not it was replaced
}

}  // extern "C"

namespace {

std::atomic<mv::TickClockFunction> g_tickClock{nullptr};
std::atomic<mv::SleepFunction> g_sleep{nullptr};

// The tick count only ever had the resolution of the system's timer tick
// (milliseconds at best), so the coarse clock, which the kernel keeps at
// that resolution and which costs a fraction of a precise read, is the
// faithful source; every calculation run reads it twice.
ULONGLONG MonotonicMilliseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000u +
           static_cast<ULONGLONG>(ts.tv_nsec) / 1000000u;
}

}  // namespace

namespace mv {
void SetTickClockForTesting(TickClockFunction clock) {
    g_tickClock.store(clock);
}
void SetSleepForTesting(SleepFunction sleep) {
    g_sleep.store(sleep);
}
}  // namespace mv

extern "C" {

ULONGLONG GetTickCount64() {
    mv::TickClockFunction clock = g_tickClock.load();
    return clock ? clock() : MonotonicMilliseconds();
}

DWORD GetTickCount() {
    return static_cast<DWORD>(GetTickCount64() & 0xFFFFFFFFu);
}

void Sleep(DWORD ms) {
    if (mv::SleepFunction hook = g_sleep.load()) {
        hook(ms);
        return;
    }
    if (ms == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // extern "C"
