// Tabu search engine: incremental fields, vectorised move choice, pool.
//
// Fields. S = s * F with F = N x, kept incrementally: flipping j from -val
// to val adds 2 val * row_j, where row_j holds s * N[., j]. For dyadic
// matrices of bounded size, s = 2^p makes every row entry an integer, stored
// in the narrowest integer type that holds it (less memory traffic per flip);
// otherwise rows are N itself (s = 1) in doubles.
//
// Choice. With c = 4 / s, the change of flipping candidate i (x_i = -val) is
// d_i = val * S_i * c, and with the tabu penalty val * (S_i * c + tabu_i): the
// same single rounding as d_i + val * tabu_i, so exact ties stay exact.
//
// Energy at a critical event: H = -tr(J) + sum_i x_i F_i, O(n). In the exact
// case that is H itself. Otherwise it is an estimate within a proven bound
// `tol` of H; comparisons (new best, pool admission and order) decide on the
// estimates when they differ by more than the bound and compute H in full,
// O(n^2) in the reference order, only for near-ties and for what is kept.
//
// No floating-point contraction: a fused multiply-add would round differently
// from the plain products and sums the search is specified with, and would
// make results depend on the instruction set the dispatcher picks.
#pragma GCC optimize("fp-contract=off")

#include "orvane/tabu.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "orvane/energy.hpp"

