// orvane.preprocess._splitprec: precision adaption by splitting, and the
// mapping of solutions between a split matrix and the matrix it came from.
#include <cmath>
#include <string>

#include "pyclass.hpp"
#include "orvane/split.hpp"

namespace py = pybind11;
using namespace orvane::bind;

namespace {

constexpr const char* kModule = "orvane.preprocess._splitprec";
constexpr double kMaxParamBit = 1024;  // 2^(param_bit - 1) stays a finite double

using Matrix = py::array_t<double, py::array::c_style>;
using Index = py::array_t<std::int64_t, py::array::c_style>;

// ---------------------------------------------------------------- argument helpers

[[noreturn]] void raise_orvane(const std::string& msg) {
    py::object cls = py::module_::import("orvane.core").attr("OrvaneError");
    PyErr_SetObject(cls.ptr(), py::str(msg).ptr());
    throw py::error_already_set();
}

double as_real(py::handle obj, const char* what) {
    double v;
    try {
        v = py::float_(py::reinterpret_borrow<py::object>(obj)).cast<double>();
    } catch (py::error_already_set& e) {
        raise_from(e, PyExc_TypeError, std::string(what) + " must be a real number");
    }
    return v;
}

// 2^(param_bit - 1) - 1: the largest magnitude param_bit signed bits hold.
double thresh_of(py::handle param_bit) {
    const double bits = as_real(param_bit, "param_bit");
    if (!(bits > 1 && bits <= kMaxParamBit)) throw py::value_error("param_bit must be greater than 1");
    return std::pow(2.0, bits - 1) - 1;
}

double positive_increment(py::handle obj, const char* what) {
    const double v = as_real(obj, what);
    if (!(std::isfinite(v) && v > 0)) throw py::value_error(std::string(what) + " must be a positive finite number");
    return v;
}

// A one-dimensional integer index array.
Index as_index(py::handle obj, const char* what) {
    py::array raw = numpy().attr("asarray")(obj);
    const char kind = raw.dtype().kind();
    if (kind != 'i' && kind != 'u') throw py::type_error(std::string(what) + " must be an integer array");
    if (raw.ndim() != 1) throw py::value_error(std::string(what) + " must be one-dimensional");
    return as_array<std::int64_t>(raw, what);
}

Matrix new_matrix(std::int64_t rows, std::int64_t cols, const char* how = "empty") {
    return numpy().attr(how)(py::make_tuple(rows, cols), py::arg("dtype") = "float64");
}

// (M + M^T) / 2 as float64; integer input is summed exactly first.
Matrix symmetric_of(const IsingMatrix& m, py::handle original) {
    Matrix out = new_matrix(m.n, m.n);
    if (m.integer_dtype) {
        auto ints = as_array<std::int64_t>(original, "ising_matrix");
        orvane::symmetric_part(ints.data(), m.n, out.mutable_data());
    } else {
        orvane::symmetric_part(m.data(), m.n, out.mutable_data());
    }
    return out;
}

// The default increment: the smallest gap between distinct values of M.
double default_increment(const Matrix& M, std::int64_t n) {
    double gap;
    {
        py::gil_scoped_release nogil;
        gap = orvane::smallest_gap(M.data(), n);
    }
    if (gap < 0) {
        // A single distinct value: no gap to take the minimum of; let numpy
        // report the empty reduction as it would for the plain computation.
        py::object np = numpy();
        np.attr("diff")(np.attr("unique")(M)).attr("min")();
    }
    return gap;
}

// Splitting sizes beyond what can be indexed: a clear ValueError.
template <class F>
auto guarded(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const orvane::SplitTooLarge& e) {
        throw py::value_error(std::string("cannot split to this precision: ") + e.what());
    }
}

// ---------------------------------------------------------------- split counts and rounding

constexpr const char* kSplitNumDoc = R"(Number of copies of each variable needed to fit the precision.

ising_matrix is a normalised magnitude matrix (n x n, non-negative): an entry
of at most 1 fits. Greedily takes the largest entry of the comparison matrix
(the square root of an entry while both of its variables are unsplit, the
entry itself once either is split; the first in row-major order on ties) and
splits its unsplit variables: by ceil(sqrt(v)) when both are unsplit, else by
ceil(v). Stops when every entry divided by the counts of its two variables is
at most 1. Returns the counts as an int64 array of length var_num.)";

