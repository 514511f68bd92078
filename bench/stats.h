// SPDX-License-Identifier: MIT
#pragma once

// The statistics the benchmark's figures are made of: order statistics, robust
// levels and slopes, and the spread of a figure over the pairs of runs.

#include <limits>
#include <vector>

inline constexpr double none = std::numeric_limits<double>::quiet_NaN();  // no value

// The value that the given share of the values is at or below (the nearest
// rank), or none if there are none.
double percentile(std::vector<double> values, double share);

// The middle value, or the mean of the two middle ones; none if there are none.
double median(std::vector<double> values);

// The largest value, or none if there are none.
double largest(const std::vector<double>& values);

// The level of a series at its start or its end: the median of the first or
// the last few values, so that no one reading decides it.
double levelAtStart(const std::vector<double>& values);
double levelAtEnd(const std::vector<double>& values);

// The Theil-Sen slope of y over x: the median of the slopes between every two
// points, which no one point can move far; none for fewer than two points.
double theilSenSlope(const std::vector<double>& x, const std::vector<double>& y);

// A figure over the pairs: the median of the pairs' values, and the lowest and
// highest of them; the values that are none are left out.
struct Spread {
    double middle = none, lowest = none, highest = none;
};
Spread spreadOf(const std::vector<double>& values);
