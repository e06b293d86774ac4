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
// case that is H itself; otherwise it only decides whether the exact energy
// (full O(n^2) sum in the reference order) is needed at all.
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
#include <queue>
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
constexpr double kFloatTol = 1e-7;          // relative bound on the error of float energies

typedef double v8d __attribute__((vector_size(64)));
typedef long long v8l __attribute__((vector_size(64)));

// Unaligned load (a macro: vector-typed parameters and returns would tie the
// calling convention to the instruction set).
#define ORVANE_LOAD8(v, p) \
    v8d v;                 \
    std::memcpy(&v, (p), sizeof v)

// ------------------------------------------------------------ hot loops

// key[i] = val * (S[i] * c + t[i]) for candidates (x[i] == -val), NaN for the
// rest (NaN never wins a comparison); returns the smallest key. t may be null
// (no penalty). len is a multiple of kLanes.
__attribute__((target_clones("avx512f", "avx2", "default"))) double scan_keys(
    const double* x, const double* S, const double* t, double val, double c, std::int64_t len, double* key) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const v8d vinf = {inf, inf, inf, inf, inf, inf, inf, inf};
    const v8d vnan = {nan, nan, nan, nan, nan, nan, nan, nan};
    v8d m = vinf;
    if (t) {
        for (std::int64_t i = 0; i < len; i += kLanes) {
            ORVANE_LOAD8(vs, S + i);
            ORVANE_LOAD8(vt, t + i);
            ORVANE_LOAD8(vx, x + i);
            v8d e = val * (vs * c + vt);
            v8d k = vx == -val ? e : vnan;
            std::memcpy(key + i, &k, sizeof k);
            m = k < m ? k : m;
        }
    } else {
        for (std::int64_t i = 0; i < len; i += kLanes) {
            ORVANE_LOAD8(vs, S + i);
            ORVANE_LOAD8(vx, x + i);
            v8d e = val * (vs * c);
            v8d k = vx == -val ? e : vnan;
            std::memcpy(key + i, &k, sizeof k);
            m = k < m ? k : m;
        }
    }
    double best = inf;
    for (int l = 0; l < kLanes; ++l) best = m[l] < best ? m[l] : best;
    return best;
}

// Indices i (ascending) with key[i] == m.
__attribute__((target_clones("avx512f", "avx2", "default"))) void collect_ties(
    const double* key, double m, std::int64_t len, std::vector<std::int64_t>& out) {
    out.clear();
    for (std::int64_t i = 0; i < len; i += kLanes) {
        ORVANE_LOAD8(vk, key + i);
        v8l eq = vk == m;
        long long any = 0;
        for (int l = 0; l < kLanes; ++l) any |= eq[l];
        if (!any) continue;
        for (int l = 0; l < kLanes; ++l)
            if (eq[l]) out.push_back(i + l);
    }
}

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

// ------------------------------------------------------------ matrices

// Number of binary digits after the point that v needs (0 for integers).
int frac_bits(double v) {
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    const int exp = static_cast<int>((u >> 52) & 0x7ff);
    std::uint64_t mant = u & ((std::uint64_t(1) << 52) - 1);
    if (exp == 0 && mant == 0) return 0;
    if (exp == 0) return 1074 - 0 + 1;  // subnormal: far beyond any dyadic bound used here
    mant |= std::uint64_t(1) << 52;    // |v| = mant 2^(exp - 1075)
    const int bits = 1075 - exp - __builtin_ctzll(mant);
    return bits > 0 ? bits : 0;
}

// What the engine needs to know about J and N.
struct Analysis {
    double trace = 0;
    double sum_abs_J = 0, sum_abs_N = 0, max_abs_N = 0;
    int frac_J = 0, frac_N = 0;
    bool symmetric_N = true;
    bool consistent = true;  // N == -(J + J^T) / 2 off the diagonal, zero diagonal
};

