#include "app/Parameters.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/CLI_Display.h"
#include "app/Usage.h"
#include "common/Log.h"
#include "unix/aDirectory.h"

const SOption g_rgOptions[] = {
    {OPT_COMMAND, "-B", ARG_NONE},
    {OPT_COMMAND, "-L", ARG_NONE},
    {OPT_COMMAND, "-D", ARG_NONE},
    {OPT_COMMAND, "-G", ARG_NONE},
    {OPT_COMMAND, "-I", ARG_NONE},
    {OPT_COMMAND, "-U", ARG_NONE},
    {OPT_COMMAND, "-OVERRIDE", ARG_NONE},
    {OPT_COMMAND, "-N", ARG_NONE},
    {OPT_COMMAND, "-Y", ARG_NONE},
    {OPT_COMMAND, "-C", ARG_NONE},
    {OPT_COMMAND, "-J", ARG_NONE},
    {OPT_HELP, "-h", ARG_NONE},
    {OPT_HELP, "-H", ARG_NONE},
    {OPT_PARAMETER, "-n", ARG_NONE},
    {OPT_PARAMETER, "-X", ARG_REQUIRED},
    {OPT_PARAMETER, "-Z", ARG_REQUIRED},
    {OPT_PARAMETER, "-m", ARG_REQUIRED},
    {OPT_PARAMETER, "-i", ARG_REQUIRED},
    {OPT_PARAMETER, "-b", ARG_REQUIRED},
    {OPT_PARAMETER, "-d", ARG_REQUIRED},
    {OPT_PARAMETER, "-t", ARG_REQUIRED},
    {OPT_PARAMETER, "-f", ARG_REQUIRED},
    {OPT_PARAMETER, "-r", ARG_REQUIRED},
    {OPT_PARAMETER, "-s", ARG_REQUIRED},
    {OPT_PARAMETER, "-o", ARG_REQUIRED},
    {OPT_PARAMETER, "-e", ARG_NONE},
    {OPT_PARAMETER, "-l", ARG_REQUIRED},
    {OPT_PARAMETER, "-k", ARG_REQUIRED},
    {OPT_PARAMETER, "-u", ARG_REQUIRED},
    {OPT_HELP, "--help", ARG_NONE},
    {OPT_HTTP, "--http", ARG_NONE},
    {OPT_HTTPS, "--https", ARG_NONE},
    {OPT_JSON, "--json", ARG_NONE},
    {OPT_VERIFY, "--verify", ARG_NONE},
    {OPT_HISTORY, "--history", ARG_NONE},
    {OPT_UPDATES, "--updates", ARG_NONE},
    {OPT_BATCH, "--all", ARG_NONE},
    {OPT_BATCH, "--jobs", ARG_REQUIRED},
    {OPT_BATCH, "--canary", ARG_REQUIRED},
    {OPT_BATCH, "--max-failed", ARG_REQUIRED},
    {OPT_BATCH, "--dry-run", ARG_NONE},
    {OPT_BATCH, "--force", ARG_NONE},
    {OPT_BATCH, "--junit", ARG_REQUIRED},
    {OPT_BATCH, "--watch", ARG_NONE},
    {OPT_BATCH, "--interval", ARG_REQUIRED},
    {OPT_BATCH, "--log-dir", ARG_REQUIRED},
    {OPT_BATCH, "--on-done", ARG_REQUIRED},
    {OPT_BATCH, "--count", ARG_REQUIRED},
    {OPT_BATCH, "--interface", ARG_REQUIRED},
    {-1, nullptr, ARG_NONE},
};

namespace {

constexpr size_t HOME_DIRECTORY_CAPACITY = 2048;

// Converts text made only of the given digits; anything else, the empty text
// and values beyond 32 bits give 0.
uint32_t _convert_digits(const char* text, char** end, const char* digits, unsigned base)
{
    if (!end || !text || text[0] == '\0')
        return 0;
    if (strspn(text, digits) != strlen(text))
        return 0;
    uint64_t value = 0;
    for (const char* c = text; *c; ++c) {
        unsigned digit = (*c <= '9') ? *c - '0' : (*c | 0x20) - 'a' + 10;
        value = value * base + digit;
        if (value > UINT32_MAX)
            return 0;
    }
    *end = const_cast<char*>(text + strlen(text));
    return static_cast<uint32_t>(value);
}

std::string _file_name_of(const char* path)
{
    if (!path)
        return "";
    const char* name = path;
    for (const char* c = path; *c; ++c)
        if (*c == '/' || *c == '\\')
            name = c + 1;
    return name;
}

void _set_defaults(Parameters* params, char* program)
{
    *params = Parameters();
    params->server_url = _default_http_url();
    params->app_name = _file_name_of(program);
    std::vector<char> home(HOME_DIRECTORY_CAPACITY, '\0');
    if (aDirectory_GetHomeDirectory(home.data(), home.size()) == aErrNone)
        params->home_directory = home.data();
}

// "-d" and "-r": hexadecimal with an optional 0x prefix; 0 is not a serial number.
bool _serial_arg(CLI_Display& display, const char* arg, uint32_t* serial, const char* prefix_note,
                 const char* error_format)
{
    if (arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", prefix_note);
        arg += 2;
    }
    char* end = nullptr;
    *serial = _get_hex_arg(arg, &end);
    if (*serial != 0)
        return true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, error_format, arg);
    return false;
}

