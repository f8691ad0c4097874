#pragma once
// The simulators' programs run until a signal: the main thread takes the signals with
// sigwait, so they are blocked before any serving thread starts (threads inherit the
// mask). A host that hangs up must not end the program, so SIGPIPE is ignored.
#include <signal.h>

#include <initializer_list>

namespace Sim {

// Blocks the signals in the calling thread and returns them as a set for sigwait.
sigset_t BlockForSigwait(std::initializer_list<int> signals);

// Waits until one of the blocked signals arrives; its number.
int WaitForSignal(const sigset_t& signals);

}  // namespace Sim
