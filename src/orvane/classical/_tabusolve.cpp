// orvane.classical._tabusolve: TabuSearchOptimizer, adaptive-memory tabu search.
//
// The optimizer keeps its whole state as ordinary attributes. A search loads
// them into the C++ engine (orvane/tabu.hpp), runs without the GIL and
// stores them back, so a search can be continued, inspected or pickled
// between calls. Random numbers (start configuration, tie-breaks) come from
// numpy's process-wide generator, so numpy.random.seed makes runs repeatable.
#include <cmath>
#include <optional>

#include "pyclass.hpp"
#include "orvane/tabu.hpp"

namespace py = pybind11;
using namespace orvane::bind;
namespace tabu = orvane::tabu;

namespace {

constexpr const char* kModule = "orvane.classical._tabusolve";
constexpr const char* kNoMatrix = "Ising matrix must be set";

constexpr const char* kClassDoc = R"(Adaptive-memory tabu search for Ising matrices.

The search alternates a constructive phase, which flips spins from -1 to +1
while that lowers the energy H(s) = -(s^T J s), and a destructive phase, which
flips spins from +1 to -1. The first flip that would not lower the energy is a
critical event: the configuration is offered to the solution pool, and enters
the recency memory (the last `recency_size` critical events) and the frequency
memory (all critical events), whose penalty steers the next choices. After a
critical event the phase makes `span` more flips; span control moves the span
between 1 and `span_control_p2`. Ties are broken with numpy's process-wide
random generator (seed it with numpy.random.seed for repeatable runs).

Parameters: max_iter (iterations per search), recency_size (recency window;
None means ceil(n / 10) for the first matrix), kmax (largest tabu depth),
span_control_p1, span_control_p2 (span control), size_limit (number of
distinct lowest-energy configurations kept).

State carries over between searches on the same object (tabu depth, span
control, recency window, tabu penalty); the pool, memories and best
configuration are rebuilt for every matrix set.

Example::

    >>> J = -np.array([[0, 1, 0, 1, 1], [1, 0, 0, 1, 1], [0, 0, 0, 1, 1],
    ...                [1, 1, 1, 0, 1], [1, 1, 1, 1, 0]])
    >>> opt = TabuSearchOptimizer(10, size_limit=1)
    >>> opt.solve(J)          # random; a typical result
    array([[ 1,  1,  1, -1, -1]])
    >>> opt._hamiltonian
    array([-8])
)";

// ---------------------------------------------------------------- numpy's generator

// numpy's bit generator interface (numpy/random/bitgen.h).
struct BitGen {
    void* state;
    std::uint64_t (*next_uint64)(void*);
    std::uint32_t (*next_uint32)(void*);
    double (*next_double)(void*);
    std::uint64_t (*next_raw)(void*);
};

// Draws from numpy's process-wide generator exactly as its legacy
// randint(0, count) does (masked rejection sampling), so the stream is the
// same as numpy.random.choice over the candidates. Holds the generator's lock
// for its lifetime, so that draws can be made without the GIL. Create and
// destroy with the GIL held.
class GlobalDraws : public tabu::TieBreak {
public:
    GlobalDraws() {
        py::module_ random = py::module_::import("numpy.random");
        generator_ = py::hasattr(random, "get_bit_generator")
                         ? random.attr("get_bit_generator")()
                         : random.attr("mtrand").attr("_rand").attr("_bit_generator");
        capsule_ = generator_.attr("capsule");
        gen_ = static_cast<BitGen*>(PyCapsule_GetPointer(capsule_.ptr(), "BitGenerator"));
        if (!gen_) throw py::error_already_set();
        lock_ = generator_.attr("lock");
        lock_.attr("acquire")();
    }
    ~GlobalDraws() {
        try {
            lock_.attr("release")();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("releasing numpy's random generator lock");
        }
    }
    GlobalDraws(const GlobalDraws&) = delete;
    GlobalDraws& operator=(const GlobalDraws&) = delete;

    std::uint64_t below(std::uint64_t count) override {
        const std::uint64_t rng = count - 1;
        if (rng == 0) return 0;
        std::uint64_t mask = rng;
        for (int shift = 1; shift < 64; shift <<= 1) mask |= mask >> shift;
        if (rng <= 0xFFFFFFFFull) {
            if (rng == 0xFFFFFFFFull) return gen_->next_uint32(gen_->state);
            std::uint32_t v;
            while ((v = gen_->next_uint32(gen_->state) & static_cast<std::uint32_t>(mask)) > rng) {
            }
            return v;
        }
        if (rng == ~std::uint64_t(0)) return gen_->next_uint64(gen_->state);
        std::uint64_t v;
        while ((v = gen_->next_uint64(gen_->state) & mask) > rng) {
        }
        return v;
    }

