// File streams: bytes from a file opened for reading, or to a file opened for writing.
#include "common/aStream.h"
#include "unix/aFile.h"

namespace {

aErr _fileGet(uint8_t* byte, void* ref)
{
    if (ref == nullptr)
        return aErrIO;
    return aFile_Read(static_cast<aFileRef>(ref), byte, 1, nullptr);
}

aErr _filePut(const uint8_t* byte, void* ref)
{
    if (ref == nullptr)
        return aErrIO;
    return aFile_Write(static_cast<aFileRef>(ref), byte, 1, nullptr);
}

aErr _fileWrite(const uint8_t* bytes, size_t length, void* ref)
{
    if (ref == nullptr)
        return aErrIO;
    return aFile_Write(static_cast<aFileRef>(ref), bytes, length, nullptr);
}

aErr _fileDelete(void* ref)
{
    if (ref == nullptr)
        return aErrIO;
    aFileRef file = static_cast<aFileRef>(ref);
    return aFile_Close(&file);
}

aErr _createFileStream(const char* path, aFileMode mode, aStreamRef* stream)
{
    if (path == nullptr || stream == nullptr)
        return aErrResource;
    *stream = nullptr;
    aFileRef file = aFile_Open(path, mode);
    if (!file)
        return aErrResource;
    bool reading = mode == aFileModeRead;
    *stream = aStream_Create(reading ? _fileGet : nullptr, reading ? nullptr : _filePut, reading ? nullptr : _fileWrite,
                             _fileDelete, file);
    if (*stream == nullptr) {
        aFile_Close(&file);
        return aErrResource;
    }
    return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream)
{
    return _createFileStream(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream)
{
    return _createFileStream(path, aFileModeWrite, stream);
}
