// orvane.preprocess._precreduce: PrecisionReducer, a solver that truncates,
// splits, solves with a component solver of limited precision and restores.
#include <cmath>
#include <string>

#include "pyclass.hpp"

namespace py = pybind11;
using namespace orvane::bind;

namespace {

constexpr const char* kModule = "orvane.preprocess._precreduce";

constexpr const char* kClassDoc = R"(Solve with a solver of limited coefficient precision.

The matrix is first truncated to whole numbers of truncated_precision bits,
then split by variable splitting until every coefficient fits `precision`
bits; the component solves the split matrix and every returned spin vector is
mapped back to the input variables (rows whose copies disagree are mapped by
each variable's last copy, or dropped with only_feasible_solution).

With target_bits (the largest number of variables the split matrix may have)
a split that is too large is retried from a coarser truncation, midway
between precision and truncated_precision when they differ by more than 4,
and finally replaced by the input truncated straight to `precision` bits,
which the component solves unsplit.

Example::

    >>> reducer = PrecisionReducer(BruteForceOptimizer(), precision=4)
    >>> reducer.solve(-np.array([[0, 1.23, 1], [1.23, 0, 1], [1, 1, 0]]))
)";

constexpr const char* kSizeError =
    "The original matrix size cannot be larger than the matrix size after reducing the precision";

[[noreturn]] void raise_orvane(const std::string& msg) {
    py::object cls = py::module_::import("orvane.core").attr("OrvaneError");
    PyErr_SetObject(cls.ptr(), py::str(msg).ptr());
    throw py::error_already_set();
}

bool is_true(py::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// Python's a > b / a >= b, for settings that may be any number type.
bool greater(py::handle a, py::handle b, bool or_equal = false) {
    return is_true(py::module_::import("operator").attr(or_equal ? "ge" : "gt")(a, b));
}

// Whole numbers, halves to even, as int64.
py::object to_int_matrix(py::object matrix) {
    py::object np = numpy();
    py::object rounded = np.attr("round")(np.attr("asarray")(matrix, py::arg("dtype") = "float64"));
    if (!is_true(np.attr("all")(np.attr("abs")(rounded).attr("__lt__")(9.2233720368547758e18))))
        throw py::value_error("the truncated matrix does not fit 64-bit integers; lower truncated_precision");
    return rounded.attr("astype")("int64");
}

// (split matrix, last copy index) of the integer matrix at `precision` bits.
py::tuple split(py::object mat_int, py::object precision) {
    return py::module_::import("orvane.preprocess._splitprec").attr("perform_splitprec")(mat_int, precision);
}

void init(py::object cls, py::object self, py::object component, py::object precision, py::object target_bits,
          py::object only_feasible_solution, py::object truncated_precision) {
    super_attr(cls, self, "__init__")();
    self.attr("_component") = component;
    self.attr("precision") = precision;
    self.attr("target_bits") = target_bits;
    self.attr("only_feasible_solution") = only_feasible_solution;
    self.attr("truncated_precision") = truncated_precision;
}

py::object solve_reduced(py::object self, py::object ising_matrix) {
    if (ising_matrix.is_none()) ising_matrix = self.attr("matrix");
    if (ising_matrix.is_none()) throw py::value_error("ising_matrix is required");
    py::object component = self.attr("_component");
    py::object precision = self.attr("precision");
    py::object target_bits = self.attr("target_bits");
    const bool only_feasible = is_true(self.attr("only_feasible_solution"));
    py::object truncated_precision = self.attr("truncated_precision");

    IsingMatrix m = as_ising_matrix(ising_matrix);
    py::object n = py::int_(m.n);
    if (!target_bits.is_none() && greater(n, target_bits, true)) throw py::value_error(kSizeError);

    py::module_ prec = py::module_::import("orvane.preprocess._precision");
    py::object np = numpy();
    py::object ans = prec.attr("calculate_ising_matrix_bit_width")(ising_matrix, truncated_precision);
    log(kModule, "debug", "Matrix size: %s, Matrix initial precision: %s", m.array.attr("shape"), ans["precision"]);

    // First truncation: exact scaling by the multiplier when there is one.
    py::object multiplier = ans["multiplier"];
    py::object mat_int;
    if (py::cast<double>(py::float_(multiplier)) != HUGE_VAL)
        mat_int = np.attr("multiply")(np.attr("asarray")(ising_matrix), multiplier);
    else
        mat_int = prec.attr("adjust_ising_matrix_precision")(ising_matrix, truncated_precision);
    py::tuple parts = split(to_int_matrix(mat_int), precision);
    py::object splitted_ret = parts[0], last_idx = parts[1];
    bool restore = true;

    auto too_large = [&] {
        return !target_bits.is_none() && greater(py::tuple(splitted_ret.attr("shape"))[0], target_bits);
    };
    if (too_large()) {
        py::object op = py::module_::import("operator");
        py::object diff = op.attr("sub")(truncated_precision, precision);
        if (greater(diff, py::int_(4))) {
            py::object mid = op.attr("floordiv")(op.attr("add")(precision, truncated_precision), 2);
            parts = split(to_int_matrix(prec.attr("adjust_ising_matrix_precision")(ising_matrix, mid)), precision);
            splitted_ret = parts[0], last_idx = parts[1];
        }
        if (too_large()) {
            splitted_ret = prec.attr("adjust_ising_matrix_precision")(ising_matrix, precision);
            restore = false;
        }
    }

    ans = prec.attr("calculate_ising_matrix_bit_width")(splitted_ret, truncated_precision);
    log(kModule, "debug", "Matrix size after reducing precision: %s, precision: %s",
        py::tuple(splitted_ret.attr("shape"))[0], ans["precision"]);

    py::object solutions = component.attr("solve")(splitted_ret);
    if (solutions.is_none() || !restore) return solutions;

    py::object restore_split_solution =
        py::module_::import("orvane.preprocess._splitprec").attr("restore_split_solution");
    py::object orvane_error = py::module_::import("orvane.core").attr("OrvaneError");
    py::list kept;
    for (py::handle row : solutions) {
        py::object solution;
        try {
            solution = restore_split_solution(row, last_idx);
        } catch (py::error_already_set& e) {
            if (!e.matches(orvane_error)) throw;
            if (only_feasible) continue;  // copies disagree: drop the row
            solution = np.attr("asarray")(row)[last_idx];
        }
        kept.append(solution);
    }
    if (kept.empty()) {
        if (only_feasible) raise_orvane("No feasible solution found");
        // The component returned no rows: no rows over the input variables.
        py::object dtype = py::hasattr(solutions, "dtype") ? solutions.attr("dtype") : py::object(py::str("int64"));
        return np.attr("empty")(py::make_tuple(0, m.n), py::arg("dtype") = dtype);
    }
    return np.attr("stack")(kept);
}

}  // namespace

PYBIND11_MODULE(_precreduce, m) {
    m.doc() = "PrecisionReducer: solve through truncation, splitting and restoring.";
    m.attr("logger") = py::module_::import("logging").attr("getLogger")(kModule);
    py::module_ core = py::module_::import("orvane.core");
    py::module_::import("orvane.preprocess._splitprec");
    py::module_::import("orvane.preprocess._precision");

    py::object cls = make_class(m, "PrecisionReducer",
                                py::make_tuple(core.attr("IsingSolver"), core.attr("QuboSolver")), kClassDoc);
    def_method(cls, "__init__",
               "self, component, precision=8, target_bits=None, only_feasible_solution=False, truncated_precision=20",
               [cls](py::object self, py::object component, py::object precision, py::object target_bits,
                     py::object only_feasible_solution, py::object truncated_precision) {
                   init(cls, self, component, precision, target_bits, only_feasible_solution, truncated_precision);
               },
               "Wrap `component` (an Ising solver; only its solve(matrix) is used).\n\n"
               "precision: bits per coefficient of the reduced matrix. target_bits: largest\n"
               "number of variables the reduced matrix may have (None: no limit).\n"
               "only_feasible_solution: drop spin vectors whose copies disagree.\n"
               "truncated_precision: bits of the first truncation.");
    def_method(cls, "_solve", "self, ising_matrix=None", &solve_reduced,
               "Reduce ising_matrix (or the matrix set), solve it with the component and return\n"
               "the spin vectors over the input variables, one per row (int64 for the\n"
               "solvers of this package). Returns the component's result unchanged when it is\n"
               "None or when the fallback sent the matrix unsplit.");
    finish_class(cls);
}
