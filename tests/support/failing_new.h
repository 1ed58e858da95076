// Allocation failure on demand: while a FailingNew lives, the calling
// thread's scalar allocations (operator new) of at least a set size throw
// std::bad_alloc, as they do when memory runs out.
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

}  // namespace mv_test
