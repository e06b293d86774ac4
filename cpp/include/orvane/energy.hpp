#pragma once
// The one energy convention of the package: H(s) = -(s^T J s) over the full
// matrix, no factor 1/2, no linear term. The reference order of summation is
// v_j = sum_i s_i J_ij (i ascending), then H = -sum_j v_j s_j (j ascending);
// exact ties between float energies are decided in this order.
#include <cstddef>
#include <cstdint>

namespace orvane {

double energy(const double* J, std::int64_t n, const std::int64_t* s);
double energy(const double* J, std::int64_t n, const std::int8_t* s);
// Exact for integer matrices (wraps on overflow like int64 array arithmetic).
std::int64_t energy_int(const std::int64_t* J, std::int64_t n, const std::int8_t* s);

// True when every entry is finite.
bool all_finite(const double* a, std::size_t count);
// True when every entry is a whole number.
bool all_integral(const double* a, std::size_t count);

}  // namespace orvane
