#pragma once

// Included from sys.h; include that instead.
//
// Threads and synchronisation: critical sections (recursive), events and
// threads behind waitable handles, thread-local slots, tick counts, sleeps,
// interlocked operations on LONG.

#include <pthread.h>

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPDWORD = DWORD*;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID lpThreadParameter);

// A recursive lock: the thread that holds it may enter it again and must
// leave it as often as it entered.
struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

constexpr DWORD TLS_OUT_OF_INDEXES = 0xFFFFFFFF;
constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD STILL_ACTIVE = 259;

extern "C" {
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Events. The name is ignored: every event is private to its creator.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);

// Waits on an event (an auto-reset event is reset by the wait that it ends)
// or a thread (signalled once it has ended). An unknown handle gives
// WAIT_FAILED with ERROR_INVALID_HANDLE.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL CloseHandle(HANDLE hObject);

// Threads. CREATE_SUSPENDED is not supported (null, ERROR_NOT_SUPPORTED);
// the stack size is left to the system. The handle stays valid after the
// thread ends, until CloseHandle.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
DWORD GetCurrentThreadId();  // the kernel thread id (gettid)

// Thread-local slots: a slot that a thread never set reads 0, also after the
// slot was freed and allocated again.
DWORD TlsAlloc();
BOOL TlsFree(DWORD dwTlsIndex);
BOOL TlsSetValue(DWORD dwTlsIndex, LPVOID lpTlsValue);
LPVOID TlsGetValue(DWORD dwTlsIndex);  // sets the last error to 0 on success

// Milliseconds of a monotonic clock; the 32-bit form wraps after ~49.7 days.
DWORD GetTickCount();
ULONGLONG GetTickCount64();
void Sleep(DWORD dwMilliseconds);

LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand);

// The calling thread's last-error value (0 on a new thread); defined with
// the module loader.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
}  // extern "C"

namespace mv {

// Enters a critical section for the lifetime of the object.
class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
    ~CriticalSectionLock() { LeaveCriticalSection(&cs_); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& cs_;
};

// Replaces the clock behind GetTickCount/GetTickCount64 (milliseconds);
// nullptr restores the monotonic system clock.
using TickClockFunction = ULONGLONG (*)();
void SetTickClockForTesting(TickClockFunction clock);

// Replaces what Sleep does with a call of `sleep` with the milliseconds
// asked for (the caller returns at once when `sleep` does); nullptr
// restores real sleeping.
using SleepFunction = void (*)(DWORD milliseconds);
void SetSleepForTesting(SleepFunction sleep);

}  // namespace mv
