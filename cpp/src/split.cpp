// Precision adaption by splitting: split counts, increment rounding, dense
// expansion of variable and item splitting.
//
// Exactness: every float operation here is the one the documented algorithm
// prescribes, in the same order (a piece is M[i][j] * (1/m_i * 1/m_j), not
// M[i][j] / (m_i m_j)), so results are bit-for-bit those of a plain dense
// implementation of the same steps.
#include "orvane/split.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <queue>
#include <string>

#pragma GCC optimize("fp-contract=off")  // results must not depend on FMA contraction

namespace orvane {

namespace {

// Split counts and auxiliary counts above this are refused: the split matrix
// could not be allocated anyway, and the integer conversion must stay defined.
constexpr double kMaxPieces = 2147483648.0;  // 2^31

// Whole numbers up to this magnitude are exact in a double.
constexpr double kExactInt = 9007199254740992.0;  // 2^53

double ceil_units(double magnitude_units) { return std::ceil(magnitude_units - kSplitTolerance); }

// Rounding of a finished entry (units) and conversion back to matrix units.
struct Finish {
    double increment;
    bool round;
    double operator()(double units) const { return (round ? std::nearbyint(units) : units) * increment; }
};

// How much the rounded-up pieces of a block exceed the source magnitude
// `units` shared over `pieces` entries.
// (The whole number of units per piece is taken as an integer: + 0.0 turns a
// ceiling of -0.0 into 0.)
double block_excess(double units, double pieces) { return (ceil_units(units / pieces) + 0.0) * pieces - units; }

}  // namespace

// ---------------------------------------------------------------- helpers

namespace {

// (A + A^T) / 2 in 64-entry tiles, so that the transposed reads stay in cache.
template <class T, class Half>
void symmetric_tiles(const T* A, std::int64_t n, double* M, Half half) {
    constexpr std::int64_t kTile = 64;
    for (std::int64_t i0 = 0; i0 < n; i0 += kTile)
        for (std::int64_t j0 = 0; j0 < n; j0 += kTile) {
            const std::int64_t i1 = std::min(n, i0 + kTile), j1 = std::min(n, j0 + kTile);
            for (std::int64_t i = i0; i < i1; ++i)
                for (std::int64_t j = j0; j < j1; ++j) M[i * n + j] = half(A[i * n + j], A[j * n + i]);
        }
}

}  // namespace

void symmetric_part(const double* A, std::int64_t n, double* M) {
    symmetric_tiles(A, n, M, [](double a, double b) { return (a + b) / 2.0; });
}

void symmetric_part(const std::int64_t* A, std::int64_t n, double* M) {
    symmetric_tiles(A, n, M, [](std::int64_t a, std::int64_t b) {
        const std::uint64_t s = static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b);
        return static_cast<double>(static_cast<std::int64_t>(s)) / 2.0;
    });
}

__attribute__((target_clones("avx2", "default"))) double smallest_gap(const double* M, std::int64_t n) {
    // One pass over the upper triangle: range and whether all are whole.
    double lo = M[0], hi = M[0];
    bool whole = true;
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = i; j < n; ++j) {
            const double x = M[i * n + j];
            lo = std::min(lo, x), hi = std::max(hi, x);
            whole &= x == std::nearbyint(x);
        }
    if (!(hi > lo)) return -1.0;
    const double count = static_cast<double>(n) * static_cast<double>(n + 1) / 2;
    const double range = hi - lo;
    if (whole && lo > -kExactInt && hi < kExactInt && range <= std::max<double>(4.0 * count, 1 << 20)) {
        // Whole numbers in a modest range: a bitset of present values.
        const std::size_t bits = static_cast<std::size_t>(range) + 1;
        std::vector<std::uint64_t> present((bits + 63) / 64, 0);
        for (std::int64_t i = 0; i < n; ++i)
            for (std::int64_t j = i; j < n; ++j) {
                const std::size_t k = static_cast<std::size_t>(M[i * n + j] - lo);
                present[k >> 6] |= std::uint64_t(1) << (k & 63);
            }
        std::size_t prev = 0, best = bits;  // value lo (position 0) is present
        for (std::size_t w = 0; w < present.size(); ++w)
            for (std::uint64_t word = present[w]; word; word &= word - 1) {
                const std::size_t k = w * 64 + static_cast<std::size_t>(std::countr_zero(word));
                if (k != 0) best = std::min(best, k - prev);
                prev = k;
                if (best == 1) return 1.0;
            }
        return static_cast<double>(best);
    }
    std::vector<double> v;
    v.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = i; j < n; ++j) v.push_back(M[i * n + j]);
    std::sort(v.begin(), v.end());
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t k = 1; k < v.size(); ++k)
        if (v[k] != v[k - 1]) best = std::min(best, v[k] - v[k - 1]);
    return best;
}

