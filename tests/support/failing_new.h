// Allocation failure on demand: while a FailingNew lives, the calling
// thread's scalar allocations (operator new) of at least a set size throw
// std::bad_alloc, as they do when memory runs out; while a FailingNewAfter
// lives, every one after a set number does.
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

// Makes this thread's scalar allocations fail once `count` more have been
// made (0: the next one already fails), as they do when memory runs out
// part-way through a call; a negative count: none fails.
void SetFailingNewAfter(long count) noexcept;
// Whether an allocation failed since the last SetFailingNewAfter.
bool FailingNewFailed() noexcept;

// Makes this thread's allocations fail after `count` more for the lifetime
// of the object; sweeping the count over 0, 1, 2, ... fails each allocation
// of a call in turn.
class FailingNewAfter {
public:
    explicit FailingNewAfter(long count) noexcept { SetFailingNewAfter(count); }
    ~FailingNewAfter() { SetFailingNewAfter(-1); }
    FailingNewAfter(const FailingNewAfter&) = delete;
    FailingNewAfter& operator=(const FailingNewAfter&) = delete;
    bool Failed() const noexcept { return FailingNewFailed(); }
};

}  // namespace mv_test
