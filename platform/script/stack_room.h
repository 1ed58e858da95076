// How far the calling thread's stack may still grow: the engine's recursive
// walks (parsing, evaluation, calls) stop with "Out of stack space" before
// the stack runs out, whatever stack the thread was made with.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mv::script {

// The stack left unused below the deepest check: the frames that run
// between one check and the next (a built-in, an object's member), and the
// unwinding of the error. Sanitized frames are several times larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr size_t kStackMargin = 40 * 1024;
#else
inline constexpr size_t kStackMargin = 24 * 1024;
#endif

// The language's error for a walk a check stops: "Out of stack space".
inline constexpr int kOutOfStack = 28;

// The lowest address a check lets the calling thread's frames reach: its
// stack's low end plus the margin; 0 until the thread's first check reads
// it, from the C library or, where that fails (it takes memory), from the
// process's memory map, read without taking memory. Where neither answers,
// it lies a room below that first check that the thread surely has. Defined
// here with a constant initialiser, so that a check reads it without a call.
// Both have default visibility, so that a library built with hidden
// visibility shares the one floor per thread instead of keeping a copy that
// stays 0 and reads the attributes again at every check.
[[gnu::visibility("default")]] inline constinit thread_local uintptr_t t_stackFloor = 0;
[[gnu::visibility("default")]] uintptr_t ReadStackFloor();

// Whether the calling frame lies below the floor: a recursion goes no
// deeper.
[[gnu::always_inline]] inline bool StackLow() {
    uintptr_t floor = t_stackFloor;
    if (__builtin_expect(floor == 0, 0)) floor = ReadStackFloor();
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < floor;
}

}  // namespace mv::script
