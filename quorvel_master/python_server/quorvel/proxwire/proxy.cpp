// Placeholder until this concern is built.
#include "proxwire.h"

namespace proxwire {

void init_proxy(py::module_ &) {}

}  // namespace proxwire

namespace proxwire {
void init_root_proxies(py::module_ &) {}
}  // namespace proxwire
