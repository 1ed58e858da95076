#include "script/stack_room.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "script.h"

// The C library's record of where the main thread's stack began.
extern "C" void* __libc_stack_end;

namespace mv::script {
namespace {

// The gap the kernel keeps between a growing main stack and the mapping
// below it: the stack never grows into it.
constexpr uintptr_t kStackGuardGap = uintptr_t{1} << 20;
// The main thread's stack where its limit is unlimited, for the floor.
constexpr uintptr_t kUnlimitedMainStack = uintptr_t{8} << 20;
// The room a thread whose stack is known neither to the C library nor to
// the memory map may still use below its first check: a 64 KB thread holds
// it and the margin below it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uintptr_t kUnknownThreadRoom = 16 * 1024;
#else
constexpr uintptr_t kUnknownThreadRoom = 32 * 1024;
#endif

std::atomic<bool> g_sourcesFail{false};

// A thread's stack: [low, top).
struct Stack {
    uintptr_t low = 0;
    uintptr_t top = 0;
    bool Holds(uintptr_t address) const { return low < address && address < top; }
};

// The stack as the C library knows it: exactly, for a thread it started
// (its caller's own stack included); for the main thread, estimated from
// the stack limit. It takes memory, and reads /proc for the main thread.
bool LibraryStack(Stack* out) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
    void* low = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attr, &low, &size) == 0 && low;
    pthread_attr_destroy(&attr);
    if (!known) return false;
    out->low = reinterpret_cast<uintptr_t>(low);
    out->top = out->low + size;
    return true;
}

// The memory mapping that holds an address, as the process's map lists it.
struct Mapping {
    uintptr_t start = 0;
    uintptr_t end = 0;
    uintptr_t previousEnd = 0;  // the end of the mapping listed before it
};

// Finds the mapping that holds `address` in /proc/self/maps, read with
// plain system calls into a buffer on the stack, so that it answers where
// the C library ran out of memory.
bool FindMapping(uintptr_t address, Mapping* out) {
    int fd;
    do fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    // A line: "start-end perms offset dev inode [path]"; only the two
    // addresses count.
    enum { Start, End, Rest } field = Start;
    uintptr_t start = 0, end = 0, previousEnd = 0;
    bool found = false;
    char buffer[2048];
    while (!found) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && !found; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                if (start <= address && address < end) {
                    out->start = start, out->end = end, out->previousEnd = previousEnd;
                    found = true;
                }
                previousEnd = end;
                field = Start, start = end = 0;
            } else if (field != Rest) {
                uintptr_t& value = field == Start ? start : end;
                if (c >= '0' && c <= '9')
                    value = value * 16 + static_cast<uintptr_t>(c - '0');
                else if (c >= 'a' && c <= 'f')
                    value = value * 16 + static_cast<uintptr_t>(c - 'a' + 10);
                else
                    field = field == Start ? End : Rest;
            }
        }
    }
    close(fd);
    return found;
}

// The main thread's stack limit, kUnlimitedMainStack where it has none.
uintptr_t MainStackLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kUnlimitedMainStack;
    return static_cast<uintptr_t>(limit.rlim_cur);
}

uintptr_t Above(uintptr_t from, uintptr_t room) {
    return from > UINTPTR_MAX - room ? from : from + room;
}
uintptr_t Below(uintptr_t from, uintptr_t room) {
    return from > room ? from - room : 1;
}

}  // namespace

uintptr_t ReadStackFloor() {
    const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    // The main thread's stack is the one that holds the point where the
    // process started; it grows down past its mapping's start.
    const uintptr_t processStart = reinterpret_cast<uintptr_t>(__libc_stack_end);
    const bool sourcesAnswer = !g_sourcesFail.load(std::memory_order_relaxed);
    Stack stack;
    bool known = sourcesAnswer && LibraryStack(&stack) && stack.Holds(frame);
    bool mainStack = known && stack.Holds(processStart);
    // The map tells a stack only where the C library could not. For the
    // main stack it also tells where the mapping below ends, which either
    // source may give as the stack's end although the kernel keeps a gap
    // above it.
    Mapping m;
    const bool mapped = sourcesAnswer && (mainStack || !known) && FindMapping(frame, &m);
    if (!known && mapped) {
        mainStack = m.start <= processStart && processStart < m.end;
        stack.low = mainStack ? m.previousEnd : m.start;
        stack.top = m.end;
        known = true;
    }
    uintptr_t floor;
    if (known && mainStack) {
        // It grows as far as its limit allows (8 MB where it has none), and
        // not into the gap above the mapping below it.
        uintptr_t low = stack.low;
        const uintptr_t limit = MainStackLimit();
        if (stack.top > limit && stack.top - limit > low) low = stack.top - limit;
        if (mapped && Above(m.previousEnd, kStackGuardGap) > low)
            low = Above(m.previousEnd, kStackGuardGap);
        floor = Above(low, kStackMargin);
    } else if (known) {
        floor = Above(stack.low, kStackMargin);
    } else if (syscall(SYS_gettid) == getpid()) {  // the main thread
        floor = Below(frame, MainStackLimit() / 2);
    } else {
        floor = Below(frame, kUnknownThreadRoom);
    }
    return t_stackFloor = floor;
}

void ResetStackFloorForTesting(bool sourcesFail) {
    g_sourcesFail.store(sourcesFail, std::memory_order_relaxed);
    t_stackFloor = 0;
}

}  // namespace mv::script
