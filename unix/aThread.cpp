#include "unix/aThread.h"

#include <cerrno>
#include <ctime>
#include <new>
#include <pthread.h>

struct aThread {
    pthread_t id;
};

aThreadRef aThread_Create(aThreadProc procedure, void* ref)
{
    if (!procedure)
        return nullptr;
    aThreadRef thread = new (std::nothrow) aThread;
    if (!thread)
        return nullptr;
    if (pthread_create(&thread->id, nullptr, procedure, ref) != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

int aThread_Destroy(aThreadRef* thread)
{
    if (!thread || !*thread)
        return EINVAL;
    int result = pthread_join((*thread)->id, nullptr);
    delete *thread;
    *thread = nullptr;
    return result;
}

void aThread_Yield()
{
    const timespec pause = {0, 5000};
    nanosleep(&pause, nullptr);
}
