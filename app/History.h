#pragma once
// The history of updates, recoveries and downloads ("history.jsonl" in the
// store directory): one JSON object per line, appended by every -U, -U -t
// RECOVER and -G, shown by "--history" as a table or, with "--json", as one
// JSON array.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "app/Updater.h"

// What the front end knows of one command run; the rest comes from the
// Updater's Outcome.
struct HistoryEntry {
    const char* command = "update";  // "update", "recover" or "download"
    uint32_t serial = 0;             // 0: no device
    uint32_t router = 0;             // 0: reached without a router
    std::string time;                // the start, UTC, ISO 8601
    double seconds = 0;
    bool ok = false;
    std::string error;         // the console's error lines; empty: none
    std::string message;       // "-l"; empty: none
    bool verify = false;       // "--verify" was given
    bool interrupted = false;  // a signal or a stop ended it before it could end by itself
    std::string batch;         // the id the records of one "-U --all" share; empty: none
};

// The current time as the records write it: 2026-12-07T16:32:45.123Z.
std::string _utc_time_text();

// Size and SHA-256 of bytes in memory; none when the digest cannot be made.
std::optional<ImageDigest> _image_digest(const unsigned char* data, size_t length);

// {"time", "command", "serial", "transport", "router", "from", "to", "image",
//  "seconds", "result", "error", "verified", "message", "batch"}; the result is
// "ok", "failed" or "interrupted".
nlohmann::ordered_json _history_record(const HistoryEntry& entry, const Outcome& outcome);

// Appends the record to the store's history; a failure is a warning on
// standard error and nothing more.
void _append_history(UpdaterDisplayInterface& display, const std::string& store_directory,
                     const nlohmann::ordered_json& record);

// "--history": the records of one device (serial 0: all), newest first, as a
// table, or as a JSON array in *document when it is not null. Lines that are
// no records are skipped with a warning. False when the history could not be read.
bool _show_history(UpdaterDisplayInterface& display, const std::string& store_directory, uint32_t serial,
                   std::string* document);
