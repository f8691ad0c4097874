#pragma once
// "-U --watch": a station. Every module that appears (USB: plugged in, announced
// by hot-plug events; TCP/IP: answering the discovery repeated every
// "--interval" seconds; "-r": found by a scan of the router's bus, as often,
// while no update runs through it; served: announced by a module server of
// this host or, with "--interface", by beacon there) is looked at once:
// planned as "-U --all" plans, updated at once when behind, reported current
// when not. Events go to the console (StationConsole), each attempt to its own
// log file ("--log-dir") and to the user's command ("--on-done"). It ends
// after "--count" modules or on SIGINT / SIGTERM once the modules in flight are
// done (a second signal records them as interrupted and ends at once); then
// the summary and the reports.
#include "app/CLI_Display.h"
#include "app/Parameters.h"
#include "app/Updater.h"

// The exit status: 0 when no module failed, 1 otherwise.
int _update_watch(CLI_Display& display, const Parameters& params, Updater& updater);
