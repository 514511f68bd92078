// SPDX-License-Identifier: MIT
#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

// How many readings a level is the median of: a quarter of the series, odd,
// at most nine.
size_t levelWindow(size_t count) { return std::clamp<size_t>((count / 4) | 1, 1, 9); }

}  // namespace

double percentile(std::vector<double> values, double share)
{
    if (values.empty()) return none;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(share * static_cast<double>(values.size())));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

double median(std::vector<double> values)
{
    if (values.empty()) return none;
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

double largest(const std::vector<double>& values)
{
    return values.empty() ? none : *std::max_element(values.begin(), values.end());
}

double levelAtStart(const std::vector<double>& values)
{
    const auto window = static_cast<std::ptrdiff_t>(levelWindow(values.size()));
    if (values.empty()) return none;
    return median({values.begin(), values.begin() + window});
}

double levelAtEnd(const std::vector<double>& values)
{
    const auto window = static_cast<std::ptrdiff_t>(levelWindow(values.size()));
    if (values.empty()) return none;
    return median({values.end() - window, values.end()});
}

double theilSenSlope(const std::vector<double>& x, const std::vector<double>& y)
{
    std::vector<double> slopes;
    for (size_t i = 0; i < x.size(); ++i) {
        for (size_t j = i + 1; j < x.size(); ++j) {
            if (x[j] != x[i]) slopes.push_back((y[j] - y[i]) / (x[j] - x[i]));
        }
    }
    return median(slopes);
}

Spread spreadOf(const std::vector<double>& values)
{
    std::vector<double> known;
    std::copy_if(values.begin(), values.end(), std::back_inserter(known),
                 [](double value) { return !std::isnan(value); });
    if (known.empty()) return {};
    const auto [lowest, highest] = std::minmax_element(known.begin(), known.end());
    return {median(known), *lowest, *highest};
}
