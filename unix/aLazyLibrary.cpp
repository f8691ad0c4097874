#include "unix/aLazyLibrary.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

namespace {

std::atomic<aLazyReporter> _reporter{nullptr};

// The process ends at once (other threads may be running: no exit handlers), after
// what the program has written so far and one line of its own.
[[noreturn]] void _fail(const aLazyLibrary* library, const char* symbol, const char* error)
{
    const std::string reason = std::string("cannot load ") + library->soname + ": " + (error ? error : "unknown error");
    if (aLazyReporter report = _reporter.load())
        report(("aLazyLibrary: call of " + std::string(symbol) + ": " + reason + "\n").c_str());
    fflush(stdout);
    const std::string line = std::string(program_invocation_short_name) + ": " + reason + "\n";
    ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    (void)written;
    _exit(1);
}

}  // namespace

void* aLazyLibrary_Symbol(aLazyLibrary* library, const char* symbol)
{
    std::call_once(library->opened, [library, symbol] {
        library->handle = dlopen(library->soname, RTLD_NOW | RTLD_LOCAL);
        if (!library->handle)
            _fail(library, symbol, dlerror());
    });
    // Looked up on the library's own handle: a program that also defines the symbol
    // (a forwarder) gets the library's definition, never itself.
    void* address = dlsym(library->handle, symbol);
    if (!address)
        _fail(library, symbol, dlerror());
    return address;
}

void aLazyLibrary_SetReporter(aLazyReporter report)
{
    _reporter.store(report);
}
