#pragma once
// Advisory whole-file locks between processes (flock). The kernel drops a lock with
// the last descriptor of its holder, so a process that dies, however it dies, never
// leaves a lock behind.
#include <cstdint>

#include "unix/aError.h"

// Opens path (created with mode 0666 when missing; a symbolic link is refused) and
// waits up to timeoutMs for the exclusive lock. aErrNone with *fd holding the lock;
// aErrTimeout when another holder kept it all the while; aErrParam for null arguments;
// aErrIO when the file cannot be opened or locked, with errno saying why (EISDIR or
// ENOLCK for a path that is no regular file). *fd is -1 unless the lock is held.
aErr aFileLock_Acquire(const char* path, uint32_t timeoutMs, int* fd);

// Releases the lock, closes the descriptor and sets *fd to -1; nothing for -1.
void aFileLock_Release(int* fd);
