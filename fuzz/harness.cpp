// The embedded interpreter shared by the fuzz targets: the instrumented modules are loaded
// under their full dotted names from the fuzz build, everything else from the source tree.
#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace quorvel_fuzz {

py::module_ start(const char *full_name) {
  PyPreConfig preconfig;
  PyPreConfig_InitPythonConfig(&preconfig);
  // Every object its own allocation, so the address sanitizer sees overruns of Python objects.
  preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
  PyStatus status = Py_PreInitialize(&preconfig);
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);
  py::initialize_interpreter();

  const char *dir = std::getenv("QUORVEL_FUZZ_MODULES");
  if (dir == nullptr) {
    std::fprintf(stderr, "fuzz: QUORVEL_FUZZ_MODULES must name the fuzz build directory\n");
    std::exit(2);
  }
  std::string name = full_name;
  std::string path = std::string(dir) + "/" + name.substr(name.rfind('.') + 1) + ".so";
  try {
    py::module_ util = py::module_::import("importlib.util");
    py::module_::import(name.substr(0, name.rfind('.')).c_str());  // the parent packages
    py::object spec = util.attr("spec_from_file_location")(name, path);
    py::object module = util.attr("module_from_spec")(spec);
    py::module_::import("sys").attr("modules")[name.c_str()] = module;
    spec.attr("loader").attr("exec_module")(module);
    return module.cast<py::module_>();
  } catch (py::error_already_set &e) {
    std::fprintf(stderr, "fuzz: cannot load %s from %s: %s\n", full_name, path.c_str(), e.what());
    std::exit(2);
  }
}

py::object decode_text(const uint8_t *data, size_t size) {
  PyObject *text = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(data),
                                        static_cast<Py_ssize_t>(size), "surrogatepass");
  if (text == nullptr) {
    PyErr_Clear();
    return py::none();
  }
  return py::reinterpret_steal<py::object>(text);
}

py::object decode_json(const uint8_t *data, size_t size) {
  py::object text = decode_text(data, size);
  if (text.is_none()) return text;
  static py::object *loads = new py::object(py::module_::import("json").attr("loads"));
  try {
    return (*loads)(text);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) check(e);
    return py::none();
  }
}

void check(py::error_already_set &e) {
  // SystemError means a C function returned without, or with a stray, error: always a bug.
  if (e.matches(PyExc_Exception) && !e.matches(PyExc_SystemError)) return;
  std::fprintf(stderr, "fuzz: finding: %s\n", e.what());
  std::abort();
}

}  // namespace quorvel_fuzz
