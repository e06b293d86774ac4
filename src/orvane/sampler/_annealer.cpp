// orvane.sampler._annealer: simulated annealing samplers.
//
// SimulatedAnnealingSamplerBase holds the settings and the parallel driver
// (one process, or a pool of worker processes each with its own copy of the
// sampler); SimulatedAnnealingSampler is the concrete single-spin-flip
// annealer whose runs go to the kernel in orvane/anneal.hpp with the GIL
// released. Module functions: split_near_uniform, auto_temperature.
#include <cmath>
#include <exception>
#include <limits>
#include <random>

#include "orvane/anneal.hpp"
#include "pyclass.hpp"

namespace py = pybind11;
using namespace orvane::bind;

namespace {

constexpr const char* kModule = "orvane.sampler._annealer";
constexpr const char* kExpectedTimeLine = "Expected execution completion time is %s seconds";
constexpr const char* kProgressLine = "Current progress %s/%s; Current temperature: %s";

// ---------------------------------------------------------------- arguments

std::int64_t to_int64(py::handle obj, const std::string& name) {
    py::object index;
    try {
        index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
        if (!index) throw py::error_already_set();
        return index.cast<std::int64_t>();
    } catch (py::error_already_set& e) {
        raise_from(e, PyExc_TypeError, name + " must be an integer, got " + std::string(py::repr(obj)));
    } catch (py::cast_error&) {
        throw py::value_error(name + " is out of range: " + std::string(py::repr(obj)));
    }
}

double to_double(py::handle obj, const std::string& name) {
    if (obj.is_none()) throw py::value_error(name + " must be set (auto_temperature proposes temperatures)");
    if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) || !PyNumber_Check(obj.ptr()))
        throw py::type_error(name + " must be a number, got " + std::string(py::repr(obj)));
    try {
        return py::float_(py::reinterpret_borrow<py::object>(obj)).cast<double>();
    } catch (py::error_already_set& e) {
        raise_from(e, PyExc_TypeError, name + " must be a number, got " + std::string(py::repr(obj)));
    }
}

std::int64_t processor_count() {
    py::object count = py::module_::import("os").attr("cpu_count")();
    return count.is_none() ? 1 : count.cast<std::int64_t>();
}

// -1, or more than the machine has, means one process per processor.
py::object resolve_process_num(py::object process_num) {
    py::int_ cpus(processor_count());
    if (process_num.equal(py::int_(-1)) || process_num > cpus) return cpus;
    return process_num;
}

// A seed uniform in [0, bound) from numpy's process-wide generator.
py::object draw_seed(std::int64_t bound) {
    return py::int_(numpy().attr("random").attr("randint")(0, bound));
}

// A validated Ising matrix (square, non-empty, finite) as C-contiguous
// float64: the caller's own array when it already is one, otherwise a single
// converted copy of its transpose, whose rows are what the kernel walks.
struct Matrix {
    py::array_t<double, py::array::c_style> array;
    bool transposed = false;  // array holds J^T
    std::int64_t n = 0;
    bool integer_dtype = false;
};

Matrix as_matrix(py::handle obj, const std::string& what) {
    if (obj.is_none()) throw py::value_error(what + " must be given");
    py::object np = numpy();
    py::array raw = numeric_asarray(obj, what);
    const char kind = raw.dtype().kind();
    if (raw.ndim() != 2 || raw.shape(0) != raw.shape(1))
        throw py::value_error(what + " must be a square 2-D array, got shape " + shape_text(raw));
    Matrix m;
    m.n = raw.shape(0);
    if (m.n == 0) throw py::value_error(what + " must not be empty");
    m.integer_dtype = kind != 'f';
    const bool ready = raw.dtype().equal(py::dtype::of<double>()) && (raw.flags() & py::array::c_style);
    try {
        m.array = ready ? py::object(raw) : np.attr("ascontiguousarray")(raw.attr("T"), py::dtype::of<double>());
    } catch (py::error_already_set& e) {
        raise_from(e, PyExc_ValueError, what + " cannot be converted to float64");
    }
    m.transposed = !ready;
    if (!orvane::all_finite(m.array.data(), static_cast<std::size_t>(m.n * m.n)))
        throw py::value_error(what + " must not contain NaN or infinity");
    return m;
}