// ---------------------------------------------------------------- split counts

namespace {

typedef double v4d __attribute__((vector_size(32)));

bool is_symmetric(const double* a, std::int64_t n) {
    constexpr std::int64_t kTile = 64;
    for (std::int64_t i0 = 0; i0 < n; i0 += kTile)
        for (std::int64_t j0 = i0; j0 < n; j0 += kTile)
            for (std::int64_t i = i0; i < std::min(n, i0 + kTile); ++i)
                for (std::int64_t j = j0; j < std::min(n, j0 + kTile); ++j)
                    if (a[i * n + j] != a[j * n + i]) return false;
    return true;
}

void transpose(const double* a, std::int64_t n, double* t) {
    constexpr std::int64_t kTile = 64;
    for (std::int64_t i0 = 0; i0 < n; i0 += kTile)
        for (std::int64_t j0 = 0; j0 < n; j0 += kTile)
            for (std::int64_t i = i0; i < std::min(n, i0 + kTile); ++i)
                for (std::int64_t j = j0; j < std::min(n, j0 + kTile); ++j) t[j * n + i] = a[i * n + j];
}

// Largest of len (>= 1) non-NaN values.
__attribute__((target_clones("avx2", "default"))) double largest(const double* a, std::int64_t len) {
    std::int64_t x = 0;
    double m = a[0];
    if (len >= 8) {
        v4d m0, m1;
        __builtin_memcpy(&m0, a, sizeof m0);
        __builtin_memcpy(&m1, a + 4, sizeof m1);
        for (x = 8; x + 8 <= len; x += 8) {
            v4d r0, r1;
            __builtin_memcpy(&r0, a + x, sizeof r0);
            __builtin_memcpy(&r1, a + x + 4, sizeof r1);
            m0 = r0 > m0 ? r0 : m0;
            m1 = r1 > m1 ? r1 : m1;
        }
        m0 = m1 > m0 ? m1 : m0;
        m = std::max(std::max(m0[0], m0[1]), std::max(m0[2], m0[3]));
    }
    for (; x < len; ++x) m = std::max(m, a[x]);
    return m;
}

// Comparison values of row i into buf. An entry between two unsplit
// variables compares by its square root; otherwise by the normalised entry
// divided by the counts of its split ends, in the order the splits happened
// (exactly the divisions of the row and column updates of the rule: a
// diagonal entry is divided twice). `div` holds the counts (1 while unsplit),
// `order` the split sequence numbers (max while unsplit).
__attribute__((target_clones("avx2", "default"))) void comparison_row(
    const double* row, const double* div, const std::int64_t* order, std::int64_t i, std::int64_t n, double* buf) {
    if (div[i] == 1.0) {
        for (std::int64_t j = 0; j < n; ++j) {
            const double v = row[j], root = std::sqrt(v), divided = v / div[j];
            buf[j] = div[j] != 1.0 ? divided : root;
        }
    } else {
        const double a = div[i];
        const std::int64_t oi = order[i];
        for (std::int64_t j = 0; j < n; ++j) {
            const double v = row[j], first = order[j] < oi ? div[j] : a, second = order[j] < oi ? a : div[j];
            buf[j] = v / first / second;
        }
    }
}

}  // namespace

