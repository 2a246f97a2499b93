// Placeholder until this concern is built.
#include "proxwire.h"

namespace proxwire {

void init_messaging(py::module_ &) {}

}  // namespace proxwire

namespace proxwire {
void send_detached(py::dict) {}
}  // namespace proxwire
