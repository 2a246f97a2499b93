// Internal interface of the sensewell module: one init function per source file, the
// method table LSPBridge is assembled from, the jedi lock, and the argument helpers.
#pragma once

#include <pybind11/pybind11.h>

#include <map>
#include <string>
#include <utility>

namespace py = pybind11;

namespace sensewell {

inline constexpr const char *MODULE_NAME = "quorvel_master.python_server.sensewell";

// Imports looked up once at module initialisation; never freed, so no decref runs
// after the interpreter has gone.
struct State {
  py::module_ module;  // sensewell itself; its globals are looked up by name at each use
};
State &state();

// Module globals (jedi, logger, os, ...) are looked up at each use so they can be replaced.
inline py::object global(const char *name) {
  return state().module.attr(name);
}

// Typed parameters: exact builtin str, dict and list; optional ones also take None.
void require_exact(py::handle value, PyTypeObject *type, const char *param);
void require_exact_or_none(py::handle value, PyTypeObject *type, const char *param);
// An int parameter: an exact int passes, any other number goes through int(), str is refused.
py::int_ to_int(py::handle value, const char *param);

[[noreturn]] void raise_error(PyObject *exc_type, const std::string &message);

// Serialises every use of jedi in the process (jedi is not thread-safe). Waiting for it
// releases the GIL, so the holder can finish.
class JediLock {
 public:
  JediLock();
  ~JediLock();
  JediLock(const JediLock &) = delete;
  JediLock &operator=(const JediLock &) = delete;
};

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

// LSPBridge's methods by name; module.cpp puts them into the class in its fixed order.
using Methods = std::map<std::string, py::object>;

// One per source file, each adding its methods; called by module.cpp.
void init_lifecycle(Methods &methods);
void init_hover(Methods &methods);
void init_completions(Methods &methods);
void init_signature_help(Methods &methods);
void init_diagnostics(Methods &methods);
void init_imports(Methods &methods);

}  // namespace sensewell