// The comparison matrix is never stored: its entries are recomputed from the
// normalised matrix (and, for column reads, its transpose) and the counts.
// They only ever decrease (a split by at least the selected value's size
// divides them by at least their square root), so each row keeps its maximum
// (value, first column); a row whose maximum sat in a column that just shrank
// is marked stale and rescanned only when it reaches the top of a max-heap of
// rows. The heap orders by value, then by smaller row, which with
// first-column row maxima gives the first maximum in row-major order.
std::vector<std::int64_t> split_counts(const double* norm, std::int64_t n, Cancel& cancel) {
    const std::size_t nz = static_cast<std::size_t>(n), nn = nz * nz;
    std::vector<double> transposed;
    const double* normT = norm;  // normT[x * n + i] = norm[i * n + x]
    if (!is_symmetric(norm, n)) {
        transposed.resize(nn);
        transpose(norm, n, transposed.data());
        normT = transposed.data();
    }
    std::vector<std::int64_t> count(nz, 1), order(nz, std::numeric_limits<std::int64_t>::max());
    std::vector<double> div(nz, 1.0), buf(nz), row_max(nz);
    std::vector<std::int64_t> row_col(nz);
    std::vector<char> stale(nz, 0);
    std::vector<std::uint64_t> version(nz, 0);
    std::int64_t splits = 0;

    struct Entry {
        double value;
        std::int64_t row;
        std::uint64_t version;
        bool operator<(const Entry& o) const { return value < o.value || (value == o.value && row > o.row); }
    };
    std::priority_queue<Entry> heap;

    auto push = [&](std::int64_t i) { heap.push({row_max[i], i, ++version[i]}); };
    auto rescan = [&](std::int64_t i) {
        comparison_row(norm + i * n, div.data(), order.data(), i, n, buf.data());
        const double best = largest(buf.data(), n);
        std::int64_t col = 0;
        while (buf[col] != best) ++col;
        row_max[i] = best;
        row_col[i] = col;
        stale[i] = 0;
        push(i);
    };
    // Entry (i, x) of row i is now v (x was just split).
    auto column_changed = [&](std::int64_t i, std::int64_t x, double v) {
        if (stale[i]) {
            if (v > row_max[i]) row_max[i] = v, row_col[i] = x, stale[i] = 0, push(i);
        } else if (row_col[i] == x) {
            if (v < row_max[i]) stale[i] = 1;  // old value stays as an upper bound
            else if (v > row_max[i]) row_max[i] = v, push(i);
        } else if (v > row_max[i]) {
            row_max[i] = v, row_col[i] = x, push(i);
        } else if (v == row_max[i] && x < row_col[i]) {
            row_col[i] = x;
        }
    };
    auto split = [&](std::int64_t x, std::int64_t k) {
        count[x] = k;
        div[x] = static_cast<double>(k);
        order[x] = splits++;
        comparison_row(normT + x * n, div.data(), order.data(), x, n, buf.data());  // column x, by symmetry of the rule
        for (std::int64_t i = 0; i < n; ++i)
            if (i != x) column_changed(i, x, buf[i]);
        rescan(x);
    };

    for (std::int64_t i = 0; i < n; ++i) rescan(i);
    for (;;) {
        if (cancel.poll()) return {};
        std::int64_t x = 0;
        for (;;) {
            const Entry top = heap.top();
            if (top.version != version[top.row]) {
                heap.pop();
            } else if (stale[top.row]) {
                heap.pop();
                rescan(top.row);
            } else {
                x = top.row;
                break;
            }
        }
        const std::int64_t y = row_col[x];
        const bool x_free = count[x] == 1, y_free = count[y] == 1;
        // The value itself: the comparison value unless both ends are unsplit.
        const double max_val = x_free && y_free ? norm[x * n + y] : row_max[x];
        if (!(max_val > 1.0)) break;
        // Both ends split: the value exceeds 1 only by rounding, and no split
        // can change it; stop instead of selecting it forever.
        if (!x_free && !y_free) break;
        const double k_real = x_free && y_free ? std::ceil(std::sqrt(max_val)) : std::ceil(max_val);
        if (k_real > kMaxPieces)
            throw SplitTooLarge("splitting would need " + std::to_string(k_real) + " copies of one variable");
        // At least two copies: ceil(sqrt(1 + ulp)) is 1, which would split nothing.
        const std::int64_t k = std::max<std::int64_t>(static_cast<std::int64_t>(k_real), 2);
        if (x_free) split(x, k);
        if (count[y] == 1) split(y, k);
    }
    return count;
}

std::vector<std::int64_t> last_copy_index(const std::vector<std::int64_t>& counts) {
    std::vector<std::int64_t> last(counts.size());
    std::int64_t total = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (__builtin_add_overflow(total, counts[i], &total) || total > std::int64_t(kMaxPieces))
            throw SplitTooLarge("the split matrix would have more than 2^31 variables");
        last[i] = total - 1;
    }
    return last;
}

// ---------------------------------------------------------------- variable splitting