// "-X": decimal, or hexadecimal after 0x; the packages are switched on only
// when the whole text was read.
void _log_mask_arg(CLI_Display& display, const char* arg, Parameters* params)
{
    params->log_mask_given = true;
    bool hex = arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X');
    char* rest = nullptr;
    errno = 0;
    unsigned long value = strtoul(arg, &rest, hex ? 16 : 10);
    params->log_mask = static_cast<uint32_t>(value);
    if (rest && *rest) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X", rest);
        return;
    }
    Log::ActivatePackage(params->log_mask);
}

void _transport_arg(CLI_Display& display, const char* arg, Parameters* params, bool* ok)
{
    params->transport_given = true;
    if (strncmp(arg, "USB", 3) == 0) {
        params->transport = TRANSPORT_USB;
    } else if (strncmp(arg, "TCP", 3) == 0) {
        params->transport = TRANSPORT_TCPIP;
    } else if (strncmp(arg, "RECOVER", 7) == 0) {
        params->transport = TRANSPORT_RECOVER;
    } else {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", arg);
        params->transport = TRANSPORT_INVALID;
        *ok = false;
    }
}

void _parameter(CLI_Display& display, const OptionScanner& scanner, Parameters* params, int* url_count, bool* ok)
{
    const char* arg = scanner.OptionArg();
    char* end = nullptr;
    switch (scanner.OptionText()[1]) {
    case 'X':
        _log_mask_arg(display, arg, params);
        break;
    case 'Z':
        params->commands.Set(CMD_RESERVED_Z);
        break;
    case 'm':
        params->uei_bytes_load = strncmp(arg, "1", 1) == 0 || strncmp(arg, "true", 4) == 0;
        break;
    case 'i':
        params->store_directory = arg;
        break;
    case 'f':
        params->bird_file = arg;
        break;
    case 'l':
        params->history_message = arg;
        break;
    case 'k':
        params->log_file = arg;
        break;
    case 's':
        params->serial_port = arg;
        break;
    case 'b':
        params->build = std::to_string(_get_int_arg(arg, &end));
        break;
    case 'o':
        params->baud_rate = static_cast<int32_t>(_get_int_arg(arg, &end));
        break;
    case 'd':
        if (!_serial_arg(display, arg, &params->device_serial, "Discarding '0x' serial number prefix\n",
                         "Invalid serial number obtained from argument [%s]"))
            *ok = false;
        break;
    case 'r':
        if (!_serial_arg(display, arg, &params->router_serial, "Discarding '0x' router serial number prefix\n",
                         "Invalid router serial number obtained from argument [%s]"))
            *ok = false;
        break;
    case 't':
        _transport_arg(display, arg, params, ok);
        break;
    case 'e':
        params->echo_bytes = true;
        break;
    case 'n':
        params->option_n = true;
        break;
    case 'u':
        params->server_url = arg;
        ++*url_count;
        break;
    }
}

void _command(CLI_Display& display, const char* spelling, Parameters* params, bool* ok)
{
    switch (spelling[1]) {
    case 'B':
        params->commands.Set(CMD_LIST_BUILDS);
        break;
    case 'C':
        params->commands.Set(CMD_CHECK_BIRD);
        break;
    case 'D':
        params->commands.Set(CMD_DISCOVER);
        break;
    case 'G':
        params->commands.Set(CMD_GET_BUILD);
        break;
    case 'I':
        params->commands.Set(CMD_VIEW_INFO);
        break;
    case 'J':
        params->commands.Set(CMD_GET_JWT);
        break;
    case 'L':
        params->commands.Set(CMD_LIST_LOCAL_BUILDS);
        break;
    case 'N':
        params->commands.Set(CMD_FINGERPRINT);
        break;
    case 'U':
        params->commands.Set(CMD_UPDATE);
        break;
    case 'O':
        params->override_model_checks = true;
        break;
    default:
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", spelling);
        *ok = false;
        break;
    }
}

constexpr uint32_t MAX_JOBS = 256;
constexpr uint32_t MAX_INTERVAL_S = 3600;

// A whole number from low to high; false for anything else.
bool _bounded_number(const std::string& text, uint32_t low, uint32_t high, uint32_t* value)
{
    char* end = nullptr;
    uint32_t number = _get_int_arg(text.c_str(), &end);
    if (!end || number < low || number > high)
        return false;
    *value = number;
    return true;
}

void _invalid_batch_value(BatchParameters& batch, const char* option, const char* arg, const char* wanted)
{
    if (batch.invalid.empty())
        batch.invalid = std::string(option) + " needs " + wanted + ", not '" + arg + "'";
}