namespace orvane::tabu {

void SpanControl::transfer(std::int64_t p1, std::int64_t p2) {
    ++iter_span;
    if (increase) {
        if (span <= p1) {
            if (iter_span > p2 * span) {
                ++span;
                iter_span = 0;
            }
        } else if (iter_span > 4) {
            ++span;
            iter_span = 0;
        }
        if (span > p2) {
            span = p2;
            increase = false;
        }
    } else {
        if (p1 + 1 <= span && span <= p2) {
            if (iter_span > 4) {
                --span;
                iter_span = 0;
            }
        } else if (iter_span > p2 * span) {
            --span;
            iter_span = 0;
        }
        if (span == 0) {
            span = 1;
            increase = true;
        }
    }
}

namespace {

constexpr std::int64_t kLanes = 8;
constexpr int kMaxFracBits = 40;            // finer dyadic values are treated as general floats
constexpr double kExactLimit = 0x1p52;      // bound on scaled sums that stay exact in doubles
constexpr std::uint64_t kResyncFlips = 1u << 16;  // float fields are recomputed this often

typedef double v8d __attribute__((vector_size(64)));
typedef long long v8l __attribute__((vector_size(64)));

// Unaligned load (a macro: vector-typed parameters and returns would tie the
// calling convention to the instruction set).
#define ORVANE_LOAD8(v, p) \
    v8d v;                 \
    std::memcpy(&v, (p), sizeof v)

// ------------------------------------------------------------ hot loops

// The smallest key over the candidates and how often it occurs. When no
// accumulator lane saw it twice, `at` holds its `count` positions (ascending);
// otherwise `at` is empty and a second pass (nth_key) finds them.
struct Best {
    double key;
    std::int64_t count;
    std::int64_t at_count;
    std::int64_t at[16];
};

// Key of spin i for a flip to val: val * (S[i] * c + t[i]) for candidates
// (x[i] == -val), NaN for the rest (NaN never wins a comparison). t may be
// null (no penalty). len is a multiple of 2 kLanes. Each lane keeps its own
// minimum, count and first index; one pass, no stores.
#define ORVANE_TABU_KEYS(vk, i)                                                   \
    ORVANE_LOAD8(vs_##vk, S + (i));                                             \
    ORVANE_LOAD8(vx_##vk, x + (i));                                             \
    v8d vk;                                                                    \
    if (t) {                                                                   \
        ORVANE_LOAD8(vt_##vk, t + (i));                                         \
        vk = val * (vs_##vk * c + vt_##vk);                                    \
    } else {                                                                   \
        vk = val * (vs_##vk * c);                                              \
    }                                                                          \
    vk = vx_##vk == -val ? vk : vnan

__attribute__((target_clones("avx512f", "avx2", "default"))) Best best_key(
    const double* x, const double* S, const double* t, double val, double c, std::int64_t len) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const v8d vnan = {nan, nan, nan, nan, nan, nan, nan, nan};
    const v8l one = {1, 1, 1, 1, 1, 1, 1, 1};
    const v8l step = one * (2 * kLanes);
    // Two independent accumulators (even and odd blocks) halve the
    // loop-carried dependency chain.
    v8d m0 = {inf, inf, inf, inf, inf, inf, inf, inf}, m1 = m0;
    v8l count0 = one - one, count1 = count0;
    v8l first0 = count0 - one, first1 = first0;  // -1 while a lane's minimum is the initial infinity
    v8l index0 = {0, 1, 2, 3, 4, 5, 6, 7};
    v8l index1 = index0 + kLanes;
    for (std::int64_t i = 0; i < len; i += 2 * kLanes) {
        ORVANE_TABU_KEYS(k0, i);
        ORVANE_TABU_KEYS(k1, i + kLanes);
        v8l lower0 = k0 < m0, equal0 = k0 == m0;
        v8l lower1 = k1 < m1, equal1 = k1 == m1;
        m0 = lower0 ? k0 : m0;
        m1 = lower1 ? k1 : m1;
        count0 = lower0 ? one : count0 - equal0;  // a true comparison is -1
        count1 = lower1 ? one : count1 - equal1;
        first0 = lower0 ? index0 : first0;
        first1 = lower1 ? index1 : first1;
        index0 += step;
        index1 += step;
    }
    double m[2 * kLanes];
    long long count[2 * kLanes], first[2 * kLanes];
    for (int l = 0; l < kLanes; ++l) {
        m[l] = m0[l], m[l + kLanes] = m1[l];
        count[l] = count0[l], count[l + kLanes] = count1[l];
        first[l] = first0[l], first[l + kLanes] = first1[l];
    }
    Best b{inf, 0, 0, {}};
    for (int l = 0; l < 2 * kLanes; ++l) b.key = m[l] < b.key ? m[l] : b.key;
    bool single = true;  // every lane's first index is its only one
    for (int l = 0; l < 2 * kLanes; ++l)
        if (m[l] == b.key && count[l] > 0) {
            b.count += count[l];
            single = single && count[l] == 1 && first[l] >= 0;
            b.at[b.at_count++] = first[l];
        }
    if (single)
        std::sort(b.at, b.at + b.at_count);
    else
        b.at_count = 0;
    return b;
}

// The index of the r-th (from 0, ascending) spin whose key equals m; -1 if none.
__attribute__((target_clones("avx512f", "avx2", "default"))) std::int64_t nth_key(
    const double* x, const double* S, const double* t, double val, double c, std::int64_t len, double m,
    std::int64_t r) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const v8d vnan = {nan, nan, nan, nan, nan, nan, nan, nan};
    for (std::int64_t i = 0; i < len; i += kLanes) {
        ORVANE_TABU_KEYS(k, i);
        for (int l = 0; l < kLanes; ++l)
            if (k[l] == m && r-- == 0) return i + l;
    }
    return -1;
}
#undef ORVANE_TABU_KEYS

// S[i] += a * row[i] for i < n.
#define ORVANE_TABU_ROW_UPDATE(T)                                                                      \
    __attribute__((target_clones("avx512f", "avx2", "default"))) void add_row(                       \
        double* S, const T* row, double a, std::int64_t n) {                                          \
        for (std::int64_t i = 0; i < n; ++i) S[i] += a * static_cast<double>(row[i]);                \
    }
ORVANE_TABU_ROW_UPDATE(std::int8_t)
ORVANE_TABU_ROW_UPDATE(std::int16_t)
ORVANE_TABU_ROW_UPDATE(std::int32_t)
ORVANE_TABU_ROW_UPDATE(double)
#undef ORVANE_TABU_ROW_UPDATE

__attribute__((target_clones("avx512f", "avx2", "default"))) double dot(const double* a, const double* b,
                                                                          std::int64_t len) {
    v8d acc = {0, 0, 0, 0, 0, 0, 0, 0};
    for (std::int64_t i = 0; i < len; i += kLanes) {
        ORVANE_LOAD8(va, a + i);
        ORVANE_LOAD8(vb, b + i);
        acc += va * vb;
    }
    double s = 0;
    for (int l = 0; l < kLanes; ++l) s += acc[l];
    return s;
}

// Record configuration x (replacing `oldest` in the recency window, unless
// null) and recompute the penalty: tabu = pr * recency + pf * frequency.
__attribute__((target_clones("avx512f", "avx2", "default"))) void add_memory(
    double* recency, double* frequency, double* tabu, const std::int8_t* x, const std::int8_t* oldest, double pr,
    double pf, std::int64_t n) {
    if (oldest)
        for (std::int64_t i = 0; i < n; ++i) recency[i] += static_cast<double>(x[i] - oldest[i]);
    else
        for (std::int64_t i = 0; i < n; ++i) recency[i] += x[i];
    for (std::int64_t i = 0; i < n; ++i) {
        frequency[i] += x[i];
        tabu[i] = pr * recency[i] + pf * frequency[i];
    }
}

// ------------------------------------------------------------ matrices

// What the engine needs to know about J and N.
struct Analysis {
    double trace = 0;
    double sum_abs_J = 0, sum_abs_N = 0, max_abs_J = 0, max_abs_N = 0;
    bool exact = false;  // every value and sum is exact in doubles
    int frac_N = 0;      // with exact: binary digits after the point that N needs
    bool symmetric_N = true;
    bool consistent = true;  // N == -(J + J^T) / 2 off the diagonal, zero diagonal
};

__attribute__((target_clones("avx512f", "avx2", "default"))) void abs_stats(const double* a, std::size_t count,
                                                                              double& sum, double& top) {
    v8d s = {0, 0, 0, 0, 0, 0, 0, 0}, m = s;
    std::size_t k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        ORVANE_LOAD8(v, a + k);
        v = v < 0 ? -v : v;
        s += v;
        m = v > m ? v : m;
    }
    double total = 0, largest = 0;
    for (int l = 0; l < kLanes; ++l) {
        total += s[l];
        largest = std::max(largest, m[l]);
    }
    for (; k < count; ++k) {
        total += std::fabs(a[k]);
        largest = std::max(largest, std::fabs(a[k]));
    }
    sum = total;
    top = largest;
}

// Whether every a[k] * 2^p is an integer (given |a[k]| * 2^p <= 2^52); `bits`
// collects the bits of those integers.
__attribute__((target_clones("avx512f", "avx2", "default"))) bool dyadic(const double* a, std::size_t count,
                                                                          double scale, std::uint64_t& bits) {
    v8l off = {0, 0, 0, 0, 0, 0, 0, 0}, b = off;
    std::size_t k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        ORVANE_LOAD8(v, a + k);
        v8d t = v * scale;
        v8l i = __builtin_convertvector(t, v8l);
        off |= __builtin_convertvector(i, v8d) != t;
        b |= i < 0 ? -i : i;
    }
    bool ok = true;
    std::uint64_t all = 0;
    for (int l = 0; l < kLanes; ++l) {
        ok = ok && off[l] == 0;
        all |= static_cast<std::uint64_t>(b[l]);
    }
    for (; k < count; ++k) {
        const double t = a[k] * scale;
        const std::int64_t i = static_cast<std::int64_t>(t);
        ok = ok && static_cast<double>(i) == t;
        all |= static_cast<std::uint64_t>(i < 0 ? -i : i);
    }
    bits = all;
    return ok;
}

// Symmetry of N and N == -(J + J^T) / 2, checked in tiles so that the
// transposed reads stay in cache.
__attribute__((target_clones("avx512f", "avx2", "default"))) void check_pairs(const double* J, const double* N,
                                                                                std::int64_t n, Analysis& a) {
    constexpr std::int64_t kTile = 32;
    double jt[kTile * kTile], nt[kTile * kTile];
    bool symmetric = true, consistent = true;
    v8l asym = {0, 0, 0, 0, 0, 0, 0, 0}, odd = asym;
    for (std::int64_t ib = 0; ib < n; ib += kTile)
        for (std::int64_t jb = ib; jb < n; jb += kTile) {
            const std::int64_t ie = std::min(ib + kTile, n), je = std::min(jb + kTile, n);
            for (std::int64_t j = jb; j < je; ++j)  // rows j, columns i of the transposed block
                for (std::int64_t i = ib; i < ie; ++i) {
                    jt[(i - ib) * kTile + (j - jb)] = J[j * n + i];
                    nt[(i - ib) * kTile + (j - jb)] = N[j * n + i];
                }
            for (std::int64_t i = ib; i < ie; ++i) {
                const double* jr = J + i * n;
                const double* nr = N + i * n;
                const double* jc = jt + (i - ib) * kTile - jb;
                const double* nc = nt + (i - ib) * kTile - jb;
                std::int64_t j = jb;
                if (i < jb || i >= je) {  // off the diagonal: whole vectors
                    for (; j + kLanes <= je; j += kLanes) {
                        ORVANE_LOAD8(vjr, jr + j);
                        ORVANE_LOAD8(vjc, jc + j);
                        ORVANE_LOAD8(vnr, nr + j);
                        ORVANE_LOAD8(vnc, nc + j);
                        v8d expect = -(vjr + vjc) / 2;
                        asym |= vnr != vnc;
                        odd |= (vnr != expect) | (vnc != expect);
                    }
                }
                for (; j < je; ++j) {
                    const double expect = i == j ? 0.0 : -(jr[j] + jc[j]) / 2;
                    symmetric = symmetric && nr[j] == nc[j];
                    consistent = consistent && nr[j] == expect && nc[j] == expect;
                }
            }
        }
    for (int l = 0; l < kLanes; ++l) {
        symmetric = symmetric && asym[l] == 0;
        consistent = consistent && odd[l] == 0;
    }
    a.symmetric_N = symmetric;
    a.consistent = consistent;
}

Analysis analyse(const double* J, const double* N, std::int64_t n) {
    Analysis a;
    for (std::int64_t i = 0; i < n; ++i) a.trace += J[i * n + i];
    const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
    abs_stats(J, count, a.sum_abs_J, a.max_abs_J);
    abs_stats(N, count, a.sum_abs_N, a.max_abs_N);
    check_pairs(J, N, n, a);
    // Exact when, for some p <= kMaxFracBits, every value times 2^p is an
    // integer and the scaled absolute sum is at most 2^52: then every partial
    // sum of fields and energies is an exactly representable integer multiple
    // of 2^-p. The largest p allowed by the sum is tried.
    const double total = a.sum_abs_J + a.sum_abs_N;
    int p = kMaxFracBits;
    if (total > 0) p = std::min(p, static_cast<int>(std::floor(std::log2(kExactLimit / total))));
    while (p >= 0 && std::ldexp(total, p) > kExactLimit) --p;  // guard the rounding of log2
    if (!a.consistent || p < 0) return a;
    std::uint64_t bits_J = 0, bits_N = 0;
    const double scale = std::ldexp(1.0, p);
    if (!dyadic(J, count, scale, bits_J) || !dyadic(N, count, scale, bits_N)) return a;
    a.exact = true;
    a.frac_N = bits_N == 0 ? 0 : std::max(0, p - __builtin_ctzll(bits_N));
    return a;
}

std::uint64_t hash_config(const std::int8_t* x, std::int64_t n) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::int64_t i = 0; i < n; ++i) h = (h ^ static_cast<std::uint8_t>(x[i])) * 1099511628211ull;
    return h;
}

}  // namespace

