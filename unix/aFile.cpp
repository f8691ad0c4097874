#include "unix/aFile.h"

#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t FILE_TAG = 0xFEED;

enum class _Direction { None, Reading, Writing };

}  // namespace

struct aFile {
    FILE* stream;
    aFileMode mode;
    uint32_t tag;
    // An update stream must be repositioned when it turns from reading to
    // writing or back.
    _Direction last;
};

namespace {

bool _valid(aFileRef file)
{
    return file && file->tag == FILE_TAG;
}

bool _path_ok(const char* path)
{
    return path && strnlen(path, aFILE_NAME_MAX + 1) <= aFILE_NAME_MAX;
}

bool _can_read(aFileRef file)
{
    return file->mode == aFileModeRead || file->mode == aFileModeAppend;
}

bool _can_write(aFileRef file)
{
    return file->mode == aFileModeWrite || file->mode == aFileModeAppend;
}

void _turn(aFileRef file, _Direction next)
{
    if (file->last != _Direction::None && file->last != next)
        fseeko(file->stream, 0, SEEK_CUR);
    file->last = next;
}

const char* _platform_mode(aFileMode mode)
{
    switch (mode) {
    case aFileModeRead:
        return "rb";
    case aFileModeWrite:
        return "wb";
    case aFileModeAppend:
        return "ab+";
    default:
        return nullptr;
    }
}

// Reading opens without waiting for a peer and takes regular files only: a
// pipe in the place of a firmware image or an attribute file would block the
// open and every read for ever, and a device might never end.
FILE* _open_for_reading(const char* path)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* stream = fdopen(fd, "rb");
    if (!stream)
        close(fd);
    return stream;
}

}  // namespace

bool aFile_Exists(const char* path)
{
    struct stat status;
    return _path_ok(path) && stat(path, &status) == 0 && !S_ISDIR(status.st_mode);
}

aFileRef aFile_Open(const char* path, aFileMode mode)
{
    assert(mode >= aFileModeRead && mode <= aFileModeNone);
    const char* platformMode = _platform_mode(mode);
    if (!_path_ok(path) || path[0] == '\0' || !platformMode)
        return nullptr;
    aFileRef file = new (std::nothrow) aFile;
    if (!file)
        return nullptr;
    file->stream = mode == aFileModeRead ? _open_for_reading(path) : fopen(path, platformMode);
    if (!file->stream) {
        delete file;
        return nullptr;
    }
    if (mode == aFileModeAppend && fseeko(file->stream, 0, SEEK_END) != 0) {
        fclose(file->stream);
        delete file;
        return nullptr;
    }
    file->mode = mode;
    file->tag = FILE_TAG;
    file->last = _Direction::None;
    return file;
}

aErr aFile_Close(aFileRef* file)
{
    if (!file)
        return aErrParam;
    aFileRef closing = *file;
    *file = nullptr;
    if (!_valid(closing))
        return aErrParam;
    fclose(closing->stream);
    closing->tag = 0;
    delete closing;
    return aErrNone;
}

aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* read)
{
    if (read)
        *read = 0;
    if (!_valid(file))
        return aErrParam;
    if (!_can_read(file))
        return aErrMode;
    if (length > 0 && !buffer)
        return aErrParam;
    _turn(file, _Direction::Reading);
    size_t count = length ? fread(buffer, 1, length, file->stream) : 0;
    if (read)
        *read = count;
    return length > 0 && count == 0 ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFileRef file, const uint8_t* data, size_t length, size_t* written)
{
    if (written)
        *written = 0;
    if (!_valid(file))
        return aErrParam;
    if (!_can_write(file))
        return aErrMode;
    if (length > 0 && !data)
        return aErrParam;
    _turn(file, _Direction::Writing);
    size_t count = length ? fwrite(data, 1, length, file->stream) : 0;
    if (written)
        *written = count;
    // A short write lost data: report it rather than let the caller believe
    // the file is whole.
    return count < length ? aErrIO : aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length)
{
    if (length)
        *length = 0;
    if (buffer && size > 0)
        buffer[0] = '\0';
    if (!_valid(file))
        return aErrParam;
    if (!_can_read(file))
        return aErrMode;
    if (!buffer || !length || size < 2)
        return aErrParam;
    _turn(file, _Direction::Reading);
    size_t count = 0;
    while (count < size - 1) {
        int c = getc(file->stream);
        if (c == EOF)
            break;
        buffer[count++] = char(c);
        if (c == '\n')
            break;
    }
    buffer[count] = '\0';
    *length = count;
    if (count == 0)
        return feof(file->stream) ? aErrEOF : aErrIO;
    if (count == size - 1 && buffer[count - 1] != '\n')
        return aErrOverrun;
    return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...)
{
    if (!_valid(file) || !format)
        return aErrParam;
    if (!_can_write(file))
        return aErrMode;
    _turn(file, _Direction::Writing);
    va_list arguments;
    va_start(arguments, format);
    int result = vfprintf(file->stream, format, arguments);
    va_end(arguments);
    return result < 0 ? aErrIO : aErrNone;
}

namespace {

aErr _measure(FILE* stream, off_t* position, off_t* size)
{
    *position = ftello(stream);
    if (*position < 0 || fseeko(stream, 0, SEEK_END) != 0)
        return aErrIO;
    *size = ftello(stream);
    if (fseeko(stream, *position, SEEK_SET) != 0 || *size < 0)
        return aErrIO;
    return aErrNone;
}

}  // namespace

aErr aFile_Seek(aFileRef file, long offset, int origin)
{
    if (!_valid(file))
        return aErrParam;
    off_t position, size;
    if (_measure(file->stream, &position, &size) != aErrNone)
        return aErrIO;
    off_t base = origin == 1 ? position : origin == 2 ? size : 0;
    // Range check without overflow: base and size lie within 0..size.
    if (offset < -base || offset > size - base)
        return aErrRange;
    file->last = _Direction::None;
    if (fseeko(file->stream, base + offset, SEEK_SET) != 0 || ftello(file->stream) < 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t* size)
{
    if (!size)
        return aErrParam;
    *size = 0;
    if (!_valid(file))
        return aErrParam;
    off_t position, measured;
    if (_measure(file->stream, &position, &measured) != aErrNone)
        return aErrIO;
    *size = size_t(measured);
    return aErrNone;
}

aErr aFile_GetPosition(aFileRef file, size_t* position)
{
    if (!_valid(file))
        return aErrParam;
    off_t current = ftello(file->stream);
    if (current < 0)
        return aErrIO;
    if (position)
        *position = size_t(current);
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file)
{
    if (!_valid(file))
        return aErrParam;
    if (!_can_write(file))
        return aErrMode;
    fflush(file->stream);
    return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Delete(const char* path)
{
    if (!path)
        return aErrParam;
    if (!_path_ok(path))
        return aErrFileNameLength;
    return unlink(path) == 0 ? aErrNone : aError_FromErrno(errno);
}
