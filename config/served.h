// What the server serves, said at start and after every reload.
#pragma once

namespace qm {

// Prints one "::" line naming the root, then one for each virtual directory
// (its name and the folder it serves), each followed by a "!!" line when the
// calling thread cannot list and enter that folder. Call it from a thread
// that has lowered its rights as the serving threads have (the listener
// after the lowering, or the reload thread): the check then answers for the
// account that serves the files. Reads vdirs: the caller is the thread that
// replaces them, or runs while no other thread does.
void report_served_folders();

}  // namespace qm