// ------------------------------------------------------------ engine

// An energy, possibly an estimate within the engine's bound `tol`.
struct Energy {
    double h;
    bool exact;
};

// ------------------------------------------------------------ problem

struct Problem::Data {
    using RowUpdate = void (*)(double*, const void*, double, std::int64_t);

    std::int64_t n = 0;
    bool exact = false;
    double trace = 0, scale = 1, tol = 0, max_abs_J = 0;
    std::vector<unsigned char> row_store;  // the rows, unless they are N itself
    bool rows_are_N = false;
    std::size_t row_bytes = 0;
    RowUpdate add = nullptr;

    template <class T>
    static void add_as(double* S, const void* row, double a, std::int64_t n) {
        add_row(S, static_cast<const T*>(row), a, n);
    }

    template <class T>
    void store_rows(const double* N, double s, bool transpose) {
        row_store.resize(static_cast<std::size_t>(n) * n * sizeof(T));
        T* out = reinterpret_cast<T*>(row_store.data());
        for (std::int64_t j = 0; j < n; ++j)
            for (std::int64_t i = 0; i < n; ++i)
                out[j * n + i] = static_cast<T>(s * (transpose ? N[i * n + j] : N[j * n + i]));
        row_bytes = static_cast<std::size_t>(n) * sizeof(T);
        add = &add_as<T>;
    }

