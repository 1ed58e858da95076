// Allocation failure on demand: while a FailingNew lives, the calling
// thread's scalar allocations (operator new) of at least a set size throw
// std::bad_alloc, as they do when memory runs out; while a FailingNthNew
// lives, only the thread's k-th allocation from its start fails (or, when
// it stays, every one from the k-th on).
//
// A FailingNthNew counts either the thread's operator new calls or its
// requests to the C allocator (malloc, calloc, realloc), which also serve
// operator new, BSTRs, SAFEARRAYs and the C library's own needs. A request
// that the C allocator refuses returns null with errno ENOMEM. Requests made
// from inside GLib, GObject and the compound-file library are never refused:
// GLib ends the process on a failed allocation by design; the k-th request
// then moves on to the next one made from elsewhere. Under AddressSanitizer
// and ThreadSanitizer, which own the C allocator, only operator new fails.
//
// A test program that uses it links tests/support/failing_new.cpp, which
// replaces the program's scalar operator new and, outside the sanitizers'
// builds, malloc, calloc and realloc (once per program).
#pragma once

#include <cstddef>

namespace mv_test {

// The smallest scalar allocation of this thread that fails; 0: none fails.
void SetFailingNewFrom(std::size_t size) noexcept;

// Makes this thread's allocations of at least `size` bytes fail for the
// lifetime of the object.
class FailingNew {
public:
    explicit FailingNew(std::size_t size) noexcept { SetFailingNewFrom(size); }
    ~FailingNew() { SetFailingNewFrom(0); }
    FailingNew(const FailingNew&) = delete;
    FailingNew& operator=(const FailingNew&) = delete;
};

// Which requests a FailingNthNew counts and fails.
enum class Allocator {
    New,  // operator new
    C,    // malloc, calloc and realloc (operator new takes its memory there)
};

// Whether this build can make the C allocator fail; where it cannot, a
// FailingNthNew asked for Allocator::C counts and fails operator new.
bool CanFailCAllocator() noexcept;

// Counts this thread's requests of `which` from now on and makes the k-th
// of them fail, and with `staying` every later one too (k = 0: none fails,
// the requests are only counted).
void SetFailingNewAt(std::size_t k, Allocator which = Allocator::New,
                     bool staying = false) noexcept;
// The requests counted since the last SetFailingNewAt, the failed one
// included.
std::size_t CountedNews() noexcept;
// Stops counting.
void StopCountingNews() noexcept;

class FailingNthNew {
public:
    explicit FailingNthNew(std::size_t k, Allocator which = Allocator::New,
                           bool staying = false) noexcept {
        SetFailingNewAt(k, which, staying);
    }
    ~FailingNthNew() { StopCountingNews(); }
    FailingNthNew(const FailingNthNew&) = delete;
    FailingNthNew& operator=(const FailingNthNew&) = delete;
};

}  // namespace mv_test
