// The module's three process-wide tagged locks: a critical section paired
// with a tag word that the owner writes after entering. Nothing reads the
// tag; it tells a debugger what the holder is doing.
#pragma once

#include "sys.h"

struct TaggedLock {
    LONG tag = 0;
    CRITICAL_SECTION cs{};
};

// Tags an owner writes after entering.
constexpr LONG kTaggedLockSingle = 100;    // one lookup, load or removal
constexpr LONG kTaggedLockWholeMap = 202;  // a walk over or clearing of a whole map

// Guards the active calculations and the library map in force.
extern TaggedLock g_CalcCacheLock;
// Guards the message-bus adapter and the publishing of its documents.
extern TaggedLock g_PublishLock;
// Guards the library file times.
extern TaggedLock g_LibraryTimeLock;

// The critical sections are initialised at start-up and deleted at
// shut-down; between those the locks are usable.
void TaggedLockInitialize(TaggedLock& lock);
void TaggedLockDelete(TaggedLock& lock);

// Enters the lock, writes the tag, and leaves it at the end of the scope.
class TaggedLockHolder {
public:
    TaggedLockHolder(TaggedLock& lock, LONG tag) : lock_(lock) {
        EnterCriticalSection(&lock_.cs);
        lock_.tag = tag;
    }
    ~TaggedLockHolder() { LeaveCriticalSection(&lock_.cs); }
    TaggedLockHolder(const TaggedLockHolder&) = delete;
    TaggedLockHolder& operator=(const TaggedLockHolder&) = delete;

private:
    TaggedLock& lock_;
};