    // Row j of the update must be column j of N; for a symmetric N that is
    // row j itself, used in place when no narrower type fits.
    void build_rows(const double* N, const Analysis& a) {
        const bool transpose = !a.symmetric_N;
        if (exact) {
            const double s = std::ldexp(1.0, a.frac_N);
            const double top = s * a.max_abs_N;
            scale = s;
            if (top <= 127) return store_rows<std::int8_t>(N, s, transpose);
            if (top <= 32767) return store_rows<std::int16_t>(N, s, transpose);
            if (top <= 2147483647.0) return store_rows<std::int32_t>(N, s, transpose);
        }
        scale = 1;
        if (transpose) return store_rows<double>(N, 1.0, true);
        rows_are_N = true;
        row_bytes = static_cast<std::size_t>(n) * sizeof(double);
        add = &add_as<double>;
    }
};

Problem::Problem(const double* J, const double* N, std::int64_t n) : d_(std::make_unique<Data>()) {
    Data& d = *d_;
    d.n = n;
    const Analysis a = analyse(J, N, n);
    d.trace = a.trace;
    d.exact = a.exact;
    d.max_abs_J = a.max_abs_J;
    // Bound on |estimate - H|: rounding of the fields (summed once, then at
    // most kResyncFlips updates each), of the estimate's dot product, and of
    // H itself in the reference order; doubled for safety.
    const double eps = std::numeric_limits<double>::epsilon();
    const double dn = static_cast<double>(n);
    d.tol = a.consistent ? 2 * eps * ((2 * dn + kResyncFlips) * a.sum_abs_N + 3 * dn * a.sum_abs_J)
                         : std::numeric_limits<double>::infinity();
    d.build_rows(N, a);
}
Problem::~Problem() = default;
std::int64_t Problem::n() const { return d_->n; }
bool Problem::exact() const { return d_->exact; }
double Problem::max_abs_J() const { return d_->max_abs_J; }

