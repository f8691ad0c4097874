#pragma once
// What a batch run reports at its end, made from its BatchRun: the summary table on
// the console, the "--json" document and the JUnit XML file QA systems read
// ("--junit FILE"). Module names and failure texts may hold any bytes: the table
// escapes control bytes, the JSON document replaces bytes that are not UTF-8, and
// the XML is kept valid whatever the texts hold.
#include <string>

#include <nlohmann/json.hpp>

#include "app/BatchOutcome.h"
#include "app/UpdaterDisplayInterface.h"

// Per result, how many modules came to it.
struct BatchCounts {
    size_t updated = 0, current = 0, failed = 0, skipped = 0, interrupted = 0;
};
BatchCounts _batch_counts(const BatchRun& run);

// The summary table (serial, model, from, to, result, seconds, and why a module failed
// or was skipped), then one line with the counts, as info messages.
void _display_batch_summary(UpdaterDisplayInterface& display, const BatchRun& run);

// {"batch", "modules": [{"serial", "model", "name", "route", "from", "to", "image",
//  "result", "message", "seconds"}, ...], "summary": {"modules", "updated", "current",
//  "failed", "skipped", "interrupted", "seconds"}}
nlohmann::ordered_json _batch_json(const BatchRun& run);
// The same as the text standard output gets.
std::string _batch_json_document(const BatchRun& run);

// The JUnit XML report: one test suite, one test case per module; a failed or
// interrupted module has a failure with its text, a skipped one is skipped. Written to
// a temporary file beside path and renamed over it. False with error set to the
// system's reason when it could not be written; an existing file then stays as it was.
bool _write_junit_report(const BatchRun& run, const std::string& path, std::string& error);
// The XML text itself.
std::string _junit_xml(const BatchRun& run);
