#include "sim/StopSignals.h"

#include <pthread.h>

namespace Sim {

sigset_t BlockForSigwait(std::initializer_list<int> signals)
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals)
        sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return set;
}

int WaitForSignal(const sigset_t& signals)
{
    int received = 0;
    sigwait(&signals, &received);
    return received;
}

}  // namespace Sim