py::object get_split_num(py::object ising_matrix, py::object var_num) {
    IsingMatrix m = as_ising_matrix(ising_matrix);
    const std::int64_t count = py::int_(py::module_::import("operator").attr("index")(var_num)).cast<std::int64_t>();
    if (count != m.n) throw py::value_error("var_num must equal the size of ising_matrix");
    const std::size_t nn = static_cast<std::size_t>(m.n) * static_cast<std::size_t>(m.n);
    for (std::size_t e = 0; e < nn; ++e)
        if (m.data()[e] < 0) throw py::value_error("ising_matrix must be non-negative");
    std::vector<std::int64_t> counts;
    SignalCancel cancel;
    guarded([&] {
        py::gil_scoped_release nogil;
        counts = orvane::split_counts(m.data(), m.n, cancel);
    });
    cancel.check();
    Index out(m.n);
    std::copy(counts.begin(), counts.end(), out.mutable_data());
    return out;
}

constexpr const char* kIntDoc = R"(Make the shared-out pieces whole multiples of the increment.

ising_ret is the N x N split matrix, ising_mat the n x n matrix its blocks came
from, minimum the increment, num_split the copies per variable and tail the
index of each variable's last copy. Every piece is rounded up to whole
increments (a value within 1e-8 above a whole number counts as that number);
the excess of each block (i, j), i <= j, over the rounded-up magnitude of its
source is then taken back from the block's first entries in row-major order
(mirrored to (j, i)); what a block cannot absorb is dropped. Returns the
signed result in increment units (float64, N x N).)";

py::object get_int_ising_matrix(py::object ising_ret, py::object ising_mat, py::object minimum,
                                py::object num_split, py::object tail) {
    IsingMatrix ret = as_ising_matrix(ising_ret, "ising_ret");
    IsingMatrix mat = as_ising_matrix(ising_mat, "ising_mat");
    const double increment = positive_increment(minimum, "minimum");
    Index counts = as_index(num_split, "num_split");
    Index last = as_index(tail, "tail");
    const std::int64_t n = mat.n, N = ret.n;
    if (counts.size() != n || last.size() != n)
        throw py::value_error("num_split and tail must have one entry per variable of ising_mat");
    for (std::int64_t i = 0; i < n; ++i) {
        if (counts.data()[i] < 1) throw py::value_error("num_split entries must be at least 1");
        if (last.data()[i] < -1 || last.data()[i] >= N) throw py::index_error("tail index out of range");
    }
    Matrix out = new_matrix(N, N);
    {
        py::gil_scoped_release nogil;
        orvane::int_pieces(ret.data(), mat.data(), increment, counts.data(), last.data(), n, N, out.mutable_data());
    }
    return out;
}

// ---------------------------------------------------------------- variable splitting

constexpr const char* kVarDoc = R"(Split variables so that every coupling fits param_bit signed bits.

Works on the symmetric part (M + M^T) / 2 of ising_matrix. Each variable i
becomes num_split[i] copies (contiguous indices, in variable order); a
coupling J between i and j is shared equally over the couplings between their
copies, and the copies of one variable are coupled to each other by penalty,
which makes them agree in low-energy solutions (energy -(s^T M s)). The
pieces are made whole multiples of min_increment while every coupling keeps
its total; with round_to_increment the one compensating piece per block is
rounded too (halves to even).

min_increment defaults to the smallest difference between distinct entries
of the symmetric matrix (the diagonal included), penalty to
min_increment * (2^(param_bit-1) - 1).

Returns (split matrix, last_var_idx): the N x N float64 matrix with a zero
diagonal, in the units of the input, and the int64 index of the last copy of
each input variable.

Example::

    >>> mat = np.array([[0, 18, -12], [18, 0, 1], [-12, 1, 0]])
    >>> split, last = perform_splitprec_var(mat, param_bit=5, min_increment=1, penalty=4)
    >>> last
    array([1, 3, 4])
)";

py::object perform_splitprec_var(py::object ising_matrix, py::object param_bit, py::object min_increment,
                                 py::object penalty, py::object round_to_increment) {
    IsingMatrix m = as_ising_matrix(ising_matrix);
    const double thresh = thresh_of(param_bit);
    const std::int64_t n = m.n;
    const std::size_t nn = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
    Matrix M = symmetric_of(m, ising_matrix);
    const double increment = min_increment.is_none() ? default_increment(M, n)
                                                     : positive_increment(min_increment, "min_increment");
    const double pen = penalty.is_none() ? thresh * increment : as_real(penalty, "penalty");
    if (!std::isfinite(pen)) throw py::value_error("penalty must be finite");
    const bool round = PyObject_IsTrue(round_to_increment.ptr()) == 1;

    SignalCancel cancel;
    std::vector<std::int64_t> counts, last;
    guarded([&] {
        py::gil_scoped_release nogil;
        std::vector<double> norm(nn);
        const double* src = M.data();
        for (std::size_t e = 0; e < nn; ++e) norm[e] = std::fabs(src[e]) / thresh / increment;
        counts = orvane::split_counts(norm.data(), n, cancel);
        if (!counts.empty()) last = orvane::last_copy_index(counts);
    });
    cancel.check();
    const std::int64_t N = last.back() + 1;

    // The copy couplings replace the input's diagonal (on our own copy).
    double* md = M.mutable_data();
    for (std::int64_t i = 0; i < n; ++i) md[i * n + i] = pen * static_cast<double>(counts[i] * counts[i]);
    Matrix out = new_matrix(N, N);
    {
        py::gil_scoped_release nogil;
        orvane::var_split_fill(M.data(), n, counts.data(), increment, round, out.mutable_data(), N, cancel);
    }
    cancel.check();
    Index tail(n);
    std::copy(last.begin(), last.end(), tail.mutable_data());
    return py::make_tuple(out, tail);
}

