// The program's scalar operator new, with the failure switch of
// failing_new.h.
#include "failing_new.h"

#include <dlfcn.h>

#include <new>

namespace {

thread_local std::size_t t_failingNewFrom = 0;
thread_local long t_allocationsLeft = -1;  // negative: no count
thread_local bool t_failed = false;

}  // namespace

void mv_test::SetFailingNewFrom(std::size_t size) noexcept {
    t_failingNewFrom = size;
}

void mv_test::SetFailingNewAfter(long count) noexcept {
    t_allocationsLeft = count;
    t_failed = false;
}

bool mv_test::FailingNewFailed() noexcept {
    return t_failed;
}

// Scalar allocations of this program go to the allocator behind it (the
// sanitizer's or the C++ library's), but for the ones a test makes fail.
void* operator new(std::size_t size) {
    if (t_failingNewFrom != 0 && size >= t_failingNewFrom) throw std::bad_alloc();
    if (t_allocationsLeft == 0) {
        t_failed = true;
        throw std::bad_alloc();
    }
    if (t_allocationsLeft > 0) --t_allocationsLeft;
    static auto* const next = reinterpret_cast<void* (*)(std::size_t)>(dlsym(RTLD_NEXT, "_Znwm"));
    return next(size);
}
