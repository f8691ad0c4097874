#include "sim/usb/UsbEmulation.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <link.h>
#include <signal.h>
#include <stdexcept>
#include <unistd.h>

#include <umockdev.h>

namespace usbemu {

namespace {

constexpr const char* PRELOAD = "libumockdev-preload.so.0";
constexpr const char* OWNER_FILE = "updater-test-owner";
constexpr const char* ORIGINAL_PRELOAD = "UPDATER_TEST_ORIGINAL_LD_PRELOAD";

// ---- preload ------------------------------------------------------------

int _find_sanitizer(struct dl_phdr_info* info, size_t, void* out)
{
    const char* name = info->dlpi_name;
    if (name && (strstr(name, "libasan.so") || strstr(name, "libtsan.so"))) {
        *static_cast<std::string*>(out) = name;
        return 1;
    }
    return 0;
}

std::vector<std::string> _own_arguments()
{
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    std::string argument;
    while (std::getline(in, argument, '\0'))
        arguments.push_back(argument);
    return arguments;
}

// ---- testbed folders of killed runs ---------------------------------------

void _remove_stale_testbeds()
{
    const char* tmp = getenv("TMPDIR");
    std::filesystem::path dir = tmp && *tmp ? tmp : "/tmp";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (entry.path().filename().string().rfind("umockdev.", 0) != 0)
            continue;
        std::ifstream owner(entry.path() / OWNER_FILE);
        pid_t pid = 0;
        if (!(owner >> pid) || pid <= 0)
            continue;
        if (kill(pid, 0) != 0 && errno == ESRCH)
            std::filesystem::remove_all(entry.path(), error);
    }
}

// LD_PRELOAD with the umockdev preload: a sanitizer runtime of this process
// stays first, as the runtime insists.
std::string _preload_list()
{
    std::string preload;
    dl_iterate_phdr(_find_sanitizer, &preload);
    if (!preload.empty())
        preload += ":";
    preload += PRELOAD;
    if (const char* old = getenv("LD_PRELOAD"); old && *old && !strstr(old, "libumockdev-preload"))
        preload = preload + ":" + old;
    return preload;
}

}  // namespace

bool preloadActive()
{
    auto loaded = [](struct dl_phdr_info* info, size_t, void*) -> int {
        return info->dlpi_name && strstr(info->dlpi_name, "libumockdev-preload") ? 1 : 0;
    };
    return dl_iterate_phdr(loaded, nullptr) != 0;
}

void reexecUnderPreload()
{
    if (preloadActive()) {
        // Loaded now; children get the environment they started with (the
        // ones that need the emulation get childEnvironment()).
        if (const char* original = getenv(ORIGINAL_PRELOAD)) {
            if (*original)
                setenv("LD_PRELOAD", original, 1);
            else
                unsetenv("LD_PRELOAD");
            unsetenv(ORIGINAL_PRELOAD);
        }
        return;
    }
    const char* original = getenv("LD_PRELOAD");
    setenv(ORIGINAL_PRELOAD, original ? original : "", 1);
    setenv("LD_PRELOAD", _preload_list().c_str(), 1);
    // The sanitizer checks that its runtime comes first in the link order.
    if (!getenv("ASAN_OPTIONS"))
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    std::vector<std::string> arguments = _own_arguments();
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    perror("re-exec under libumockdev-preload");
    _exit(127);
}

// ============================================================================
// UsbEmulation

UsbEmulation::UsbEmulation()
{
    _remove_stale_testbeds();
    testbed_ = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
    std::ofstream(root_ + "/" + OWNER_FILE) << getpid() << "\n";
    std::filesystem::create_directories(root_ + "/dev/bus/usb/001");
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, rootHubRecord().c_str(), &error)) {
        std::string message = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("usb emulation: root hub: " + message);
    }
    timerThread_ = std::thread([this] { run(); });
}

UsbEmulation::~UsbEmulation()
{
    {
        std::lock_guard<std::mutex> hold(timerMutex_);
        stopping_ = true;
    }
    timerWake_.notify_all();
    timerThread_.join();
    // Handlers go first, then the testbed with its worker thread, then the
    // state the handlers used.
    for (auto& node : nodes_)
        node->detach();
    for (auto& hidraw : hidraws_)
        hidraw->detach();
    for (auto& device : devices_)
        device->detach();
    g_object_unref(testbed_);
    nodes_.clear();
    hidraws_.clear();
    devices_.clear();
    std::error_code error;
    std::filesystem::remove_all(root_, error);
}

EmulatedUsbDevice& UsbEmulation::addDevice(const UsbDeviceConfig& config)
{
    unsigned port = static_cast<unsigned>(devices_.size()) + 1;
    devices_.push_back(std::unique_ptr<EmulatedUsbDevice>(new EmulatedUsbDevice(*this, config, port)));
    devices_.back()->plug();
    return *devices_.back();
}

EmulatedUsbDevice& UsbEmulation::addModule(uint32_t serialNumber, uint8_t model, bool highSpeed)
{
    return addDevice(moduleConfig(serialNumber, model, highSpeed));
}

EmulatedKernelNode& UsbEmulation::addKernelNode(uint32_t serialNumber)
{
    nodes_.push_back(std::unique_ptr<EmulatedKernelNode>(new EmulatedKernelNode(*this, serialNumber)));
    return *nodes_.back();
}

EmulatedHidraw& UsbEmulation::addHidraw(const UsbDeviceConfig& config)
{
    unsigned index = static_cast<unsigned>(hidraws_.size());
    hidraws_.push_back(std::unique_ptr<EmulatedHidraw>(new EmulatedHidraw(*this, config, index)));
    return *hidraws_.back();
}

std::map<std::string, std::string> UsbEmulation::childEnvironment() const
{
    std::map<std::string, std::string> environment{{"LD_PRELOAD", _preload_list()}, {"UMOCKDEV_DIR", root_}};
    const char* asan = getenv("ASAN_OPTIONS");
    environment["ASAN_OPTIONS"] =
        std::string(asan && *asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
    return environment;
}

void UsbEmulation::post(unsigned delayMs, std::function<void()> action)
{
    {
        std::lock_guard<std::mutex> hold(timerMutex_);
        timers_.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs), std::move(action));
    }
    timerWake_.notify_all();
}

void UsbEmulation::run()
{
    std::unique_lock<std::mutex> hold(timerMutex_);
    while (!stopping_) {
        if (timers_.empty()) {
            timerWake_.wait(hold);
            continue;
        }
        auto next = timers_.begin();
        if (timerWake_.wait_until(hold, next->first) != std::cv_status::timeout && !stopping_)
            continue;
        if (stopping_)
            break;
        next = timers_.begin();
        if (next->first > std::chrono::steady_clock::now())
            continue;
        std::function<void()> action = std::move(next->second);
        timers_.erase(next);
        hold.unlock();
        action();
        hold.lock();
    }
}

}  // namespace usbemu
