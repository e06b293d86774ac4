// Simulated annealing kernel.
//
// Walk state: spins s, flip energies g_k = 4 s_k (J s)_k and the tracked
// energy E. At the start of every temperature step s is the best
// configuration of the run (the walk restarts there after any acceptance).
// The best is kept as a log of the flips accepted since the last improvement,
// so an improvement costs only clearing the log and restoring undoes the
// logged flips; once the log holds as many flips as a copy of the state is
// worth, it is turned into a snapshot of the best s and g, and restoring
// becomes a copy.
#include "orvane/anneal.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace orvane {

namespace {

// Attempts between two polls for cancellation.
constexpr std::int64_t kPollEvery = std::int64_t(1) << 12;
// exp(-x) < 2^-53 for x > 37, below every positive uniform draw: only u = 0
// can accept, so the exponential is evaluated only in that case.
constexpr double kNegligibleExponent = 37.0;

std::uint64_t splitmix64(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

typedef std::uint64_t lanes4 __attribute__((vector_size(32)));

// xoshiro256++ steps of eight generators at once, as two independent groups
// of four lanes: out[8i + j] is step i of generator j.
__attribute__((target_clones("avx2", "default"))) void refill_block(std::uint64_t (*state)[8], std::uint64_t* out,
                                                                     int words) {
    lanes4 a[4], b[4];
    for (int w = 0; w < 4; ++w) {
        std::memcpy(&a[w], state[w], sizeof a[w]);
        std::memcpy(&b[w], state[w] + 4, sizeof b[w]);
    }
    for (int i = 0; i < words; i += 8) {
        const lanes4 sa = a[0] + a[3], sb = b[0] + b[3];
        const lanes4 ra = ((sa << 23) | (sa >> 41)) + a[0];
        const lanes4 rb = ((sb << 23) | (sb >> 41)) + b[0];
        const lanes4 ta = a[1] << 17, tb = b[1] << 17;
        a[2] ^= a[0];
        b[2] ^= b[0];
        a[3] ^= a[1];
        b[3] ^= b[1];
        a[1] ^= a[2];
        b[1] ^= b[2];
        a[0] ^= a[3];
        b[0] ^= b[3];
        a[2] ^= ta;
        b[2] ^= tb;
        a[3] = (a[3] << 45) | (a[3] >> 19);
        b[3] = (b[3] << 45) | (b[3] >> 19);
        std::memcpy(out + i, &ra, sizeof ra);
        std::memcpy(out + i + 4, &rb, sizeof rb);
    }
    for (int w = 0; w < 4; ++w) {
        std::memcpy(state[w], &a[w], sizeof a[w]);
        std::memcpy(state[w] + 4, &b[w], sizeof b[w]);
    }
}

__attribute__((target_clones("avx2", "default"))) void axpy(double* f, const double* row, double c,
                                                             std::int64_t n) {
    for (std::int64_t k = 0; k < n; ++k) f[k] += c * row[k];
}

__attribute__((target_clones("avx2", "default"))) void axpy_signed(double* g, const double* sign, const double* row,
                                                                    double c, std::int64_t n) {
    for (std::int64_t k = 0; k < n; ++k) g[k] += c * sign[k] * row[k];
}

// exp(-x) for 0 <= x <= 38 within a relative 1e-13: 2^-y with y = x log2(e)
// split as 2^-k 2^-(j/8) 2^-r, r < 1/8, the last by its Taylor series.
inline double exp_neg_approx(double x) {
    static constexpr double kEighths[8] = {
        1.0, 0x1.d5818dcfba487p-1, 0x1.ae89f995ad3adp-1, 0x1.8ace5422aa0dbp-1,
        0x1.6a09e667f3bcdp-1, 0x1.4bfdad5362a27p-1, 0x1.306fe0a31b715p-1, 0x1.172b83c7d517bp-1};
    const double y8 = x * (8 * 1.4426950408889634);  // 8 y
    const int i = static_cast<int>(y8);              // y8 >= 0: truncation is floor
    const double t = (y8 - i) * (0.6931471805599453 / 8);  // r ln 2, in [0, 0.0867)
    // e^-t to degree 7 in Estrin's order (short dependency chains)
    const double t2 = t * t;
    const double t4 = t2 * t2;
    const double p = ((1 - t) + t2 * (0.5 - t * (1.0 / 6))) +
                     t4 * ((1.0 / 24 - t * (1.0 / 120)) + t2 * (1.0 / 720 - t * (1.0 / 5040)));
    const std::uint64_t scale_bits = static_cast<std::uint64_t>(1023 - (i >> 3)) << 52;  // 2^-k, k <= 55
    double scale;
    std::memcpy(&scale, &scale_bits, sizeof scale);
    return kEighths[i & 7] * p * scale;
}

// exp(-d / t) approximated as above and, for a matrix with few distinct
// coefficient magnitudes (whose flip energies take few values), memoised on
// (d, t).
class UphillTest {
public:
    explicit UphillTest(bool memoise) : memoise_(memoise) {}

    // exp(-d / t) > u for 0 <= d <= 37 t, decided exactly as by std::exp: the
    // approximation settles it unless u lies within its error margin.
    bool accept(double d, double t, double inv_t, double u) {
        if (u + d * inv_t < 1 - 1e-12) return true;  // u < 1 - d/t <= exp(-d/t): the hot case
        const double q = approx(d, t, inv_t);
        if (u < q * (1 - 1e-12)) return true;
        if (u >= q * (1 + 1e-12)) return false;
        return std::exp(-d / t) > u;
    }

private:
    double approx(double d, double t, double inv_t) {
        if (!memoise_) {
            const double x = d * inv_t;
            return x <= 38.0 ? exp_neg_approx(x) : std::exp(-d / t);  // NaN x (t tiny): exact
        }
        std::uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        Entry& e = table_[(bits * 0x9E3779B97F4A7C15ull) >> 56];
        if (e.d != d || e.t != t) {
            const double x = d * inv_t;
            e.d = d;
            e.t = t;
            e.q = x <= 38.0 ? exp_neg_approx(x) : std::exp(-d / t);  // NaN x (t tiny): exact
        }
        return e.q;
    }

    struct Entry {
        double d = -1.0;  // queries have d >= 0
        double t = 0.0;
        double q = 0.0;
    };
    bool memoise_;
    std::array<Entry, 256> table_{};
};

}  // namespace

RandomStream::RandomStream(std::uint64_t seed) {
    for (int lane = 0; lane < kLanes; ++lane)
        for (int word = 0; word < 4; ++word) state_[word][lane] = splitmix64(seed);
}

void RandomStream::refill() {
    refill_block(state_, block_, kBlock);
    pos_ = 0;
}

namespace {

// The non-zeros of the n x n row-major matrix A by row, or false when they
// are too many to pay: compressed rows cost about three times a dense entry
// per non-zero, so collecting gives up past n^2 / 3 (a few rows spread over A
// predict a dense matrix without collecting).
bool compress_rows(const double* A, std::size_t n, std::vector<std::int64_t>& start, std::vector<std::int32_t>& col,
                   std::vector<double>& val) {
    const std::size_t limit = n * n / 3;
    const std::size_t probes = std::min<std::size_t>(n, 32);
    std::size_t probed = 0;
    for (std::size_t k = 0; k < probes; ++k) {
        const double* r = A + (k * n / probes) * n;
        for (std::size_t j = 0; j < n; ++j) probed += r[j] != 0.0;
    }
    if (3 * probed > probes * n) return false;
    start.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const double* r = A + i * n;
        for (std::size_t j = 0; j < n; ++j) {
            if (r[j] == 0.0) continue;
            if (col.size() == limit) {
                col = {};
                val = {};
                return false;
            }
            col.push_back(static_cast<std::int32_t>(j));
            val.push_back(r[j]);
        }
        start[i + 1] = static_cast<std::int64_t>(col.size());
    }
    return true;
}

constexpr std::size_t kTile = 64;  // tiles keep the strided side of a transpose in cache

bool symmetric(const double* A, std::size_t n) {
    for (std::size_t bi = 0; bi < n; bi += kTile)
        for (std::size_t bj = bi; bj < n; bj += kTile)
            for (std::size_t i = bi; i < std::min(bi + kTile, n); ++i)
                for (std::size_t j = std::max(bj, i + 1); j < std::min(bj + kTile, n); ++j)
                    if (A[i * n + j] != A[j * n + i]) return false;
    return true;
}

}  // namespace

