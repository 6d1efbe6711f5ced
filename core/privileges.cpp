// Privilege lowering before the first connection.
//
// Not in place yet: the process keeps the rights it was started with, and
// says so.
#include "core/privileges.h"

namespace qm {

bool lower_privileges() { return false; }

}  // namespace qm
