// Placeholder until this concern is built.
#include "proxwire.h"

namespace proxwire {

void init_containers(py::module_ &) {}

}  // namespace proxwire
