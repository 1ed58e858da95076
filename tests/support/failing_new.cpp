// The program's scalar operator new, with the failure switch of
// failing_new.h.
#include "failing_new.h"

#include <dlfcn.h>

#include <new>

namespace {

thread_local std::size_t t_failingNewFrom = 0;
thread_local bool t_counting = false;
thread_local std::size_t t_counted = 0;
thread_local std::size_t t_failingNewAt = 0;

}  // namespace

void mv_test::SetFailingNewFrom(std::size_t size) noexcept {
    t_failingNewFrom = size;
}

void mv_test::SetFailingNewAt(std::size_t k) noexcept {
    t_counted = 0;
    t_failingNewAt = k;
    t_counting = true;
}

std::size_t mv_test::CountedNews() noexcept {
    return t_counted;
}

void mv_test::StopCountingNews() noexcept {
    t_counting = false;
    t_failingNewAt = 0;
}

// Scalar allocations of this program go to the allocator behind it (the
// sanitizer's or the C++ library's), but for the ones a test makes fail.
void* operator new(std::size_t size) {
    if (t_failingNewFrom != 0 && size >= t_failingNewFrom) throw std::bad_alloc();
    if (t_counting && ++t_counted == t_failingNewAt) throw std::bad_alloc();
    static auto* const next = reinterpret_cast<void* (*)(std::size_t)>(dlsym(RTLD_NEXT, "_Znwm"));
    return next(size);
}