namespace {

// The excess distribution over one off-diagonal block, whose entries (in
// visiting order) all start at the same rounded-up piece c: the first `zeros`
// entries become 0, the next becomes c - excess when the excess runs out
// inside the block (zeros < size), the rest keep c.
struct BlockFix {
    std::int64_t zeros;
    double rest;  // units of entry `zeros`
};

BlockFix distribute(double excess, double c, std::int64_t size) {
    std::int64_t k = 0;
    for (; k < size; ++k) {
        if (excess <= c) return {k, c - excess};
        excess -= c;
    }
    return {size, 0.0};
}

// Per block (i, j) of row variable i: the rounded-up piece (units), its sign,
// and the excess of the rounded-up pieces over the source coupling.
// (no-trapping-math lets the ceilings vectorise; values are unchanged.)
__attribute__((target_clones("avx2", "default"), optimize("no-trapping-math"))) void block_quantities(
    const double* __restrict Mi, const double* __restrict inv, const double* __restrict copies, std::int64_t i,
    std::int64_t n, double increment, double* __restrict units, double* __restrict sign, double* __restrict excess) {
    const double inv_i = inv[i], copies_i = copies[i];
    for (std::int64_t j = 0; j < n; ++j) {
        const double piece = Mi[j] * (inv_i * inv[j]);
        // ceil_units and block_excess written out (helpers would not inline here)
        units[j] = std::ceil(std::fabs(piece) / increment - kSplitTolerance);
        sign[j] = piece > 0 ? 1.0 : -1.0;
        const double source = std::fabs(Mi[j]) / increment, pieces = copies_i * copies[j];
        excess[j] = (std::ceil(source / pieces - kSplitTolerance) + 0.0) * pieces - source;
    }
}

}  // namespace

// Rows are written variable by variable: the m_i copies of variable i share
// one template row (each block's untouched piece), copied once per row; then
// the few entries that differ are patched: the diagonal, the entries of each
// off-diagonal block reached by its excess, and the diagonal block. A block
// (i, j) is visited row by row when i < j; for j < i the row of copy p of i
// holds the transposed entries of block (j, i), visit q * m_i + p.
// (The avx2 clone rounds with one instruction instead of a call sequence.)
__attribute__((target_clones("avx2", "default"))) bool var_split_fill(const double* M, std::int64_t n,
                                                                      const std::int64_t* counts, double increment,
                                                                      bool round, double* out, std::int64_t N,
                                                                      Cancel& cancel) {
    const Finish fin{increment, round};
    const std::size_t nz = static_cast<std::size_t>(n);
    std::vector<double> inv(nz), copies(nz), units(nz), sign(nz), excess(nz);
    std::vector<std::int64_t> begin(nz + 1, 0);
    for (std::int64_t i = 0; i < n; ++i) {
        inv[i] = 1.0 / static_cast<double>(counts[i]);
        copies[i] = static_cast<double>(counts[i]);
        begin[i + 1] = begin[i] + counts[i];
    }
    std::vector<double> tmpl(static_cast<std::size_t>(N));

    for (std::int64_t i = 0; i < n; ++i) {
        if (cancel.poll()) return false;
        const std::int64_t mi = counts[i];
        double* rows = out + begin[i] * N;  // the mi rows of variable i
        const double* Mi = M + i * n;
        // Per block (i, j): rounded-up piece, its sign, and the excess of the
        // rounded-up pieces over the source coupling (independent per j).
        block_quantities(Mi, inv.data(), copies.data(), i, n, increment, units.data(), sign.data(), excess.data());
        for (std::int64_t j = 0; j < n; ++j)
            std::fill(tmpl.begin() + begin[j], tmpl.begin() + begin[j + 1], fin(units[j] * sign[j]));
        for (std::int64_t p = 0; p < mi; ++p) {
            std::copy(tmpl.begin(), tmpl.end(), rows + p * N);
            rows[p * N + begin[i] + p] = fin(0.0);  // the diagonal: no piece, sign -1 times -0.0
        }
        for (std::int64_t j = 0; j < n; ++j) {
            if (j == i) continue;
            const std::int64_t mj = counts[j], size = mi * mj;
            const double s = sign[j];
            const BlockFix fix = distribute(excess[j], units[j], size);
            const double zero = fin(0.0 * s), rest = fin(fix.rest * s);
            const std::int64_t last = std::min(fix.zeros, size - 1);
            for (std::int64_t t = 0; t <= last; ++t) {
                const std::int64_t p = i < j ? t / mj : t % mi, q = i < j ? t % mj : t / mi;
                rows[p * N + begin[j] + q] = t < fix.zeros ? zero : rest;
            }
        }
        // Diagonal block: the copy couplings; distribute its excess in place.
        // Entries are visited row by row over the upper triangle (a lower entry
        // was zeroed as the mirror of an upper one before its turn, so visiting
        // it changes nothing); a diagonal entry starts at -0.0 and, being its own
        // mirror, is reduced twice when the excess runs out there.
        const double c = units[i], s = sign[i];
        double left = excess[i];
        double* blk = rows + begin[i];
        for (std::int64_t p = 0; p < mi; ++p)
            for (std::int64_t q = p; q < mi; ++q) {
                const bool diag = p == q;
                const double cur = diag ? -0.0 : c;
                const double sign_pq = diag ? -1.0 : s;
                if (left <= cur) {
                    const double v = diag ? (cur - left) - left : cur - left;
                    blk[p * N + q] = blk[q * N + p] = fin(v * sign_pq);
                    goto block_done;
                }
                left -= cur;
                blk[p * N + q] = blk[q * N + p] = fin(0.0 * sign_pq);
            }
    block_done:;
    }
    return true;
}