// ---------------------------------------------------------------- module functions

py::list split_near_uniform(py::object m, py::object n) {
    const std::int64_t total = to_int64(m, "m");
    const std::int64_t parts = to_int64(n, "n");
    if (parts == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        throw py::error_already_set();
    }
    // Floor division and modulo, as for Python integers.
    std::int64_t q = total / parts;
    if (total % parts != 0 && ((total < 0) != (parts < 0))) --q;
    const std::int64_t r = total - q * parts;
    py::list out;
    for (std::int64_t i = 0; i < r; ++i) out.append(q + 1);
    for (std::int64_t i = 0; i < parts - r; ++i) out.append(q);
    return out;
}

py::tuple auto_temperature(py::object ising_mat) {
    auto a = as_array<double>(ising_mat, "ising_mat");
    if (a.ndim() != 2) throw py::value_error("ising_mat must be a 2-D array, got shape " + shape_text(a));
    const std::int64_t rows = a.shape(0), cols = a.shape(1);
    const double* p = a.data();
    if (!orvane::all_finite(p, static_cast<std::size_t>(rows * cols)))
        throw py::value_error("ising_mat must not contain NaN or infinity");
    if (rows == 0 || cols == 0)
        throw py::value_error("zero-size array to reduction operation maximum which has no identity");
    double largest_bias = 0.0;
    double smallest_gap = std::numeric_limits<double>::infinity();
    for (std::int64_t i = 0; i < rows; ++i) {
        double bias = 0.0;
        for (std::int64_t j = 0; j < cols; ++j) {
            const double v = std::fabs(p[i * cols + j]);
            bias += v;
            if (v != 0.0 && v < smallest_gap) smallest_gap = v;
        }
        if (i == 0 || bias > largest_bias) largest_bias = bias;
    }
    if (std::isinf(smallest_gap))
        throw py::value_error("zero-size array to reduction operation minimum which has no identity");
    const double max_excitation = 0.01;  // largest single-spin excitation rate at the cut-off
    return py::make_tuple(largest_bias / std::log(2.0), smallest_gap / std::log(1.0 / max_excitation));
}

// ---------------------------------------------------------------- SimulatedAnnealingSamplerBase

constexpr const char* kBaseDoc = R"(Settings and parallel driver shared by simulated annealing samplers.

Subclasses implement ``single_process_solve(ising_matrix, init_solution,
rand_seed, size_limit)``, which returns ``size_limit`` spin vectors produced in
the calling process. ``_solve`` calls it once in-process when
``process_num == 1``; otherwise it seeds numpy's process-wide generator with
``rand_seed``, draws one seed in [0, 2**30) per worker, splits ``size_limit``
over ``process_num`` worker processes with ``split_near_uniform`` and
concatenates their results in worker order. Each worker works on its own copy
of the sampler, so nothing a worker records is visible on this object.

Attributes: initial_temperature, alpha, cutoff_temperature, iterations_per_t,
size_limit, rand_seed (drawn from numpy's process-wide generator in
[0, 2**31) when not given), process_num (-1 or more than the processor count
means the processor count).
)";

// The schedule settings both constructors store unchanged.
void store_schedule(py::object self, py::object initial_temperature, py::object alpha, py::object cutoff_temperature,
                    py::object iterations_per_t, py::object size_limit) {
    self.attr("initial_temperature") = initial_temperature;
    self.attr("alpha") = alpha;
    self.attr("cutoff_temperature") = cutoff_temperature;
    self.attr("iterations_per_t") = iterations_per_t;
    self.attr("size_limit") = size_limit;
}

void init_base(py::object cls, py::object self, py::object initial_temperature, py::object alpha,
               py::object cutoff_temperature, py::object iterations_per_t, py::object size_limit,
               py::object rand_seed, py::object process_num) {
    super_attr(cls, self, "__init__")();
    store_schedule(self, initial_temperature, alpha, cutoff_temperature, iterations_per_t, size_limit);
    self.attr("rand_seed") = rand_seed.is_none() ? draw_seed(std::int64_t(1) << 31) : rand_seed;
    self.attr("process_num") = resolve_process_num(process_num);
}

