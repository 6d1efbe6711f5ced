// Privilege lowering before the first connection.
#pragma once

namespace qm {

// Called once by the listener after listen and before the slots are
// released; true when the process gave up its rights.
bool lower_privileges();

}  // namespace qm
