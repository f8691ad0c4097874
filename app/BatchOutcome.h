#pragma once
// What one module of a batch run (`-U --all`, a station, the gateway agent)
// came to: the summary table, the "--json" document and the JUnit report are
// all made from a list of these.
#include <cstdint>
#include <string>
#include <vector>

enum class BatchResult { Updated, Current, Failed, Skipped, Interrupted };

// "updated", "current", "failed", "skipped", "interrupted": the words of the
// summary, the reports and the history.
const char* BatchResult_Name(BatchResult result);

struct ModuleOutcome {
    uint32_t serial = 0;
    std::string model;
    std::string name;        // the name stored in the module; may hold any bytes
    std::string route;       // "USB", "TCPIP 192.0.2.11:9000", "via 40F5849A"
    uint32_t fromBuild = 0;  // what the module ran (0: unknown)
    std::string fromVersion;
    uint32_t toBuild = 0;  // the image it was given or would be given (0: none)
    std::string toVersion;
    std::string image;  // the image file, when there is one
    BatchResult result = BatchResult::Skipped;
    std::string message;  // why it failed or was skipped; may hold any bytes
    double seconds = 0;   // from its start to its end; 0 when never started
};

// One run over many modules: its outcomes in the order of the plan.
struct BatchRun {
    std::string batch;  // the id its history records share
    std::vector<ModuleOutcome> modules;
    double seconds = 0;
};
