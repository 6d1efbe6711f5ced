// Giving up rights through setgroups/setres[ug]id, capset, prctl and Landlock.
#include "os/privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "os/error.h"

// Rights of newer Landlock ABIs that older kernel headers do not name yet.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef PR_CAP_AMBIENT
#define PR_CAP_AMBIENT 47
#define PR_CAP_AMBIENT_CLEAR_ALL 4
#endif

namespace qm::os {

const char* const unprivileged_account = "nobody";

namespace {

constexpr uid_t fallback_id = 65534;

uint32_t fail(uint32_t error) {
  set_last_error(error);
  return error;
}

uint32_t fail_errno() { return fail(static_cast<uint32_t>(errno)); }

void account_ids(uid_t& uid, gid_t& gid) {
  uid = fallback_id;
  gid = fallback_id;
  if (const passwd* account = ::getpwnam(unprivileged_account)) {
    uid = account->pw_uid;
    gid = account->pw_gid;
  }
}

bool ids_are(uid_t uid, gid_t gid) {
  uid_t ru = 0, eu = 0, su = 0;
  gid_t rg = 0, eg = 0, sg = 0;
  if (::getresuid(&ru, &eu, &su) != 0 || ::getresgid(&rg, &eg, &sg) != 0) return false;
  return ru == uid && eu == uid && su == uid && rg == gid && eg == gid && sg == gid && ::getgroups(0, nullptr) == 0;
}

bool thread_has_setpcap() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(CAP_SETPCAP)].effective & CAP_TO_MASK(CAP_SETPCAP)) != 0;
}

// Every capability up to the last the kernel knows: PR_CAPBSET_READ fails
// with EINVAL past it.
uint32_t empty_bounding_set() {
  for (int cap = 0;; ++cap) {
    int held = ::prctl(PR_CAPBSET_READ, cap, 0, 0, 0);
    if (held < 0) return errno == EINVAL ? 0 : fail_errno();
    if (held == 1 && ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return fail_errno();
  }
}

uint32_t clear_ambient_set() {
  // A kernel without ambient capabilities (EINVAL) has nothing to clear.
  if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) return fail_errno();
  return 0;
}

uint32_t empty_thread_sets() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capset, &header, data) != 0) return fail_errno();
  return 0;
}

uint64_t write_rights(int abi) {
  uint64_t rights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
                    LANDLOCK_ACCESS_FS_MAKE_SYM;
  if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
  if (abi >= 5) rights |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
  return rights;
}

}  // namespace

bool running_as_root() { return ::geteuid() == 0; }

const char* effective_account(char* out, uint32_t room) {
  if (out == nullptr || room == 0) return "";
  uid_t uid = ::geteuid();
  passwd account{};
  passwd* found = nullptr;
  char strings[4096];
  // No entry, or one too large for the buffer: the number says it as well.
  if (::getpwuid_r(uid, &account, strings, sizeof strings, &found) == 0 && found != nullptr) {
    std::snprintf(out, room, "%s", found->pw_name);
  } else {
    std::snprintf(out, room, "%u", static_cast<unsigned>(uid));
  }
  return out;
}

uint32_t drop_to_account() {
  if (!running_as_root()) return 0;
  uid_t uid = 0;
  gid_t gid = 0;
  account_ids(uid, gid);
  // Groups first: once the user id is gone, so is the right to change them.
  if (::setgroups(0, nullptr) != 0) return fail_errno();
  if (::setresgid(gid, gid, gid) != 0) return fail_errno();
  if (::setresuid(uid, uid, uid) != 0) return fail_errno();
  if (!ids_are(uid, gid)) return fail(EPERM);
  return 0;
}

uint32_t drop_bounding_capabilities() {
  if (thread_has_setpcap()) {
    if (uint32_t error = empty_bounding_set()) return error;
  }
  return clear_ambient_set();
}

uint32_t drop_all_capabilities() {
  if (uint32_t error = drop_bounding_capabilities()) return error;
  return empty_thread_sets();
}

uint32_t set_no_new_privileges() {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return fail_errno();
  return 0;
}

int landlock_abi_version() {
  long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return abi < 0 ? 0 : static_cast<int>(abi);
}

landlock_result deny_file_writes() {
  int abi = landlock_abi_version();
  if (abi <= 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return landlock_result::not_available;
  }
  landlock_ruleset_attr attributes{};
  attributes.handled_access_fs = write_rights(abi);
  // No rule is added: every handled right is denied beneath every path.
  long ruleset = ::syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
  if (ruleset < 0) {
    fail_errno();
    return landlock_result::failed;
  }
  long restricted = ::syscall(SYS_landlock_restrict_self, ruleset, 0);
  uint32_t error = restricted == 0 ? 0 : static_cast<uint32_t>(errno);
  ::close(static_cast<int>(ruleset));
  if (error != 0) {
    fail(error);
    return landlock_result::failed;
  }
  return landlock_result::applied;
}

}  // namespace qm::os
