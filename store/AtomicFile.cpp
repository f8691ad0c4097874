// Atomic replacement of store files: temporary file, flush to disk, rename.
#include "store/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace {

std::string _temporary_path(const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return directory + "." + name + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

}  // namespace

AtomicFile::AtomicFile(const std::string& finalPath) : path(finalPath), temporary(_temporary_path(finalPath))
{
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    open = fd >= 0;
    if (!open)
        error = errno;
}

AtomicFile::~AtomicFile()
{
    if (fd >= 0)
        ::close(fd);
    if (open)
        ::unlink(temporary.c_str());
}

aErr AtomicFile::Write(const uint8_t* data, size_t length)
{
    if (!open || fd < 0)
        return aErrIO;
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            return aErrIO;
        }
        data += n;
        length -= size_t(n);
    }
    return aErrNone;
}

aErr AtomicFile::Commit()
{
    aErr err = Flush();
    return err == aErrNone ? Rename() : err;
}

aErr AtomicFile::Flush()
{
    if (!open || fd < 0)
        return aErrIO;
    bool ok = ::fsync(fd) == 0;
    if (!ok)
        error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    fd = -1;
    flushed = ok;
    return ok ? aErrNone : aErrIO;
}

aErr AtomicFile::Rename()
{
    if (!open || !flushed)
        return aErrIO;
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
        return aErrIO;
    }
    open = false;  // the temporary is now the file: nothing left to remove
    return aErrNone;
}

bool AtomicFile::SyncDirectory(const std::string& directory)
{
    const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return synced;
}
