#pragma once
// The figures the benchmarks report from a few timed runs.
#include <algorithm>
#include <vector>

namespace bench {

// The middle value (the upper of the two middle ones for an even count); the runs
// must not be empty.
inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace bench
