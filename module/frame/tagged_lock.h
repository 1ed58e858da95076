// The module's three process-wide tagged locks: a critical section paired
// with a tag word that the owner writes after entering. Nothing reads the
// tag; it tells a debugger what the holder is doing.
//
// The module's lock order, outermost first. A thread holding a lock takes
// only locks further down the list (or the same re-entrant lock again):
//   1. a schedule group's lock; no group method is called while a
//      calculation's lock is held (the store-and-forward driver takes a
//      counted reference to its group before it locks);
//   2. g_CalcCacheLock;
//   3. g_LibraryTimeLock;
//   4. g_PublishLock;
//   5. the OPC registry's lock, then a server's;
//   6. per calculation its automation-object lock, then its object lock; a
//      copy chain's head before its copies;
//   7. a formula reference's lock; a spreadsheet workbook's lock (no
//      calculation or cache lock is taken under it);
//   8. a parameter's lock; then the leaves, which take no module lock but
//      the logger's: a data set's Data lock, a recipe connection's lock, the
//      first-load guard of the scripting library, the unit-collection guard,
//      a collection's mutex, g_csKeldcore, g_csLoadedDlls, g_csOpcGIT, the
//      object-server table lock, the historian client's start lock, an
//      environment object's or calculation reference's own lock;
//   9. the logger's lock.
// A reference that may be the last one is swapped out under its lock and
// released after the lock is left, so no destructor runs under a cache lock.
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

// Debug builds check the order of the three locks on every entry: a thread
// that holds one of them never enters one above it (re-entering the same
// lock is allowed). A violation ends the process with a message naming
// both locks.
void TaggedLockCheckOrder(const TaggedLock& lock, bool entering) noexcept;

// Enters the lock, writes the tag, and leaves it at the end of the scope.
class TaggedLockHolder {
public:
    TaggedLockHolder(TaggedLock& lock, LONG tag) : lock_(lock) {
        TaggedLockCheckOrder(lock_, true);
        EnterCriticalSection(&lock_.cs);
        lock_.tag = tag;
    }
    ~TaggedLockHolder() {
        LeaveCriticalSection(&lock_.cs);
        TaggedLockCheckOrder(lock_, false);
    }
    TaggedLockHolder(const TaggedLockHolder&) = delete;
    TaggedLockHolder& operator=(const TaggedLockHolder&) = delete;

private:
    TaggedLock& lock_;
};