// "--max-failed N" or "--max-failed P%".
void _max_failed_arg(BatchParameters& batch, const char* arg)
{
    std::string text(arg);
    bool percent = !text.empty() && text.back() == '%';
    if (percent)
        text.pop_back();
    uint32_t value = 0;
    if (!_bounded_number(text, 1, percent ? 100 : UINT32_MAX, &value)) {
        _invalid_batch_value(batch, "--max-failed", arg, "a number of modules (1 or more) or a share such as 10%");
        return;
    }
    batch.max_failed = percent ? 0 : value;
    batch.max_failed_pct = percent ? value : 0;
}

// The options of "-U --watch" alone; false for any other option.
bool _station_option(const std::string& option, const char* arg, BatchParameters& batch)
{
    if (option == "--interval") {
        if (!_bounded_number(arg, 1, MAX_INTERVAL_S, &batch.interval))
            _invalid_batch_value(batch, "--interval", arg, "a whole number of seconds from 1 to 3600");
    } else if (option == "--count") {
        if (!_bounded_number(arg, 1, UINT32_MAX, &batch.count))
            _invalid_batch_value(batch, "--count", arg, "a number of modules (1 or more)");
    } else if (option == "--log-dir") {
        batch.log_dir = arg;
    } else if (option == "--on-done") {
        batch.on_done = arg;
    } else if (option == "--interface") {
        in_addr address{};
        if (inet_pton(AF_INET, arg, &address) != 1 || address.s_addr == INADDR_ANY)
            _invalid_batch_value(batch, "--interface", arg, "the IPv4 address of one of this host's interfaces");
        batch.interface = address.s_addr;
    } else {
        return false;
    }
    batch.station_given = true;
    return true;
}

void _batch_option(const OptionScanner& scanner, BatchParameters& batch)
{
    const std::string option = scanner.OptionText();
    const char* arg = scanner.OptionArg();
    if (option == "--all") {
        batch.all = true;
        return;
    }
    if (option == "--watch") {
        batch.watch = true;
        return;
    }
    if (_station_option(option, arg, batch))
        return;
    batch.given = true;
    batch.all_only = batch.all_only || option == "--canary" || option == "--max-failed" || option == "--dry-run";
    if (option == "--jobs") {
        if (!_bounded_number(arg, 1, MAX_JOBS, &batch.jobs))
            _invalid_batch_value(batch, "--jobs", arg, "a whole number from 1 to 256");
    } else if (option == "--canary") {
        if (!_bounded_number(arg, 1, UINT32_MAX, &batch.canary))
            _invalid_batch_value(batch, "--canary", arg, "a number of modules (1 or more)");
    } else if (option == "--max-failed") {
        _max_failed_arg(batch, arg);
    } else if (option == "--dry-run") {
        batch.dry_run = true;
    } else if (option == "--force") {
        batch.force = true;
    } else if (option == "--junit") {
        batch.junit_file = arg;
    }
}

// Last look at the whole record; every combination is accepted today, the
// commands check their own preconditions.
bool _validate_params(const Parameters&)
{
    return true;
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end)
{
    return _convert_digits(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end)
{
    return _convert_digits(text, end, "0123456789", 10);
}

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params)
{
    _set_defaults(params, argc > 0 && argv ? argv[0] : nullptr);

    bool ok = true;
    int url_count = 0;
    OptionScanner scanner(argc, argv, g_rgOptions);
    while (scanner.Next()) {
        switch (scanner.OptionId()) {
        case OPT_HELP:
            // Help ends the parse at once: nothing after it is read, except
            // whether standard output is kept for documents.
            params->commands.Set(CMD_HELP);
            params->help_requested = true;
            while (scanner.Next())
                params->json_output = params->json_output || scanner.OptionId() == OPT_JSON;
            return 0;
        case OPT_HTTPS:
            params->server_url = _default_https_url();
            ++url_count;
            break;
        case OPT_HTTP:
            params->server_url = _default_http_url();
            ++url_count;
            break;
        case OPT_JSON:
            params->json_output = true;
            break;
        case OPT_VERIFY:
            params->verify = true;
            break;
        case OPT_HISTORY:
            params->commands.Set(CMD_HISTORY);
            break;
        case OPT_UPDATES:
            params->updates = true;
            break;
        case OPT_BATCH:
            _batch_option(scanner, params->batch);
            break;
        case OPT_COMMAND:
            _command(display, scanner.OptionText(), params, &ok);
            break;
        case OPT_PARAMETER:
            _parameter(display, scanner, params, &url_count, &ok);
            break;
        }
    }

    params->server_given = url_count > 0;
    if (url_count > 1) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
        ok = false;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->app_name.c_str());
    for (int i = 0; argv && i < argc; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");

    if (ok && !_validate_params(*params))
        ok = false;
    return ok ? 0 : 1;
}

int _release_params(Parameters* params)
{
    if (params) {
        // The home directory is the one buffer the record owns.
        std::string().swap(params->home_directory);
    }
    return 0;
}
