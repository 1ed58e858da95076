// Allocation failure on demand: while a FailingNew lives, the calling
// thread's scalar allocations (operator new) of at least a set size throw
// std::bad_alloc, as they do when memory runs out; while a FailingNthNew
// lives, only the thread's k-th allocation from its start throws.
//
// A test program that uses it links tests/support/failing_new.cpp, which
// replaces the program's scalar operator new (once per program).
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

// Counts this thread's scalar allocations from now on and makes the k-th
// of them throw (k = 0: none throws, the allocations are only counted).
void SetFailingNewAt(std::size_t k) noexcept;
// The allocations counted since the last SetFailingNewAt, the failed one
// included.
std::size_t CountedNews() noexcept;
// Stops counting.
void StopCountingNews() noexcept;

class FailingNthNew {
public:
    explicit FailingNthNew(std::size_t k) noexcept { SetFailingNewAt(k); }
    ~FailingNthNew() { StopCountingNews(); }
    FailingNthNew(const FailingNthNew&) = delete;
    FailingNthNew& operator=(const FailingNthNew&) = delete;
};

}  // namespace mv_test