    // Around running Python code (signal handlers) while holding the GIL.
    void unlock() { lock_.attr("release")(); }
    void relock() { lock_.attr("acquire")(); }

private:
    py::object generator_, capsule_, lock_;
    BitGen* gen_ = nullptr;
};

// Ctrl-C polling for the engine. Signal handlers run with the generator's
// lock released, so a handler may use numpy.random.
class SearchCancel : public SignalCancel {
public:
    explicit SearchCancel(GlobalDraws& draws) : draws_(draws) {}

protected:
    void before_signals() override { draws_.unlock(); }
    void after_signals() override { draws_.relock(); }

private:
    GlobalDraws& draws_;
};

// ---------------------------------------------------------------- attribute conversion

std::string entries_text(std::int64_t got, std::int64_t n) {
    return " has " + std::to_string(got) + " entries but the Ising matrix has " + std::to_string(n) + " spins";
}

// A 1-D array of n numbers.
py::array_t<double, py::array::c_style> float_vector(py::handle obj, std::int64_t n, const std::string& what) {
    if (obj.is_none()) throw py::value_error(what + " is not set; " + kNoMatrix);
    auto a = as_array<double>(obj, what);
    if (a.ndim() != 1) throw py::value_error(what + " must be a 1-D array, got shape " + shape_text(a));
    if (a.shape(0) != n)
        throw py::value_error("size mismatch: " + what + entries_text(a.shape(0), n) +
                              " (the tabu memory carries over from a matrix of another size)");
    return a;
}

// A spin vector of n entries -1/+1.
std::vector<std::int8_t> spin_vector(py::handle obj, std::int64_t n, const std::string& what) {
    auto a = as_array<double>(obj, what);
    if (a.ndim() != 1) throw py::value_error(what + " must be a 1-D spin vector, got shape " + shape_text(a));
    if (a.shape(0) != n) throw py::value_error("size mismatch: " + what + entries_text(a.shape(0), n));
    std::vector<std::int8_t> s(static_cast<std::size_t>(n));
    const double* p = a.data();
    for (std::int64_t i = 0; i < n; ++i) {
        if (p[i] != 1.0 && p[i] != -1.0) throw py::value_error(what + " must contain only -1 and +1");
        s[i] = p[i] > 0 ? 1 : -1;
    }
    return s;
}

py::array_t<std::int64_t> spin_array(const std::vector<std::int8_t>& s) {
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(s.size()));
    std::int64_t* p = out.mutable_data();
    for (std::size_t i = 0; i < s.size(); ++i) p[i] = s[i];
    return out;
}

