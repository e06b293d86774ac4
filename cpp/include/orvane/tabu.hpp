#pragma once
// Adaptive-memory tabu search over single-spin flips.
//
// The search alternates a constructive phase (greedy flips -1 -> +1) and a
// destructive phase (+1 -> -1). A phase flips the best spin while that lowers
// the energy H(x) = -(x^T J x); the first non-improving choice is a critical
// event: the configuration is offered to the best-so-far and to the solution
// pool, and enters the recency and frequency memories that penalise the next
// choices. Then `span` more flips are forced. Span control moves the span up
// and down between 1 and p2; the tabu depth k cycles 1..kmax.
//
// A move chooses j minimising d_j (+ val * tabu_j while ct_var <= k) over the
// spins not yet at val, with d_i = -4 x_i F_i, F = N x and N = nodiag_mat.
// F is kept incrementally: a flip adds one contiguous row of N, O(n). Exact
// ties go to a uniform draw. When J and N are dyadic rationals of bounded
// size (integer matrices among them) every value is exact in doubles, so the
// choices are those of recomputing d in full; otherwise F is recomputed every
// 2^16 flips and energies of candidate configurations are computed exactly.
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "orvane/cancel.hpp"

namespace orvane::tabu {

// Source of tie-break draws: an integer uniform in [0, count), count >= 2.
class TieBreak {
public:
    virtual ~TieBreak() = default;
    virtual std::uint64_t below(std::uint64_t count) = 0;
};

struct Settings {
    double max_iter = 0;           // iterations per search
    std::int64_t recency_size = 1;  // window length t (>= 1)
    std::int64_t kmax = 3;
    std::int64_t p1 = 3, p2 = 7;    // span control
    std::int64_t size_limit = 1;    // pool capacity
};

// Span control: one step after every phase.
struct SpanControl {
    std::int64_t span = 1;
    std::int64_t iter_span = 0;
    bool increase = true;
    void transfer(std::int64_t p1, std::int64_t p2);
};

// Everything that carries over between moves, searches and calls.
struct State {
    std::vector<std::int8_t> x;      // current configuration (-1/+1)
    std::vector<std::int8_t> best;   // best configuration at a critical event
    double best_h = 0;               // its energy (+inf when there is none)
    double penalty_recency = 0;
    std::vector<double> recency, frequency;
    std::vector<double> tabu;        // combined tabu penalty
    bool tabu_scalar = false;        // tabu is one value for every spin (never updated yet)
    std::deque<std::vector<std::int8_t>> window;  // recency window, oldest first
    std::int64_t k = 1, ct_var = 0, ct_span = 0, iterations = 0;
    SpanControl span;
};

// A configuration offered to the pool, with its energy.
struct PoolEntry {
    double energy;
    std::vector<std::int8_t> x;
};

// What a search derives from J (the Ising matrix) and N (nodiag_mat) alone,
// both n x n row-major: the analysis and the stored rows. O(n^2) to build;
// reusable for any number of searches while J and N keep their values (and,
// as rows may be read from N in place, N its buffer).
class Problem {
public:
    Problem(const double* J, const double* N, std::int64_t n);
    ~Problem();
    Problem(const Problem&) = delete;
    Problem& operator=(const Problem&) = delete;
    std::int64_t n() const;
    // Whether choices are exact (dyadic, bounded matrices).
    bool exact() const;
    // max |J_ij|.
    double max_abs_J() const;

    struct Data;

private:
    friend class Search;
    std::unique_ptr<Data> d_;
};

// A checksum of the bits of `count` doubles, to tell whether values changed.
std::uint64_t fingerprint(const double* a, std::size_t count);

// One search engine on a problem and a state; J and N are the matrices the
// problem was built from. The engine works on copies; store() writes them
// back into the state.
class Search {
public:
    Search(const Problem& problem, const double* J, const double* N, State& state, const Settings& settings,
           TieBreak& ties);
    ~Search();
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;

    // One phase: val = +1 constructive, -1 destructive.
    void phase(int val);
    // The search loop until iterations reach max_iter; iterations is then 0.
    // Polls `cancel` between iterations; returns false when cancelled (the
    // state is that after the last complete iteration).
    bool run(Cancel& cancel);
    // Write the engine's state back into the State it was built with.
    void store();
    // The pool of this engine's critical events: at most size_limit distinct
    // configurations of lowest energy, in the order of their first push.
    std::vector<PoolEntry> pool() const;
    // Spin flips made so far.
    std::uint64_t flips() const;

    struct Engine;

private:
    std::unique_ptr<Engine> engine_;
};

}  // namespace orvane::tabu
