// Placeholder until this concern is built.
#include "sensewell.h"

namespace sensewell {

void init_lifecycle(Methods &) {}

}  // namespace sensewell
