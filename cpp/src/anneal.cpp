// Simulated annealing kernel.
//
// Walk state: spins s, local fields f = J s and the tracked energy E. At the
// start of every temperature step s is the best configuration of the run
// (the walk restarts there after any acceptance). The best is kept as a log of
// the flips accepted since the last improvement, so an improvement costs only
// clearing the log and restoring undoes the logged flips; once the log holds
// as many flips as a copy of f is worth, it is turned into a snapshot of the
// best s and f, and restoring becomes a copy.
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

__attribute__((target_clones("avx2", "default"))) void axpy(double* f, const double* row, double c,
                                                             std::int64_t n) {
    for (std::int64_t k = 0; k < n; ++k) f[k] += c * row[k];
}

// exp(-d / t) memoised on (d, t): the flip energies of a matrix with few
// distinct coefficients take few distinct values. Gives exactly std::exp.
class ExpMemo {
public:
    double exp_neg(double d, double t) {
        std::uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        Entry& e = table_[(bits * 0x9E3779B97F4A7C15ull) >> 56];
        if (e.d != d || e.t != t) {
            e.d = d;
            e.t = t;
            e.p = std::exp(-d / t);
        }
        return e.p;
    }

private:
    struct Entry {
        double d = -1.0;  // queries have d >= 0
        double t = 0.0;
        double p = 0.0;
    };
    std::array<Entry, 256> table_{};
};

}  // namespace

Xoshiro256pp::Xoshiro256pp(std::uint64_t seed) {
    for (auto& word : s_) word = splitmix64(seed);
}

