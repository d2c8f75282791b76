#pragma once

#include <algorithm>
#include <vector>

// The median of the rounds as one of their figures sees it.
template <class Round, class F> double median(std::vector<Round> rounds, F field)
{
    std::sort(rounds.begin(), rounds.end(),
              [&](const Round &a, const Round &b) { return field(a) < field(b); });
    return field(rounds[rounds.size() / 2]);
}
