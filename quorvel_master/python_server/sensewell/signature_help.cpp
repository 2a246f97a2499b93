// Placeholder until this concern is built.
#include "sensewell.h"

namespace sensewell {

void init_signature_help(Methods &) {}

}  // namespace sensewell
