// Static file transmission: index files, variants, ranges, conditional
// requests, the read queue for large files, and the favicon fallback.
#pragma once
#include <cstdint>

namespace qm {

struct Z_TASK;

// Answers a GET or HEAD whose path was resolved into the slot's Z_PATH; true
// when the whole answer was handed to the send thread.
bool send_file(Z_TASK& task);

}  // namespace qm
