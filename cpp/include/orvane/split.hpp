#pragma once
// Precision adaption by splitting: numeric kernels.
//
// Variable splitting replaces variable i by num_split[i] copies (contiguous,
// in variable order) and shares each coupling over the couplings between the
// copies; item splitting keeps the variables and carries the excess of each
// large coupling on auxiliary variables. All matrices are dense, row-major,
// float64. Coefficients are measured in increments ("units") where stated.
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "orvane/cancel.hpp"

namespace orvane {

// Values within this distance above a whole number count as that number.
inline constexpr double kSplitTolerance = 1e-8;

// Raised when a split would need more variables than can be indexed.
struct SplitTooLarge : std::length_error {
    using std::length_error::length_error;
};

// (A + A^T) / 2 into M (n x n). The integer version adds in int64 (wrapping
// like integer array arithmetic) before converting, so large integers stay exact.
void symmetric_part(const double* A, std::int64_t n, double* M);
void symmetric_part(const std::int64_t* A, std::int64_t n, double* M);

// Smallest difference between neighbouring distinct values of the n x n
// matrix M, which must be symmetric (only the upper triangle is read).
// Returns a negative number when M has fewer than two distinct values.
double smallest_gap(const double* M, std::int64_t n);

// Split counts by the greedy rule: repeatedly take the largest entry of the
// comparison matrix (square root of a normalised magnitude while both of its
// variables are unsplit, the magnitude itself once either is split; first in
// row-major order on ties) and split its unsplit ends until every normalised
// magnitude divided by the counts of its two variables is at most 1.
// `norm` is n x n, non-negative, finite. Returns an empty vector when cancelled.
std::vector<std::int64_t> split_counts(const double* norm, std::int64_t n, Cancel& cancel);

// Index of the last copy of each variable (running sum of counts minus one).
std::vector<std::int64_t> last_copy_index(const std::vector<std::int64_t>& counts);

// Variable splitting, fused: writes the N x N split matrix into `out`.
// M is the symmetric n x n matrix whose diagonal already holds the copy
// couplings penalty * count^2; every block (i, j) gets the pieces
// M[i][j] / (count_i count_j), rounded up to whole increments, with the excess
// of each upper block taken back from its first entries (mirrored to the
// lower block); the result is optionally rounded to whole increments (halves
// to even) and multiplied back by `increment`. Returns false when cancelled.
bool var_split_fill(const double* M, std::int64_t n, const std::int64_t* counts, double increment, bool round,
                    double* out, std::int64_t N, Cancel& cancel);

// The increment rounding on its own, for any N x N matrix of pieces `ret`
// (of the n x n source `mat`) and any block layout given by `last`: writes
// the result, in increment units, into `out`. Block boundaries must satisfy
// 0 <= last[i] + 1 <= N.
void int_pieces(const double* ret, const double* mat, double increment, const std::int64_t* counts,
                const std::int64_t* last, std::int64_t n, std::int64_t N, double* out);

// Item splitting: the size of the split matrix, n plus one auxiliary variable
// per extra piece of every pair i <= j. Throws SplitTooLarge on overflow.
std::int64_t item_split_size(const double* M, std::int64_t n, double thresh, double increment);

// Item splitting: fills the nonzero entries of the N x N matrix `out`, which
// must be zero on entry. Returns false when cancelled.
bool item_split_fill(const double* M, std::int64_t n, double thresh, double increment, bool round, double* out,
                     std::int64_t N, Cancel& cancel);

// Copy check of a split solution (copy layout, `last` strictly inside 0..N-1):
// returns 0 when all copies of every variable agree, else the number (from 1)
// of the variable reported: the lowest-numbered disagreeing variable among
// 2..n, or 1 when only variable 1 disagrees.
template <class T>
std::int64_t copy_conflict(const T* solution, const std::int64_t* last, std::int64_t n) {
    for (std::int64_t i = 0; i + 1 < n; ++i)
        for (std::int64_t j = last[i] + 1; j < last[i + 1]; ++j)
            if (solution[j] != solution[j + 1]) return i + 2;
    for (std::int64_t j = 0; j < last[0]; ++j)
        if (solution[j] != solution[j + 1]) return 1;
    return 0;
}

}  // namespace orvane
