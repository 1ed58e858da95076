// Waitable handles (events and threads), waits and threads.
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "sys.h"

namespace {

// A kernel-object stand-in: a signalled state guarded by a mutex.
class Waitable {
public:
    virtual ~Waitable() = default;

    // True when the object was signalled within the timeout.
    bool Wait(DWORD ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [this] { return signalled_; };
        if (ms == INFINITE) {
            changed_.wait(lock, ready);
        } else if (!changed_.wait_for(lock, std::chrono::milliseconds(ms), ready)) {
            return false;
        }
        if (!manualReset_) signalled_ = false;
        return true;
    }

    void Signal() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        if (manualReset_) {
            changed_.notify_all();
        } else {
            changed_.notify_one();
        }
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }

protected:
    Waitable(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}
    std::mutex mutex_;

private:
    std::condition_variable changed_;
    const bool manualReset_;
    bool signalled_;
};

class Event final : public Waitable {
public:
    Event(bool manualReset, bool signalled) : Waitable(manualReset, signalled) {}
};

// A thread stays signalled once it has ended (a manual-reset state).
class ThreadObject final : public Waitable {
public:
    ThreadObject() : Waitable(true, false) {}

    void Finish(DWORD code) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            exitCode_ = code;
            running_ = false;
        }
        Signal();
    }

    DWORD ExitCode() {
        std::lock_guard<std::mutex> lock(mutex_);
        return running_ ? STILL_ACTIVE : exitCode_;
    }

private:
    DWORD exitCode_ = 0;
    bool running_ = true;
};

struct HandleTable {
    std::mutex lock;
    std::unordered_map<HANDLE, std::shared_ptr<Waitable>> objects;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable;  // never destroyed: threads may outlive statics
    return *table;
}

HANDLE Register(std::shared_ptr<Waitable> object) {
    HANDLE h = object.get();
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> guard(t.lock);
    t.objects.emplace(h, std::move(object));
    return h;
}

std::shared_ptr<Waitable> Lookup(HANDLE h) {
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(h);
    if (it == t.objects.end()) return nullptr;
    return it->second;
}

HANDLE NewEvent(BOOL manualReset, BOOL initialState) {
    try {
        return Register(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

}  // namespace

extern "C" {

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    return NewEvent(manualReset, initialState);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    return NewEvent(manualReset, initialState);
}

BOOL SetEvent(HANDLE h) {
    auto object = Lookup(h);
    auto* event = dynamic_cast<Event*>(object.get());
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Signal();
    return TRUE;
}

BOOL ResetEvent(HANDLE h) {
    auto object = Lookup(h);
    auto* event = dynamic_cast<Event*>(object.get());
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
    auto object = Lookup(h);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->Wait(ms) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE h) {
    HandleTable& t = Handles();
    std::shared_ptr<Waitable> doomed;  // destroyed outside the table lock
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(h);
    if (it == t.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    doomed = std::move(it->second);
    t.objects.erase(it);
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, LPDWORD threadId) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags & CREATE_SUSPENDED) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    try {
        auto object = std::make_shared<ThreadObject>();
        // The new thread reports its id before CreateThread returns.
        std::mutex idLock;
        std::condition_variable idReady;
        DWORD id = 0;
        std::thread worker([object, start, param, &idLock, &idReady, &id] {
            {
                // Notified under the lock: the creator may return, and its
                // condition variable go, as soon as the lock is released.
                std::lock_guard<std::mutex> lock(idLock);
                id = GetCurrentThreadId();
                idReady.notify_one();
            }
            object->Finish(start(param));
        });
        {
            std::unique_lock<std::mutex> lock(idLock);
            idReady.wait(lock, [&id] { return id != 0; });
        }
        worker.detach();
        if (threadId) *threadId = id;
        return Register(std::move(object));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return nullptr;
}

BOOL GetExitCodeThread(HANDLE h, LPDWORD exitCode) {
    auto object = Lookup(h);
    auto* thread = dynamic_cast<ThreadObject*>(object.get());
    if (!thread || !exitCode) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = thread->ExitCode();
    return TRUE;
}

}  // extern "C"