// ---------------------------------------------------------------- item splitting and method choice

constexpr const char* kItemDoc = R"(Split couplings over auxiliary variables so that each fits param_bit bits.

Works on the symmetric part M of ising_matrix. A coupling M[i, j] (i <= j)
whose magnitude exceeds min_increment * (2^(param_bit-1) - 1) is shared into
k = ceil(|M[i, j]| / thresh / min_increment) pieces: one stays on (i, j), and
each other piece gets a new auxiliary variable a with M[a, i] = M[i, j] / k
and M[a, j] = |M[i, j]| / k. With its best value, every auxiliary spin
restores the energy gap of the pair. Auxiliary variables follow the n input
variables, pair by pair (i ascending, then j ascending from i). With
round_to_increment every entry is rounded to a whole multiple of
min_increment (halves to even).

Returns (split matrix, the indices 0 .. n-1 as int64).)";

py::object perform_splitprec_item(py::object ising_matrix, py::object param_bit, py::object min_increment,
                                  py::object round_to_increment) {
    IsingMatrix m = as_ising_matrix(ising_matrix);
    const double thresh = thresh_of(param_bit);
    const std::int64_t n = m.n;
    Matrix M = symmetric_of(m, ising_matrix);
    const double increment = min_increment.is_none() ? default_increment(M, n)
                                                     : positive_increment(min_increment, "min_increment");
    const bool round = PyObject_IsTrue(round_to_increment.ptr()) == 1;
    std::int64_t N = 0;
    guarded([&] {
        py::gil_scoped_release nogil;
        N = orvane::item_split_size(M.data(), n, thresh, increment);
    });
    Matrix out = new_matrix(N, N, "zeros");  // mostly zeros: untouched pages stay unallocated
    SignalCancel cancel;
    {
        py::gil_scoped_release nogil;
        orvane::item_split_fill(M.data(), n, thresh, increment, round, out.mutable_data(), N, cancel);
    }
    cancel.check();
    Index indices(n);
    for (std::int64_t i = 0; i < n; ++i) indices.mutable_data()[i] = i;
    return py::make_tuple(out, indices);
}

constexpr const char* kSplitDoc = R"(Split ising_matrix so that its coefficients fit param_bit signed bits.

method "var" (the default) copies variables (perform_splitprec_var, which
uses penalty); "item" carries large couplings on auxiliary variables
(perform_splitprec_item, penalty ignored). Returns (split matrix, index
array) for restore_split_solution.)";

py::object perform_splitprec(py::object ising_matrix, py::object param_bit, py::object min_increment,
                             py::object penalty, py::object round_to_increment, py::object method) {
    py::module_ self = py::module_::import(kModule);
    if (method.equal(py::str("item")))
        return self.attr("perform_splitprec_item")(ising_matrix, param_bit, min_increment, round_to_increment);
    if (!method.equal(py::str("var"))) throw py::value_error("method must be either 'var' or 'item'");
    return self.attr("perform_splitprec_var")(ising_matrix, param_bit, min_increment, penalty, round_to_increment);
}

// ---------------------------------------------------------------- solution mapping

constexpr const char* kRestoreDoc = R"(Map a solution of a split matrix back to the input variables.

split_indices is the index array returned by splitting. For variable
splitting, solution is one spin vector of the split matrix; all copies of each
variable must agree (else OrvaneError naming the variable, from 1), and the
value of each variable's last copy is returned. For item splitting (the
input variables come first), the leading n entries along the last axis are
returned, for one solution or a 2-D array of solutions, without checks.)";

