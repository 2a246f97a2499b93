// Internal interface of the proxwire module: one init function per source file, the
// imports every file shares, and the names it takes from the shared helper library.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "pyglue/pyglue.h"

namespace proxwire {

inline constexpr const char *MODULE_NAME = "quorvel_master.python_server.quorvel.proxwire";

// Imports looked up once at module initialisation; never freed, so no decref runs
// after the interpreter has gone.
struct State {
  py::module_ module;          // proxwire itself; its globals are looked up by name at each use
  py::object future_type;      // concurrent.futures.Future
  py::object uuid_module;      // uuid
  py::object uuid4;            // uuid.uuid4
  py::object cancelled_error;  // concurrent.futures.CancelledError
  // Types and conversions of the wire serializer.
  py::object np_bool, np_integer, np_floating, np_datetime64, np_timedelta64, np_dtype;
  py::object pd_timestamp, pd_series, pd_dataframe, pd_nat, pd_isna, pd_out_of_bounds;
  py::object dt_datetime, dt_date, fromisoformat, b64decode;
  // Raised for the add-in's refusal of a GET, GETITEM or SET: an AttributeError, so that
  // hasattr() and getattr() with a default answer, and a RuntimeError, as every remote error.
  py::object remote_attribute_error;
};
State &state();

// Module globals looked up at each use, as Python code would.
inline py::object global(const char *name) {
  return state().module.attr(name);
}

// The helpers both modules share, under the names the code here uses.
using pyglue::bind_args;
using pyglue::bind_var_args;
using pyglue::ClassBuilder;
using pyglue::entry;
using pyglue::fast_function;
using pyglue::fast_method;
using pyglue::FastFunction;
using pyglue::park_forever;
using pyglue::park_on_exit;
using pyglue::raise_error;
using pyglue::require_exact;
using pyglue::steal;
using pyglue::VarArgs;

// A module global read the way Python code reads it: at each use, NameError when absent.
// `name` is an interned str that lives as long as the process.
py::object global(PyObject *name);

// Interned names the proxies use on every request; filled by init_proxy_functions.
struct ProxyNames {
  PyObject *internal_id, *internal_type_name, *msg_guid, *typ, *internal_cache;
  PyObject *guid, *messaging, *send_request_sync;
  PyObject *internal_names, *context;
  PyObject *cw_getattr, *cw_getitem, *cw_setattr, *cw_call, *cw_del;
};
const ProxyNames &proxy_names();

// Sets the five internal attributes of a proxy, bypassing its own __setattr__.
void init_internal(PyObject *self, PyObject *object_id, PyObject *type_name, PyObject *typ,
                   bool with_cache);

// Calls the module function `name` with the arguments given and, when it raises an
// Exception, drops the proxy's own leading traceback entries: the one body of every
// delegating dunder.
PyObject *delegate(PyObject *name, PyObject *const *args, size_t nargsf, PyObject *kwnames);

// __getattr__, __call__ and __del__ of every proxy class that delegates them unchanged.
PyObject *proxy_getattr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *proxy_call(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *proxy_del(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// The pending exception, with leading entries named in _internal_officejs_names removed,
// no cause and its context suppressed; KeyboardInterrupt and SystemExit left alone.
void clean_traceback();

// One per source file, called by module.cpp in the order the module globals are bound.
void init_serializer(py::module_ &m);
void init_messaging(py::module_ &m);
void init_proxy_functions(py::module_ &m);
void init_proxy(py::module_ &m);
void init_containers(py::module_ &m);
void init_transaction(py::module_ &m);
void init_root_proxies(py::module_ &m);

// Serializer.to_wire(value) and Serializer.from_wire(wire) as module code makes them: through
// the class attribute, converted in C++ while that attribute is still the module's own.
py::object to_wire(py::handle value);
py::object from_wire(py::handle wire);
// cls(object_id) for an "Array" or "Dict" answer, made in place while `cls` is the module's
// own class with its own constructor; `*in_place` tells which.
py::object new_array(PyObject *cls, PyObject *object_id, bool *in_place);
py::object new_dict(PyObject *cls, PyObject *object_id, bool *in_place);
// Whether `container.extend` or `container.update` of an instance made in place, whose
// instance dict holds only its five attributes, is at this moment list's or dict's own.
bool base_fill(PyObject *container);
// Interned str that lives as long as the process, for attribute names and dict keys on hot paths.
PyObject *intern(const char *text);

// Records the DEL request of a finalised proxy; the module's release sender hands it to the
// send handler soon after, in order. Never calls out, so a finaliser may call it anywhere.
void record_release(py::dict req);

// Whether the interpreter's exit has stopped this thread: it is finalising and this thread no
// longer holds the GIL, which only a forced unwind out of the GIL's acquisition leaves so.
inline bool stopped_at_exit() noexcept {
  return _Py_IsFinalizing() && PyGILState_GetThisThreadState() != _PyThreadState_UncheckedGet();
}

// An owned reference for frames that call into Python while they hold others (the conversion
// loops). When the interpreter's exit stops the thread inside such a call, the forced unwind
// runs this destructor without the GIL: the thread parks here, keeping what it holds.
class Owned : public py::object {
 public:
  Owned() = default;
  Owned(py::object &&o) noexcept : py::object(std::move(o)) {}  // NOLINT: implicit by design
  Owned(const Owned &) = default;
  Owned(Owned &&) noexcept = default;
  Owned &operator=(const Owned &) = default;
  Owned &operator=(Owned &&) noexcept = default;
  ~Owned() {
    if (ptr() != nullptr && stopped_at_exit()) park_forever();
  }
};

}  // namespace proxwire