py::array_t<double> float_array(const std::vector<double>& v) {
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

// An integer attribute within [lo, hi].
std::int64_t int_value(py::handle obj, const std::string& what, std::int64_t lo, std::int64_t hi) {
    py::object index;
    try {
        index = py::module_::import("operator").attr("index")(obj);
    } catch (py::error_already_set& e) {
        raise_from(e, PyExc_TypeError, what + " must be an integer");
    }
    py::object lo_obj = py::int_(lo), hi_obj = py::int_(hi);
    if (index < lo_obj || index > hi_obj)
        throw py::value_error(what + " must be between " + std::to_string(lo) + " and " + std::to_string(hi) +
                              ", got " + std::string(py::str(index)));
    return index.cast<std::int64_t>();
}

double real_value(py::handle obj, const std::string& what) {
    try {
        return py::module_::import("builtins").attr("float")(obj).cast<double>();
    } catch (py::error_already_set& e) {
        raise_from(e, PyExc_TypeError, what + " must be a real number");
    }
}

constexpr std::int64_t kBig = std::int64_t(1) << 40;   // recency window, pool size
constexpr std::int64_t kSpanMax = std::int64_t(1) << 31;  // span control values (their products stay in range)
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

std::int64_t recency_size_of(py::handle self) {
    return int_value(self.attr("recency_size"), "recency_size", 1, kBig);
}

// The optimizer's matrix, already validated by set_matrix: a square float
// array; rechecked for shape and finiteness only (cheap), since the attribute
// may have been replaced.
struct MatrixView {
    py::array_t<double, py::array::c_style> array;
    std::int64_t n = 0;
    const double* data() const { return array.data(); }
};

MatrixView matrix_of(py::handle self, bool check_finite = true) {
    py::object matrix = self.attr("matrix");
    if (matrix.is_none()) throw py::value_error(kNoMatrix);
    MatrixView m{as_array<double>(matrix, "matrix")};
    if (m.array.ndim() != 2 || m.array.shape(0) != m.array.shape(1) || m.array.shape(0) == 0)
        throw py::value_error("matrix must be a non-empty square 2-D array, got shape " + shape_text(m.array));
    m.n = m.array.shape(0);
    if (check_finite && !orvane::all_finite(m.data(), static_cast<std::size_t>(m.n * m.n)))
        throw py::value_error("matrix must not contain NaN or infinity");
    return m;
}

// ---------------------------------------------------------------- prepared problems

// What this module derives from a matrix is O(n^2) to build; it is kept per
// optimizer, in the module's weak-keyed _PREPARED map, and reused while the
// values stay the same (same fingerprints): the engine's analysis of the
// matrix pair (tabu::Problem), and the nodiag_mat that set_matrix built.
struct Prepared {
    std::unique_ptr<tabu::Problem> problem;  // may be null
    std::uint64_t print_J = 0, print_N = 0;
    py::object problem_N;                    // the nodiag_mat it was built with
    py::object built_N;                      // set_matrix's last nodiag_mat (read-only)
    std::uint64_t built_from = 0;            // ... built from a matrix of this fingerprint
    double built_top = 0;                    // ... whose max |J_ij| is this
};

std::uint64_t print_of(const py::array_t<double, py::array::c_style>& a) {
    return tabu::fingerprint(a.data(), static_cast<std::size_t>(a.size()));
}

bool read_only(py::handle obj) {
    return py::isinstance<py::array>(obj) && !py::bool_(obj.attr("flags").attr("writeable"));
}

Prepared& prepared_of(py::handle self) {
    py::object cache = py::module_::import(kModule).attr("_PREPARED");
    py::object cap = cache.attr("get")(self);
    if (cap.is_none()) {
        cap = py::capsule(new Prepared(), [](void* q) { delete static_cast<Prepared*>(q); });
        cache[self] = cap;
    }
    return *static_cast<Prepared*>(py::capsule(cap).get_pointer());
}

// The cached problem for J and N, or null.
const tabu::Problem* cached_problem(py::handle self, std::uint64_t print_J, py::handle nodiag,
                                    const py::array_t<double, py::array::c_style>& N) {
    Prepared& p = prepared_of(self);
    if (!p.problem || p.print_J != print_J || p.problem->n() != N.shape(0)) return nullptr;
    const bool same_N = (nodiag.is(p.problem_N) && read_only(nodiag)) || print_of(N) == p.print_N;
    return same_N ? p.problem.get() : nullptr;
}

void remember(py::handle self, std::unique_ptr<tabu::Problem> problem, std::uint64_t print_J, py::handle nodiag,
              const py::array_t<double, py::array::c_style>& N) {
    Prepared& p = prepared_of(self);
    p.problem = std::move(problem);
    p.print_J = print_J;
    p.print_N = print_of(N);
    p.problem_N = py::reinterpret_borrow<py::object>(nodiag);
}

// ---------------------------------------------------------------- engine state

// Everything a search reads, converted; kept alive while the engine runs.
struct Loaded {
    MatrixView J;
    py::array_t<double, py::array::c_style> N;
    py::object nodiag;
    std::int64_t n = 0;
    std::uint64_t print_J = 0;
    const tabu::Problem* problem = nullptr;  // cached, or null
    tabu::State st;
    tabu::Settings set;
    py::object pool;
};

Loaded load(py::handle self) {
    Loaded L;
    if (self.attr("matrix").is_none() || self.attr("nodiag_mat").is_none() || self.attr("solution_pool").is_none())
        throw py::value_error(kNoMatrix);
    L.J = matrix_of(self, false);
    L.n = L.J.n;
    py::object nodiag = self.attr("nodiag_mat");
    L.N = as_array<double>(nodiag, "nodiag_mat");
    if (L.N.ndim() != 2 || L.N.shape(0) != L.n || L.N.shape(1) != L.n)
        throw py::value_error("size mismatch: nodiag_mat has shape " + shape_text(L.N) + " but the Ising matrix has " +
                              std::to_string(L.n) + " spins");
    L.print_J = print_of(L.J.array);
    L.problem = cached_problem(self, L.print_J, nodiag, L.N);
    L.nodiag = nodiag;
    if (!L.problem) {  // values not seen before: check them
        if (!orvane::all_finite(L.J.data(), static_cast<std::size_t>(L.n * L.n)))
            throw py::value_error("matrix must not contain NaN or infinity");
        if (!orvane::all_finite(L.N.data(), static_cast<std::size_t>(L.n * L.n)))
            throw py::value_error("nodiag_mat must not contain NaN or infinity");
    }
    const std::int64_t n = L.n;
    tabu::State& st = L.st;

    st.x = spin_vector(self.attr("x_conf"), n, "x_conf");
    py::object best = self.attr("best_solution"), best_h = self.attr("best_hamilton");
    if (!best.is_none()) st.best = spin_vector(best, n, "best_solution");
    st.best_h = best_h.is_none() || best.is_none() ? std::numeric_limits<double>::infinity()
                                                   : real_value(best_h, "best_hamilton");
    st.penalty_recency = real_value(self.attr("penalty_recency"), "penalty_recency");
    auto rec = float_vector(self.attr("recency"), n, "recency");
    auto freq = float_vector(self.attr("frequency"), n, "frequency");
    st.recency.assign(rec.data(), rec.data() + n);
    st.frequency.assign(freq.data(), freq.data() + n);
    py::object tv_obj = self.attr("tabu_value");
    const bool tv_scalar = numpy().attr("ndim")(tv_obj).cast<int>() == 0;
    auto tv = as_array<double>(tv_obj, "tabu_value");  // at least 1-D
    if (tv_scalar) {
        st.tabu.assign(static_cast<std::size_t>(n), tv.data()[0]);
        st.tabu_scalar = true;
    } else if (tv.ndim() == 1 && tv.shape(0) == n) {
        st.tabu.assign(tv.data(), tv.data() + n);
    } else {
        throw py::value_error("size mismatch: tabu_value has shape " + shape_text(tv) + " but the Ising matrix has " +
                              std::to_string(n) +
                              " spins (the tabu memory carries over from a matrix of another size)");
    }

    for (py::handle x : self.attr("last_t")) {
        auto a = as_array<double>(x, "last_t entry");
        if (a.ndim() == 1 && a.shape(0) != n)
            throw py::value_error("size mismatch: a configuration of the recency window last_t" +
                                  entries_text(a.shape(0), n) +
                                  " (the tabu memory carries over from a matrix of another size)");
        st.window.push_back(spin_vector(x, n, "last_t entry"));
    }
    st.k = int_value(self.attr("k"), "k", kInt64Min, kInt64Max);
    st.ct_var = int_value(self.attr("ct_var"), "ct_var", kInt64Min, kInt64Max);
    st.ct_span = int_value(self.attr("ct_span"), "ct_span", kInt64Min, kInt64Max);
    st.iterations = int_value(self.attr("iterations"), "iterations", kInt64Min, kInt64Max - 1);
    st.span.span = int_value(self.attr("span"), "span", -kSpanMax, kSpanMax);
    st.span.iter_span = int_value(self.attr("iter_span"), "iter_span", kInt64Min, kInt64Max - 1);
    std::string direction = py::str(self.attr("direction"));
    if (direction != "increase" && direction != "decrease")
        throw py::value_error("direction must be 'increase' or 'decrease', got '" + direction + "'");
    st.span.increase = direction == "increase";

    L.set.max_iter = real_value(self.attr("max_iter"), "max_iter");
    L.set.recency_size = recency_size_of(self);
    L.set.kmax = int_value(self.attr("kmax"), "kmax", kInt64Min, kInt64Max);
    L.set.p1 = int_value(self.attr("span_control_p1"), "span_control_p1", -kSpanMax, kSpanMax);
    L.set.p2 = int_value(self.attr("span_control_p2"), "span_control_p2", -kSpanMax, kSpanMax);
    L.pool = self.attr("solution_pool");
    py::object limit = py::hasattr(L.pool, "size_limit") ? L.pool.attr("size_limit") : self.attr("size_limit");
    L.set.size_limit = int_value(limit, "size_limit", 0, kBig);
    return L;
}

void store(py::handle self, const Loaded& L, const std::vector<tabu::PoolEntry>& offered) {
    const tabu::State& st = L.st;
    self.attr("x_conf") = spin_array(st.x);
    if (!st.best.empty()) {
        self.attr("best_solution") = spin_array(st.best);
        self.attr("best_hamilton") = py::float_(st.best_h);
    }
    self.attr("recency") = float_array(st.recency);
    self.attr("frequency") = float_array(st.frequency);
    py::list window;
    for (const auto& x : st.window) window.append(spin_array(x));
    self.attr("last_t") = window;
    if (!st.tabu_scalar) self.attr("tabu_value") = float_array(st.tabu);
    self.attr("k") = st.k;
    self.attr("ct_var") = st.ct_var;
    self.attr("ct_span") = st.ct_span;
    self.attr("iterations") = st.iterations;
    self.attr("span") = st.span.span;
    self.attr("iter_span") = st.span.iter_span;
    self.attr("direction") = st.span.increase ? "increase" : "decrease";
    // The engine's pool holds the lowest of this run's critical events in the
    // order they were first reached; offering them in that order leaves the
    // pool as if every event had been pushed as it happened.
    py::object push = L.pool.attr("push");
    for (const auto& e : offered) push(spin_array(e.x), py::float_(e.energy));
}

enum class Work { Search, Constructive, Destructive };

// Load the state, run the engine without the GIL, store the state back.
void run_engine(py::handle self, Work work) {
    Loaded L = load(self);
    std::vector<tabu::PoolEntry> offered;
    std::uint64_t flips = 0;
    GlobalDraws draws;
    SearchCancel cancel(draws);
    std::unique_ptr<tabu::Problem> fresh;
    {
        py::gil_scoped_release nogil;
        if (!L.problem) {
            fresh = std::make_unique<tabu::Problem>(L.J.data(), L.N.data(), L.n);
            L.problem = fresh.get();
        }
        tabu::Search search(*L.problem, L.J.data(), L.N.data(), L.st, L.set, draws);
        if (work == Work::Search)
            search.run(cancel);
        else
            search.phase(work == Work::Constructive ? +1 : -1);
        search.store();
        offered = search.pool();
        flips = search.flips();
    }
    if (fresh) remember(self, std::move(fresh), L.print_J, L.nodiag, L.N);
    store(self, L, offered);
    self.attr("_flips") = flips;
    cancel.check();
}

// ---------------------------------------------------------------- methods

void init_optimizer(py::object cls, py::object self, py::object max_iter, py::object recency_size, py::object kmax,
                    py::object p1, py::object p2, py::object size_limit) {
    super_attr(cls, self, "__init__")();
    real_value(max_iter, "max_iter");
    if (!recency_size.is_none()) int_value(recency_size, "recency_size", 1, kBig);
    int_value(kmax, "kmax", kInt64Min, kInt64Max);
    int_value(p1, "span_control_p1", -kSpanMax, kSpanMax);
    int_value(p2, "span_control_p2", -kSpanMax, kSpanMax);
    int_value(size_limit, "size_limit", 0, kBig);
    self.attr("max_iter") = max_iter;
    self.attr("recency_size") = recency_size;
    self.attr("kmax") = kmax;
    self.attr("span_control_p1") = p1;
    self.attr("span_control_p2") = p2;
    self.attr("size_limit") = size_limit;
    self.attr("matrix") = py::none();
    self.attr("nodiag_mat") = py::none();
    self.attr("size") = py::none();
    self.attr("x_conf") = py::none();
    self.attr("best_solution") = py::none();
    self.attr("best_hamilton") = py::none();
    self.attr("solution_pool") = py::none();
    self.attr("penalty_recency") = py::none();
    self.attr("recency") = py::none();
    self.attr("last_t") = py::list();
    self.attr("frequency") = py::none();
    self.attr("tabu_value") = 0;
    self.attr("k") = 1;
    self.attr("span") = 1;
    self.attr("iter_span") = 0;
    self.attr("direction") = "increase";
    self.attr("ct_var") = 0;
    self.attr("ct_span") = 0;
    self.attr("iterations") = 0;
}

void set_matrix(py::object cls, py::object self, py::object ising_matrix) {
    if (!ising_matrix.is_none()) {
        // The same values as the matrix set last, with its nodiag_mat still in
        // place: keep that nodiag_mat (it is what would be rebuilt).
        auto arr = as_array<double>(ising_matrix, "ising_matrix");
        Prepared& p = prepared_of(self);
        const bool same = arr.ndim() == 2 && p.built_N && py::object(self.attr("nodiag_mat")).is(p.built_N) &&
                          read_only(p.built_N) && arr.shape(0) == arr.shape(1) &&
                          arr.shape(0) == py::array(p.built_N).shape(0) && print_of(arr) == p.built_from;
        py::object N;
        std::int64_t n;
        double top;
        if (same) {
            N = p.built_N;
            n = arr.shape(0);
            top = p.built_top;
        } else {
            IsingMatrix m = as_ising_matrix(ising_matrix);
            n = m.n;
            const double* J = m.data();
            py::array_t<double> built({n, n});
            double* q = built.mutable_data();
            top = 0;
            for (std::int64_t k = 0; k < n * n; ++k) top = std::max(top, std::fabs(J[k]));
            constexpr std::int64_t kTile = 64;  // the transposed reads stay in cache
            for (std::int64_t ib = 0; ib < n; ib += kTile)
                for (std::int64_t jb = 0; jb < n; jb += kTile)
                    for (std::int64_t i = ib; i < std::min(ib + kTile, n); ++i)
                        for (std::int64_t j = jb; j < std::min(jb + kTile, n); ++j)
                            q[i * n + j] = i == j ? 0.0 : -(J[i * n + j] + J[j * n + i]) / 2;
            built.attr("setflags")(py::arg("write") = false);  // derived state: rebuilt, never edited
            N = built;
            p.built_N = N;
            p.built_from = print_of(m.array);
            p.built_top = top;
        }
        super_attr(cls, self, "set_matrix")(ising_matrix);
        self.attr("nodiag_mat") = N;
        self.attr("size") = n;
        py::object pool_cls = py::module_::import("orvane.common").attr("HeapUniquePool");
        self.attr("solution_pool") = pool_cls(self.attr("matrix"), n, self.attr("size_limit"));
        if (self.attr("recency_size").is_none()) self.attr("recency_size") = (n + 9) / 10;
        self.attr("penalty_recency") = py::float_(top);
        py::object zeros = numpy().attr("zeros");
        self.attr("recency") = zeros(n);
        self.attr("frequency") = zeros(n);
    }
    if (self.attr("matrix").is_none()) throw py::value_error(kNoMatrix);
}

std::int64_t size_of(py::handle self) {
    if (self.attr("size").is_none()) throw py::value_error(kNoMatrix);
    return int_value(self.attr("size"), "size", 1, kInt64Max);
}

void init_solution(py::object self, py::object solution) {
    const std::int64_t n = size_of(self);
    py::array_t<std::int64_t> x;
    if (!solution.is_none()) {
        x = spin_array(spin_vector(solution, n, "solution"));
    } else {
        py::array_t<double> r = numpy().attr("random").attr("standard_normal")(n);
        x = py::array_t<std::int64_t>(n);
        for (std::int64_t i = 0; i < n; ++i) x.mutable_data()[i] = r.data()[i] > 0 ? 1 : -1;
    }
    self.attr("x_conf") = x;
    self.attr("best_solution") = x.attr("copy")();
    self.attr("best_hamilton") = self.attr("_sampler")(x);
}

double sampler(py::object self, py::object solution_vector) {
    MatrixView J = matrix_of(self);
    std::vector<std::int8_t> s = spin_vector(solution_vector, J.n, "solution_vector");
    return orvane::energy(J.data(), J.n, s.data());
}

// d_i = -4 x_i sum_j N_ij x_j for the current configuration.
std::vector<double> net_increase_of(py::handle self, std::vector<std::int8_t>& x) {
    if (self.attr("nodiag_mat").is_none() || self.attr("x_conf").is_none()) throw py::value_error(kNoMatrix);
    auto N = as_array<double>(self.attr("nodiag_mat"), "nodiag_mat");
    const std::int64_t n = N.ndim() == 2 ? N.shape(0) : -1;
    if (n < 1 || N.shape(1) != n) throw py::value_error("nodiag_mat must be a square 2-D array");
    x = spin_vector(self.attr("x_conf"), n, "x_conf");
    std::vector<double> d(static_cast<std::size_t>(n));
    const double* p = N.data();
    for (std::int64_t i = 0; i < n; ++i) {
        double f = 0;
        for (std::int64_t j = 0; j < n; ++j) f += x[j] > 0 ? p[i * n + j] : -p[i * n + j];
        d[i] = -4.0 * (x[i] > 0 ? f : -f);
    }
    return d;
}

int val_of(py::handle val) {
    std::int64_t v = int_value(val, "val", -1, 1);
    if (v == 0) throw py::value_error("val must be +1 or -1");
    return static_cast<int>(v);
}

py::tuple j_star(py::object self, py::object val_obj) {
    const int val = val_of(val_obj);
    std::vector<std::int8_t> x;
    std::vector<double> d = net_increase_of(self, x);
    const std::int64_t n = static_cast<std::int64_t>(d.size());
    std::vector<double> eval = d;
    if (int_value(self.attr("ct_var"), "ct_var", kInt64Min, kInt64Max) <=
        int_value(self.attr("k"), "k", kInt64Min, kInt64Max)) {
        py::object tv_obj = self.attr("tabu_value");
        const bool tv_scalar = numpy().attr("ndim")(tv_obj).cast<int>() == 0;
        auto tv = as_array<double>(tv_obj, "tabu_value");  // at least 1-D
        if (!tv_scalar && (tv.ndim() > 1 || tv.shape(0) != n))
            throw py::value_error("size mismatch: tabu_value has shape " + shape_text(tv) +
                                  " but the Ising matrix has " + std::to_string(n) +
                                  " spins (the tabu memory carries over from a matrix of another size)");
        for (std::int64_t i = 0; i < n; ++i) eval[i] = d[i] + val * tv.data()[tv_scalar ? 0 : i];
    }
    double best = std::numeric_limits<double>::infinity();
    bool any = false;
    for (std::int64_t i = 0; i < n; ++i)
        if (x[i] != val) {
            any = true;
            best = std::min(best, eval[i]);
        }
    if (!any) throw py::value_error("every spin of x_conf already equals val");
    std::vector<std::int64_t> cand;
    for (std::int64_t i = 0; i < n; ++i)
        if (x[i] != val && eval[i] == best) cand.push_back(i);
    std::int64_t j = cand.empty() ? 0 : cand[0];
    if (cand.size() > 1) {
        GlobalDraws draws;
        j = cand[draws.below(cand.size())];
    }
    return py::make_tuple(j, d[j]);
}

py::object count(py::object self, py::object val) {
    py::object x = self.attr("x_conf");
    if (x.is_none()) throw py::value_error(kNoMatrix);
    return numpy().attr("count_nonzero")(numpy().attr("asarray")(x).attr("__eq__")(val));
}

py::object as_int_config(py::handle x) {
    return numpy().attr("array")(x, py::arg("dtype") = numpy().attr("int64"));
}

void update_recency(py::object self, py::object x_last) {
    const std::int64_t t = recency_size_of(self);
    py::list window = self.attr("last_t");
    py::object x = as_int_config(x_last);
    if (static_cast<std::int64_t>(window.size()) <= t - 1) {
        window.append(x);
        self.attr("recency") = py::object(self.attr("recency")) + x;
    } else {
        py::object oldest = window.attr("pop")(0);
        self.attr("recency") = py::object(self.attr("recency")) + (x - oldest);
        window.append(x);
    }
}

void update_frequency(py::object self, py::object x_last) {
    self.attr("frequency") = py::object(self.attr("frequency")) + as_int_config(x_last);
}

void update_tabu(py::object self) {
    self.attr("_update_recency")(self.attr("x_conf"));
    self.attr("_update_frequency")(self.attr("x_conf"));
    py::object pr = self.attr("penalty_recency"), pf = self.attr("_penalty_frequency");
    self.attr("tabu_value") = pr * py::object(self.attr("recency")) + pf * py::object(self.attr("frequency"));
}

void transfer(py::object self) {
    tabu::SpanControl sc;
    sc.span = int_value(self.attr("span"), "span", -kSpanMax, kSpanMax);
    sc.iter_span = int_value(self.attr("iter_span"), "iter_span", kInt64Min, kInt64Max - 1);
    std::string direction = py::str(self.attr("direction"));
    if (direction != "increase" && direction != "decrease")
        throw py::value_error("direction must be 'increase' or 'decrease', got '" + direction + "'");
    sc.increase = direction == "increase";
    sc.transfer(int_value(self.attr("span_control_p1"), "span_control_p1", -kSpanMax, kSpanMax),
                int_value(self.attr("span_control_p2"), "span_control_p2", -kSpanMax, kSpanMax));
    self.attr("span") = sc.span;
    self.attr("iter_span") = sc.iter_span;
    self.attr("direction") = sc.increase ? "increase" : "decrease";
}

py::object solve_tabu(py::object self, py::object ising_matrix, py::object solution) {
    if (!ising_matrix.is_none()) {
        self.attr("set_matrix")(ising_matrix);
        self.attr("init_solution")(solution);
    } else if (!solution.is_none()) {
        self.attr("init_solution")(solution);
    } else {
        self.attr("set_matrix")();
        if (self.attr("x_conf").is_none()) self.attr("init_solution")();
    }
    run_engine(self, Work::Search);
    return self.attr("solution_pool").attr("get_solutions")();
}

py::object solve(py::object self, py::object ising_matrix, py::object negtail_flip, py::object sort_solutions,
                 py::object solution) {
    self.attr("set_matrix")(ising_matrix);
    py::object matrix = self.attr("matrix");
    py::object solutions = self.attr("_solve")(matrix, py::arg("solution") = solution);
    py::tuple sorted = py::module_::import("orvane.core").attr("get_sorted_solutions")(matrix, solutions, 0,
                                                                                        negtail_flip, sort_solutions);
    self.attr("_hamiltonian") = sorted[1];
    return sorted[0];
}

}  // namespace

