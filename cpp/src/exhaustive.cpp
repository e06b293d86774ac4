// Exhaustive search, blocked.
//
// The n spins split into a low block L (the k lowest, k <= 16) and a high
// block (the rest). With C_ij = J_ij + J_ji:
//   H(s) = -tr(J) - sum_{i<j} C_ij s_i s_j
//        = T[l] + E_high(h) - sum_{i in L} s_i f_i(h),   f_i = sum_{j high} C_ij s_j
// T (the low-low energy of all 2^k low configurations) is built once. For each
// high configuration h the linear term is the sum of two small tables cA
// (lowest a spins) and cB (the other k - a), so every state costs one add and
// one min over a contiguous row of T: a SIMD loop.
//
// Pass 1 finds the minimum (within a rounding tolerance for float matrices)
// and remembers the high configurations that reach it; pass 2 rescans only
// those in increasing order and collects the candidate indices; candidates are
// then re-evaluated in the reference summation order, so ties are exact.
#include "orvane/exhaustive.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "orvane/energy.hpp"

namespace orvane {

namespace {

constexpr int kLowMax = 16;  // T has 2^16 doubles (512 KiB)
constexpr int kInnerMax = 8;  // contiguous inner rows of 256 doubles

typedef double v4d __attribute__((vector_size(32)));

// min over x of row[x] + add[x]; len is a power of two.
__attribute__((target_clones("avx2", "default"))) double row_min(const double* row, const double* add,
                                                                  std::size_t len) {
    if (len < 8) {
        double m = std::numeric_limits<double>::infinity();
        for (std::size_t x = 0; x < len; ++x) m = std::min(m, row[x] + add[x]);
        return m;
    }
    const double inf = std::numeric_limits<double>::infinity();
    v4d m0 = {inf, inf, inf, inf}, m1 = m0;
    for (std::size_t x = 0; x < len; x += 8) {
        v4d r0, r1, a0, a1;
        __builtin_memcpy(&r0, row + x, sizeof r0);
        __builtin_memcpy(&r1, row + x + 4, sizeof r1);
        __builtin_memcpy(&a0, add + x, sizeof a0);
        __builtin_memcpy(&a1, add + x + 4, sizeof a1);
        v4d s0 = r0 + a0, s1 = r1 + a1;
        m0 = s0 < m0 ? s0 : m0;
        m1 = s1 < m1 ? s1 : m1;
    }
    m0 = m1 < m0 ? m1 : m0;
    return std::min(std::min(m0[0], m0[1]), std::min(m0[2], m0[3]));
}

// table[x] for x < 2^count, linear in the spins: table[0] = base (all -1),
// setting bit t adds step[t].
void linear_table(double base, const double* step, int count, double* table) {
    table[0] = base;
    for (int t = 0; t < count; ++t) {
        std::size_t half = std::size_t(1) << t;
        for (std::size_t x = 0; x < half; ++x) table[x + half] = table[x] + step[t];
    }
}

struct Blocked {
    int n, k, a, b, m;
    std::vector<double> C;  // n x n, C_ij = J_ij + J_ji off the diagonal
    double trace = 0;
    std::vector<double> T, cA, cB, f, stepA, stepB;

    Blocked(const double* J, int n_) : n(n_) {
        k = std::min(n, kLowMax);
        a = std::min(k, kInnerMax);
        b = k - a;
        m = n - k;
        C.assign(std::size_t(n) * n, 0.0);
        for (int i = 0; i < n; ++i) {
            trace += J[std::size_t(i) * n + i];
            for (int j = 0; j < n; ++j)
                if (i != j) C[std::size_t(i) * n + j] = J[std::size_t(i) * n + j] + J[std::size_t(j) * n + i];
        }
        build_low_table();
        cA.resize(std::size_t(1) << a);
        cB.resize(std::size_t(1) << b);
        f.resize(k);
        stepA.resize(a);
        stepB.resize(b);
    }

    // T[l] = -sum_{i<j<k} C_ij s_i s_j, built bit by bit: setting bit t (s_t from
    // -1 to +1, spins above t at -1) adds -2 (sum_{i<t} C_it s_i - sum_{t<j<k} C_tj).
    void build_low_table() {
        T.assign(std::size_t(1) << k, 0.0);
        double t0 = 0;
        for (int i = 0; i < k; ++i)
            for (int j = i + 1; j < k; ++j) t0 -= C[std::size_t(i) * n + j];
        T[0] = t0;
        std::vector<double> F(std::size_t(1) << std::max(k - 1, 0)), step(k);
        for (int t = 0; t < k; ++t) {
            // Spins above t are still -1 in the first half of the table.
            double base = 0;
            for (int j = t + 1; j < k; ++j) base -= C[std::size_t(t) * n + j];
            for (int i = 0; i < t; ++i) {
                base -= C[std::size_t(i) * n + t];
                step[i] = 2 * C[std::size_t(i) * n + t];
            }
            linear_table(base, step.data(), t, F.data());
            std::size_t half = std::size_t(1) << t;
            for (std::size_t l = 0; l < half; ++l) T[l + half] = T[l] - 2 * F[l];
        }
    }