__attribute__((target_clones("avx512f", "avx2", "default"))) std::uint64_t fingerprint(const double* a,
                                                                                        std::size_t count) {
    // Lane sums and sums of running sums: a change of any value, or an
    // exchange of two, changes the result.
    typedef unsigned long long v8u __attribute__((vector_size(64)));
    v8u s = {0, 0, 0, 0, 0, 0, 0, 0}, t = s;
    std::size_t k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        v8u w;
        std::memcpy(&w, a + k, sizeof w);
        s += w;
        t += s;
    }
    std::uint64_t h = 0x9e3779b97f4a7c15ull ^ count;
    for (int l = 0; l < kLanes; ++l) h = (h ^ s[l]) * 0x100000001b3ull + t[l] * (2 * l + 1);
    for (; k < count; ++k) {
        std::uint64_t w;
        std::memcpy(&w, a + k, sizeof w);
        h = (h ^ w) * 0x100000001b3ull;
    }
    return h;
}

// ------------------------------------------------------------ engine

struct Search::Engine {
    // A configuration held by the pool.
    struct Entry {
        Energy e;
        std::uint64_t seq, hash;
        std::vector<std::int8_t> x;
    };

    const Problem::Data& P;
    const double* J;
    std::int64_t n, len;  // len: n rounded up to 2 kLanes
    State& st;
    Settings set;
    TieBreak& ties;

    const bool exact;
    const double trace, scale, c, tol;
    const unsigned char* rows;

    std::vector<double> xd, S, tabu;  // padded to len; padding x = 0 is never a candidate
    std::vector<std::int8_t> x8;
    std::int64_t ones = 0;
    std::uint64_t flips = 0, since_sync = 0;
    Energy best_e;

    // The pool: the size_limit distinct configurations of lowest energy,
    // ranked by (energy, first push).
    std::vector<Entry> pool;
    std::unordered_multimap<std::uint64_t, std::size_t> by_hash;
    std::size_t capacity;
    std::uint64_t seq = 0;
    std::size_t worst = 0;  // the last-ranked entry, once the pool is full

