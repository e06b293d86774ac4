#pragma once
// Exhaustive search over all 2^n spin configurations.
#include <cstdint>
#include <vector>

#include "orvane/cancel.hpp"

namespace orvane {

// Configuration index i: spin j is +1 when bit j of i is set, else -1.
// Returns the indices of every configuration of minimum energy
// H(s) = -(s^T J s), in increasing order. Ties are exact equality of the
// energy summed in the reference order of energy.hpp; for integer matrices
// pass `Jint` (same entries as int64) and energies are compared exactly in
// int64. Returns an empty vector when cancelled. Requires 1 <= n <= 62.
std::vector<std::uint64_t> exhaustive_minima(const double* J, const std::int64_t* Jint, int n, Cancel& cancel);

}  // namespace orvane
