// orvane.usage._usagepost: sends one usage event to the developer platform.
// Posting never fails towards its caller: every failure is swallowed.
#include "pyclass.hpp"

namespace py = pybind11;
using namespace orvane::bind;

namespace {

constexpr const char* kEventPath = "/zorn/sdk-data/";
constexpr double kConnectTimeout = 10.0;
constexpr double kReadTimeout = 10.0;

void post_event(py::object uid, py::object alg_name, py::object task_status, py::object error_info) {
    py::module_ self = py::module_::import("orvane.usage._usagepost");
    py::tuple identity = py::module_::import("orvane.account").attr("get_identity")();
    py::object record = identity[0];
    py::object sdk_code = identity[1];
    if (record.contains("is_statistics") && !py::bool_(record["is_statistics"])) return;

    py::dict event;  // member order is part of the event layout
    event["user_id"] = record.attr("get")("user_id");
    event["sdk_code"] = sdk_code;
    event["task_id"] = py::str(uid);
    event["alg_name"] = alg_name;
    event["task_status"] = task_status.attr("value");
    event["bit_count"] = record.attr("get")("bit_count");
    event["error_info"] = error_info;
    py::object body = py::module_::import("json").attr("dumps")(event).attr("encode")("utf-8");

    py::dict headers;
    headers["Content-Type"] = "application/json";
    py::module_::import("requests").attr("post")(self.attr("SDK_DATA_URL"), py::arg("data") = body,
                                                 py::arg("headers") = headers,
                                                 py::arg("timeout") = py::make_tuple(kConnectTimeout, kReadTimeout));
}

}  // namespace

PYBIND11_MODULE(_usagepost, m) {
    m.doc() = "Usage events: post_sdk_data sends one event and never raises.";
    py::module_ enum_mod = py::module_::import("enum");
    py::list members;
    members.append(py::make_tuple("START_CALL", 1));
    members.append(py::make_tuple("END_CALL", 2));
    members.append(py::make_tuple("EXCEPTION_CALL", 3));
    py::object task_status = enum_mod.attr("Enum")("TaskStatus", members, py::arg("module") = m.attr("__name__"),
                                                    py::arg("qualname") = "TaskStatus");
    task_status.attr("__doc__") = "Stage of a tracked call: started, returned, or raised.";
    m.attr("TaskStatus") = task_status;

    py::object settings = py::module_::import("orvane.settings");
    m.attr("SDK_DATA_URL") =
        py::module_::import("urllib.parse").attr("urljoin")(settings.attr("ZORN_URL"), kEventPath);

    def_function(m, "post_sdk_data", "uid, alg_name, task_status=TaskStatus.START_CALL, error_info=''",
                 [](py::object uid, py::object alg_name, py::object task_status, py::object error_info) {
                     try {
                         post_event(uid, alg_name, task_status, error_info);
                     } catch (py::error_already_set&) {
                         // Usage tracking must never change the caller's outcome.
                     } catch (...) {
                     }
                 },
                 "Post one usage event to SDK_DATA_URL as JSON.\n\n"
                 "Skipped when the account's identity record switches statistics off\n"
                 "(\"is_statistics\" falsy). Never raises; the response is not examined.");
}
