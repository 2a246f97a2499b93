// Placeholder until this concern is built.
#include "proxwire.h"

namespace proxwire {

void init_transaction(py::module_ &) {}

}  // namespace proxwire
