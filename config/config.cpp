// The configuration file and the settings it controls.
#include "config/config.h"

namespace qm {

z_effective_switches effective;

}  // namespace qm