void int_pieces(const double* ret, const double* mat, double increment, const std::int64_t* counts,
                const std::int64_t* last, std::int64_t n, std::int64_t N, double* out) {
    const std::size_t NN = static_cast<std::size_t>(N) * static_cast<std::size_t>(N);
    for (std::size_t e = 0; e < NN; ++e) out[e] = ceil_units(std::fabs(ret[e]) / increment);
    std::vector<std::int64_t> begin(static_cast<std::size_t>(n) + 1, 0);
    for (std::int64_t i = 0; i < n; ++i) begin[i + 1] = last[i] + 1;
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = i; j < n; ++j) {
            double excess = block_excess(std::fabs(mat[i * n + j]) / increment,
                                         static_cast<double>(counts[i]) * static_cast<double>(counts[j]));
            for (std::int64_t a = begin[i]; a < begin[i + 1]; ++a)
                for (std::int64_t b = begin[j]; b < begin[j + 1]; ++b) {
                    if (excess <= out[a * N + b]) {
                        out[a * N + b] -= excess;
                        out[b * N + a] -= excess;
                        goto next_block;
                    }
                    excess -= out[a * N + b];
                    out[a * N + b] = 0.0;
                    out[b * N + a] = 0.0;
                }
        next_block:;
        }
    for (std::size_t e = 0; e < NN; ++e) out[e] *= ret[e] > 0 ? 1.0 : -1.0;
}

// ---------------------------------------------------------------- item splitting

namespace {

std::int64_t pieces_of(double value, double thresh, double increment) {
    const double q = ceil_units(std::fabs(value) / thresh / increment);
    if (q > kMaxPieces) throw SplitTooLarge("splitting would need " + std::to_string(q) + " pieces of one coupling");
    return std::max<std::int64_t>(static_cast<std::int64_t>(q), 1);
}

}  // namespace

std::int64_t item_split_size(const double* M, std::int64_t n, double thresh, double increment) {
    std::int64_t total = n;
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = i; j < n; ++j)
            if (__builtin_add_overflow(total, pieces_of(M[i * n + j], thresh, increment) - 1, &total) ||
                total > std::int64_t(kMaxPieces))
                throw SplitTooLarge("the split matrix would have more than 2^31 variables");
    return total;
}

bool item_split_fill(const double* M, std::int64_t n, double thresh, double increment, bool round, double* out,
                     std::int64_t N, Cancel& cancel) {
    auto fin = [&](double x) { return round ? std::nearbyint(x / increment) * increment : x; };
    std::int64_t next = n;
    for (std::int64_t i = 0; i < n; ++i) {
        if (cancel.poll()) return false;
        for (std::int64_t j = i; j < n; ++j) {
            const double v = M[i * n + j];
            const std::int64_t k = pieces_of(v, thresh, increment);
            const double piece = fin(v / static_cast<double>(k));
            const double flag = v > 0 ? 1.0 : -1.0;
            const double piece_j = fin(flag * v / static_cast<double>(k));
            out[i * N + j] = out[j * N + i] = piece;
            for (std::int64_t a = next; a < next + k - 1; ++a) {
                out[a * N + i] = out[i * N + a] = i == j ? piece_j : piece;
                out[a * N + j] = out[j * N + a] = piece_j;
            }
            next += k - 1;
        }
    }
    return true;
}

}  // namespace orvane
