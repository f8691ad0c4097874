// The program: read the command line, print the version, then either the
// usage or the requested commands. Exit status 0 on success, 1 on failure.
#include <openssl/crypto.h>

#include <cstdio>

#include "app/CLI_Display.h"
#include "app/Dispatch.h"
#include "app/Parameters.h"
#include "app/UpdateAll.h"
#include "app/Updater.h"
#include "app/Usage.h"
#include "common/Log.h"

int main(int argc, char** argv)
{
    // OpenSSL would free its tables at exit, which only costs the user time: the
    // process ends anyway, and OpenSSL keeps no output to flush.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    int parse_result = _get_params(display, argc, argv, &params);
    // With "--json" standard output holds one document or nothing, whatever
    // happens: a command-line error and the usage leave it empty.
    if (params.json_output)
        display.reserve_stdout_for_documents();
    _display_app_version(display);

    if (parse_result != 0) {
        _display_copyright(display);
        _display_usage(false, false);
        _release_params(&params);
        return 1;
    }
    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_COMMAND)) {
        _display_copyright(display);
        _display_usage(params.log_mask_given, params.help_requested);
        _release_params(&params);
        return 0;
    }

    if (!_check_batch_params(display, params) || !_check_server_trust(display, params) ||
        !_prepare_store_directory(display, &params)) {
        _release_params(&params);
        return 1;
    }
    Updater updater(params.server_url, params.store_directory, display);
    int status = _run_commands(display, &params, updater);
    _release_params(&params);
    return status;
}
