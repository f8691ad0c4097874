#pragma once
// Replacing a file so that its name never holds a partial file: the bytes go to a
// temporary file beside it (named with a leading "." so store listings skip it), which
// is flushed to disk and then renamed over the final name. Until Commit (or Flush and
// Rename) succeeds the previous file, or none, stays in place; an uncommitted temporary
// is removed. The rename itself is on disk once the directory is synced.
#include "unix/aError.h"

#include <cstddef>
#include <cstdint>
#include <string>

class AtomicFile {
public:
    explicit AtomicFile(const std::string& path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // False when the temporary file could not be created; Error() then holds errno.
    bool IsOpen() const { return open; }
    // Writes all bytes; aErrIO when they could not all be written.
    aErr Write(const uint8_t* data, size_t length);
    // Flushes the temporary file to disk and renames it to the final name.
    aErr Commit();
    // Commit in two steps, so that several files can be flushed at the same time before
    // any of them takes its name: Flush syncs and closes the temporary, Rename names it.
    aErr Flush();
    aErr Rename();
    // Puts the directory's entries (renames into it) on disk; false with errno set.
    static bool SyncDirectory(const std::string& directory);
    // The platform error number of the last failure.
    int Error() const { return error; }

private:
    std::string path;
    std::string temporary;
    int fd = -1;
    bool open = false;
    bool flushed = false;
    int error = 0;
};
