#include "frame/tagged_lock.h"

#include <cstdio>
#include <cstdlib>

TaggedLock g_CalcCacheLock;
TaggedLock g_PublishLock;
TaggedLock g_LibraryTimeLock;

void TaggedLockInitialize(TaggedLock& lock) {
    lock.tag = 0;
    InitializeCriticalSection(&lock.cs);
}

void TaggedLockDelete(TaggedLock& lock) {
    DeleteCriticalSection(&lock.cs);
}

#ifndef NDEBUG
namespace {

// The rank of each lock in the module's order (0: not one of the three).
int RankOf(const TaggedLock& lock) noexcept {
    if (&lock == &g_CalcCacheLock) return 1;
    if (&lock == &g_LibraryTimeLock) return 2;
    if (&lock == &g_PublishLock) return 3;
    return 0;
}

const char* NameOf(int rank) noexcept {
    static const char* const kNames[] = {"", "g_CalcCacheLock", "g_LibraryTimeLock",
                                         "g_PublishLock"};
    return kNames[rank];
}

}  // namespace
#endif

void TaggedLockCheckOrder([[maybe_unused]] const TaggedLock& lock,
                          [[maybe_unused]] bool entering) noexcept {
#ifndef NDEBUG
    // How often the calling thread holds each lock, by rank.
    thread_local int held[4] = {};
    const int rank = RankOf(lock);
    if (rank == 0) return;
    if (!entering) {
        --held[rank];
        return;
    }
    for (int above = rank + 1; above <= 3; ++above) {
        if (held[above] > 0 && held[rank] == 0) {
            std::fprintf(stderr, "lock order violated: %s entered while %s is held\n", NameOf(rank),
                         NameOf(above));
            std::abort();
        }
    }
    ++held[rank];
#endif
}