    // Fill cA and cB for high configuration h; cB carries the high energy.
    void prepare(std::uint64_t h) {
        double eh = -trace;
        for (int i = k; i < n; ++i) {
            double si = (h >> (i - k)) & 1 ? 1.0 : -1.0;
            for (int j = i + 1; j < n; ++j) {
                double sj = (h >> (j - k)) & 1 ? 1.0 : -1.0;
                eh -= C[std::size_t(i) * n + j] * si * sj;
            }
        }
        for (int i = 0; i < k; ++i) {
            double fi = 0;
            for (int j = k; j < n; ++j) fi += (h >> (j - k)) & 1 ? C[std::size_t(i) * n + j] : -C[std::size_t(i) * n + j];
            f[i] = fi;
        }
        // -sum s_i f_i: all -1 gives +sum f_i; setting bit t adds -2 f_t.
        double baseA = 0, baseB = eh;
        for (int t = 0; t < a; ++t) {
            baseA += f[t];
            stepA[t] = -2 * f[t];
        }
        for (int t = 0; t < b; ++t) {
            baseB += f[a + t];
            stepB[t] = -2 * f[a + t];
        }
        linear_table(baseA, stepA.data(), a, cA.data());
        linear_table(baseB, stepB.data(), b, cB.data());
    }

    double block_min() const {
        double best = std::numeric_limits<double>::infinity();
        const std::size_t len = std::size_t(1) << a;
        for (std::size_t lb = 0; lb < cB.size(); ++lb)
            best = std::min(best, row_min(T.data() + (lb << a), cA.data(), len) + cB[lb]);
        return best;
    }

    // Low configurations l (increasing) whose approximate energy is <= thr.
    template <class Out>
    void collect(double thr, Out&& out) const {
        const std::size_t len = std::size_t(1) << a;
        for (std::size_t lb = 0; lb < cB.size(); ++lb) {
            const double* row = T.data() + (lb << a);
            if (row_min(row, cA.data(), len) + cB[lb] > thr) continue;
            for (std::size_t x = 0; x < len; ++x)
                if (row[x] + cA[x] + cB[lb] <= thr) out((lb << a) | x);
        }
    }
};

}  // namespace

std::vector<std::uint64_t> exhaustive_minima(const double* J, const std::int64_t* Jint, int n, Cancel& cancel) {
    Blocked blk(J, n);

    // Rounding bound of the blocked sums against the reference order. Zero when
    // every partial sum is a whole number well inside double's exact range.
    double mag = 0;
    bool integral = true;
    for (std::size_t x = 0; x < std::size_t(n) * n; ++x) {
        mag += std::fabs(J[x]);
        integral = integral && J[x] == std::nearbyint(J[x]);
    }
    const bool exact = integral && mag < 0x1p50;
    const double tol = exact ? 0.0 : 16.0 * n * n * DBL_EPSILON * mag;

    // Pass 1: minimum, and the high configurations within tol of it. The list
    // is pruned whenever it has doubled since the last pruning.
    const std::uint64_t highs = std::uint64_t(1) << blk.m;
    double best = std::numeric_limits<double>::infinity();
    std::vector<std::pair<std::uint64_t, double>> near;
    std::size_t pruned_size = 16;
    for (std::uint64_t h = 0; h < highs; ++h) {
        if (cancel.poll()) return {};
        blk.prepare(h);
        double bm = blk.block_min();
        if (bm < best) best = bm;
        if (bm <= best + tol) near.emplace_back(h, bm);
        if (near.size() >= 2 * pruned_size) {
            std::erase_if(near, [&](const auto& e) { return e.second > best + tol; });
            pruned_size = std::max<std::size_t>(16, near.size());
        }
    }

    // Pass 2: candidate indices in increasing order.
    const double thr = best + tol;
    std::vector<std::uint64_t> cand;
    for (const auto& [h, bm] : near) {
        if (bm > thr) continue;
        if (cancel.poll()) return {};
        blk.prepare(h);
        blk.collect(thr, [&](std::uint64_t l) { cand.push_back((h << blk.k) | l); });
    }
    if (exact) return cand;

    // Exact comparison in the reference order.
    std::vector<std::int8_t> s(n);
    auto spins = [&](std::uint64_t i) {
        for (int j = 0; j < n; ++j) s[j] = (i >> j) & 1 ? 1 : -1;
    };
    std::vector<std::uint64_t> out;
    if (Jint) {
        std::vector<std::int64_t> e(cand.size());
        for (std::size_t c = 0; c < cand.size(); ++c) {
            if ((c & 4095) == 0 && cancel.poll()) return {};
            spins(cand[c]);
            e[c] = energy_int(Jint, n, s.data());
        }
        std::int64_t lo = *std::min_element(e.begin(), e.end());
        for (std::size_t c = 0; c < cand.size(); ++c)
            if (e[c] == lo) out.push_back(cand[c]);
    } else {
        std::vector<double> e(cand.size());
        for (std::size_t c = 0; c < cand.size(); ++c) {
            if ((c & 4095) == 0 && cancel.poll()) return {};
            spins(cand[c]);
            e[c] = energy(J, n, s.data());
        }
        double lo = *std::min_element(e.begin(), e.end());
        for (std::size_t c = 0; c < cand.size(); ++c)
            if (e[c] == lo) out.push_back(cand[c]);
    }
    return out;
}

}  // namespace orvane
