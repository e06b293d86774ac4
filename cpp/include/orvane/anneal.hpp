#pragma once
// Single-spin-flip simulated annealing with a geometric cooling schedule.
//
// Energy H(s) = -(s^T J s). The change of flipping spin k is taken as
// d_k = 4 s_k f_k with the local field f = J s, i.e. the row of J including
// its diagonal entry (exact for a symmetric matrix with zero diagonal). The
// local fields are cached, so a rejected attempt costs O(1) and an accepted
// flip of spin m one update f += -2 s_m J[:, m] over a contiguous row.
#include <chrono>
#include <cstdint>
#include <vector>

#include "orvane/cancel.hpp"

namespace orvane {

// xoshiro256++ (Blackman and Vigna), its state filled from a 64-bit seed by
// splitmix64. Deterministic given the seed.
class Xoshiro256pp {
public:
    explicit Xoshiro256pp(std::uint64_t seed);

    std::uint64_t next() {
        const std::uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // Uniform integer in [0, bound), bound >= 1 (Lemire's method, unbiased).
    std::uint64_t below(std::uint64_t bound) {
        __uint128_t m = static_cast<__uint128_t>(next()) * bound;
        std::uint64_t low = static_cast<std::uint64_t>(m);
        if (low < bound) {
            const std::uint64_t threshold = (0 - bound) % bound;
            while (low < threshold) {
                m = static_cast<__uint128_t>(next()) * bound;
                low = static_cast<std::uint64_t>(m);
            }
        }
        return static_cast<std::uint64_t>(m >> 64);
    }

    // Uniform double in [0, 1): a multiple of 2^-53.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t s_[4];
};

// The columns of J as rows: row m holds J[:, m], the change of every local
// field when spin m flips. Dense (J itself when symmetric, else an owned
// transpose) or, for sparse matrices, compressed to the non-zero entries.
class FlipRows {
public:
    // Choose the form for J (n x n, row-major, finite). A dense symmetric J is
    // used in place: it must outlive the returned object.
    static FlipRows build(const double* J, std::int64_t n);

    std::int64_t size() const { return n_; }
    bool sparse() const { return dense_ == nullptr; }
    // Stored entries: n * n when dense, the non-zeros when sparse.
    std::int64_t entries() const;
    // f += c * row m
    void add_row(double* f, std::int64_t m, double c) const;

private:
    std::int64_t n_ = 0;
    const double* dense_ = nullptr;
    std::vector<double> owned_;  // transpose of a non-symmetric dense J
    std::vector<std::int64_t> offsets_;
    std::vector<std::int32_t> index_;
    std::vector<double> value_;
};

struct AnnealSchedule {
    double initial_temperature = 100;
    double alpha = 0.99;
    double cutoff_temperature = 0.001;
    std::int64_t iterations_per_t = 10;
};

// One point of the energy history: the tracked energy after an accepted flip,
// `seconds` after the start of its run; `run_start` marks the energy a run
// starts with.
struct HistoryPoint {
    double seconds;
    double energy;
    bool run_start;
};

// Told after every temperature step; may stop the annealing.
class AnnealObserver {
public:
    virtual ~AnnealObserver() = default;
    // `count` is the 1-based number of the step within its run, `temperature`
    // the lowered temperature, `run_start` the clock reading when the run
    // started. Returning false stops the annealing.
    virtual bool after_step(std::int64_t count, double temperature,
                            std::chrono::steady_clock::time_point run_start) = 0;
};

// Performs `runs` annealing runs on the working configuration `spins` (n
// entries of +1/-1). When `random_start` the first run starts from n fresh
// random spins (one draw each); every later run starts from the final
// configuration of the run before. Each step makes `iterations_per_t` attempts:
// k uniform in [0, n), then, only when d_k >= 0, u uniform in [0, 1); the flip
// is accepted when d_k < 0 or exp(-d_k / T) > u. After a step with any
// acceptance the walk restarts from the best configuration of the run. The best
// configuration of run i goes to row i of `bests` (runs x n). With `history`
// set, every run's start energy and every accepted flip's energy is appended.
// Returns false, leaving the outputs incomplete, when stopped by the observer
// or by `cancel`.
bool anneal(const FlipRows& rows, const AnnealSchedule& schedule, Xoshiro256pp& rng, std::int8_t* spins,
            bool random_start, std::int64_t runs, std::int8_t* bests, std::vector<HistoryPoint>* history,
            AnnealObserver& observer, Cancel& cancel);

}  // namespace orvane
