#include "frame/tagged_lock.h"

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
