// Internal interface of the proxwire module: one init function per source file, the
// imports every file shares, and the helpers that build classes and raise Python errors.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>
#include <utility>

namespace py = pybind11;

namespace proxwire {

inline constexpr const char *MODULE_NAME = "quorvel_master.python_server.quorvel.proxwire";

// Imports looked up once at module initialisation; never freed, so no decref runs
// after the interpreter has gone.
struct State {
  py::module_ module;          // proxwire itself; its globals are looked up by name at each use
  py::object future_type;      // concurrent.futures.Future
  py::object uuid4;            // uuid.uuid4
  py::object cancelled_error;  // concurrent.futures.CancelledError
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
PyObject *fast_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames) noexcept {
  std::array<PyObject *, Fn::params.size()> bound{};
  try {
    bind_arguments(Fn::name, Fn::params.data(), Fn::params.size(), Fn::required, args, nargs,
                   kwnames, bound.data());
    return Fn::body(bound.data()).release().ptr();
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

// One per source file, called by module.cpp in the order the module globals are bound.
void init_serializer(py::module_ &m);
void init_messaging(py::module_ &m);
void init_proxy_functions(py::module_ &m);
void init_proxy(py::module_ &m);
void init_containers(py::module_ &m);
void init_transaction(py::module_ &m);
void init_root_proxies(py::module_ &m);

// Interned str that lives as long as the process, for attribute names and dict keys on hot paths.
PyObject *intern(const char *text);

// Sends a DEL request without waiting for, or ever reading, its answer (finalisation).
void send_detached(py::dict req);

}  // namespace proxwire
