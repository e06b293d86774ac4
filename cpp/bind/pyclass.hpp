#pragma once
// Binding helpers shared by every compiled module: "Python classes with C++
// methods". Classes are ordinary Python classes built at import time (so they
// can have Python bases, pickle by reference, be subclassed and be abstract);
// their methods are small Python forwarders with real signatures that call a
// C++ body. Also: array conversion, Ising-matrix validation, logging through
// the module logger, error chaining and Ctrl-C polling for long kernels.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "orvane/cancel.hpp"
#include "orvane/energy.hpp"

namespace orvane::bind {

namespace py = pybind11;

// ---------------------------------------------------------------- classes

// Create class `name` in module `m` the way a class statement would
// (bases resolved, namespace prepared by the metaclass) and bind it as a
// module attribute.
inline py::object make_class(py::module_ m, const char* name, py::tuple bases, const char* doc) {
    py::module_ types = py::module_::import("types");
    py::object resolved = types.attr("resolve_bases")(bases);
    py::tuple prep = types.attr("prepare_class")(name, resolved);
    py::object meta = prep[0];
    py::object ns = prep[1];
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    if (!resolved.is(bases)) ns["__orig_bases__"] = bases;
    py::object cls = meta(name, resolved, ns);
    m.attr(name) = cls;
    return cls;
}

namespace detail {

// Split a parameter list at top-level commas.
inline std::vector<std::string> split_params(const std::string& params) {
    std::vector<std::string> out;
    std::string cur;
    int depth = 0;
    char quote = 0;
    for (char c : params) {
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(cur);
            cur.clear();
            continue;
        }
        cur += c;
    }
    if (cur.find_first_not_of(" \t\n") != std::string::npos) out.push_back(cur);
    return out;
}

// The argument list that passes every parameter on, one value per parameter
// (*args as one tuple, **kwargs as one dict, a bare * skipped): a C++ body
// takes py::tuple / py::dict for them, not py::args / py::kwargs.
inline std::string call_args(const std::string& params) {
    std::string args;
    for (std::string p : split_params(params)) {
        auto eq = p.find('=');
        if (eq != std::string::npos) p = p.substr(0, eq);
        auto colon = p.find(':');
        if (colon != std::string::npos) p = p.substr(0, colon);
        auto b = p.find_first_not_of(" \t\n*");
        auto e = p.find_last_not_of(" \t\n");
        if (b == std::string::npos) continue;  // bare '*'
        if (!args.empty()) args += ", ";
        args += p.substr(b, e - b + 1);
    }
    return args;
}

}  // namespace detail

// A Python function `qualname`(params) whose body is `return impl(<params>)`.
// `params` is Python parameter syntax; defaults are evaluated in module `m`'s
// namespace, so they may name module constants. The function carries m's
// module name, so it pickles by reference and can be decorated.
inline py::object forwarder(py::module_ m, const std::string& qualname, const std::string& params,
                            py::object impl, const char* doc, bool abstract = false) {
    std::string name = qualname.substr(qualname.rfind('.') + 1);
    std::string body = abstract ? "raise NotImplementedError" : "return __impl(" + detail::call_args(params) + ")";
    std::string src = "def __make(__impl):\n    def " + name + "(" + params + "):\n        " + body +
                      "\n    return " + name + "\n";
    py::dict g;
    g.attr("update")(m.attr("__dict__"));
    py::module_ builtins = py::module_::import("builtins");
    builtins.attr("exec")(builtins.attr("compile")(src, "<" + std::string(py::str(m.attr("__name__"))) + ">", "exec"),
                          g);
    py::object f = g["__make"](impl);
    f.attr("__qualname__") = qualname;
    f.attr("__module__") = m.attr("__name__");
    f.attr("__doc__") = doc;
    return f;
}

// Attach a method with a C++ body. `params` starts with self.
template <class F>
py::object def_method(py::object cls, const char* name, const std::string& params, F&& body, const char* doc) {
    py::module_ m = py::module_::import(py::str(cls.attr("__module__")).cast<std::string>().c_str());
    std::string qual = py::str(cls.attr("__qualname__")).cast<std::string>() + "." + name;
    py::object f = forwarder(m, qual, params, py::cpp_function(std::forward<F>(body)), doc);
    py::setattr(cls, name, f);
    return f;
}

// Declare an abstract method; call finish_class(cls) after the last one.
inline void def_abstract(py::object cls, const char* name, const std::string& params, const char* doc) {
    py::module_ m = py::module_::import(py::str(cls.attr("__module__")).cast<std::string>().c_str());
    std::string qual = py::str(cls.attr("__qualname__")).cast<std::string>() + "." + name;
    py::object f = forwarder(m, qual, params, py::none(), doc, true);
    py::setattr(cls, name, py::module_::import("abc").attr("abstractmethod")(f));
}

inline void finish_class(py::object cls) { py::module_::import("abc").attr("update_abstractmethods")(cls); }

// Attach a property with a C++ getter.
template <class F>
void def_property(py::object cls, const char* name, F&& getter, const char* doc) {
    py::object builtins = py::module_::import("builtins");
    py::object g = def_method(cls, name, "self", std::forward<F>(getter), doc);
    py::setattr(cls, name, builtins.attr("property")(g, py::none(), py::none(), doc));
}

