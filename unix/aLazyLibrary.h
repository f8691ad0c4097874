#pragma once
// Libraries that only some commands need (ZeroMQ, USB, HID) are opened the first time
// one of their functions is called instead of at every start: a forwarding file per
// library defines the functions the project calls, each calling the library's own
// definition looked up here once.
#include <mutex>

struct aLazyLibrary {
    const char* soname;
    std::once_flag opened{};
    void* handle = nullptr;
};

// The library's own definition of `symbol`, opening the library on first use. A library
// or symbol that cannot be loaded ends the process as a library missing at start-up
// would: one line on standard error, exit status 1.
void* aLazyLibrary_Symbol(aLazyLibrary* library, const char* symbol);

// Also hands the detail of such a failure to `report` (the debug log); null for none.
typedef void (*aLazyReporter)(const char* line);
void aLazyLibrary_SetReporter(aLazyReporter report);

// The library's own `function` with the prototype its header gives, looked up on the
// first call through this forwarder and cached (for a forwarder defining `function`).
#define aLAZY(library, function)                                                                                      \
    ([] {                                                                                                             \
        static const auto real = reinterpret_cast<decltype(&(function))>(aLazyLibrary_Symbol(&(library), #function)); \
        return real;                                                                                                  \
    }())
