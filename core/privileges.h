// Privilege lowering before the first connection.
//
// The listener lowers the process once, after listen and before the slots
// are released: as root it switches to the unprivileged account (for every
// thread at once); in every case the calling thread gives up every
// capability, sets no-new-privileges and, where the kernel has Landlock,
// loses every file-system write right. Those last three bind one thread
// only, so every other server thread applies them itself when it is
// released, following what the listener decided.
#pragma once

namespace qm {

// Called once by the listener after listen and before the slots are
// released; true when every step held. A failed step prints one "!!" line
// and the server runs on with what it still holds.
bool lower_privileges();

// The per-thread part of the lowering, for a thread other than the one that
// ran lower_privileges: capabilities, no-new-privileges and, when the
// listener applied it, Landlock. Does nothing before lower_privileges ran
// (or when it was switched off). True when the thread is bound as the
// listener is.
bool apply_thread_restrictions();

// The in-process server of the tests keeps its rights, so that its test
// process can still write and remove its fixtures. On by default.
void set_privilege_lowering(bool enabled);

}  // namespace qm
