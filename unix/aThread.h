#pragma once
// Threads of the device library: start a procedure on its own thread, join it.

typedef struct aThread* aThreadRef;
typedef void* (*aThreadProc)(void* ref);

// Starts procedure(ref) on a new thread; null when the record cannot be
// allocated or the thread cannot be started.
aThreadRef aThread_Create(aThreadProc procedure, void* ref);

// Waits for the thread to end, frees the record and nulls the caller's handle.
// Returns the join's platform error number (0 on success, EINVAL for a null
// handle).
int aThread_Destroy(aThreadRef* thread);

// Gives up the processor for a moment (5 microseconds).
void aThread_Yield();