// Runs single_process_solve in `workers` processes and stacks the results.
py::object solve_in_workers(py::object self, py::object ising_matrix, py::object init_solution,
                            std::int64_t size_limit, std::int64_t workers) {
    py::object np = numpy();
    np.attr("random").attr("seed")(self.attr("rand_seed"));
    py::list seeds = np.attr("random").attr("randint")(0, std::int64_t(1) << 30, workers).attr("tolist")();
    py::list sizes = split_near_uniform(py::int_(size_limit), py::int_(workers));

    py::object pool = py::module_::import("multiprocessing").attr("get_context")().attr("Pool")(workers);
    try {
        py::object task = self.attr("single_process_solve");
        py::list pending;
        for (std::int64_t k = 0; k < workers; ++k)
            pending.append(pool.attr("apply_async")(task, py::make_tuple(ising_matrix, init_solution, seeds[k], sizes[k])));
        py::list parts;
        for (py::handle result : pending) parts.append(result.attr("get")());
        pool.attr("close")();
        pool.attr("join")();
        return np.attr("concatenate")(parts, py::arg("axis") = 0);
    } catch (...) {
        // Errors, Ctrl-C: stop the workers before passing the failure on.
        try {
            pool.attr("terminate")();
        } catch (py::error_already_set&) {
        }
        throw;
    }
}

py::object solve_base(py::object self, py::object ising_matrix, py::object init_solution, py::object size_limit) {
    if (size_limit.is_none()) size_limit = self.attr("size_limit");
    std::int64_t workers = to_int64(self.attr("process_num"), "process_num");
    if (workers == -1) workers = processor_count();
    if (workers < 1)
        throw py::value_error("process_num must be a positive number of processes or -1 (one per processor), got " +
                              std::to_string(workers));
    if (workers == 1)
        return self.attr("single_process_solve")(ising_matrix, init_solution, self.attr("rand_seed"), size_limit);
    const std::int64_t size = to_int64(size_limit, "size_limit");
    if (size < 0) throw py::value_error("size_limit must not be negative, got " + std::to_string(size));
    return solve_in_workers(self, ising_matrix, init_solution, size, workers);
}

// ---------------------------------------------------------------- SimulatedAnnealingSampler

constexpr const char* kSamplerDoc = R"(Single-spin-flip simulated annealing sampler.

Every run starts at ``initial_temperature`` and multiplies the temperature by
``alpha`` after each step of ``iterations_per_t`` flip attempts until it is no
longer above ``cutoff_temperature``. An attempt picks a spin k uniformly and
accepts its flip when the energy change d is negative or exp(-d / T) exceeds a
uniform draw (drawn only when d >= 0). After a step with any acceptance the
walk restarts from the best configuration found in the run. Each run keeps its
best configuration in ``solution_pool``; the next run continues from where the
previous one ended.

Energy: H(s) = -(s^T J s) over the full matrix. The change of flipping spin k
is taken as 4 s_k (s . J[k, :]), the row including its diagonal entry, which is
exact for a symmetric matrix with zero diagonal.

``solve(J)`` returns ``size_limit`` rows (int64), each ending in +1, in run
order. With ``flag_evolution_history`` the energy after every accepted flip is
recorded in ``ha_history`` keyed by the seconds since its run started (key 0:
the start energy); with ``verbose`` every temperature step is logged.
Runs are reproducible: the same ``rand_seed`` gives the same result.

Example::

    >>> J = np.array([[0, 2, -3], [2, 0, -1], [-3, -1, 0]])
    >>> SimulatedAnnealingSampler(size_limit=2, rand_seed=1).solve(J)
    array([[-1, -1,  1],
           [-1, -1,  1]])
)";

