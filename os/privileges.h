// The kernel's means of giving up rights: account switch, capabilities,
// no-new-privileges and a Landlock rule set that denies file-system writes.
//
// The account switch (groups, group and user) is process-wide: glibc makes
// every thread take it. Capabilities, no-new-privileges and Landlock belong
// to the calling thread only, so every thread that should be bound calls
// them itself. Every call returns 0 or the system error (also stored as the
// thread's last error); none can be undone.
#pragma once
#include <cstdint>

namespace qm::os {

// The account the server runs as after the switch.
extern const char* const unprivileged_account;  // "nobody"

bool running_as_root();  // effective user id 0

// The name of the account the calling thread acts as (its effective user),
// or its number when the account has no name; NUL-terminated in out.
const char* effective_account(char* out, uint32_t room);

// As root: supplementary groups dropped, then group and user set to
// unprivileged_account (65534 when the account is unknown) in all three ids
// (real, effective, saved), verified afterwards. Not root: nothing to do, 0.
uint32_t drop_to_account();

// Empties the calling thread's bounding and ambient sets. Needs
// CAP_SETPCAP for the bounding set, so it comes before the account switch;
// a thread without that capability gets only its ambient set cleared.
uint32_t drop_bounding_capabilities();

// The calling thread ends with no capability in any set: bounding (where it
// may still drop it, see above), ambient, effective, permitted, inheritable.
uint32_t drop_all_capabilities();

// prctl(PR_SET_NO_NEW_PRIVS): no execve can raise the thread's rights again.
uint32_t set_no_new_privileges();

// The Landlock ABI version of the running kernel; 0 when it has none.
int landlock_abi_version();

enum class landlock_result { applied, not_available, failed };

// Binds the calling thread by a rule set that handles every write-type
// right the kernel knows and allows none of them: files cannot be written,
// truncated, created, linked, renamed or removed anywhere, while reading and
// traversal stay. Needs no-new-privileges set first (or CAP_SYS_ADMIN).
landlock_result deny_file_writes();

}  // namespace qm::os
