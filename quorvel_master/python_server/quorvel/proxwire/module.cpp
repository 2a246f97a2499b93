// Module initialisation of proxwire: multi-phase init, the imports, and the globals in
// the order user code and the kernel expect to find them.
#include "proxwire.h"

namespace proxwire {
namespace {

const char *const MODULE_DOC =
    "\n"
    "Quorvel - Synchronous COM-like bridge between Python and Excel Office.js.\n"
    "\n"
    "This module provides a synchronous proxy to Office.js objects, allowing\n"
    "Python code to interact with Excel through a COM-like interface.\n"
    "\n"
    "Classes:\n"
    "- Serializer: Handles marshaling of data types between Python and JavaScript\n"
    "- Messaging: Handles message passing with synchronous send/wait (no WebSocket server)\n"
    "- OfficeJsObject: Dynamic proxy for Office.js objects\n"
    "- OfficeJsArray: Specialized proxy for arrays\n"
    "- OfficeJsDict: Specialized proxy for dictionaries\n"
    "\n"
    "Globals:\n"
    "- Excel: Root proxy object (ID 1)\n"
    "- Context: Context proxy object (ID 0)\n";

void populate(py::module_ &m) {
  State &s = state();
  s.module = m;

  m.attr("base64") = py::module_::import("base64");
  py::module_ futures = py::module_::import("concurrent.futures");
  m.attr("concurrent") = py::module_::import("concurrent");
  m.attr("dt") = py::module_::import("datetime");
  m.attr("threading") = py::module_::import("threading");
  py::module_ uuid = py::module_::import("uuid");
  m.attr("uuid") = uuid;
  m.attr("pd") = py::module_::import("pandas");
  m.attr("np") = py::module_::import("numpy");
  py::module_ typing = py::module_::import("typing");
  m.attr("Any") = typing.attr("Any");
  m.attr("Dict") = typing.attr("Dict");

  s.future_type = futures.attr("Future");
  s.cancelled_error = futures.attr("CancelledError");
  s.uuid_module = uuid;
  s.uuid4 = uuid.attr("uuid4");

  py::object np = m.attr("np"), pd = m.attr("pd"), dt = m.attr("dt");
  s.np_bool = np.attr("bool_");
  s.np_integer = np.attr("integer");
  s.np_floating = np.attr("floating");
  s.np_datetime64 = np.attr("datetime64");
  s.np_timedelta64 = np.attr("timedelta64");
  s.np_dtype = np.attr("dtype");
  s.pd_timestamp = pd.attr("Timestamp");
  s.pd_series = pd.attr("Series");
  s.pd_dataframe = pd.attr("DataFrame");
  s.pd_nat = pd.attr("NaT");
  s.pd_isna = pd.attr("isna");
  s.pd_out_of_bounds = pd.attr("errors").attr("OutOfBoundsDatetime");
  s.dt_datetime = dt.attr("datetime");
  s.dt_date = dt.attr("date");
  s.fromisoformat = s.dt_datetime.attr("fromisoformat");
  s.b64decode = m.attr("base64").attr("b64decode");

  init_serializer(m);
  init_messaging(m);
  init_proxy_functions(m);
  init_proxy(m);
  init_containers(m);
  init_transaction(m);
  // The context object exists before any proxy, since every proxy records its identity.
  m.attr("messaging") = m.attr("Messaging")();
  init_root_proxies(m);
}

}  // namespace

State &state() {
  static State *s = new State();
  return *s;
}

}  // namespace proxwire

// What the shared helpers compiled into this module know of it.
const char *pyglue::home_name() {
  return proxwire::MODULE_NAME;
}
py::handle pyglue::home_module() {
  return proxwire::state().module;
}

extern "C" PYBIND11_EXPORT PyObject *PyInit_proxwire() {
  // Every class and the messaging state are process-wide; a second copy would split them.
  return pyglue::module_init("proxwire", proxwire::MODULE_DOC, &proxwire::populate,
                             "proxwire is already initialised in this process and cannot be "
                             "loaded again (no re-import and no subinterpreter); keep using the "
                             "first module");
}
