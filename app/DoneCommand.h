#pragma once
// "--on-done CMD": the user's command after each attempt of a station (a label
// printer, a line controller). It runs through /bin/sh with the attempt in its
// environment (UPDATER_SERIAL, UPDATER_RESULT, ...), in a process group of its
// own with the default signal handling, and is ended when it outlasts its
// time-out. Nothing about it ever stops the station: its failure is returned
// as a text for the log.
#include <chrono>
#include <map>
#include <string>

// The text of a failure, empty when the command ended with status 0.
std::string _run_done_command(const std::string& command, const std::map<std::string, std::string>& variables,
                              std::chrono::milliseconds timeout);
