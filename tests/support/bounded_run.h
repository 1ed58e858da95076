// Work run under a bound: a time limit that ends the process instead of
// letting a hang stall the suite, or a thread with a stack of a given size.
#pragma once

#include <alloca.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <initializer_list>

namespace mv::test {

// Runs `work` on a thread of its own and ends the process when it does not
// finish within the limit, so a deadlock or an endless loop fails instead of
// hanging.
template <class Work>
void WithinLimit(std::chrono::seconds limit, Work work) {
    std::future<void> done = std::async(std::launch::async, work);
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr,
                     "the work did not finish within the limit (deadlock or endless loop?)\n");
        std::abort();
    }
    done.get();
}

namespace detail {

// Starts a thread with `attr`, runs `work` on it and waits for it.
inline void RunOnThread(pthread_attr_t& attr, std::function<void()>& work, size_t bytes,
                        size_t pad) {
    struct Run {
        std::function<void()>* work;
        size_t bytes;
        size_t pad;
    } run{&work, bytes, pad};
    auto start = [](void* r) -> void* {
        const Run& run = *static_cast<Run*>(r);
        size_t pad = run.pad;
        pthread_attr_t own;
        if (pthread_getattr_np(pthread_self(), &own) == 0) {
            void* low = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&own, &low, &size) == 0) {
                const size_t room = static_cast<size_t>(
                    static_cast<char*>(__builtin_frame_address(0)) - static_cast<char*>(low));
                if (room > run.bytes) pad += room - run.bytes;
            }
            pthread_attr_destroy(&own);
        }
        volatile char* taken = static_cast<char*>(alloca(pad + 1));
        taken[0] = 0;
        (*run.work)();
        taken[pad] = 0;  // the pad is used after the work, so it stays
        return nullptr;
    };
    pthread_t thread;
    const int made = pthread_create(&thread, &attr, start, &run);
    pthread_attr_destroy(&attr);
    ASSERT_EQ(made, 0);
    pthread_join(thread, nullptr);
}

}  // namespace detail

// Runs `work` on a new thread whose whole stack is `bytes`, and waits for it.
// The thread first takes `pad` bytes of its stack, so that the work starts
// that much deeper: a stack check can then be tried at several depths, as at
// one depth a crash may miss by luck. Room the thread is given beyond `bytes`
// (ThreadSanitizer gives small stacks more) is taken too.
inline void OnThreadWithStack(size_t bytes, std::function<void()> work, size_t pad = 0) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, bytes), 0);
    detail::RunOnThread(attr, work, bytes, pad);
}

// Runs `work` on a new thread whose stack is the caller's memory
// [low, low + bytes), with no guard page below it, and waits for it.
inline void OnThreadOnStack(void* low, size_t bytes, std::function<void()> work) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstack(&attr, low, bytes), 0);
    detail::RunOnThread(attr, work, bytes, 0);
}

// Runs `work` on a new thread of each stack size in turn, entered at several
// depths of it, each depth named in the test's trace.
inline void OnThreadsAtSeveralDepths(std::initializer_list<size_t> stacks,
                                     const std::function<void()>& work) {
    for (size_t stack : stacks)
        for (size_t pad : {0, 3 * 1024, 7 * 1024})
            OnThreadWithStack(
                stack,
                [&] {
                    SCOPED_TRACE(testing::Message()
                                 << stack / 1024 << " KB stack, " << pad << " bytes taken");
                    work();
                },
                pad);
}

}  // namespace mv::test
