// Placeholder until this concern is built.
#include "proxwire.h"

namespace proxwire {

void init_proxy_functions(py::module_ &) {}

}  // namespace proxwire
