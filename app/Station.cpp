#include "app/Station.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "app/Appearances.h"
#include "app/DoneCommand.h"
#include "app/Dispatch.h"
#include "app/EndingSignals.h"
#include "app/ModuleUpdate.h"
#include "app/Parameters.h"
#include "app/StationConsole.h"
#include "common/Log.h"
#include "unix/tsusb.h"
#include "unix/tsusbWatch.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto LEVEL_ERR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr auto DONE_TIMEOUT = std::chrono::seconds(30);
// An updated module restarts; this long it may stay away without leaving.
constexpr auto RESTART_LIMIT = std::chrono::seconds(30);
// A TCP/IP module must miss this many discoveries in a row to have left.
constexpr unsigned TCPIP_MISSES = 2;
// What the station looks at: the modules on its own transport (USB or TCP/IP),
// and those that module servers announce (this host's, and by beacon on
// "--interface"), each source judged on its own.
constexpr size_t DIRECT = 0;
constexpr size_t SERVED = 1;
constexpr unsigned SERVED_MISSES = 2;
constexpr auto LIVE_REDRAW = std::chrono::milliseconds(100);
// USB without hot-plug events: looked at this often, so that a module plugged
// in still starts within a second.
constexpr uint32_t DEFAULT_USB_POLL_MS = 500;
constexpr uint32_t MIN_USB_POLL_MS = 50;
constexpr uint32_t MAX_USB_POLL_MS = 10000;

// One module's display inside a station: phases and progress to the console,
// every message to the attempt's log file, the errors kept for its outcome.
class StationDisplay : public UpdaterDisplayInterface {
public:
    StationDisplay(StationConsole& console, uint32_t serial, FILE* log) : console_(console), serial_(serial), log_(log)
    {
    }
    void display_progress(bool active) override
    {
        if (!active)
            console_.Progress(serial_, -1);
    }
    void update_progress(double fraction, const char* /*label*/) override { console_.Progress(serial_, fraction); }
    void update_spinner(bool /*active*/, const char* /*label*/) override {}
    // On the attempt's thread the debug log is copied to its log file.
    void info_message(const char* text) override { Log::log(DEBUG_Updater, "%08X: %s\n", serial_, text); }
    void error_message(const char* text) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!errors_.empty())
            errors_ += '\n';
        errors_ += text;
        _write(text);
    }
    void update_phase(const char* phase) override
    {
        console_.Phase(serial_, phase);
        _write((std::string("phase: ") + phase).c_str());
    }
    std::string take_errors()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string taken;
        taken.swap(errors_);
        return taken;
    }
    // An event line of the console, in the log file too.
    void Event(const std::string& event)
    {
        console_.Event(serial_, event);
        if (log_)
            fprintf(log_, "%s\n", StationConsole::Line(_utc_time_text(), serial_, event).c_str());
    }

private:
    void _write(const char* text)
    {
        if (log_)
            fprintf(log_, "%s\n", text);
    }

    StationConsole& console_;
    const uint32_t serial_;
    FILE* log_;
    std::mutex mutex_;
    std::string errors_;
};

// "SERIAL-YYYYmmddTHHMMSS.log" in the directory; a second attempt of the same
// module within the same second gets "-2", "-3", ...
std::string _log_path(const std::string& dir, uint32_t serial)
{
    time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    const std::string base = (std::filesystem::path(dir) / (_serial_text(serial) + "-" + stamp)).string();
    std::string path = base + ".log";
    for (int n = 2; std::filesystem::exists(path); ++n)
        path = base + "-" + std::to_string(n) + ".log";
    return path;
}

std::string _firmware_text(const std::string& version, uint32_t build)
{
    if (!version.empty())
        return version;
    return build ? std::to_string(build) : "";
}

// "updated", "current", "failed: the module left during its update".
std::string _event_of(const ModuleOutcome& outcome)
{
    switch (outcome.result) {
    case BatchResult::Updated:
        return "updated";
    case BatchResult::Current:
        return "current";
    case BatchResult::Interrupted:
        return "interrupted";
    default:
        return "failed: " + outcome.message;
    }
}

class Station {
public:
    Station(CLI_Display& display, const Parameters& params, Updater& updater)
        : display_(display),
          params_(params),
          updater_(updater),
          type_(_discovery_link_type(params)),
          router_(params.router_serial),
          appearances_({_on_usb() ? 1 : TCPIP_MISSES, SERVED_MISSES}, RESTART_LIMIT)
    {
    }

