#include "unix/aLazyLibrary.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace {

std::atomic<aLazyReporter> _reporter{nullptr};

// Written with one write(2): the process ends at once, without flushing stdio.
[[noreturn]] void _fail(const aLazyLibrary* library, const char* symbol, const char* error)
{
    const std::string reason = std::string("cannot load ") + library->soname + ": " + (error ? error : "unknown error");
    if (aLazyReporter report = _reporter.load())
        report(("aLazyLibrary: " + std::string(symbol) + " needs " + reason + "\n").c_str());
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
