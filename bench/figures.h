#pragma once

#include <algorithm>
#include <vector>

namespace tessaryn::bench {

// The p-quantile (0..1) of a set of samples.
inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace tessaryn::bench