Analysis analyse(const double* J, const double* N, std::int64_t n) {
    Analysis a;
    for (std::int64_t i = 0; i < n; ++i) {
        a.trace += J[i * n + i];
        for (std::int64_t j = 0; j < n; ++j) {
            const double jv = J[i * n + j], nv = N[i * n + j];
            a.sum_abs_J += std::fabs(jv);
            a.sum_abs_N += std::fabs(nv);
            a.max_abs_N = std::max(a.max_abs_N, std::fabs(nv));
            if (a.frac_J <= kMaxFracBits) a.frac_J = std::max(a.frac_J, frac_bits(jv));
            if (a.frac_N <= kMaxFracBits) a.frac_N = std::max(a.frac_N, frac_bits(nv));
            if (nv != N[j * n + i]) a.symmetric_N = false;
            const double expect = i == j ? 0.0 : -(jv + J[j * n + i]) / 2;
            if (nv != expect) a.consistent = false;
        }
    }
    return a;
}

std::uint64_t hash_config(const std::int8_t* x, std::int64_t n) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::int64_t i = 0; i < n; ++i) h = (h ^ static_cast<std::uint8_t>(x[i])) * 1099511628211ull;
    return h;
}

// ------------------------------------------------------------ pool

// The size_limit distinct configurations of lowest energy, keyed by
// (energy, first push): a new configuration enters a full pool only with an
// energy strictly below the worst held, and then replaces it.
class Pool {
public:
    Pool(std::int64_t n, std::int64_t capacity) : n_(n), cap_(static_cast<std::size_t>(capacity)) {}

    bool full() const { return entries_.size() >= cap_; }
    double worst() const {
        return heap_.empty() ? -std::numeric_limits<double>::infinity() : entries_[heap_.top().slot].energy;
    }
    const double* find(const std::int8_t* x, std::uint64_t h) const {
        auto range = by_hash_.equal_range(h);
        for (auto it = range.first; it != range.second; ++it) {
            const Entry& e = entries_[it->second];
            if (std::memcmp(e.x.data(), x, static_cast<std::size_t>(n_)) == 0) return &e.energy;
        }
        return nullptr;
    }
    void offer(const std::int8_t* x, double energy) {
        if (cap_ == 0 || (full() && !(energy < worst()))) return;
        const std::uint64_t h = hash_config(x, n_);
        if (find(x, h)) return;
        std::size_t slot;
        if (full()) {
            slot = heap_.top().slot;
            heap_.pop();
            erase_hash(entries_[slot].hash, slot);
        } else {
            slot = entries_.size();
            entries_.emplace_back();
        }
        Entry& e = entries_[slot];
        e.energy = energy;
        e.seq = ++seq_;
        e.hash = h;
        e.x.assign(x, x + n_);
        heap_.push({energy, e.seq, slot});
        by_hash_.emplace(h, slot);
    }
    std::vector<PoolEntry> ordered_by_push() const {
        std::vector<const Entry*> es;
        for (const Entry& e : entries_) es.push_back(&e);
        std::sort(es.begin(), es.end(), [](const Entry* a, const Entry* b) { return a->seq < b->seq; });
        std::vector<PoolEntry> out;
        for (const Entry* e : es) out.push_back({e->energy, e->x});
        return out;
    }

private:
    struct Entry {
        double energy = 0;
        std::uint64_t seq = 0, hash = 0;
        std::vector<std::int8_t> x;
    };
    struct Rank {
        double energy;
        std::uint64_t seq;
        std::size_t slot;
        bool operator<(const Rank& o) const { return energy < o.energy || (energy == o.energy && seq < o.seq); }
    };
    void erase_hash(std::uint64_t h, std::size_t slot) {
        auto range = by_hash_.equal_range(h);
        for (auto it = range.first; it != range.second; ++it)
            if (it->second == slot) {
                by_hash_.erase(it);
                return;
            }
    }

