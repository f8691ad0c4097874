#include "unix/aMutex.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <pthread.h>

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_NAME_MAX + 1];
};

namespace {

// Error-checking mutexes: a second lock by the holder and an unlock by a
// thread that does not hold it are reported instead of hanging or corrupting
// the lock.
bool _init_mutex(pthread_mutex_t* mutex)
{
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0)
        return false;
    bool ok = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
              pthread_mutex_init(mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

aErr _translate(int platformError, int busyError, aErr busyCode)
{
    if (platformError == 0)
        return aErrNone;
    if (platformError == EINVAL)
        return aErrParam;
    if (platformError == busyError)
        return busyCode;
    return aErrUnknown;
}

}  // namespace

aMutexRef aMutex_Create(const char* name)
{
    if (!name)
        name = "";
    size_t length = strnlen(name, aMUTEX_NAME_MAX + 1);
    if (length > aMUTEX_NAME_MAX)
        return nullptr;
    aMutexRef mutex = new (std::nothrow) aMutex;
    if (!mutex)
        return nullptr;
    if (!_init_mutex(&mutex->mutex)) {
        delete mutex;
        return nullptr;
    }
    memcpy(mutex->name, name, length);
    mutex->name[length] = '\0';
    return mutex;
}

const char* aMutex_Identifier(aMutexRef mutex)
{
    return mutex ? mutex->name : "";
}

aErr aMutex_Lock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    return _translate(pthread_mutex_lock(&mutex->mutex), EDEADLK, aErrDuplicate);
}

aErr aMutex_TryLock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    return _translate(pthread_mutex_trylock(&mutex->mutex), EBUSY, aErrBusy);
}

aErr aMutex_Unlock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    return _translate(pthread_mutex_unlock(&mutex->mutex), EPERM, aErrPermission);
}

aErr aMutex_Destroy(aMutexRef* mutex)
{
    if (!mutex || !*mutex)
        return aErrParam;
    int result = pthread_mutex_destroy(&(*mutex)->mutex);
    delete *mutex;
    *mutex = nullptr;
    if (result == EAGAIN)
        return aErrResource;
    return _translate(result, EBUSY, aErrBusy);
}
