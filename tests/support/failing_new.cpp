// The program's scalar operator new and, outside the sanitizers' builds,
// its malloc, calloc and realloc, with the failure switch of failing_new.h.
#include "failing_new.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MV_TEST_FAILS_C_ALLOCATOR 0
#else
#define MV_TEST_FAILS_C_ALLOCATOR 1
#endif

namespace {

using mv_test::Allocator;

thread_local std::size_t t_failingNewFrom = 0;
thread_local bool t_counting = false;
thread_local Allocator t_allocator = Allocator::New;
thread_local bool t_staying = false;
thread_local std::size_t t_counted = 0;
thread_local std::size_t t_failingNewAt = 0;
// Set while the stack of a request is read, whose own requests pass.
thread_local bool t_readingStack = false;

// Counts a request of `which` and tells whether it is one to fail.
bool CountedAndFailing(Allocator which) noexcept {
    if (!t_counting || t_allocator != which || t_readingStack) return false;
    ++t_counted;
    if (t_failingNewAt == 0 || t_counted < t_failingNewAt) return false;
    return t_counted == t_failingNewAt || t_staying;
}

#if MV_TEST_FAILS_C_ALLOCATOR

// Whether a caller on the stack lies in GLib, GObject or the compound-file
// library, which end the process when a request fails.
bool FromLibraryThatCannotFail() noexcept {
    t_readingStack = true;
    void* frames[64];
    const int depth = backtrace(frames, 64);
    bool found = false;
    for (int i = 0; i < depth && !found; ++i) {
        Dl_info info{};
        if (dladdr(frames[i], &info) == 0 || info.dli_fname == nullptr) continue;
        for (const char* name : {"libglib-2.0.so", "libgobject-2.0.so", "libgsf-1.so"})
            if (std::strstr(info.dli_fname, name) != nullptr) found = true;
    }
    t_readingStack = false;
    return found;
}

// Whether the C allocator refuses this request.
bool CRequestFails() noexcept {
    if (!CountedAndFailing(Allocator::C)) return false;
    if (!FromLibraryThatCannotFail()) {
        errno = ENOMEM;
        return true;
    }
    // The failure passes on to the next request made from elsewhere.
    if (!t_staying) ++t_failingNewAt;
    return false;
}

#endif

}  // namespace

bool mv_test::CanFailCAllocator() noexcept {
    return MV_TEST_FAILS_C_ALLOCATOR != 0;
}

void mv_test::SetFailingNewFrom(std::size_t size) noexcept {
    t_failingNewFrom = size;
}

void mv_test::SetFailingNewAt(std::size_t k, Allocator which, bool staying) noexcept {
    if (which == Allocator::C && !CanFailCAllocator()) which = Allocator::New;
    if (which == Allocator::C) {
        // The first stack read loads the unwinder; that is done here, before
        // anything is counted.
        void* frame = nullptr;
        backtrace(&frame, 1);
    }
    t_counted = 0;
    t_failingNewAt = k;
    t_allocator = which;
    t_staying = staying;
    t_counting = true;
}

std::size_t mv_test::CountedNews() noexcept {
    return t_counted;
}

void mv_test::StopCountingNews() noexcept {
    t_counting = false;
    t_failingNewAt = 0;
    t_staying = false;
}

// Scalar allocations of this program go to the allocator behind it (the
// sanitizer's or the C++ library's, which takes its memory from malloc), but
// for the ones a test makes fail.
void* operator new(std::size_t size) {
    if (t_failingNewFrom != 0 && size >= t_failingNewFrom) throw std::bad_alloc();
    if (CountedAndFailing(Allocator::New)) throw std::bad_alloc();
    static auto* const next = reinterpret_cast<void* (*)(std::size_t)>(dlsym(RTLD_NEXT, "_Znwm"));
    return next(size);
}

#if MV_TEST_FAILS_C_ALLOCATOR

// The C allocator's requests, interposed for every library of the process;
// what passes goes to the C library's own allocator, whose free releases it.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);

void* malloc(std::size_t size) noexcept {
    return CRequestFails() ? nullptr : __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
    return CRequestFails() ? nullptr : __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) noexcept {
    // A zero size frees the block: nothing is requested.
    if (size != 0 && CRequestFails()) return nullptr;
    return __libc_realloc(block, size);
}
}

#endif