FlipRows FlipRows::build(const double* J, std::int64_t n) {
    FlipRows rows;
    rows.n_ = n;
    const std::size_t un = static_cast<std::size_t>(n);
    std::vector<std::int64_t> start;
    std::vector<std::int32_t> col;
    std::vector<double> val;
    if (compress_rows(J, un, start, col, val)) {
        // Flip rows are the columns of J: transpose by counting sort.
        rows.offsets_.assign(un + 1, 0);
        for (std::int32_t j : col) ++rows.offsets_[static_cast<std::size_t>(j) + 1];
        for (std::size_t j = 0; j < un; ++j) rows.offsets_[j + 1] += rows.offsets_[j];
        rows.index_.resize(col.size());
        rows.value_.resize(col.size());
        std::vector<std::int64_t> next(rows.offsets_.begin(), rows.offsets_.end() - 1);
        for (std::size_t i = 0; i < un; ++i)
            for (std::int64_t p = start[i]; p < start[i + 1]; ++p) {
                const std::int64_t q = next[static_cast<std::size_t>(col[p])]++;
                rows.index_[q] = static_cast<std::int32_t>(i);
                rows.value_[q] = val[p];
            }
        return rows;
    }
    if (symmetric(J, un)) {
        rows.dense_ = J;
        return rows;
    }
    rows.owned_.resize(un * un);
    for (std::size_t bi = 0; bi < un; bi += kTile)
        for (std::size_t bj = 0; bj < un; bj += kTile)
            for (std::size_t i = bi; i < std::min(bi + kTile, un); ++i)
                for (std::size_t j = bj; j < std::min(bj + kTile, un); ++j) rows.owned_[j * un + i] = J[i * un + j];
    rows.dense_ = rows.owned_.data();
    return rows;
}

