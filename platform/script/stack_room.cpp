#include "script/stack_room.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace mv::script {
namespace {

// The memory mapping that holds an address, as the process's map lists it.
struct Mapping {
    uintptr_t start = 0;
    uintptr_t end = 0;
    uintptr_t previousEnd = 0;  // the end of the mapping listed before it
    bool mainStack = false;     // the main thread's stack, which grows down
};

// Finds the mapping that holds `address` in /proc/self/maps, read with
// plain system calls into a buffer on the stack: the floor is read on a
// thread's first statement, where memory may have run out, and the C
// library's own reading of a thread's attributes takes memory and ends the
// process when it gets none.
bool FindMapping(uintptr_t address, Mapping* out) {
    int fd;
    do fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    // A line: "start-end perms offset dev inode [path]"; only the two
    // addresses and the path's last characters (the main thread's stack is
    // "[stack]") count.
    constexpr uint64_t kStackName = 0x5B737461636B5DULL;  // "[stack]", one byte each
    constexpr uint64_t kTailMask = (uint64_t{1} << 56) - 1;
    enum { Start, End, Rest } field = Start;
    uintptr_t start = 0, end = 0, previousEnd = 0;
    uint64_t tail = 0;
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
                    out->mainStack = (tail & kTailMask) == kStackName;
                    found = true;
                }
                previousEnd = end;
                field = Start, start = end = 0, tail = 0;
            } else if (field == Rest) {
                tail = tail << 8 | static_cast<unsigned char>(c);
            } else {
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

}  // namespace

uintptr_t ReadStackFloor() {
    uintptr_t floor = 1;
    Mapping m;
    if (FindMapping(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), &m)) {
        uintptr_t low = m.start;
        // The main thread's stack grows down as far as its limit allows, and
        // not into the mapping below it.
        if (m.mainStack) {
            low = m.previousEnd;
            rlimit limit{};
            if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                limit.rlim_cur < m.end && m.end - limit.rlim_cur > low)
                low = m.end - limit.rlim_cur;
        }
        floor = low + kStackMargin;
    }
    return t_stackFloor = floor;
}

}  // namespace mv::script