FlipRows FlipRows::build(const double* J, std::int64_t n) {
    FlipRows rows;
    rows.n_ = n;
    const std::size_t un = static_cast<std::size_t>(n);
    // Compressed rows cost about three times a dense entry per non-zero: one
    // pass collects the non-zeros of J by row, giving up past n^2 / 3.
    // A few rows spread over J predict a dense matrix without collecting.
    const std::size_t limit = un * un / 3;
    const std::size_t probes = std::min<std::size_t>(un, 32);
    std::size_t probed = 0;
    for (std::size_t k = 0; k < probes; ++k) {
        const double* r = J + (k * un / probes) * un;
        for (std::size_t j = 0; j < un; ++j) probed += r[j] != 0.0;
    }
    bool sparse = 3 * probed <= probes * un;
    std::vector<std::int64_t> row_start(un + 1, 0);
    std::vector<std::int32_t> col;
    std::vector<double> val;
    for (std::size_t i = 0; i < un && sparse; ++i) {
        const double* r = J + i * un;
        for (std::size_t j = 0; j < un; ++j) {
            if (r[j] == 0.0) continue;
            if (col.size() == limit) {
                sparse = false;
                break;
            }
            col.push_back(static_cast<std::int32_t>(j));
            val.push_back(r[j]);
        }
        row_start[i + 1] = static_cast<std::int64_t>(col.size());
    }
    if (sparse) {
        // Flip rows are the columns of J: transpose by counting sort.
        rows.offsets_.assign(un + 1, 0);
        for (std::int32_t j : col) ++rows.offsets_[static_cast<std::size_t>(j) + 1];
        for (std::size_t j = 0; j < un; ++j) rows.offsets_[j + 1] += rows.offsets_[j];
        rows.index_.resize(col.size());
        rows.value_.resize(col.size());
        std::vector<std::int64_t> next(rows.offsets_.begin(), rows.offsets_.end() - 1);
        for (std::size_t i = 0; i < un; ++i)
            for (std::int64_t p = row_start[i]; p < row_start[i + 1]; ++p) {
                const std::int64_t q = next[static_cast<std::size_t>(col[p])]++;
                rows.index_[q] = static_cast<std::int32_t>(i);
                rows.value_[q] = val[p];
            }
        return rows;
    }
    col = {};
    val = {};
    // Dense: J itself when symmetric, else its transpose; tiles keep the
    // strided side in cache.
    constexpr std::size_t kTile = 64;
    bool symmetric = true;
    for (std::size_t bi = 0; bi < un && symmetric; bi += kTile)
        for (std::size_t bj = bi; bj < un && symmetric; bj += kTile)
            for (std::size_t i = bi; i < std::min(bi + kTile, un) && symmetric; ++i)
                for (std::size_t j = std::max(bj, i + 1); j < std::min(bj + kTile, un); ++j)
                    if (J[i * un + j] != J[j * un + i]) {
                        symmetric = false;
                        break;
                    }
    if (symmetric) {
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

std::int64_t FlipRows::entries() const { return dense_ ? n_ * n_ : offsets_.back(); }

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
    Walk(const FlipRows& rows, std::int8_t* spins)
        : rows_(rows),
          n_(rows.size()),
          s_(spins),
          f_(static_cast<std::size_t>(n_)),
          best_f_(static_cast<std::size_t>(n_)),
          best_s_(static_cast<std::size_t>(n_)),
          log_limit_(snapshot_after(rows)) {
        log_.reserve(static_cast<std::size_t>(log_limit_));
    }

    // Local fields and energy of the current spins, in full.
    void recompute() {
        std::fill(f_.begin(), f_.end(), 0.0);
        for (std::int64_t j = 0; j < n_; ++j) rows_.add_row(f_.data(), j, s_[j]);
        double h = 0.0;
        for (std::int64_t k = 0; k < n_; ++k) h += s_[k] * f_[k];
        energy = -h;
        best_energy = energy;
        log_.clear();
        snapshot_ = false;
    }

    double delta(std::int64_t k) const { return 4.0 * s_[k] * f_[k]; }

    void accept(std::int64_t k, double d) {
        flip(f_.data(), s_, k);
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
            std::copy(best_f_.begin(), best_f_.end(), f_.begin());
            std::copy(best_s_.begin(), best_s_.end(), s_);
        } else {
            for (auto it = log_.rbegin(); it != log_.rend(); ++it) flip(f_.data(), s_, *it);
        }
        log_.clear();
        snapshot_ = false;
        energy = best_energy;
    }

    double energy = 0.0;
    double best_energy = 0.0;

private:
    // Copying f costs about a quarter of a dense row update per entry.
    static std::int64_t snapshot_after(const FlipRows& rows) {
        const double n = static_cast<double>(rows.size());
        const double entries = std::max(1.0, static_cast<double>(rows.entries()));
        return static_cast<std::int64_t>(std::min(n, 2.0 + n * n / (4.0 * entries)));
    }

    void flip(double* f, std::int8_t* s, std::int64_t k) const {
        rows_.add_row(f, k, -2.0 * s[k]);
        s[k] = static_cast<std::int8_t>(-s[k]);
    }

    void take_snapshot() {
        std::copy(f_.begin(), f_.end(), best_f_.begin());
        std::copy(s_, s_ + n_, best_s_.begin());
        for (auto it = log_.rbegin(); it != log_.rend(); ++it) flip(best_f_.data(), best_s_.data(), *it);
        log_.clear();
        snapshot_ = true;
    }

    const FlipRows& rows_;
    std::int64_t n_;
    std::int8_t* s_;
    std::vector<double> f_;
    std::vector<double> best_f_;
    std::vector<std::int8_t> best_s_;
    std::vector<std::int32_t> log_;  // flips since the best, when !snapshot_
    std::int64_t log_limit_;
    bool snapshot_ = false;  // best_s_/best_f_ hold the best
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

bool anneal(const FlipRows& rows, const AnnealSchedule& schedule, Xoshiro256pp& generator, std::int8_t* spins,
            bool random_start, std::int64_t runs, std::int8_t* bests, std::vector<HistoryPoint>* history,
            AnnealObserver& observer, Cancel& cancel) {
    // A local copy keeps the generator state in registers; written back on every exit.
    Xoshiro256pp rng = generator;
    struct WriteBack {
        Xoshiro256pp& to;
        const Xoshiro256pp& from;
        ~WriteBack() { to = from; }
    } write_back{generator, rng};
    const std::int64_t n = rows.size();
    const std::uint64_t un = static_cast<std::uint64_t>(n);
    if (random_start)
        for (std::int64_t j = 0; j < n; ++j) spins[j] = (rng.next() >> 63) ? 1 : -1;

    Walk walk(rows, spins);
    ExpMemo memo;
    std::int64_t since_poll = 0;
    for (std::int64_t run = 0; run < runs; ++run) {
        walk.recompute();
        const auto start = std::chrono::steady_clock::now();
        if (history) history->push_back({0.0, walk.energy, true});
        double t = schedule.initial_temperature;
        std::int64_t count = 0;
        while (t > schedule.cutoff_temperature) {
            ++count;
            bool accepted = false;
            const double negligible = kNegligibleExponent * t;
            for (std::int64_t done = 0; done < schedule.iterations_per_t;) {
                const std::int64_t chunk = std::min(schedule.iterations_per_t - done, kPollEvery - since_poll);
                for (std::int64_t i = 0; i < chunk; ++i) {
                    const std::int64_t k = static_cast<std::int64_t>(rng.below(un));
                    const double d = walk.delta(k);
                    if (!(d < 0.0)) {
                        const double u = rng.uniform();
                        const bool ok =
                            d > negligible ? u == 0.0 && std::exp(-d / t) > 0.0 : memo.exp_neg(d, t) > u;
                        if (!ok) continue;
                    }
                    walk.accept(k, d);
                    accepted = true;
                    if (history) history->push_back({seconds_since(start), walk.energy, false});
                }
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
        std::copy(spins, spins + n, bests + run * n);
    }
    return true;
}

}  // namespace orvane