FlipRows FlipRows::from_columns(const double* U, std::int64_t n) {
    FlipRows rows;
    rows.n_ = n;
    std::vector<std::int32_t> col;
    std::vector<double> val;
    if (compress_rows(U, static_cast<std::size_t>(n), rows.offsets_, col, val)) {
        rows.index_ = std::move(col);
        rows.value_ = std::move(val);
    } else {
        rows.offsets_ = {};
        rows.dense_ = U;
    }
    return rows;
}

std::int64_t FlipRows::distinct_magnitudes(std::int64_t limit) const {
    std::vector<double> seen;
    auto visit = [&](double v) {
        v = std::fabs(v);
        if (v == 0.0 || std::find(seen.begin(), seen.end(), v) != seen.end()) return true;
        seen.push_back(v);
        return static_cast<std::int64_t>(seen.size()) <= limit;
    };
    if (dense_) {
        for (std::int64_t i = 0; i < n_ * n_; ++i)
            if (!visit(dense_[i])) break;
    } else {
        for (double v : value_)
            if (!visit(v)) break;
    }
    return static_cast<std::int64_t>(seen.size());
}

std::int64_t FlipRows::entries() const { return dense_ ? n_ * n_ : offsets_.back(); }

void FlipRows::add_row_signed(double* g, const double* sign, std::int64_t m, double c) const {
    if (dense_) {
        axpy_signed(g, sign, dense_ + m * n_, c, n_);
        return;
    }
    const std::int32_t* idx = index_.data();
    const double* val = value_.data();
    for (std::int64_t p = offsets_[m], end = offsets_[m + 1]; p < end; ++p) g[idx[p]] += c * sign[idx[p]] * val[p];
}

void FlipRows::add_row(double* f, std::int64_t m, double c) const {
    if (dense_) {
        axpy(f, dense_ + m * n_, c, n_);
        return;
    }
    const std::int32_t* idx = index_.data();
    const double* val = value_.data();
    for (std::int64_t p = offsets_[m], end = offsets_[m + 1]; p < end; ++p) f[idx[p]] += c * val[p];
}

namespace {

class Walk {
public:
    Walk(const FlipRows& rows)
        : rows_(rows),
          n_(rows.size()),
          sign_(static_cast<std::size_t>(n_)),
          g_(static_cast<std::size_t>(n_)),
          best_sign_(static_cast<std::size_t>(n_)),
          best_g_(static_cast<std::size_t>(n_)),
          log_limit_(snapshot_after(rows)) {
        log_.reserve(static_cast<std::size_t>(log_limit_));
    }

    // Start from `spins`: flip energies and energy in full.
    void load(const std::int8_t* spins) {
        std::vector<double>& f = best_g_;  // local fields f = J s, scratch
        std::fill(f.begin(), f.end(), 0.0);
        for (std::int64_t j = 0; j < n_; ++j) {
            sign_[j] = spins[j];
            rows_.add_row(f.data(), j, sign_[j]);
        }
        double h = 0.0;
        for (std::int64_t k = 0; k < n_; ++k) {
            h += sign_[k] * f[k];
            g_[k] = 4.0 * sign_[k] * f[k];
        }
        energy = -h;
        best_energy = energy;
        log_.clear();
        snapshot_ = false;
    }

    void store(std::int8_t* spins) const {
        for (std::int64_t j = 0; j < n_; ++j) spins[j] = sign_[j] > 0 ? 1 : -1;
    }

    std::int64_t size() const { return n_; }
    double delta(std::int64_t k) const { return g_[k]; }

    // Out of line: keeps the attempt loop small.
    __attribute__((noinline)) void accept(std::int64_t k, double d) {
        flip(g_.data(), sign_.data(), k);
        energy += d;
        if (energy < best_energy) {
            best_energy = energy;
            log_.clear();
            snapshot_ = false;
        } else if (!snapshot_) {
            log_.push_back(static_cast<std::int32_t>(k));
            if (static_cast<std::int64_t>(log_.size()) >= log_limit_) take_snapshot();
        }
    }

