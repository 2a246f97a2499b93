// The embedded interpreter shared by the fuzz targets: starts Python once, loads the
// instrumented modules, and turns fuzzer bytes into Python values.
#pragma once

#include <pybind11/embed.h>

#include <cstddef>
#include <cstdint>

namespace py = pybind11;

namespace quorvel_fuzz {

// Starts the interpreter and imports the instrumented build of the module (its last dotted
// part names the shared object). Returns the module; exits the process if it cannot load.
py::module_ start(const char *full_name);

// The input decoded as UTF-8 text (lone surrogates kept), then as JSON; None if it is not.
py::object decode_json(const uint8_t *data, size_t size);
py::object decode_text(const uint8_t *data, size_t size);

// Any Python error that is not an Exception, or one of the kinds that mean the extension
// itself went wrong, is a finding: report it and abort so libFuzzer keeps the input.
void check(py::error_already_set &e);

// Holds the GIL for one input; the interpreter runs without it between inputs.
struct Gil {
  Gil() : state_(PyGILState_Ensure()) {}
  ~Gil() { PyGILState_Release(state_); }
  PyGILState_STATE state_;
};

}  // namespace quorvel_fuzz