    std::int64_t n_;
    std::size_t cap_;
    std::uint64_t seq_ = 0;
    std::vector<Entry> entries_;
    std::priority_queue<Rank> heap_;  // worst (highest energy, latest) on top
    std::unordered_multimap<std::uint64_t, std::size_t> by_hash_;
};

}  // namespace

// ------------------------------------------------------------ engine

struct Search::Engine {
    using RowUpdate = void (*)(double*, const void*, double, std::int64_t);

    const double* J;
    const double* N;
    std::int64_t n, len;  // len: n rounded up to kLanes
    State& st;
    Settings set;
    TieBreak& ties;

    bool exact = false;
    double trace = 0, scale = 1, c = 4, tol = 0;
    std::vector<unsigned char> row_store;  // rows when they are not N itself
    const unsigned char* rows = nullptr;
    std::size_t row_bytes = 0;
    RowUpdate add = nullptr;

    std::vector<double> xd, S, tabu, key;  // padded to len; padding x = 0 is never a candidate
    std::vector<std::int8_t> x8;
    std::int64_t ones = 0;
    std::vector<std::int64_t> cand;
    Pool pool;
    std::uint64_t flips = 0, since_sync = 0;

    Engine(const double* J_, const double* N_, std::int64_t n_, State& st_, const Settings& set_, TieBreak& ties_)
        : J(J_), N(N_), n(n_), len((n_ + kLanes - 1) / kLanes * kLanes), st(st_), set(set_), ties(ties_),
          pool(n_, set_.size_limit) {
        const Analysis a = analyse(J, N, n);
        trace = a.trace;
        const int p = std::max(a.frac_J, a.frac_N);
        exact = a.consistent && p <= kMaxFracBits && std::ldexp(a.sum_abs_J + a.sum_abs_N, p) <= kExactLimit;
        tol = a.consistent ? kFloatTol * (a.sum_abs_J + 1e-300) : std::numeric_limits<double>::infinity();
        build_rows(a);
        c = 4 / scale;

        xd.assign(len, 0.0);
        x8 = st.x;
        for (std::int64_t i = 0; i < n; ++i) {
            xd[i] = x8[i] > 0 ? 1.0 : -1.0;
            ones += x8[i] > 0;
        }
        tabu.assign(len, 0.0);
        std::copy(st.tabu.begin(), st.tabu.end(), tabu.begin());
        key.assign(len, 0.0);
        S.assign(len, 0.0);
        sync_fields();
    }

    template <class T>
    static void add_as(double* S, const void* row, double a, std::int64_t n) {
        add_row(S, static_cast<const T*>(row), a, n);
    }

    template <class T>
    void store_rows(double s, bool transpose) {
        row_store.resize(static_cast<std::size_t>(n) * n * sizeof(T));
        T* out = reinterpret_cast<T*>(row_store.data());
        for (std::int64_t j = 0; j < n; ++j)
            for (std::int64_t i = 0; i < n; ++i)
                out[j * n + i] = static_cast<T>(s * (transpose ? N[i * n + j] : N[j * n + i]));
        rows = row_store.data();
        row_bytes = static_cast<std::size_t>(n) * sizeof(T);
        add = &add_as<T>;
    }

    // Row j of the update must be column j of N; for a symmetric N that is
    // row j itself, used in place when no narrower type fits.
    void build_rows(const Analysis& a) {
        const bool transpose = !a.symmetric_N;
        if (exact) {
            const double s = std::ldexp(1.0, a.frac_N);
            const double top = s * a.max_abs_N;
            if (top <= 127) {
                scale = s;
                return store_rows<std::int8_t>(s, transpose);
            }
            if (top <= 32767) {
                scale = s;
                return store_rows<std::int16_t>(s, transpose);
            }
            if (top <= 2147483647.0) {
                scale = s;
                return store_rows<std::int32_t>(s, transpose);
            }
        }
        scale = 1;
        if (transpose) return store_rows<double>(1.0, true);
        rows = reinterpret_cast<const unsigned char*>(N);
        row_bytes = static_cast<std::size_t>(n) * sizeof(double);
        add = &add_as<double>;
    }

