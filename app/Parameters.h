#pragma once
// The parsed command line: the requested commands and every parameter.
#include <cstdint>
#include <string>

#include "app/OptionScanner.h"

class CLI_Display;

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x00000001,           // -D
    CMD_UPDATE = 0x00000002,             // -U
    CMD_LIST_BUILDS = 0x00000004,        // -B
    CMD_GET_BUILD = 0x00000008,          // -G
    CMD_VIEW_INFO = 0x00000010,          // -I
    CMD_CHECK_BIRD = 0x00000020,         // -C
    CMD_FINGERPRINT = 0x00000040,        // -N
    CMD_RESERVED_Z = 0x00000080,         // -Z
    CMD_GET_JWT = 0x00000100,            // -J
    CMD_LIST_LOCAL_BUILDS = 0x00000200,  // -L
    CMD_HISTORY = 0x00000400,            // --history
    CMD_HELP = 0x80000000,               // -h, -H, --help
};

// Every command bit; a command line with none of them only prints the usage.
constexpr uint32_t CMD_ANY_COMMAND = 0x000307FF;

class CommandsClass {
public:
    void Set(COMMANDS command) { bits_ |= command; }
    // True when any bit of the mask is set.
    bool IsSet(uint32_t mask) const { return (bits_ & mask) != 0; }
    uint32_t Bits() const { return bits_; }

private:
    uint32_t bits_ = 0;
};

// Transport values of "-t".
constexpr int32_t TRANSPORT_INVALID = 0;
constexpr int32_t TRANSPORT_USB = 1;
constexpr int32_t TRANSPORT_TCPIP = 2;
constexpr int32_t TRANSPORT_RECOVER = 255;

// "-U --all": every module discovery finds is updated when it needs it.
struct BatchParameters {
    bool all = false;             // "--all"
    uint32_t jobs = 8;            // "--jobs": modules updated at once
    uint32_t canary = 0;          // "--canary": modules updated (and verified) before the rest
    uint32_t max_failed = 0;      // "--max-failed N": failures that stop new starts (0: none)
    uint32_t max_failed_pct = 0;  // "--max-failed P%": the same as a share of the modules (0: none)
    bool dry_run = false;         // "--dry-run": print the plan, touch nothing
    bool force = false;           // "--force": modules already current are updated too
    std::string junit_file;       // "--junit FILE"
    bool given = false;           // any of the options above but --all
    bool all_only = false;        // --canary, --max-failed or --dry-run: not for a station
    // "-U --watch": a station that updates every module that appears.
    bool watch = false;          // "--watch"
    uint32_t interval = 2;       // "--interval": seconds between discoveries (TCP/IP, served)
    std::string log_dir;         // "--log-dir DIR": one log file per attempt
    std::string on_done;         // "--on-done CMD": run after each attempt
    uint32_t count = 0;          // "--count N": end after N modules (0: no end)
    uint32_t interface = 0;      // "--interface ADDR": beacons there find served modules (network order; 0: none)
    bool station_given = false;  // any of the five above
    std::string invalid;         // the first unusable value, as the line that reports it
};

struct Parameters {
    CommandsClass commands;
    uint32_t device_serial = 0;
    uint32_t router_serial = 0;
    int32_t transport = TRANSPORT_USB;
    bool transport_given = false;
    std::string serial_port;
    int32_t baud_rate = 115200;
    uint8_t module_address = 0;  // 0: the update finds the address itself
    std::string bird_file;
    std::string history_message;
    std::string build;  // decimal text; empty = latest
    bool echo_bytes = false;
    std::string server_url;
    bool option_n = false;
    std::string store_directory;
    std::string app_name;
    std::string home_directory;
    std::string log_mode = "a+";
    std::string log_file = "Updater.log";
    bool override_model_checks = false;
    bool uei_bytes_load = true;
    uint32_t log_mask = 0;
    bool log_mask_given = false;  // selects the extended usage text
    bool help_requested = false;  // selects the full usage text
    bool json_output = false;     // "--json": the command's result as one JSON document
    bool verify = false;          // "--verify": -U confirms the firmware the module comes back with
    bool updates = false;         // "--updates": -D shows the newest build available per module
    bool server_given = false;    // "-u", "--http" or "--https" chose the update server
    BatchParameters batch;
};

enum OptionIds {
    OPT_HELP = 0,
    OPT_COMMAND = 1,
    OPT_PARAMETER = 2,
    OPT_HTTPS = 3,
    OPT_HTTP = 4,
    OPT_JSON = 5,
    OPT_VERIFY = 6,
    OPT_HISTORY = 7,
    OPT_UPDATES = 8,
    OPT_BATCH = 20,  // the options of "-U --all"
};

extern const SOption g_rgOptions[];

// Fills the record from the command line; 0 when it is acceptable, 1 after
// reporting every error through the display.
int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params);

// Hexadecimal / decimal text to a 32-bit value. Text with any other character,
// and values that do not fit in 32 bits, give 0 and leave *end untouched; on
// success *end points past the text. A null end gives 0.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);

int _release_params(Parameters* params);
