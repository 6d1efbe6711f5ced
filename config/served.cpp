// What the server serves, said at start and after every reload.
//
// Whether a folder can be served is asked of the kernel (access with the
// thread's own rights) rather than worked out from its mode and owner
// against the serving account's ids: only the kernel's answer covers the
// folders above it, ACLs, and whatever the lowering did or could not do.
// That is why the check runs on a thread that has lowered its rights.
#include "config/served.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/lists.h"
#include "os/error.h"
#include "os/file.h"
#include "os/output.h"
#include "os/privileges.h"

namespace qm {

namespace {

// A longer path names no folder the server can open (the system's path
// limit), so a line that shows it cut hides nothing that could be served.
constexpr uint32_t shown_room = 4096;

// label is "root" or "virtual /<name> ->"; error, when not 0, stands for
// the check (which is then not made).
void report_folder(const char* label, const char16_t* folder, uint32_t error, const char* account) {
  char path[shown_room];
  os::u16_arg(folder, path, sizeof path);
  os::out(":: %s %s\n", label, path);
  if (error == 0) error = os::folder_readable(folder);
  if (error == 0) return;
  char text[256];
  os::out("!! %s %s is not a readable folder for %s: %s\n", label, path, account,
          os::error_text(error, text, sizeof text));
}

// The folder a virtual directory serves, as path resolution builds it: a
// relative path comes after the root and a '/'. Heap (free()); null when
// memory is short.
char16_t* vdir_folder(const z_vdir_t& vdir) {
  uint64_t prefix = vdir.relative ? vdirs.root_length + 1 : 0;
  auto* folder = static_cast<char16_t*>(std::malloc((prefix + vdir.path_length + 1) * sizeof(char16_t)));
  if (folder == nullptr) return nullptr;
  if (vdir.relative) {
    std::memcpy(folder, vdirs.root, vdirs.root_length * sizeof(char16_t));
    folder[vdirs.root_length] = u'/';
  }
  std::memcpy(folder + prefix, vdir.path, vdir.path_length * sizeof(char16_t));
  folder[prefix + vdir.path_length] = 0;
  return folder;
}

}  // namespace

void report_served_folders() {
  char account[256];
  os::effective_account(account, sizeof account);
  report_folder("root", vdirs.root, 0, account);
  for (uint64_t i = 0; i < vdirs.count; ++i) {
    const z_vdir_t& vdir = vdirs.entries[i];
    char name[shown_room];
    char label[shown_room + 16];
    std::snprintf(label, sizeof label, "virtual /%s ->", os::u16_arg(vdir.dir, name, sizeof name));
    char16_t* folder = vdir_folder(vdir);
    // Without memory for the joined path, the entry's own path is shown.
    report_folder(label, folder != nullptr ? folder : vdir.path, folder != nullptr ? 0 : os::err_no_memory, account);
    std::free(folder);
  }
}

}  // namespace qm