    const void* row(std::int64_t j) const { return rows + static_cast<std::size_t>(j) * row_bytes; }

    void sync_fields() {
        std::fill(S.begin(), S.end(), 0.0);
        for (std::int64_t j = 0; j < n; ++j) add(S.data(), row(j), xd[j], n);
        since_sync = 0;
    }

    std::int64_t count(int val) const { return val > 0 ? ones : n - ones; }

    void flip(std::int64_t j, int val) {
        add(S.data(), row(j), 2.0 * val, n);
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
        const double m = scan_keys(xd.data(), S.data(), penalised ? tabu.data() : nullptr, v, c, len, key.data());
        collect_ties(key.data(), m, len, cand);
        if (cand.empty())  // only with NaN penalties (overflowing coefficients): any candidate
            for (std::int64_t i = 0; i < n; ++i)
                if (xd[i] == -v) cand.push_back(i);
        std::int64_t j = cand[0];
        if (cand.size() > 1) j = cand[ties.below(cand.size())];
        return {j, v * (S[j] * c)};
    }

    double energy_from_fields() const { return dot(xd.data(), S.data(), len) / scale - trace; }

    // The exact energy of x8, reusing what is already known.
    double exact_energy() const {
        if (!st.best.empty() && std::memcmp(st.best.data(), x8.data(), static_cast<std::size_t>(n)) == 0)
            return st.best_h;
        if (const double* e = pool.find(x8.data(), hash_config(x8.data(), n))) return *e;
        return energy(J, n, x8.data());
    }

    void critical_event() {
        double h = energy_from_fields();
        bool known = exact;
        if (!exact) {
            double limit = st.best_h;
            if (pool.full()) limit = std::max(limit, pool.worst());
            if (!(h > limit + tol)) {
                h = exact_energy();
                known = true;
            }
        }
        // An unknown energy is surely above the best and the pool's worst.
        if (known) {
            if (h < st.best_h) {
                st.best = x8;
                st.best_h = h;
            }
            pool.offer(x8.data(), h);
        }
        update_tabu();
    }

    void update_tabu() {
        // Recency window of length t.
        if (static_cast<std::int64_t>(st.window.size()) <= set.recency_size - 1) {
            st.window.push_back(x8);
            for (std::int64_t i = 0; i < n; ++i) st.recency[i] += x8[i];
        } else {
            std::vector<std::int8_t> old = std::move(st.window.front());
            st.window.pop_front();
            for (std::int64_t i = 0; i < n; ++i) st.recency[i] += static_cast<double>(x8[i] - old[i]);
            old = x8;
            st.window.push_back(std::move(old));
        }
        for (std::int64_t i = 0; i < n; ++i) st.frequency[i] += x8[i];
        const double pr = st.penalty_recency;
        const double pf = pr / 1000 * static_cast<double>(st.iterations);
        for (std::int64_t i = 0; i < n; ++i) tabu[i] = pr * st.recency[i] + pf * st.frequency[i];
        st.tabu_scalar = false;
    }

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
    }
};

Search::Search(const double* J, const double* N, std::int64_t n, State& state, const Settings& settings,
               TieBreak& ties)
    : engine_(std::make_unique<Engine>(J, N, n, state, settings, ties)) {}
Search::~Search() = default;

void Search::phase(int val) { engine_->phase(val); }
bool Search::run(Cancel& cancel) { return engine_->run(cancel); }
void Search::store() { engine_->store(); }
std::vector<PoolEntry> Search::pool() const { return engine_->pool.ordered_by_push(); }
std::uint64_t Search::flips() const { return engine_->flips; }
bool Search::exact() const { return engine_->exact; }

}  // namespace orvane::tabu