    int Run()
    {
        const auto start = Clock::now();
        run_.batch = _batch_id();
        if (!params_.batch.log_dir.empty() && !_make_log_dir())
            return 1;
        FILE* out = display_.stream();
        const bool live = isatty(fileno(out)) == 1;
        {
            EndingSignals signals([this](int /*signal*/, int count) { return _on_signal(count); });
            if (_on_usb())
                watch_ = _usb_poll_ms() == 0 ? tsusb_watch_start(_usb_changed, this) : nullptr;
            const std::string watching = _watching_text();
            const uint32_t count = params_.batch.count;
            const std::string ending = count == 0   ? "runs until stopped"
                                       : count == 1 ? "ends after 1 module"
                                                    : "ends after " + std::to_string(count) + " modules";
            display_.message(INFO, "Station %s, served modules every %u s: %s (batch %s)", watching.c_str(),
                             params_.batch.interval, ending.c_str(), run_.batch.c_str());
            console_ = std::make_unique<StationConsole>(out, live, watching);
            std::thread served([this] { _watch_served(); });
            _loop(live);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ending_ = true;
            }
            servedWake_.notify_all();
            served.join();
            if (watch_)
                tsusb_watch_stop(&watch_);
            console_->Close();
            std::unique_lock<std::mutex> closing = signals.Close();
        }
        run_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const bool written = _report_run(display_, params_, run_);
        return written && _run_all_current(run_) ? 0 : 1;
    }