void init_sampler(py::object cls, py::object self, py::object initial_temperature, py::object alpha,
                  py::object cutoff_temperature, py::object iterations_per_t, py::object size_limit,
                  py::object flag_evolution_history, py::object verbose, py::object rand_seed,
                  py::object process_num) {
    super_attr(cls, self, "__init__")();  // the base with its defaults; its settings are overwritten here
    store_schedule(self, initial_temperature, alpha, cutoff_temperature, iterations_per_t, size_limit);
    self.attr("verbose") = verbose;
    self.attr("ha_history") = py::dict();
    self.attr("flag_evolution_history") = flag_evolution_history;
    self.attr("solution_pool") = py::none();
    self.attr("rand_seed") = rand_seed.is_none() ? draw_seed(std::int64_t(1) << 30) : rand_seed;
    self.attr("process_num") = resolve_process_num(process_num);
}

py::object new_pool(std::int64_t rows, py::object matrix) {
    py::object np = numpy();
    py::object n = py::tuple(np.attr("shape")(matrix))[0];
    return np.attr("zeros")(py::make_tuple(rows, n), py::arg("dtype") = np.attr("int64"));
}

void on_matrix_change(py::object self) {
    const std::int64_t size = to_int64(self.attr("size_limit"), "size_limit");
    if (size < 0) throw py::value_error("size_limit must not be negative, got " + std::to_string(size));
    self.attr("solution_pool") = new_pool(size, self.attr("matrix"));
}

py::object delta_single_flip(py::object self, py::object solution, py::object idx) {
    py::object matrix = self.attr("matrix");
    if (matrix.is_none()) throw py::value_error("no matrix is set; call set_matrix first");
    py::object np = numpy();
    py::object s = np.attr("asarray")(solution);
    py::object row = np.attr("asarray")(matrix)[idx];
    return py::int_(4) * s[idx] * np.attr("dot")(s, row);
}

// Logs the time estimate after the first step of every run and, when verbose,
// a progress line after every step. Takes the GIL only for those.
class StepLogger final : public orvane::AnnealObserver {
public:
    StepLogger(bool verbose, double steps) : verbose_(verbose), steps_(steps) {}

    bool after_step(std::int64_t count, double temperature, std::chrono::steady_clock::time_point start) override {
        if (count != 1 && !verbose_) return true;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        py::gil_scoped_acquire gil;
        try {
            py::object steps = py::reinterpret_steal<py::object>(PyLong_FromDouble(steps_));
            if (count == 1) log(kModule, "info", kExpectedTimeLine, py::float_(seconds * steps_));
            if (verbose_) log(kModule, "info", kProgressLine, count, steps, temperature);
        } catch (...) {
            error_ = std::current_exception();
            return false;
        }
        return true;
    }

    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

private:
    bool verbose_;
    double steps_;
    std::exception_ptr error_;
};

// Spins of init_solution (n entries, each -1 or +1).
std::vector<std::int8_t> start_spins(py::object init_solution, std::int64_t n) {
    auto a = as_array<double>(init_solution, "init_solution");
    if (a.ndim() != 1 || a.shape(0) != n)
        throw py::value_error("init_solution must be a 1-D array of " + std::to_string(n) + " spins, got shape " +
                              shape_text(a));
    std::vector<std::int8_t> spins(static_cast<std::size_t>(n));
    for (std::int64_t j = 0; j < n; ++j) {
        const double v = a.data()[j];
        if (v != 1.0 && v != -1.0) throw py::value_error("init_solution must contain only -1 and +1");
        spins[j] = v > 0 ? 1 : -1;
    }
    return spins;
}

std::uint64_t generator_seed(py::object rand_seed) {
    if (rand_seed.is_none()) {
        std::random_device device;
        return (std::uint64_t(device()) << 32) ^ device();
    }
    py::object index;
    try {
        index = py::reinterpret_steal<py::object>(PyNumber_Index(rand_seed.ptr()));
        if (!index) throw py::error_already_set();
    } catch (py::error_already_set& e) {
        raise_from(e, PyExc_TypeError, "rand_seed must be an integer, got " + std::string(py::repr(rand_seed)));
    }
    return (index & py::int_(std::numeric_limits<std::uint64_t>::max())).cast<std::uint64_t>();
}

py::object energy_value(double e, bool integer) {
    if (integer && std::fabs(e) < 0x1.0p63) return py::reinterpret_steal<py::object>(PyLong_FromDouble(e));
    return py::float_(e);
}

