// orvane.usage._usagehook: the track_data decorator. Off by default: the
// decorator then returns the function itself.
#include "pyclass.hpp"

namespace py = pybind11;
using namespace orvane::bind;

namespace {

// module-name.Class.method or module-name.function, from func's metadata.
py::str derive_name(py::handle func) {
    std::string module = py::str(func.attr("__module__"));
    module = module.substr(module.rfind('.') + 1);
    py::list parts = py::str(func.attr("__qualname__")).attr("split")(".");
    std::size_t count = parts.size();
    if (count >= 2)
        return py::str(module + "." + std::string(py::str(parts[count - 2])) + "." +
                       std::string(py::str(parts[count - 1])));
    return py::str(module + "." + std::string(py::str(parts[0])));
}

// Post on a plain (non-daemon) thread, started and never joined.
void post_in_background(py::handle uid, py::handle name, const char* stage, py::handle error_info) {
    py::module_ post = py::module_::import("orvane.usage._usagepost");
    py::object status = post.attr("TaskStatus").attr(stage);
    py::object thread = py::module_::import("threading")
                            .attr("Thread")(py::arg("target") = post.attr("post_sdk_data"),
                                            py::arg("args") = py::make_tuple(uid, name, status, error_info));
    thread.attr("start")();
}

py::object call_tracked(py::object func, py::object alg_name, py::tuple args, py::dict kwargs) {
    py::object name = py::bool_(alg_name) ? alg_name : py::object(derive_name(func));
    py::object uid = py::module_::import("uuid").attr("uuid1")();
    post_in_background(uid, name, "START_CALL", py::str(""));
    py::object result;
    try {
        result = func(*args, **kwargs);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_Exception)) post_in_background(uid, name, "EXCEPTION_CALL", py::str(e.value()));
        throw;
    }
    post_in_background(uid, name, "END_CALL", py::str(""));
    return result;
}

}  // namespace

PYBIND11_MODULE(_usagehook, m) {
    m.doc() = "The track_data decorator for usage tracking.";
    py::module_::import("orvane.usage._usagepost");

    def_function(
        m, "track_data", "alg_name=None, enabled=False",
        [m](py::object alg_name, py::object enabled) -> py::object {
            return forwarder(
                m, "track_data.<locals>.decorator", "func",
                py::cpp_function([m, alg_name, enabled](py::object func) -> py::object {
                    if (!py::bool_(enabled)) return func;
                    py::object wrapper = forwarder(
                        m, "track_data.<locals>.wrapper", "*args, **kwargs",
                        py::cpp_function([func, alg_name](py::tuple args, py::dict kwargs) {
                            return call_tracked(func, alg_name, args, kwargs);
                        }),
                        nullptr);
                    return py::module_::import("functools").attr("wraps")(func)(wrapper);
                }),
                "Wrap func to post start/end/exception usage events (or return func when tracking is off).");
        },
        "Decorator factory for usage tracking.\n\n"
        "With enabled falsy (the default) the decorator returns the function itself.\n"
        "Otherwise each call posts a start event, then an end or exception event, each\n"
        "from a background thread; the algorithm name is alg_name, or derived from the\n"
        "function as module.Class.method / module.function.");
}
