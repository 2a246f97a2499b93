// Placeholder until this concern is built.
#include "sensewell.h"

namespace sensewell {

void init_completions(Methods &) {}

}  // namespace sensewell