py::object single_process_solve(py::object self, py::object ising_matrix, py::object init_solution,
                                py::object rand_seed, py::object size_limit) {
    orvane::AnnealSchedule schedule;
    schedule.initial_temperature = to_double(self.attr("initial_temperature"), "initial_temperature");
    schedule.cutoff_temperature = to_double(self.attr("cutoff_temperature"), "cutoff_temperature");
    schedule.alpha = to_double(self.attr("alpha"), "alpha");
    schedule.iterations_per_t = std::max<std::int64_t>(0, to_int64(self.attr("iterations_per_t"), "iterations_per_t"));
    const bool record = py::bool_(self.attr("flag_evolution_history"));
    const bool verbose = py::bool_(self.attr("verbose"));
    double steps = 0;
    if (schedule.initial_temperature > schedule.cutoff_temperature) {
        // Schedules that never end are refused.
        if (!std::isfinite(schedule.initial_temperature))
            throw py::value_error("initial_temperature must be finite");
        if (!(schedule.cutoff_temperature > 0))
            throw py::value_error("cutoff_temperature must be positive");
        if (!(schedule.alpha > 0 && schedule.alpha < 1))
            throw py::value_error("alpha must lie strictly between 0 and 1");
        steps = std::ceil(std::log(schedule.cutoff_temperature / schedule.initial_temperature) /
                          std::log(schedule.alpha));
    }
    orvane::RandomStream rng(generator_seed(rand_seed));

    Matrix given = as_matrix(ising_matrix, "ising_matrix");
    self.attr("set_matrix")(ising_matrix);
    py::object matrix = self.attr("matrix");
    Matrix m = matrix.is(ising_matrix) ? given : as_matrix(matrix, "matrix");
    given = Matrix();
    const std::int64_t n = m.n;

    std::int64_t size;
    if (!size_limit.is_none() && !size_limit.equal(self.attr("size_limit"))) {
        size = to_int64(size_limit, "size_limit");
        if (size < 0) throw py::value_error("size_limit must not be negative, got " + std::to_string(size));
        self.attr("solution_pool") = new_pool(size, matrix);
    } else {
        size = to_int64(self.attr("size_limit"), "size_limit");
    }
    const bool random_start = init_solution.is_none();
    std::vector<std::int8_t> spins =
        random_start ? std::vector<std::int8_t>(static_cast<std::size_t>(n)) : start_spins(init_solution, n);

    std::vector<std::int8_t> bests(static_cast<std::size_t>(size * n));
    std::vector<orvane::HistoryPoint> history;
    StepLogger logger(verbose, steps);
    SignalCancel cancel;
    bool finished;
    {
        py::gil_scoped_release nogil;
        orvane::FlipRows rows = m.transposed ? orvane::FlipRows::from_columns(m.array.data(), n)
                                             : orvane::FlipRows::build(m.array.data(), n);
        finished = orvane::anneal(rows, schedule, rng, spins.data(), random_start, size, bests.data(),
                                  record ? &history : nullptr, logger, cancel);
    }
    if (!finished) {
        logger.rethrow();
        cancel.check();
    }

    auto raw = new_int_array(size, n);
    auto out = new_int_array(size, n);
    std::int64_t* r = raw.mutable_data();
    std::int64_t* o = out.mutable_data();
    for (std::int64_t i = 0; i < size; ++i) {
        const std::int8_t* b = bests.data() + i * n;
        for (std::int64_t j = 0; j < n; ++j) {
            r[i * n + j] = b[j];
            o[i * n + j] = b[j] * b[n - 1];
        }
    }
    self.attr("solution_pool").attr("__setitem__")(py::ellipsis(), raw);
    if (record) {
        py::object store = self.attr("ha_history");
        for (const auto& point : history) {
            py::object key = point.run_start ? py::object(py::int_(0)) : py::object(py::float_(point.seconds));
            store[key] = energy_value(point.energy, m.integer_dtype);
        }
    }
    return out;
}

}  // namespace