private:
    struct Attempt {
        DeviceInfo found;
        std::string logPath;
        FILE* log = nullptr;
        std::unique_ptr<StationDisplay> display;
        ModuleOutcome outcome;
        HistoryEntry entry;
        bool started = false;  // its update's record exists
        std::atomic<bool> finished{false};
        std::thread thread;
    };

    // "UPDATER_USB_POLL_MS": USB is looked at this often instead of waiting for
    // hot-plug events, for buses whose events do not reach the process (an
    // emulated bus run by another process); 0 when not set.
    static unsigned _usb_poll_ms()
    {
        const char* text = getenv("UPDATER_USB_POLL_MS");
        char* end = nullptr;
        const uint32_t ms = text ? _get_int_arg(text, &end) : 0;
        return end ? std::clamp<uint32_t>(ms, MIN_USB_POLL_MS, MAX_USB_POLL_MS) : 0;
    }

    // Whether the station's own transport is the USB bus, with its events.
    bool _on_usb() const { return type_ == USB && router_ == 0; }

    std::string _watching_text() const
    {
        const std::string interval = std::to_string(params_.batch.interval) + " s";
        if (router_ != 0)
            return "watching the bus of " + _serial_text(router_) + " every " + interval;
        if (!_on_usb())
            return "watching TCP/IP every " + interval;
        return watch_ ? "watching USB" : "watching USB every " + std::to_string(_scan_period().count()) + " ms";
    }

    // Between two looks when no event says when: --interval for TCP/IP and a
    // router's bus, USB's poll where there are no hot-plug events.
    std::chrono::milliseconds _scan_period() const
    {
        if (!_on_usb())
            return std::chrono::seconds(params_.batch.interval);
        const unsigned ms = _usb_poll_ms();
        return std::chrono::milliseconds(ms ? ms : DEFAULT_USB_POLL_MS);
    }

    static void _usb_changed(bool arrived, void* ref)
    {
        Log::log(DEBUG_Updater, "Station: a USB module %s\n", arrived ? "arrived" : "left");
        auto* station = static_cast<Station*>(ref);
        std::lock_guard<std::mutex> lock(station->mutex_);
        station->rescan_ = true;
        station->woken_ = true;
        station->wake_.notify_all();
    }

    bool _make_log_dir()
    {
        std::error_code error;
        std::filesystem::create_directories(params_.batch.log_dir, error);
        if (!error && std::filesystem::is_directory(params_.batch.log_dir))
            return true;
        display_.message(LEVEL_ERR, "Could not make the log directory %s: %s", params_.batch.log_dir.c_str(),
                         error ? error.message().c_str() : "not a directory");
        return false;
    }

    EndingSignals::Then _on_signal(int count)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count == 1) {
            stopping_ = true;
            woken_ = true;
            wake_.notify_all();
            return EndingSignals::Then::GoOn;
        }
        // A second signal: the updates in flight are not waited for.
        abandoned_ = true;
        for (const auto& attempt : attempts_) {
            if (!attempt->started || attempt->finished)
                continue;
            HistoryEntry entry = attempt->entry;
            entry.interrupted = true;
            entry.error = "stopped during its update";
            _append_history(display_, params_.store_directory, _history_record(entry, Outcome()));
            if (console_)
                console_->Event(attempt->found.spec.serialNumber, "interrupted");
        }
        display_.message(LEVEL_ERR, "Stopped: the updates in flight are recorded as interrupted");
        fflush(nullptr);
        return EndingSignals::Then::End;
    }

    // Under the lock: whether the station starts no more modules.
    bool _closed() const { return stopping_ || (params_.batch.count && begun_ >= params_.batch.count); }

    void _loop(bool live)
    {
        auto nextScan = Clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            _reap(lock);
            if (_closed() && attempts_.empty())
                return;
            const bool timed = !_on_usb() || !watch_;
            // A bus scan switches the router's routing, which the updates
            // through it rely on: the bus is scanned while none runs.
            const bool scannable = routedRunning_ == 0;
            if (!_closed() && scannable && (rescan_ || (timed && Clock::now() >= nextScan))) {
                rescan_ = false;
                nextScan = Clock::now() + _scan_period();
                lock.unlock();
                std::map<uint32_t, DeviceInfo> found = _scan();
                lock.lock();
                _judge(DIRECT, std::move(found));
            }
            _start_waiting();
            // (An update's end wakes the loop, and what came meanwhile is scanned.)
            auto until = timed && scannable ? nextScan : Clock::now() + std::chrono::hours(1);
            if (live)
                until = std::min(until, Clock::now() + LIVE_REDRAW);
            wake_.wait_until(lock, until, [this] { return woken_; });
            woken_ = false;
            if (live)
                console_->Draw();
        }
    }

    // The modules there now; a module found twice (two transports) once.
    std::map<uint32_t, DeviceInfo> _scan()
    {
        std::map<uint32_t, DeviceInfo> found;
        // Without events libusb's list of devices may be stale: a fresh context
        // sees the bus as it is (not while an update holds the context).
        if (_on_usb() && !watch_)
            Tessarine_libusb_exit();
        // A TCP/IP module that answers is started at once, not at the end of
        // the discovery's reply window (USB's enumeration takes no such time).
        auto sighted = [this](const DeviceInfo& device) {
            const uint32_t serial = device.spec.serialNumber;
            std::lock_guard<std::mutex> lock(mutex_);
            if (serial == 0 || _closed() || !appearances_.Sighted(DIRECT, serial))
                return;
            direct_[serial] = device;
            waiting_.push_back(serial);
            _start_waiting();
        };
        const std::function<void(const DeviceInfo&)> none;
        const std::vector<DeviceInfo> devices = router_ != 0 ? updater_.Discover_TSNetwork_Devices(router_, type_)
                                                             : updater_.Find_Devices(type_, _on_usb() ? none : sighted);
        for (const DeviceInfo& device : devices)
            if (device.spec.serialNumber != 0)
                found.emplace(device.spec.serialNumber, device);
        Log::log(DEBUG_Updater, "Station: %zu modules found\n", found.size());
        return found;
    }

    // On its own thread, every --interval: the modules that servers announce.
    // A look by beacon takes its whole reply window, which the USB events must
    // not wait for.
    void _watch_served()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!ending_) {
            lock.unlock();
            std::map<uint32_t, DeviceInfo> found;
            for (const DeviceInfo& device : updater_.Find_Served_Devices(params_.batch.interface))
                if (device.spec.serialNumber != 0)
                    found.emplace(device.spec.serialNumber, device);
            lock.lock();
            if (ending_)
                return;
            if (!_closed()) {
                _judge(SERVED, std::move(found));
                woken_ = true;
                wake_.notify_all();
            }
            servedWake_.wait_for(lock, std::chrono::seconds(params_.batch.interval), [this] { return ending_; });
        }
    }

    // Under the lock: how a module that was seen is reached; null when neither
    // source saw it last. A module that both a server and the station's own
    // transport see is reached through its server, which holds its device.
    const DeviceInfo* _found(uint32_t serial) const
    {
        for (const auto* seen : {&served_, &direct_}) {
            auto it = seen->find(serial);
            if (it != seen->end())
                return &it->second;
        }
        return nullptr;
    }

    // Under the lock: what one source's scan means.
    void _judge(size_t source, std::map<uint32_t, DeviceInfo> found)
    {
        std::set<uint32_t> present;
        for (const auto& entry : found)
            present.insert(entry.first);
        (source == SERVED ? served_ : direct_) = std::move(found);
        const Appearances::Changes changes = appearances_.Scan(source, present, Clock::now());
        for (uint32_t serial : changes.left) {
            console_->Event(serial, "left");
            waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), serial), waiting_.end());
        }
        for (uint32_t serial : changes.appeared) {
            appearances_.Started(serial);
            waiting_.push_back(serial);
        }
    }

    // Under the lock: starts the modules that appeared, as many as --jobs allows.
    // The modules behind the router take turns: its bus carries one update at
    // a time.
    void _start_waiting()
    {
        for (auto it = waiting_.begin(); it != waiting_.end() && !_closed() && running_ < params_.batch.jobs;) {
            const uint32_t serial = *it;
            const DeviceInfo* found = _found(serial);
            if (!found) {
                appearances_.Ended(serial, false, Clock::now());
                it = waiting_.erase(it);
                continue;
            }
            const bool routed = found->network_address != 0;
            if (routed && routedRunning_ > 0) {
                ++it;
                continue;
            }
            it = waiting_.erase(it);
            ++begun_;
            ++running_;
            routedRunning_ += routed ? 1 : 0;
            attempts_.push_back(std::make_unique<Attempt>());
            Attempt& attempt = *attempts_.back();
            attempt.found = *found;
            _open_log(attempt);
            attempt.thread = std::thread([this, &attempt] { _attempt(attempt); });
        }
    }

    void _open_log(Attempt& attempt)
    {
        const uint32_t serial = attempt.found.spec.serialNumber;
        if (!params_.batch.log_dir.empty()) {
            attempt.logPath = _log_path(params_.batch.log_dir, serial);
            attempt.log = fopen(attempt.logPath.c_str(), "w");
            if (!attempt.log) {
                Log::log(0, "Could not write the log file %s\n", attempt.logPath.c_str());
                attempt.logPath.clear();
            } else {
                setvbuf(attempt.log, nullptr, _IOLBF, 0);
            }
        }
        attempt.display = std::make_unique<StationDisplay>(*console_, serial, attempt.log);
    }

    // On the attempt's own thread: look at the module, update it when it is
    // behind, tell the user's command.
    void _attempt(Attempt& attempt)
    {
        Log::CopyThisThread(attempt.log);
        StationDisplay& display = *attempt.display;
        display.Event("appeared");
        const PlannedModule planned = _plan(attempt.found, display);
        attempt.outcome = _outcome_of(planned);
        if (planned.action == PlanAction::Update) {
            display.Event("updating");
            _update(attempt, planned);
        } else if (planned.action != PlanAction::Current) {
            attempt.outcome.result = BatchResult::Failed;
            attempt.outcome.message = planned.reason;
        }
        display.Event(_event_of(attempt.outcome));
        _on_done(attempt);
        Log::CopyThisThread(nullptr);
        _finish(attempt);
    }

    PlannedModule _plan(DeviceInfo device, StationDisplay& display)
    {
        display.update_phase("query");
        Updater updater(params_.server_url, params_.store_directory, display);
        // A module behind a router was read by the bus scan that found it.
        if (device.network_address == 0)
            updater.Query_Found(device);
        ImagePicker picker(display, params_);
        ImageChoice image;
        if (!picker.Prepare({device})) {
            image.fits = false;
            image.misfit = display.take_errors();
        } else {
            image = picker.For(device);
        }
        std::vector<PlannedModule> plan =
            _plan_updates({PlanCandidate{device, image}}, PlanRule{picker.Newest(), params_.batch.force});
        display.take_errors();
        return plan.front();
    }

    void _update(Attempt& attempt, const PlannedModule& planned)
    {
        StationDisplay& display = *attempt.display;
        ModuleUpdateHooks hooks;
        hooks.started = [this, &attempt](const HistoryEntry& entry) {
            std::lock_guard<std::mutex> lock(mutex_);
            attempt.started = true;
            attempt.entry = entry;
        };
        hooks.record = [this](const HistoryEntry& entry, const Updater& updater, UpdaterDisplayInterface& shown) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!abandoned_)
                _append_history(shown, params_.store_directory, _history_record(entry, updater.Get_Outcome()));
        };
        hooks.takeErrors = [&display] { return display.take_errors(); };
        // The modules in flight end by themselves, whatever signal came.
        hooks.stopping = [] { return false; };
        _update_module(params_, run_.batch, planned, params_.verify, display, hooks, attempt.outcome);
    }

    void _on_done(Attempt& attempt)
    {
        if (params_.batch.on_done.empty())
            return;
        const ModuleOutcome& outcome = attempt.outcome;
        std::string message = outcome.message;
        std::replace(message.begin(), message.end(), '\n', ';');
        const std::map<std::string, std::string> variables = {
            {"UPDATER_SERIAL", _serial_text(outcome.serial)},
            {"UPDATER_RESULT", outcome.result == BatchResult::Updated   ? "updated"
                               : outcome.result == BatchResult::Current ? "current"
                                                                        : "failed"},
            {"UPDATER_FROM", _firmware_text(outcome.fromVersion, outcome.fromBuild)},
            {"UPDATER_TO", _firmware_text(outcome.toVersion, outcome.toBuild)},
            {"UPDATER_MESSAGE", message},
            {"UPDATER_LOG", attempt.logPath},
        };
        const std::string failure = _run_done_command(
            params_.batch.on_done, variables, std::chrono::duration_cast<std::chrono::milliseconds>(DONE_TIMEOUT));
        if (failure.empty())
            return;
        // Its failure is the log's business, never the station's end.
        Log::log(0, "%08X: --on-done %s\n", outcome.serial, failure.c_str());
        if (attempt.log)
            fprintf(attempt.log, "--on-done %s\n", failure.c_str());
    }

    void _finish(Attempt& attempt)
    {
        console_->Done(attempt.found.spec.serialNumber);
        console_->Count(attempt.outcome.result == BatchResult::Updated   ? "updated"
                        : attempt.outcome.result == BatchResult::Current ? "current"
                                                                         : "failed");
        std::lock_guard<std::mutex> lock(mutex_);
        attempt.finished = true;
        woken_ = true;
        wake_.notify_all();
    }

    // Under the lock: the attempts that ended leave the run.
    void _reap(std::unique_lock<std::mutex>& lock)
    {
        for (auto it = attempts_.begin(); it != attempts_.end();) {
            Attempt& attempt = **it;
            if (!attempt.finished) {
                ++it;
                continue;
            }
            lock.unlock();
            attempt.thread.join();
            lock.lock();
            if (attempt.log)
                fclose(attempt.log);
            // An updated module restarts (unless --verify saw it back already).
            const bool restarting = attempt.outcome.result == BatchResult::Updated && !params_.verify;
            appearances_.Ended(attempt.found.spec.serialNumber, restarting, Clock::now());
            run_.modules.push_back(attempt.outcome);
            --running_;
            routedRunning_ -= attempt.found.network_address != 0 ? 1 : 0;
            it = attempts_.erase(it);
            rescan_ = true;  // what came and went meanwhile
        }
    }

    CLI_Display& display_;
    const Parameters& params_;
    Updater& updater_;
    const linkType type_;
    const uint32_t router_;  // "-r": the modules on this router's bus are watched
    std::unique_ptr<StationConsole> console_;
    tsusbWatchRef watch_ = nullptr;

    std::mutex mutex_;  // everything below
    std::condition_variable wake_;
    std::condition_variable servedWake_;
    Appearances appearances_;
    std::map<uint32_t, DeviceInfo> direct_;  // the last scan's modules, on USB, TCP/IP or the router's bus
    std::map<uint32_t, DeviceInfo> served_;  // the last look's served modules
    std::deque<uint32_t> waiting_;           // appeared, not yet started (--jobs)
    std::list<std::unique_ptr<Attempt>> attempts_;
    BatchRun run_;
    bool rescan_ = true;
    bool stopping_ = false;
    bool woken_ = false;  // something to look at: a USB change, an end, a signal
    bool abandoned_ = false;
    bool ending_ = false;  // the loop ended: the served look ends too
    uint32_t begun_ = 0;
    uint32_t running_ = 0;
    uint32_t routedRunning_ = 0;  // of those, behind the router
};

}  // namespace

int _update_watch(CLI_Display& display, const Parameters& params, Updater& updater)
{
    Station station(display, params, updater);
    return station.Run();
}
