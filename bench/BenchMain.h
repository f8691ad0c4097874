#pragma once
// The main of the benchmarks that keep the timer slack at its least: their
// measured code sleeps in short steps (polls, pacing), which must wake on time.
#include <benchmark/benchmark.h>
#include <sys/prctl.h>

namespace bench {

// Google Benchmark's run over the command line; 1 on an argument it does not know.
inline int RunBenchmarks(int argc, char** argv)
{
    prctl(PR_SET_TIMERSLACK, 1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace bench
