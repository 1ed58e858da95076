// A probe of the registry store for tests of writes cut short: whether its
// cross-process lock is free.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

namespace mv::test {

// Whether another open file description takes the lock of the store file
// at `store` at once, as another process's write would.
inline bool RegistryLockIsFree(const std::string& store) {
    const int fd = ::open((store + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) ::close(fd);
    return free;
}

}  // namespace mv::test
