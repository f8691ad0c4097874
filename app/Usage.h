#pragma once
// Version line, copyright line and usage text of the program.
#include <string>

class CLI_Display;

// The update server used when neither "--https" nor "-u" is given
// (UpdateServerRequest's default host, plain HTTP).
std::string _default_http_url();
std::string _default_https_url();

// "Version: 2.12.2 Mar 13 2026": version number and build date.
std::string _app_version_text();

void _display_app_version(CLI_Display& display);
void _display_copyright(CLI_Display& display);

// Block 1 always; the parameters, commands and samples when full; the extended
// parameters and commands when full and extended.
std::string _usage_text(bool extended, bool full);
// Writes the usage text to standard error.
void _display_usage(bool extended, bool full);
