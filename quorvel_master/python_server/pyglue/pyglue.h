// The helpers both extension modules are built from, compiled into each: class building with
// type(), fast-call functions and their argument binding, typed-parameter checks, errors, exit.
#pragma once

#include <cxxabi.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

// UBSan takes the catch parameter of a forced unwind (a foreign exception object) for a null
// reference; the parameter is never used, so its checks are off in the functions catching it.
#define CATCHES_FORCED_UNWIND __attribute__((no_sanitize_undefined))

namespace py = pybind11;

namespace pyglue {

// Defined by each module that compiles these helpers in, so the two share nothing: its dotted
// name, the __module__ of what is made here, and the module object, once initialised.
const char *home_name();
py::handle home_module();

// The module's definition, for its PyInit function: multi-phase initialisation that `populate`
// fills, refused with ImportError `again` when the module is initialised a second time.
PyObject *module_init(const char *name, const char *doc, void (*populate)(py::module_ &),
                      const char *again);

// A new reference from the C API as an owner; NULL means the Python error is set.
inline py::object steal(PyObject *p) {
  if (p == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(p);
}

// ---- Errors -------------------------------------------------------------------------------

[[noreturn]] void raise_error(PyObject *exc_type, const std::string &message);

// The exception being handled, as the pending Python error.
void set_error_from_current_exception();

// ---- Threads stopped at exit ----------------------------------------------------------------

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

// ---- Typed parameters ---------------------------------------------------------------------

// Only an exact instance of `type` passes; a subclass is refused with a note saying so.
void require_exact(py::handle value, PyTypeObject *type, const char *param);
void require_exact_or_none(py::handle value, PyTypeObject *type, const char *param);
// An int parameter: an exact int passes, any other number goes through int(), str is refused.
py::int_ to_int(py::handle value, const char *param);

// ---- Fast-call functions ------------------------------------------------------------------

// Raw entry points for the functions called once per request: pybind11's generic dispatcher
// would cost more than the rest of a round trip.
using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// A module-level function, or one that binds as a method in a class namespace (the instance
// arrives as the first argument), built straight on a METH_FASTCALL | METH_KEYWORDS
// PyMethodDef that lives as long as the process.
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
// gets borrowed references, nullptr for an optional parameter not given. The first
// `positional_only` parameters are given by position only (before a "/"). Python's own
// TypeError texts for a wrong count, an unknown keyword or a duplicate.
void bind_args(const char *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               std::initializer_list<const char *> params, size_t required, PyObject **out,
               size_t positional_only = 0);

// For def f(self, /, *args, **kwargs): the positional rest as a tuple, the keywords as a dict,
// where a keyword named "self" is one more keyword.
struct VarArgs {
  PyObject *self;
  py::tuple args;
  py::dict kwargs;
};
VarArgs bind_var_args(const char *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// ---- Classes ------------------------------------------------------------------------------

// A pybind11 function that binds like a Python method when stored in a class namespace, for
// the methods whose arguments pybind11 may convert.
template <typename F, typename... Extra>
py::object method(const char *name, F &&f, const char *doc, const Extra &...extra) {
  py::cpp_function fn(std::forward<F>(f), py::name(name), py::doc(doc), py::scope(home_module()),
                      extra...);
  if (std::string_view(name) == "__init__") {
    // pybind11 takes any "__init__" for a constructor of its own classes, which would refuse
    // our plain instances as self.
    auto record = py::reinterpret_borrow<py::capsule>(PyCFunction_GET_SELF(fn.ptr()));
    record.get_pointer<py::detail::function_record>()->is_constructor = false;
  }
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

}  // namespace pyglue
