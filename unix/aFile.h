#pragma once
// Files of the device library: buffered platform files behind a checked handle.
#include <cstddef>
#include <cstdint>

#include "unix/aError.h"

// Longest path aFile_Exists, aFile_Open and aFile_Delete accept.
constexpr size_t aFILE_NAME_MAX = 1024;

enum aFileMode : int32_t {
    aFileModeRead = 0,    // "rb"
    aFileModeWrite = 1,   // "wb": creates or truncates
    aFileModeAppend = 2,  // "ab+": creates; reads anywhere, writes at the end
    aFileModeNone = 3,    // opening always fails
};

typedef struct aFile* aFileRef;

// True for an existing entry that is not a directory.
bool aFile_Exists(const char* path);

// A new handle, or null when the path is null, empty or too long, the mode is
// aFileModeNone or the platform refuses. Append mode starts at the end.
aFileRef aFile_Open(const char* path, aFileMode mode);

// Closes the file and nulls the caller's handle (also when it was invalid).
aErr aFile_Close(aFileRef* file);

// Reads up to length bytes; aErrEOF when length > 0 and nothing was read.
aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* read);

// Writes length bytes; aErrIO when not all of them could be written.
aErr aFile_Write(aFileRef file, const uint8_t* data, size_t length, size_t* written);

// Reads one line, newline included, into buffer (at most size - 1 characters).
// aErrOverrun when the line did not fit (the next call continues it), aErrEOF
// at the end of the file.
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);

aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// origin 1: from the current position, 2: from the end, otherwise from the
// start. The target must lie within 0..size, else aErrRange and no move.
aErr aFile_Seek(aFileRef file, long offset, int origin);

aErr aFile_GetSize(aFileRef file, size_t* size);
aErr aFile_GetPosition(aFileRef file, size_t* position);

// Switches a writable file to unbuffered output.
aErr aFile_SetUnbuffered(aFileRef file);

// Removes a file: aErrNotFound, aErrPermission or aErrIO on failure.
aErr aFile_Delete(const char* path);
