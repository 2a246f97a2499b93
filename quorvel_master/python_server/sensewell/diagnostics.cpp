// Placeholder until this concern is built.
#include "sensewell.h"

namespace sensewell {

void init_diagnostics(Methods &) {}

}  // namespace sensewell