py::object restore_split_solution(py::object solution, py::object split_indices) {
    py::array sol = numpy().attr("asarray")(solution);
    if (sol.ndim() == 0) throw py::value_error("solution must be a spin vector");
    Index idx = as_index(split_indices, "split_indices");
    const std::int64_t n = idx.size();
    if (n == 0) throw py::value_error("split_indices must not be empty");
    const std::int64_t N = sol.shape(sol.ndim() - 1);
    const std::int64_t* last = idx.data();
    if (last[n - 1] != N - 1) {
        // Auxiliary variables follow the input variables: keep the first n.
        py::object cut = sol[py::make_tuple(py::ellipsis(), py::slice(0, n, 1))];
        return cut.attr("copy")();
    }
    if (sol.ndim() != 1) throw py::value_error("solution must be one spin vector (1-D) for a variable split");
    for (std::int64_t i = 0; i < n; ++i)
        if (last[i] < 0 || last[i] >= N) throw py::index_error("split_indices out of range");
    const char kind = sol.dtype().kind();
    std::int64_t conflict;
    if (kind == 'f') {
        auto v = as_array<double>(sol, "solution");
        conflict = orvane::copy_conflict(v.data(), last, n);
    } else {
        auto v = as_array<std::int64_t>(sol, "solution");
        conflict = orvane::copy_conflict(v.data(), last, n);
    }
    if (conflict == 1) raise_orvane("constraint for expression narrowing is not satisfied. The 1st variable is in conflict");
    if (conflict > 1)
        raise_orvane("constraint for expression narrowing is not satisfied. The " + std::to_string(conflict) +
                     "th variable is in conflict");
    return sol[idx];
}

constexpr const char* kConstructDoc = R"(Map a solution of the input variables to the split variables.

Every copy of variable i (positions last_var_idx[i-1] + 1 .. last_var_idx[i],
from 0 for the first variable) takes solution[i]. Returns a float64 vector of
length last_var_idx[-1] + 1. Raises OrvaneError when the two shapes differ.)";

py::object construct_split_solution(py::object solution, py::object last_var_idx) {
    if (last_var_idx.is_none()) throw py::type_error("last_var_idx is required");
    py::object np = numpy();
    py::array sol = np.attr("asarray")(solution);
    py::array raw_idx = np.attr("asarray")(last_var_idx);
    if (!py::tuple(sol.attr("shape")).equal(py::tuple(raw_idx.attr("shape"))))
        raise_orvane("unmatched shape for solution and last_var_idx");
    Index idx = as_index(raw_idx, "last_var_idx");
    const std::int64_t n = idx.size();
    if (n == 0) throw py::value_error("last_var_idx must not be empty");
    auto values = as_array<double>(sol, "solution");
    const std::int64_t* last = idx.data();
    const std::int64_t N = last[n - 1] + 1;
    if (N < 0) throw py::value_error("last_var_idx must end in a non-negative index");
    py::array_t<double> out(N);
    double* o = out.mutable_data();
    std::fill(o, o + N, 0.0);
    auto assign = [&](std::int64_t from, std::int64_t to, double v) {  // positions from..to, clipped
        for (std::int64_t p = std::max<std::int64_t>(from, 0); p <= std::min(to, N - 1); ++p) o[p] = v;
    };
    for (std::int64_t i = 1; i < n; ++i) assign(last[i - 1] + 1, last[i], values.data()[i]);
    assign(0, last[0], values.data()[0]);
    return out;
}

}  // namespace

PYBIND11_MODULE(_splitprec, m) {
    m.doc() = "Precision adaption by splitting variables or couplings, and solution mapping.";
    py::module_::import("orvane.core");
    py::object track_data = py::module_::import("orvane.usage._usagehook").attr("track_data");

    def_function(m, "get_split_num", "ising_matrix, var_num", &get_split_num, kSplitNumDoc);
    def_function(m, "_get_int_ising_matrix", "ising_ret, ising_mat, minimum, num_split, tail", &get_int_ising_matrix,
                 kIntDoc);
    m.attr("perform_splitprec_var") = track_data()(def_function(
        m, "perform_splitprec_var",
        "ising_matrix, param_bit=8, min_increment=None, penalty=None, round_to_increment=True",
        &perform_splitprec_var, kVarDoc));
    def_function(m, "perform_splitprec_item", "ising_matrix, param_bit=8, min_increment=None, round_to_increment=True",
                 &perform_splitprec_item, kItemDoc);
    def_function(m, "perform_splitprec",
                 "ising_matrix, param_bit=8, min_increment=None, penalty=None, round_to_increment=True, method='var'",
                 &perform_splitprec, kSplitDoc);
    m.attr("restore_split_solution") = track_data()(
        def_function(m, "restore_split_solution", "solution, split_indices", &restore_split_solution, kRestoreDoc));
    m.attr("construct_split_solution") = track_data()(def_function(
        m, "construct_split_solution", "solution, last_var_idx=None", &construct_split_solution, kConstructDoc));
}