    Engine(const Problem::Data& P_, const double* J_, const double* N_, State& st_, const Settings& set_,
           TieBreak& ties_)
        : P(P_), J(J_), n(P_.n), len((P_.n + 2 * kLanes - 1) / (2 * kLanes) * (2 * kLanes)), st(st_), set(set_),
          ties(ties_), exact(P_.exact), trace(P_.trace), scale(P_.scale), c(4 / P_.scale), tol(P_.tol),
          rows(P_.rows_are_N ? reinterpret_cast<const unsigned char*>(N_) : P_.row_store.data()),
          capacity(static_cast<std::size_t>(set_.size_limit)) {
        xd.assign(len, 0.0);
        x8 = st.x;
        for (std::int64_t i = 0; i < n; ++i) {
            xd[i] = x8[i] > 0 ? 1.0 : -1.0;
            ones += x8[i] > 0;
        }
        tabu.assign(len, 0.0);
        std::copy(st.tabu.begin(), st.tabu.end(), tabu.begin());
        S.assign(len, 0.0);
        sync_fields();
        best_e = {st.best.empty() ? std::numeric_limits<double>::infinity() : st.best_h, true};
    }

    const void* row(std::int64_t j) const { return rows + static_cast<std::size_t>(j) * P.row_bytes; }

    void sync_fields() {
        std::fill(S.begin(), S.end(), 0.0);
        for (std::int64_t j = 0; j < n; ++j) P.add(S.data(), row(j), xd[j], n);
        since_sync = 0;
    }

    std::int64_t count(int val) const { return val > 0 ? ones : n - ones; }

    void flip(std::int64_t j, int val) {
        P.add(S.data(), row(j), 2.0 * val, n);
        xd[j] = val;
        x8[j] = static_cast<std::int8_t>(val);
        ones += val;
        ++flips;
        if (!exact && ++since_sync >= kResyncFlips) sync_fields();
    }

    // (j*, plain energy change of flipping it) for a flip to val.
    std::pair<std::int64_t, double> jstar(int val) {
        const double v = val;
        const bool penalised = st.ct_var <= st.k;
        const double* t = penalised ? tabu.data() : nullptr;
        const Best b = best_key(xd.data(), S.data(), t, v, c, len);
        std::int64_t j = -1;
        if (b.count > 0) {
            const std::int64_t r = b.count > 1 ? static_cast<std::int64_t>(ties.below(b.count)) : 0;
            j = b.at_count ? b.at[r] : nth_key(xd.data(), S.data(), t, v, c, len, b.key, r);
        }
        if (j < 0)  // only with NaN penalties (overflowing coefficients): any candidate
            for (j = 0; xd[j] != -v; ++j) {
            }
        return {j, v * (S[j] * c)};
    }

    // ---- energies

    void resolve(Energy& e, const std::int8_t* x) const {
        if (!e.exact) e = {energy(J, n, x), true};
    }

    // a < b for the energies of configurations xa and xb; exact where the
    // estimates are too close to call.
    bool less(Energy& a, const std::int8_t* xa, Energy& b, const std::int8_t* xb) const {
        if (!(a.exact && b.exact)) {
            const double margin = (a.exact ? 0 : tol) + (b.exact ? 0 : tol);
            if (a.h < b.h - margin) return true;
            if (a.h > b.h + margin) return false;
            // A search often returns to the same configuration (the best one
            // above all): equal energies, nothing to compute.
            if (xa && xb && std::memcmp(xa, xb, static_cast<std::size_t>(n)) == 0) return false;
            resolve(a, xa);
            resolve(b, xb);
        }
        return a.h < b.h;
    }

    // Entry p ranks after entry q: higher energy, or equal and pushed later.
    bool after(Entry& p, Entry& q) const {
        if (less(q.e, q.x.data(), p.e, p.x.data())) return true;
        if (less(p.e, p.x.data(), q.e, q.x.data())) return false;
        return p.seq > q.seq;
    }

    void find_worst() {
        worst = 0;
        for (std::size_t i = 1; i < pool.size(); ++i)
            if (after(pool[i], pool[worst])) worst = i;
    }

