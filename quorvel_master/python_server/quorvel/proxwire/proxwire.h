// Internal interface of the proxwire module: one init function per source file, the
// imports every file shares, and the helpers that build classes and raise Python errors.
#pragma once

#include <cxxabi.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

// UBSan takes the catch parameter of a forced unwind (a foreign exception object) for a null
// reference; the parameter is never used, so its checks are off in the functions catching it.
#define CATCHES_FORCED_UNWIND __attribute__((no_sanitize_undefined))

namespace py = pybind11;

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

// The typed-parameter check: only an exact instance of `type` passes.
void require_exact(py::handle value, PyTypeObject *type, const char *param);

[[noreturn]] void raise_error(PyObject *exc_type, const std::string &message);

// A C++ function that binds like a Python method when stored in a class namespace.
template <typename F, typename... Extra>
py::object method(const char *name, F &&f, const char *doc, const Extra &...extra) {
  py::cpp_function fn(std::forward<F>(f), py::name(name), py::doc(doc), py::scope(state().module),
                      extra...);
  // pybind11 treats any "__init__" as the constructor of one of its own classes; ours is a
  // plain method of a plain class.
  auto cap = py::reinterpret_borrow<py::capsule>(PyCFunction_GET_SELF(fn.ptr()));
  cap.get_pointer<py::detail::function_record>()->is_constructor = false;
  PyObject *bound = PyInstanceMethod_New(fn.ptr());
  if (bound == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(bound);
}

// A module-level function reporting this module as its __module__.
template <typename F, typename... Extra>
py::cpp_function function(const char *name, F &&f, const char *doc, const Extra &...extra) {
  return py::cpp_function(std::forward<F>(f), py::name(name), py::doc(doc),
                          py::scope(state().module), extra...);
}

// Once the interpreter is finalising, a daemon thread that reaches for the GIL is ended with a
// forced unwind (abi::__forced_unwind). Nothing may be released on that unwind, since the GIL
// is gone, so the thread sleeps until the process ends instead, keeping whatever it holds.
[[noreturn]] void park_forever() noexcept;

// Makes one call into Python where a thread may sit when the process exits. `call` uses the
// raw C API only, with no C++ owner created inside it, and a forced unwind parks the thread.
template <typename F>
CATCHES_FORCED_UNWIND decltype(auto) park_on_exit(F &&call) {
  // While this thread handles another exception a forced unwind cannot be caught: it goes on
  // to the first frame outside that handler, so such calls are kept out of catch blocks.
  if (std::current_exception()) return call();
  try {
    return call();
  } catch (abi::__forced_unwind &) {
    park_forever();
  }
}

// Fast-call functions, for the per-request paths where pybind11's dispatcher costs more than
// the work. `Fn` names the function and its parameters and supplies the body:
//   struct Fn {
//     static constexpr const char *name = "send_request_sync";
//     static constexpr std::array<const char *, 3> params{"self", "req", "timeout"};
//     static constexpr std::size_t required = 2;  // the leading parameters without default
//     static py::object body(PyObject *const *args);  // borrowed; nullptr where omitted
//   };
// The arguments bind by position and keyword as a def's do; the body may throw as any C++
// code here does. `doc` must outlive the module (a literal or a static string).
void bind_arguments(const char *func, const char *const *params, std::size_t count,
                    std::size_t required, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **out);
void set_error_from_current_exception();

template <typename Fn>
CATCHES_FORCED_UNWIND PyObject *fast_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                           PyObject *kwnames) noexcept {
  std::array<PyObject *, Fn::params.size()> bound{};
  try {
    bind_arguments(Fn::name, Fn::params.data(), Fn::params.size(), Fn::required, args, nargs,
                   kwnames, bound.data());
    return Fn::body(bound.data()).release().ptr();
  } catch (abi::__forced_unwind &) {
    park_forever();  // rethrown, it would end the process here: this function is noexcept
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

py::object make_fast_function(PyMethodDef *def);

// A fast-call module-level function reporting this module as its __module__.
template <typename Fn>
py::object fast_function(const char *doc) {
  static PyMethodDef def = {
      Fn::name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_entry<Fn>)),
      METH_FASTCALL | METH_KEYWORDS, doc};
  return make_fast_function(&def);
}

// A fast-call function that binds like a Python method when stored in a class namespace;
// the instance arrives as the first parameter.
template <typename Fn>
py::object fast_method(const char *doc) {
  py::object fn = fast_function<Fn>(doc);
  PyObject *bound = PyInstanceMethod_New(fn.ptr());
  if (bound == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(bound);
}

// Builds a class the way a class statement does: namespace first, then type(name, bases, ns).
class ClassBuilder {
 public:
  ClassBuilder(const char *name, const char *doc);
  ClassBuilder &add(const char *name, py::object member);
  py::object build(py::tuple bases);

 private:
  std::string name_;
  py::dict ns_;
};

// Raw entry points for the functions called once per request (proxy dunders, _cw__*):
// pybind11's generic dispatcher would cost more than the rest of a round trip.
using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// A module-level function, or one that binds as a method in a class namespace, built
// straight on a METH_FASTCALL | METH_KEYWORDS PyMethodDef that lives as long as the process.
py::object fast_function(const char *name, FastFunction fn, const char *doc);
py::object fast_method(const char *name, FastFunction fn, const char *doc);

// Runs the body of a raw entry point: a thrown Python error becomes the NULL return. A body
// may also return a raw new reference (NULL with the error set).
template <typename F>
CATCHES_FORCED_UNWIND PyObject *entry(F &&body) noexcept {
  try {
    if constexpr (std::is_same_v<decltype(body()), PyObject *>) {
      return body();
    } else {
      return body().release().ptr();
    }
  } catch (abi::__forced_unwind &) {
    park_forever();  // rethrown, it would end the process here: this function is noexcept
  } catch (...) {
    set_error_from_current_exception();
  }
  return nullptr;
}

// Binds positional and keyword arguments to `params` the way a def statement does; `out`
// gets borrowed references, nullptr for an optional parameter not given. Python's own
// TypeError texts for a wrong count, an unknown keyword or a duplicate.
void bind_args(const char *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               std::initializer_list<const char *> params, size_t required, PyObject **out);

// For def f(self, *args, **kwargs): the positional rest as a tuple, the keywords as a dict.
struct VarArgs {
  PyObject *self;
  py::tuple args;
  py::dict kwargs;
};
VarArgs bind_var_args(const char *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

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

// Sends a DEL request without waiting for, or ever reading, its answer (finalisation).
void send_detached(py::dict req);

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
