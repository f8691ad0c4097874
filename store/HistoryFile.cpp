#include "store/HistoryFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "unix/aFileLock.h"

namespace {

constexpr size_t READ_CHUNK = 64u << 10;

// The lock is held for the life of this object; none when it could not be taken.
class HistoryLock {
public:
    explicit HistoryLock(const std::string& path)
        : result(aFileLock_Acquire(path.c_str(), HistoryFile::LOCK_WAIT_MS, &fd)), error(errno)
    {
    }
    ~HistoryLock() { aFileLock_Release(&fd); }
    HistoryLock(const HistoryLock&) = delete;
    HistoryLock& operator=(const HistoryLock&) = delete;
    bool Held() const { return fd >= 0; }
    // Why the lock is not held.
    std::string Reason() const
    {
        if (result == aErrTimeout)
            return "another process held it for " + std::to_string(HistoryFile::LOCK_WAIT_MS / 1000) + " s";
        return strerror(error);
    }

private:
    int fd = -1;
    aErr result;
    int error;
};

std::string _errno_text(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + strerror(errno);
}

// One write for the whole record: O_APPEND places it after every other
// writer's whole line.
bool _write_all(int fd, const std::string& text)
{
    ssize_t written = write(fd, text.data(), text.size());
    if (written == ssize_t(text.size()))
        return true;
    if (written >= 0)
        errno = ENOSPC;
    return false;
}

// A file that has grown past the bound moves aside before the next record.
bool _rotate_if_full(const std::string& path, const std::string& oldPath, size_t adding, std::string& error)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return true;
    if (uint64_t(info.st_size) + adding <= HistoryFile::ROTATE_BYTES || info.st_size == 0)
        return true;
    if (rename(path.c_str(), oldPath.c_str()) == 0)
        return true;
    error = _errno_text("cannot move aside", path);
    return false;
}

// A record cut short (a writer that died mid-line, a full disk) leaves no line
// end: the next record starts on a line of its own rather than after it.
bool _ends_mid_line(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
        return false;
    char last = '\n';
    return pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
}

// Opens the file without waiting for a peer and refuses anything but a regular
// file: a pipe in its place would block the open and every read while the
// history lock is held, and a device might never end. -1 with error set.
int _open_regular(const std::string& path, int flags, std::string& error)
{
    int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int reason = errno;
        error = _errno_text("cannot open", path);
        errno = reason;  // the reader tells a missing file from a failure by it
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        error = path + " is not a regular file";
        errno = EINVAL;
        return -1;
    }
    return fd;
}

}  // namespace

HistoryFile::HistoryFile(const std::string& storeDirectory) : directory(storeDirectory) {}

std::string HistoryFile::Path() const
{
    return directory + "/" + FILE_NAME;
}

std::string HistoryFile::OldPath() const
{
    return directory + "/" + OLD_FILE_NAME;
}

bool HistoryFile::Append(const std::string& line, std::string& error) const
{
    HistoryLock lock(directory + "/" + LOCK_NAME);
    if (!lock.Held()) {
        error = "cannot lock " + directory + "/" + LOCK_NAME + ": " + lock.Reason();
        return false;
    }
    std::string record = line + "\n";
    if (!_rotate_if_full(Path(), OldPath(), record.size(), error))
        return false;
    int fd = _open_regular(Path(), O_RDWR | O_APPEND | O_CREAT, error);
    if (fd < 0)
        return false;
    if (_ends_mid_line(fd))
        record.insert(record.begin(), '\n');
    bool written = _write_all(fd, record) && fsync(fd) == 0;
    if (!written)
        error = _errno_text("cannot write", Path());
    if (close(fd) != 0 && written) {
        error = _errno_text("cannot write", Path());
        written = false;
    }
    return written;
}

bool HistoryFile::Read(const std::function<void(const Line&)>& visit, std::string& error) const
{
    // Readers take the lock too, so that no rotation falls between the two files;
    // a store that cannot hold the lock file is read as it is.
    HistoryLock lock(directory + "/" + LOCK_NAME);
    return _read_file(OldPath(), visit, error) && _read_file(Path(), visit, error);
}

bool HistoryFile::_read_file(const std::string& path, const std::function<void(const Line&)>& visit,
                             std::string& error) const
{
    int fd = _open_regular(path, O_RDONLY, error);
    if (fd < 0)
        return errno == ENOENT;
    std::vector<char> chunk(READ_CHUNK);
    std::string text;
    size_t number = 1;
    bool tooLong = false;
    bool ok = true;
    for (;;) {
        ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = _errno_text("cannot read", path);
            ok = false;
            break;
        }
        if (got == 0)
            break;
        for (const char* c = chunk.data(); c < chunk.data() + got; ++c) {
            if (*c == '\n') {
                visit(Line{path, number++, text, tooLong});
                text.clear();
                tooLong = false;
            } else if (text.size() < MAX_LINE_BYTES) {
                text.push_back(*c);
            } else {
                tooLong = true;
            }
        }
    }
    // A last line without its line end: a write that was cut short.
    if (ok && (!text.empty() || tooLong))
        visit(Line{path, number, text, tooLong});
    close(fd);
    return ok;
}
