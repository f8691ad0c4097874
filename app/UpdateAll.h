#pragma once
// "-U --all": one discovery, a plan of which module gets which image, then the
// updates of every module that needs one, several at once (BatchRunner), each
// with its own display and its own history record; the records of one run share
// a batch id. At the end the summary table, and with "--json" or "--junit FILE"
// the reports. "--dry-run" prints the plan and touches nothing.
#include "app/CLI_Display.h"
#include "app/Parameters.h"
#include "app/Updater.h"

// The batch options go together: false after one line saying what does not
// (an unusable value, "--all" with "-d" or "-t RECOVER", a batch option without
// "-U --all").
bool _check_batch_params(CLI_Display& display, const Parameters& params);

// Runs "-U --all"; the exit status: 0 when every module it found ended current
// (or there was nothing to do), 1 otherwise.
int _update_all(CLI_Display& display, const Parameters& params, Updater& updater);
