#pragma once
// Replacing a file so that its name never holds a partial file: the bytes go to a
// temporary file beside it (named with a leading "." so store listings skip it), which
// is flushed to disk and then renamed over the final name. Until Commit succeeds the
// previous file, or none, stays in place; an uncommitted temporary is removed.
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
    // The platform error number of the last failure.
    int Error() const { return error; }

private:
    std::string path;
    std::string temporary;
    int fd = -1;
    bool open = false;
    int error = 0;
};