PYBIND11_MODULE(_tabusolve, m) {
    m.doc() = "Adaptive-memory tabu search for Ising matrices.";
    m.attr("_PREPARED") = py::module_::import("weakref").attr("WeakKeyDictionary")();
    py::module_ core = py::module_::import("orvane.core");
    py::object cls = make_class(m, "TabuSearchOptimizer",
                                py::make_tuple(core.attr("IsingSolver"), core.attr("QuboSolver")), kClassDoc);

    def_method(cls, "__init__",
               "self, max_iter, recency_size=None, kmax=3, span_control_p1=3, span_control_p2=7, size_limit=1",
               [cls](py::object self, py::object max_iter, py::object recency_size, py::object kmax, py::object p1,
                     py::object p2, py::object size_limit) {
                   init_optimizer(cls, self, max_iter, recency_size, kmax, p1, p2, size_limit);
               },
               "Create the optimizer with its settings; no matrix is set yet.");
    def_method(cls, "set_matrix", "self, ising_matrix=None",
               [cls](py::object self, py::object ising_matrix) { set_matrix(cls, self, ising_matrix); },
               "Set the Ising matrix and rebuild what depends on it.\n\n"
               "Builds nodiag_mat = -(J + J^T) / 2 with a zero diagonal, a new solution pool,\n"
               "penalty_recency = max |J_ij| and zeroed recency and frequency memories;\n"
               "recency_size, if None, becomes ceil(n / 10). The recency window, tabu\n"
               "penalty, depth and span control carry over. Without a matrix, keeps the\n"
               "current one; raises ValueError if there is none.");
    def_method(cls, "init_solution", "self, solution=None", &init_solution,
               "Start from solution (copied), or from a random configuration: spin i is +1\n"
               "when the i-th of n standard-normal draws of numpy's process-wide generator\n"
               "is positive. Resets best_solution and best_hamilton to it.");
    def_method(cls, "_sampler", "self, solution_vector", &sampler,
               "Energy H(s) = -(s^T J s) of a spin vector under the current matrix.");
    def_property(cls, "_x_val",
                 [](py::object self) -> py::object { return self.attr("_sampler")(self.attr("x_conf")); },
                 "Energy of the current configuration x_conf.");
    def_property(cls, "_penalty_frequency",
                 [](py::object self) -> py::object {
                     py::object pr = self.attr("penalty_recency"), iterations = self.attr("iterations");
                     return pr / py::int_(1000) * iterations;
                 },
                 "Weight of the frequency memory: penalty_recency / 1000 * iterations.");
    def_method(cls, "_net_increase", "self",
               [](py::object self) {
                   std::vector<std::int8_t> x;
                   return float_array(net_increase_of(self, x));
               },
               "Energy change of flipping each spin alone: d_i = -4 x_i sum_j N_ij x_j.");
    def_method(cls, "_j_star", "self, val", &j_star,
               "Choose the spin to flip to val (+1 or -1): (index, plain energy change).\n\n"
               "Minimises the energy change, plus val * tabu_value while ct_var <= k, over\n"
               "the spins not yet at val; exact ties are broken uniformly at random with\n"
               "numpy's process-wide generator.");
    def_method(cls, "_count", "self, val", &count, "Number of spins of x_conf equal to val.");
    def_method(cls, "_update_recency", "self, x_last", &update_recency,
               "Add x_last to the recency window of length recency_size (dropping the\n"
               "oldest configuration when full) and to the recency sum.");
    def_method(cls, "_update_frequency", "self, x_last", &update_frequency,
               "Add x_last to the frequency sum.");
    def_method(cls, "_update_tabu", "self", &update_tabu,
               "Record the current configuration as a critical event and recompute\n"
               "tabu_value = penalty_recency * recency + _penalty_frequency * frequency.");
    def_method(cls, "_constructive", "self",
               [](py::object self) { run_engine(self, Work::Constructive); },
               "One constructive phase: greedy flips from -1 to +1, the critical event,\n"
               "then the span flips.");
    def_method(cls, "_destructive", "self",
               [](py::object self) { run_engine(self, Work::Destructive); },
               "One destructive phase: greedy flips from +1 to -1, the critical event,\n"
               "then the span flips.");
    def_method(cls, "_transfer", "self", &transfer, "One step of span control, made after every phase.");
    def_method(cls, "_solve", "self, ising_matrix=None, solution=None", &solve_tabu,
               "Run max_iter tabu iterations and return the pool's configurations.\n\n"
               "With ising_matrix, sets it and starts from solution (or a random start);\n"
               "with only solution, restarts from it; otherwise continues from the current\n"
               "state. Returns an int64 array, one configuration per row, lowest energy\n"
               "first. Ctrl-C stops after the current iteration, keeping the state.");
    def_method(cls, "solve", "self, ising_matrix=None, negtail_flip=True, sort_solutions=False, solution=None",
               &solve,
               "Solve ising_matrix: an int64 array of spin vectors, one per row.\n\n"
               "negtail_flip: whether to apply the negative-tail flip (negate rows ending in\n"
               "-1). sort_solutions: whether to sort the solutions by energy. solution: the\n"
               "initial configuration. The energies are stored in _hamiltonian.");
    finish_class(cls);

    // Decorations.
    py::object track_data = py::module_::import("orvane.usage._usagehook").attr("track_data");
    py::setattr(cls, "_solve", track_data()(cls.attr("__dict__")["_solve"]));
}