    // Back to the best configuration of the run.
    void restore_best() {
        if (snapshot_) {
            std::copy(best_g_.begin(), best_g_.end(), g_.begin());
            std::copy(best_sign_.begin(), best_sign_.end(), sign_.begin());
        } else {
            for (auto it = log_.rbegin(); it != log_.rend(); ++it) flip(g_.data(), sign_.data(), *it);
        }
        log_.clear();
        snapshot_ = false;
        energy = best_energy;
    }

    double energy = 0.0;
    double best_energy = 0.0;

private:
    // Copying the state costs about half a dense row update per entry.
    static std::int64_t snapshot_after(const FlipRows& rows) {
        const double n = static_cast<double>(rows.size());
        const double entries = std::max(1.0, static_cast<double>(rows.entries()));
        return static_cast<std::int64_t>(std::min(n, 2.0 + n * n / (2.0 * entries)));
    }

    // Flip spin k: with f = J s, g_j = 4 s_j f_j changes by -8 s_k s_j J[j][k]
    // for j != k, and g_k becomes -g_k + 8 J[k][k].
    void flip(double* g, double* sign, std::int64_t k) const {
        rows_.add_row_signed(g, sign, k, -8.0 * sign[k]);
        g[k] = -g[k];
        sign[k] = -sign[k];
    }

    void take_snapshot() {
        std::copy(g_.begin(), g_.end(), best_g_.begin());
        std::copy(sign_.begin(), sign_.end(), best_sign_.begin());
        for (auto it = log_.rbegin(); it != log_.rend(); ++it) flip(best_g_.data(), best_sign_.data(), *it);
        log_.clear();
        snapshot_ = true;
    }

    const FlipRows& rows_;
    std::int64_t n_;
    std::vector<double> sign_;  // the spins as +1.0 / -1.0
    std::vector<double> g_;     // flip energies 4 s_k f_k
    std::vector<double> best_sign_;
    std::vector<double> best_g_;
    std::vector<std::int32_t> log_;  // flips since the best, when !snapshot_
    std::int64_t log_limit_;
    bool snapshot_ = false;  // best_sign_/best_g_ hold the best
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// `count` flip attempts at temperature t; true when any was accepted. Kept
// small so that the rejection path lives in registers.
bool attempts(Walk& walk, RandomStream& stream, UphillTest& uphill, std::int64_t count, double t,
              std::vector<HistoryPoint>* history, std::chrono::steady_clock::time_point start) {
    RandomCursor rng(stream);
    const std::uint64_t n = static_cast<std::uint64_t>(walk.size());
    const double negligible = kNegligibleExponent * t;
    const double inv_t = 1 / t;
    bool accepted = false;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t k = static_cast<std::int64_t>(rng.below(n));
        const double d = walk.delta(k);
        if (!(d < 0.0)) {
            const double u = rng.uniform();
            const bool ok = d > negligible ? u == 0.0 && std::exp(-d / t) > 0.0 : uphill.accept(d, t, inv_t, u);
            if (!ok) continue;
        }
        walk.accept(k, d);
        accepted = true;
        if (history) history->push_back({seconds_since(start), walk.energy, false});
    }
    return accepted;
}

}  // namespace

bool anneal(const FlipRows& rows, const AnnealSchedule& schedule, RandomStream& rng, std::int8_t* spins,
            bool random_start, std::int64_t runs, std::int8_t* bests, std::vector<HistoryPoint>* history,
            AnnealObserver& observer, Cancel& cancel) {
    const std::int64_t n = rows.size();
    if (random_start)
        for (std::int64_t j = 0; j < n; ++j) spins[j] = (rng.next() >> 63) ? 1 : -1;

    Walk walk(rows);
    UphillTest uphill(rows.distinct_magnitudes(8) <= 8);
    std::int64_t since_poll = 0;
    for (std::int64_t run = 0; run < runs; ++run) {
        walk.load(spins);
        const auto start = std::chrono::steady_clock::now();
        if (history) history->push_back({0.0, walk.energy, true});
        double t = schedule.initial_temperature;
        std::int64_t count = 0;
        while (t > schedule.cutoff_temperature) {
            ++count;
            bool accepted = false;
            for (std::int64_t done = 0; done < schedule.iterations_per_t;) {
                const std::int64_t chunk = std::min(schedule.iterations_per_t - done, kPollEvery - since_poll);
                accepted |= attempts(walk, rng, uphill, chunk, t, history, start);
                done += chunk;
                since_poll += chunk;
                if (since_poll >= kPollEvery) {
                    since_poll = 0;
                    if (cancel.poll()) return false;
                }
            }
            if (accepted) walk.restore_best();
            t *= schedule.alpha;
            if (!observer.after_step(count, t, start)) return false;
        }
        walk.store(spins);
        std::copy(spins, spins + n, bests + run * n);
    }
    return true;
}

}  // namespace orvane
