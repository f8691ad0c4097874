#pragma once
// Named, non-recursive mutexes of the device library.
#include "unix/aError.h"

typedef struct aMutex* aMutexRef;

// Longest name a mutex can carry (the record keeps a 256-byte buffer).
constexpr unsigned aMUTEX_NAME_MAX = 255;

// A new mutex; null on allocation failure, a name longer than aMUTEX_NAME_MAX
// or a failing platform initialisation. A null name is stored as "".
aMutexRef aMutex_Create(const char* name);

// The name given at creation ("" for a null handle).
const char* aMutex_Identifier(aMutexRef mutex);

// aErrDuplicate when the calling thread already holds the mutex.
aErr aMutex_Lock(aMutexRef mutex);
// aErrBusy when another holder has it.
aErr aMutex_TryLock(aMutexRef mutex);
// aErrPermission when the calling thread does not hold the mutex.
aErr aMutex_Unlock(aMutexRef mutex);

// Destroys the mutex, frees the record (even when the platform objects) and
// nulls the caller's handle; aErrParam for a null handle.
aErr aMutex_Destroy(aMutexRef* mutex);