PYBIND11_MODULE(_annealer, m) {
    m.doc() = "Simulated annealing samplers.";
    m.attr("logger") = py::module_::import("logging").attr("getLogger")(kModule);
    py::module_ core = py::module_::import("orvane.core");

    py::object base = make_class(m, "SimulatedAnnealingSamplerBase",
                                 py::make_tuple(core.attr("IsingSolver"), core.attr("QuboSolver")), kBaseDoc);
    def_method(base, "__init__",
               "self, initial_temperature=None, alpha=0.99, cutoff_temperature=None, iterations_per_t=10, "
               "size_limit=1, rand_seed=None, process_num=1",
               [base](py::object self, py::object initial_temperature, py::object alpha, py::object cutoff_temperature,
                      py::object iterations_per_t, py::object size_limit, py::object rand_seed,
                      py::object process_num) {
                   init_base(base, self, initial_temperature, alpha, cutoff_temperature, iterations_per_t, size_limit,
                             rand_seed, process_num);
               },
               "Store the annealing settings (see the class documentation).");
    def_method(base, "_solve", "self, ising_matrix=None, init_solution=None, size_limit=None", &solve_base,
               "Return size_limit spin vectors (default: the attribute) for ising_matrix, from this\n"
               "process or from process_num worker processes; worker results are stacked in worker order.");
    def_abstract(base, "single_process_solve", "self, ising_matrix, init_solution, rand_seed, size_limit=None",
                 "Return a size_limit x n array of spin vectors produced in this process from rand_seed.");
    finish_class(base);

    py::object sampler = make_class(m, "SimulatedAnnealingSampler", py::make_tuple(base), kSamplerDoc);
    def_method(sampler, "__init__",
               "self, initial_temperature=100, alpha=0.99, cutoff_temperature=0.001, iterations_per_t=10, "
               "size_limit=100, flag_evolution_history=False, verbose=False, rand_seed=None, process_num=1",
               [sampler](py::object self, py::object initial_temperature, py::object alpha,
                         py::object cutoff_temperature, py::object iterations_per_t, py::object size_limit,
                         py::object flag_evolution_history, py::object verbose, py::object rand_seed,
                         py::object process_num) {
                   init_sampler(sampler, self, initial_temperature, alpha, cutoff_temperature, iterations_per_t,
                                size_limit, flag_evolution_history, verbose, rand_seed, process_num);
               },
               "Store the annealing settings; rand_seed defaults to a draw in [0, 2**30) from numpy's\n"
               "process-wide generator.");
    def_method(sampler, "on_matrix_change", "self", &on_matrix_change,
               "Reset solution_pool to zeros of shape (size_limit, n), int64.");
    def_method(sampler, "_dlt_h_single_flip", "self, solution, idx", &delta_single_flip,
               "Energy change of flipping spin idx of solution: 4 * s[idx] * (s . J[idx, :]).");
    def_method(sampler, "single_process_solve", "self, ising_matrix=None, init_solution=None, rand_seed=None, "
               "size_limit=None", &single_process_solve,
               "Anneal size_limit runs in this process with a generator seeded from rand_seed (fresh\n"
               "entropy when None) and return their best configurations, each row ending in +1.\n\n"
               "Run 0 starts from init_solution (random spins when None); every later run from the\n"
               "configuration the previous run ended with. solution_pool keeps the rows unnormalised.");
    def_method(sampler, "get_ha_history", "self", [](py::object self) { return self.attr("ha_history"); },
               "Return the energy history map (seconds since the run started -> energy).");
    finish_class(sampler);

    def_function(m, "split_near_uniform", "m, n", &split_near_uniform,
                 "Split m into n near-equal integers: m mod n copies of m // n + 1, then m // n.\n\n"
                 "    >>> split_near_uniform(10, 4)\n    [3, 3, 2, 2]");
    def_function(m, "auto_temperature", "ising_mat", &auto_temperature,
                 "Propose (start, cut-off) temperatures for annealing ising_mat.\n\n"
                 "Start: the largest row sum of |J| divided by ln 2. Cut-off: the smallest non-zero |J|\n"
                 "divided by ln 100 (a 1 % largest single-spin excitation rate).\n\n"
                 "    >>> auto_temperature(np.array([[0, 2, -3], [2, 0, -1], [-3, -1, 0]]))\n"
                 "    (7.213475204444817, 0.21714724095162588)");
}
