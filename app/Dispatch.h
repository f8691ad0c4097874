#pragma once
// The steps of a run after the command line has been read: the store
// directory, then the commands in their fixed order.
#include <string>

#include "app/CLI_Display.h"
#include "app/Parameters.h"
#include "app/Updater.h"

// Sets params->store_directory to the "updater" directory below "-i" (or below
// ~/.kestrune) and creates it with mode 0755, unless the run only reads the
// history. False after reporting a failure.
bool _prepare_store_directory(CLI_Display& display, Parameters* params);

// When the run talks to the update server (-G, -B, -J, -U, -D --updates with a server
// given): the server checks the
// environment asks for (CA bundle, pinned keys) can be used with its URL. False after
// reporting why, before any request is made. A time-out setting that is no number of
// seconds is named and left aside (the default applies).
bool _check_server_trust(CLI_Display& display, const Parameters& params);

// The link type "-D" searches with: the "-t" transport unless it is RECOVER;
// without one, 0 behind a router (the router's own type) and USB otherwise.
linkType _discovery_link_type(const Parameters& params);

// Runs the requested commands: fingerprint, download, then the first of
// discover, update, list builds, list local builds and token. Returns the exit status.
int _run_commands(CLI_Display& display, Parameters* params, Updater& updater);
