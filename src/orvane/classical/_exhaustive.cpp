// orvane.classical._exhaustive: BruteForceOptimizer, the exact solver.
#include "pyclass.hpp"
#include "orvane/exhaustive.hpp"

namespace py = pybind11;
using namespace orvane::bind;

namespace {

constexpr const char* kClassDoc = R"(Exhaustive Ising solver: slow but exact.

Enumerates every spin configuration and returns all configurations of lowest
energy H(s) = -(s^T J s) (full matrix, no factor 1/2), every row normalised to
end in +1. Since H(s) = H(-s) each optimum appears twice.

Example::

    >>> J = np.array([[0, 2, -3], [2, 0, -1], [-3, -1, 0]])
    >>> BruteForceOptimizer().solve(J)
    array([[-1, -1,  1],
           [-1, -1,  1]])
)";

constexpr int kMaxSpins = 62;

py::object solve_exhaustive(py::object /*self*/, py::object ising_matrix) {
    IsingMatrix m = as_ising_matrix(ising_matrix);
    if (m.n > kMaxSpins)
        throw py::value_error("ising_matrix has " + std::to_string(m.n) + " spins; exhaustive search enumerates 2^n "
                              "configurations and supports at most " + std::to_string(kMaxSpins));
    const int n = static_cast<int>(m.n);
    py::array_t<std::int64_t, py::array::c_style> exact_int;
    const std::int64_t* jint = nullptr;
    if (m.integer_dtype) {
        exact_int = as_array<std::int64_t>(ising_matrix, "ising_matrix");
        jint = exact_int.data();
    }
    std::vector<std::uint64_t> minima;
    SignalCancel cancel;
    {
        py::gil_scoped_release nogil;
        minima = orvane::exhaustive_minima(m.data(), jint, n, cancel);
    }
    cancel.check();

    auto out = new_int_array(static_cast<std::int64_t>(minima.size()), n);
    std::int64_t* p = out.mutable_data();
    for (std::uint64_t i : minima) {
        // Rows end in +1: negate when the last spin (bit n-1) is -1.
        const bool flip = !((i >> (n - 1)) & 1);
        for (int j = 0; j < n; ++j) *p++ = (((i >> j) & 1) != flip) ? 1 : -1;
    }
    return out;
}

}  // namespace

PYBIND11_MODULE(_exhaustive, m) {
    m.doc() = "Exhaustive Ising solver.";
    py::module_ core = py::module_::import("orvane.core");
    py::object cls = make_class(m, "BruteForceOptimizer",
                                py::make_tuple(core.attr("IsingSolver"), core.attr("QuboSolver")), kClassDoc);
    def_method(cls, "__init__", "self",
               [cls](py::object self) { super_attr(cls, self, "__init__")(); },
               "Create the solver; it has no settings.");
    def_method(cls, "_solve", "self, ising_matrix=None", &solve_exhaustive,
               "Return every lowest-energy spin vector of ising_matrix as rows of an int64 array.\n\n"
               "Rows come in the order of the configuration index (spin j is bit j, spin 0\n"
               "changes fastest), each negated if needed so that it ends in +1.");
    finish_class(cls);
}
