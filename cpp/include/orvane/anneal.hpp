#pragma once
// Single-spin-flip simulated annealing with a geometric cooling schedule.
//
// Energy H(s) = -(s^T J s). The change of flipping spin k is taken as
// d_k = 4 s_k f_k with the local field f = J s, i.e. the row of J including
// its diagonal entry (exact for a symmetric matrix with zero diagonal). The
// flip energies d are cached, so a rejected attempt costs O(1) and an
// accepted flip of spin m one update over a contiguous row, J[:, m].
#include <chrono>
#include <cstdint>
#include <vector>

#include "orvane/cancel.hpp"

namespace orvane {

// Uniform integer in [0, bound), bound >= 1, from the words of g (Lemire's
// method, unbiased).
template <class G>
std::uint64_t draw_below(G& g, std::uint64_t bound) {
    __uint128_t m = static_cast<__uint128_t>(g.next()) * bound;
    std::uint64_t low = static_cast<std::uint64_t>(m);
    if (low < bound) {
        const std::uint64_t threshold = (0 - bound) % bound;
        while (low < threshold) {
            m = static_cast<__uint128_t>(g.next()) * bound;
            low = static_cast<std::uint64_t>(m);
        }
    }
    return static_cast<std::uint64_t>(m >> 64);
}

// Uniform double in [0, 1) from one word: a multiple of 2^-53.
inline double draw_unit(std::uint64_t word) { return static_cast<double>(word >> 11) * 0x1.0p-53; }

// Eight xoshiro256++ generators (Blackman and Vigna) interleaved: word w comes
// from generator j = w mod 8, whose state is splitmix64 outputs 4j .. 4j+3 of
// the seed. Words are made in blocks with the eight update chains side by
// side. Deterministic given the seed.
class RandomStream {
public:
    explicit RandomStream(std::uint64_t seed);

    std::uint64_t next() {
        if (pos_ == kBlock) refill();
        return block_[pos_++];
    }
    std::uint64_t below(std::uint64_t bound) { return draw_below(*this, bound); }
    double uniform() { return draw_unit(next()); }

    static constexpr int kLanes = 8;
    static constexpr int kBlock = 256;

private:
    friend class RandomCursor;
    void refill();
    alignas(32) std::uint64_t state_[4][kLanes];  // state word, generator
    alignas(32) std::uint64_t block_[kBlock];
    int pos_ = kBlock;
};

// Reads a RandomStream with the position held in the cursor itself, so a hot
// loop keeps it in a register; gives the position back when destroyed.
class RandomCursor {
public:
    explicit RandomCursor(RandomStream& stream) : stream_(stream), pos_(stream.pos_) {}
    ~RandomCursor() { stream_.pos_ = pos_; }
    RandomCursor(const RandomCursor&) = delete;
    RandomCursor& operator=(const RandomCursor&) = delete;

    std::uint64_t next() {
        if (pos_ == RandomStream::kBlock) {
            stream_.refill();
            pos_ = 0;
        }
        return stream_.block_[pos_++];
    }
    std::uint64_t below(std::uint64_t bound) { return draw_below(*this, bound); }
    double uniform() { return draw_unit(next()); }

private:
    RandomStream& stream_;
    int pos_;
};

// The columns of J as rows: row m holds J[:, m], the change of every local
// field when spin m flips. Dense (J itself when symmetric, else an owned
// transpose) or, for sparse matrices, compressed to the non-zero entries.
class FlipRows {
public:
    // Choose the form for J (n x n, row-major, finite). A dense symmetric J is
    // used in place: it must outlive the returned object.
    static FlipRows build(const double* J, std::int64_t n);
    // The same from U = J^T (row-major), whose rows already are the flip
    // rows: used in place when dense, so it must outlive the returned object.
    static FlipRows from_columns(const double* U, std::int64_t n);

    std::int64_t size() const { return n_; }
    bool sparse() const { return dense_ == nullptr; }
    // Stored entries: n * n when dense, the non-zeros when sparse.
    std::int64_t entries() const;
    // Distinct non-zero magnitudes, counted up to limit + 1.
    std::int64_t distinct_magnitudes(std::int64_t limit) const;
    // f += c * row m
    void add_row(double* f, std::int64_t m, double c) const;
    // g[k] += c * sign[k] * row m [k]
    void add_row_signed(double* g, const double* sign, std::int64_t m, double c) const;

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
bool anneal(const FlipRows& rows, const AnnealSchedule& schedule, RandomStream& rng, std::int8_t* spins,
            bool random_start, std::int64_t runs, std::int8_t* bests, std::vector<HistoryPoint>* history,
            AnnealObserver& observer, Cancel& cancel);

}  // namespace orvane
