#pragma once
// The main of a benchmark that multicasts (TCP/IP discovery, beacons): the whole
// program re-runs itself in a private network namespace first.
#include "BenchMain.h"
#include "support/PrivateNetwork.h"

namespace bench {

// Outside the namespace: the status of the re-run. Inside: `prepare` (when given)
// and then the benchmarks.
inline int RunBenchmarksInPrivateNetwork(int argc, char** argv, void (*prepare)() = nullptr)
{
    if (const int status = testsupport::RerunProgramInPrivateNetwork(argv); status >= 0)
        return status;
    if (prepare != nullptr)
        prepare();
    return RunBenchmarks(argc, argv);
}

}  // namespace bench
