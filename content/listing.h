// Directory listings.
#pragma once
#include <cstdint>

#include "os/time.h"

namespace qm {

struct Z_TASK;

// Streams the listing of the folder in the slot's Z_PATH (which ends in '/');
// the caller holds the configuration gate. True when the last send succeeded.
bool send_listing(Z_TASK& task);

// "YYYY-MM-DD / HH:MM" and a NUL; 18, or 0 with room below 19.
uint64_t format_list_date(const os::z_tm& time, char* out, uint64_t room);

}  // namespace qm
