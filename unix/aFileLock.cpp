#include "unix/aFileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "unix/aTime.h"

namespace {

constexpr uint32_t kRetryMs = 5;

// Read-only is enough for flock and lets every user open a file another user created.
int _open(const char* path)
{
    int fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
        fchmod(fd, 0666);  // the creator's umask must not lock other users out
        return fd;
    }
    if (errno != EEXIST)
        return -1;
    fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);  // a directory, a pipe or a device is no lock file
        errno = S_ISDIR(info.st_mode) ? EISDIR : ENOLCK;
        return -1;
    }
    return fd;
}

}  // namespace

aErr aFileLock_Acquire(const char* path, uint32_t timeoutMs, int* fd)
{
    if (!fd)
        return aErrParam;
    *fd = -1;
    if (!path || !*path)
        return aErrParam;
    int handle = _open(path);
    if (handle < 0)
        return aErrIO;
    const uint64_t start = aTime_GetMSTicks();
    for (;;) {
        if (flock(handle, LOCK_EX | LOCK_NB) == 0) {
            *fd = handle;
            return aErrNone;
        }
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        if (aTime_GetMSTicks() - start >= timeoutMs) {
            close(handle);
            return aErrTimeout;
        }
        aTime_MSSleep(kRetryMs);
    }
    const int error = errno;
    close(handle);
    errno = error;
    return aErrIO;
}

void aFileLock_Release(int* fd)
{
    if (!fd || *fd < 0)
        return;
    flock(*fd, LOCK_UN);
    close(*fd);
    *fd = -1;
}
