#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include "unix/aLazyLibrary.h"

namespace {

// The library's own definition, never the program's forwarder of the same name.
TEST(LazyLibrary, GivesTheLibrarysOwnDefinition)
{
    aLazyLibrary usb{LIBUSB_SONAME};
    void* real = aLazyLibrary_Symbol(&usb, "libusb_init");
    EXPECT_EQ(real, dlsym(dlopen(LIBUSB_SONAME, RTLD_NOW | RTLD_NOLOAD), "libusb_init"));
    EXPECT_NE(real, reinterpret_cast<void*>(&libusb_init));
}

// As when the dynamic loader misses a library at start: one line, exit status 1.
TEST(LazyLibrary, EndsTheProgramWhenTheLibraryOrSymbolIsMissing)
{
    const struct {
        const char* soname;
        const char* symbol;
        const char* line;
    } cases[] = {
        {"libupdater-missing.so.0", "f", "^test_unix: cannot load libupdater-missing\\.so\\.0: .*No such file.*\n$"},
        {LIBUSB_SONAME, "libusb_missing", "^test_unix: cannot load libusb.*undefined symbol: libusb_missing\n$"},
    };
    for (const auto& c : cases) {
        aLazyLibrary library{c.soname};
        EXPECT_EXIT(aLazyLibrary_Symbol(&library, c.symbol), testing::ExitedWithCode(1), c.line);
    }
}

}  // namespace
