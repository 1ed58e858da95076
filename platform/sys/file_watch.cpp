// FileWatch: inotify descriptors, read without blocking.
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "sys.h"

namespace mv {
namespace {

static_assert(FileWatch::kFileMoved == (IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF));
static_assert(FileWatch::kFileChanged == (FileWatch::kFileMoved | IN_MODIFY | IN_CLOSE_WRITE));
static_assert(FileWatch::kFolderChanged ==
              (IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE |
               IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR));

// Forks this process came through, counted in each child from the first
// watch on.
std::atomic<unsigned> g_forks{0};

unsigned Forks() {
    static std::once_flag counting;
    std::call_once(counting, [] {
        ::pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); });
    });
    return g_forks.load(std::memory_order_relaxed);
}

}  // namespace

bool FileWatch::Add(const std::string& path, uint32_t events) {
    const unsigned forks = Forks();
    if (fd_ >= 0 && forks_ != forks) Stop();
    int fd = fd_ >= 0 ? fd_ : ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return false;
    if (::inotify_add_watch(fd, path.c_str(), events) < 0) {
        if (fd != fd_) ::close(fd);
        return false;
    }
    fd_ = fd;
    forks_ = forks;
    return true;
}

void FileWatch::Stop() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool FileWatch::Active() const {
    return fd_ >= 0 && forks_ == g_forks.load(std::memory_order_relaxed);
}

bool FileWatch::Quiet(std::string_view name) {
    if (!Active()) return false;
    bool quiet = true;
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t n = ::read(fd_, events, sizeof events);
        if (n < 0) return quiet && errno == EAGAIN;
        if (n == 0) return false;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            // A report without a name is about a watched file or folder
            // itself (or a lost queue): it always counts.
            if (name.empty() || event->len == 0 || name == event->name) quiet = false;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

bool FileWatch::Wait(int wakeFd) const {
    if (!Active()) return false;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return false;
        if (fds[0].revents & POLLIN) return true;
    }
}

}  // namespace mv