// A module-level function with a C++ body.
template <class F>
py::object def_function(py::module_ m, const char* name, const std::string& params, F&& body, const char* doc) {
    py::object f = forwarder(m, name, params, py::cpp_function(std::forward<F>(body)), doc);
    m.attr(name) = f;
    return f;
}

// super(cls, self).<name>, for calling a base implementation.
inline py::object super_attr(py::handle cls, py::handle self, const char* name) {
    return py::module_::import("builtins").attr("super")(cls, self).attr(name);
}

// ---------------------------------------------------------------- errors

// Raise `type`(msg) with the exception being handled as its cause.
[[noreturn]] inline void raise_from(py::error_already_set& cause, PyObject* type, const std::string& msg) {
    py::raise_from(cause, type, msg.c_str());
    throw py::error_already_set();
}

// ---------------------------------------------------------------- logging

// The module's `logger` attribute, looked up at call time.
template <class... A>
void log(const char* module, const char* level, const char* fmt, A&&... args) {
    py::object logger = py::module_::import(module).attr("logger");
    logger.attr(level)(fmt, std::forward<A>(args)...);
}

// ---------------------------------------------------------------- arrays

inline py::module_ numpy() { return py::module_::import("numpy"); }

inline std::string shape_text(const py::array& a) {
    return py::str(py::object(a.attr("shape"))).cast<std::string>();
}

// numpy.asarray(obj) (no copy when already an array), refusing non-numeric
// input (strings, objects, ragged lists) with a clear TypeError, numpy's own
// error chained as the cause.
inline py::array numeric_asarray(py::handle obj, const std::string& what) {
    py::array raw;
    try {
        raw = numpy().attr("asarray")(obj);
    } catch (py::error_already_set& e) {
        raise_from(e, PyExc_TypeError, what + " must be a numeric array");
    }
    char kind = raw.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f')
        throw py::type_error(what + " must be a numeric array, got dtype " +
                             py::str(py::object(raw.dtype())).cast<std::string>());
    return raw;
}

// Convert to a C-contiguous array of T (see numeric_asarray for refusals).
template <class T>
py::array_t<T, py::array::c_style> as_array(py::handle obj, const std::string& what) {
    py::object np = numpy();
    py::array raw = numeric_asarray(obj, what);
    try {
        return np.attr("ascontiguousarray")(raw, py::dtype::of<T>());
    } catch (py::error_already_set& e) {
        raise_from(e, PyExc_ValueError, what + " cannot be converted to " +
                                            py::str(py::object(py::dtype::of<T>())).cast<std::string>());
    }
}

// A validated Ising matrix: square, non-empty, finite; float64 contents.
struct IsingMatrix {
    py::array_t<double, py::array::c_style> array;
    std::int64_t n = 0;
    bool integer_dtype = false;   // given as an integer (or bool) array
    bool integer_valued = false;  // every entry is a whole number
    const double* data() const { return array.data(); }
};

inline IsingMatrix as_ising_matrix(py::handle obj, const std::string& what = "ising_matrix") {
    if (obj.is_none()) throw py::value_error(what + " must be given");
    py::object np = numpy();
    IsingMatrix m;
    m.array = as_array<double>(obj, what);
    py::array raw = np.attr("asarray")(obj);
    char kind = raw.dtype().kind();
    m.integer_dtype = kind == 'i' || kind == 'u' || kind == 'b';
    if (m.array.ndim() != 2 || m.array.shape(0) != m.array.shape(1))
        throw py::value_error(what + " must be a square 2-D array, got shape " + shape_text(m.array));
    m.n = m.array.shape(0);
    if (m.n == 0) throw py::value_error(what + " must not be empty");
    std::size_t count = static_cast<std::size_t>(m.n) * static_cast<std::size_t>(m.n);
    if (!orvane::all_finite(m.array.data(), count)) throw py::value_error(what + " must not contain NaN or infinity");
    m.integer_valued = m.integer_dtype || orvane::all_integral(m.array.data(), count);
    return m;
}

// A new C-contiguous int64 array of the given shape.
inline py::array_t<std::int64_t> new_int_array(std::int64_t rows, std::int64_t cols) {
    return py::array_t<std::int64_t>({rows, cols});
}

// ---------------------------------------------------------------- Ctrl-C

// Polls for pending signals (Ctrl-C) about every 100 ms from a kernel that runs
// without the GIL on the calling thread. A raised KeyboardInterrupt is kept
// aside; after the kernel returns (GIL held again) check() re-raises it.
// Subclasses that hold a Python-level lock during the kernel release it around
// the signal handlers with before_signals/after_signals.
class SignalCancel : public orvane::Cancel {
public:
    virtual ~SignalCancel() = default;
    bool poll() override {
        if (error_) return true;
        auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(100)) return false;
        last_ = now;
        py::gil_scoped_acquire gil;
        before_signals();
        if (PyErr_CheckSignals() != 0) error_.emplace();
        after_signals();
        return error_.has_value();
    }
    void check() {
        if (error_) {
            py::error_already_set e = std::move(*error_);
            error_.reset();
            throw e;
        }
    }

protected:
    virtual void before_signals() {}
    virtual void after_signals() {}

private:
    std::optional<py::error_already_set> error_;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace orvane::bind