    // Offer the current configuration, of energy e, to the pool: a new
    // configuration enters a full pool only strictly below the worst held.
    void offer(Energy& e) {
        if (capacity == 0) return;
        const bool full = pool.size() >= capacity;
        if (full && !less(e, x8.data(), pool[worst].e, pool[worst].x.data())) return;
        const std::uint64_t h = hash_config(x8.data(), n);
        auto range = by_hash.equal_range(h);
        for (auto it = range.first; it != range.second; ++it)
            if (pool[it->second].x == x8) return;
        std::size_t slot = pool.size();
        if (full) {
            slot = worst;
            auto old = by_hash.equal_range(pool[slot].hash);
            for (auto it = old.first; it != old.second; ++it)
                if (it->second == slot) {
                    by_hash.erase(it);
                    break;
                }
            pool[slot] = {e, ++seq, h, x8};
        } else {
            pool.push_back({e, ++seq, h, x8});
        }
        by_hash.emplace(h, slot);
        if (pool.size() >= capacity) find_worst();
    }

    void critical_event() {
        Energy e{energy_from_fields(), exact};
        if (less(e, x8.data(), best_e, st.best.empty() ? nullptr : st.best.data())) {
            st.best = x8;
            best_e = e;
        }
        offer(e);
        update_tabu();
    }

    double energy_from_fields() const { return dot(xd.data(), S.data(), len) / scale - trace; }

    // ---- memories

    void update_tabu() {
        const double pr = st.penalty_recency;
        const double pf = pr / 1000 * static_cast<double>(st.iterations);
        if (static_cast<std::int64_t>(st.window.size()) <= set.recency_size - 1) {
            add_memory(st.recency.data(), st.frequency.data(), tabu.data(), x8.data(), nullptr, pr, pf, n);
            st.window.push_back(x8);
        } else {
            std::vector<std::int8_t> oldest = std::move(st.window.front());
            st.window.pop_front();
            add_memory(st.recency.data(), st.frequency.data(), tabu.data(), x8.data(), oldest.data(), pr, pf, n);
            oldest = x8;
            st.window.push_back(std::move(oldest));
        }
        st.tabu_scalar = false;
    }

    // ---- phases and the loop

    void phase(int val) {
        st.ct_var = 0;
        while (count(-val) > 0) {
            auto [j, inc] = jstar(val);
            if (inc < 0) {
                flip(j, val);
                ++st.ct_var;
                continue;
            }
            critical_event();
            break;
        }
        while (st.ct_span <= st.span.span && count(-val) > 0) {
            ++st.ct_span;
            flip(jstar(val).first, val);
        }
    }

    bool run(Cancel& cancel) {
        const std::int64_t cycle = 2 * set.recency_size;
        while (static_cast<double>(st.iterations) < set.max_iter) {
            if (cancel.poll()) return false;
            ++st.iterations;
            phase(+1);
            st.span.transfer(set.p1, set.p2);
            st.ct_span = 0;
            phase(-1);
            st.span.transfer(set.p1, set.p2);
            ++st.ct_span;
            if (st.iterations % cycle == 0) {
                if (st.k == set.kmax) st.k = 0;
                ++st.k;
            }
        }
        st.iterations = 0;
        return true;
    }

    void store() {
        st.x = x8;
        if (!st.tabu_scalar) st.tabu.assign(tabu.begin(), tabu.begin() + n);
        if (!st.best.empty()) {
            resolve(best_e, st.best.data());
            st.best_h = best_e.h;
        }
        for (Entry& p : pool) resolve(p.e, p.x.data());
    }

    std::vector<PoolEntry> offered() const {
        std::vector<const Entry*> order;
        for (const Entry& p : pool) order.push_back(&p);
        std::sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) { return a->seq < b->seq; });
        std::vector<PoolEntry> out;
        for (const Entry* p : order) out.push_back({p->e.h, p->x});
        return out;
    }
};

Search::Search(const Problem& problem, const double* J, const double* N, State& state, const Settings& settings,
               TieBreak& ties)
    : engine_(std::make_unique<Engine>(*problem.d_, J, N, state, settings, ties)) {}
Search::~Search() = default;

void Search::phase(int val) { engine_->phase(val); }
bool Search::run(Cancel& cancel) { return engine_->run(cancel); }
void Search::store() { engine_->store(); }
std::vector<PoolEntry> Search::pool() const { return engine_->offered(); }
std::uint64_t Search::flips() const { return engine_->flips; }

}  // namespace orvane::tabu
