// Per-thread data let go at the thread's end without the C library's
// thread-exit registration.
//
// A thread_local object with a destructor registers that destructor with
// the C library at the thread's first use, and the C library ends the
// process when it cannot get memory for the registration. A key of the C
// library's thread-specific data is created once per process instead, and
// setting a thread's value in one of the process's first keys takes no
// memory (in a later key it fails with a code).
#pragma once

#include <pthread.h>

#include <new>

namespace mv {

// One key per process whose value, when a thread leaves one set, is handed
// to `atExit` at the thread's end. Never deleted: threads may end after the
// library's static objects are gone.
class ThreadExitKey {
public:
    explicit ThreadExitKey(void (*atExit)(void* value)) noexcept
        : made_(pthread_key_create(&key_, atExit) == 0) {}
    ThreadExitKey(const ThreadExitKey&) = delete;
    ThreadExitKey& operator=(const ThreadExitKey&) = delete;

    // Hands `value` (not null) to atExit at the calling thread's end; false
    // when that cannot be arranged.
    bool Set(void* value) noexcept { return made_ && pthread_setspecific(key_, value) == 0; }

private:
    pthread_key_t key_{};
    bool made_;
};

// A T of the calling thread, made at its first need and destroyed at the
// thread's end. Reading it costs a thread_local pointer. `Tag` tells apart
// two users of the same T.
template <class T, class Tag = T>
class ThreadOwned {
public:
    // This thread's object; null when it has none yet.
    static T* Find() noexcept { return t_object; }

    // This thread's object, made when it has none; null when memory for it,
    // or the arrangement to destroy it, cannot be had.
    static T* Get() noexcept {
        if (t_object) return t_object;
        T* made = new (std::nothrow) T();
        if (!made) return nullptr;
        if (!Key().Set(made)) {
            delete made;
            return nullptr;
        }
        return t_object = made;
    }

private:
    static void Destroy(void* object) noexcept {
        t_object = nullptr;
        delete static_cast<T*>(object);
    }
    static ThreadExitKey& Key() noexcept {
        static ThreadExitKey key(&Destroy);
        return key;
    }

    static inline thread_local T* t_object = nullptr;
};

}  // namespace mv
