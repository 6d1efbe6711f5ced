// The lowering cannot be undone, so each check runs in a forked child that
// lowers itself and reports its findings as bits of its exit code.
#include "core/privileges.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "core/engine.h"
#include "core/tls.h"
#include "os/privileges.h"
#include "tests/support/client.h"

namespace qm {
namespace {

// A folder everyone may write into, so that a refused write can only come
// from the lowering, and two files: one world-readable, one root-only.
struct fixture_folder {
  std::string path;
  std::string readable;
  std::string private_file;

  fixture_folder() {
    char name[] = "/tmp/qm-priv-XXXXXX";
    path = ::mkdtemp(name);
    ::chmod(path.c_str(), 0777);
    readable = path + "/readable.txt";
    private_file = path + "/private.txt";
    write_file(readable, 0644);
    write_file(private_file, 0600);
  }
  ~fixture_folder() {
    ::unlink(readable.c_str());
    ::unlink(private_file.c_str());
    ::unlink((path + "/created").c_str());
    ::rmdir(path.c_str());
  }
  static void write_file(const std::string& file, mode_t mode) {
    int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, mode);
    if (fd >= 0) {
      (void)!::write(fd, "x", 1);
      ::close(fd);
    }
    ::chmod(file.c_str(), mode);
  }
};

std::string status_field(const char* status_path, const std::string& field) {
  std::ifstream in(status_path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) {
      std::istringstream rest(line.substr(field.size() + 1));
      std::string values, value;
      while (rest >> value) values += (values.empty() ? "" : " ") + value;
      return values;
    }
  }
  return "";
}

// One labelled finding of the child; its bit is its index.
struct check {
  const char* label;
  std::function<bool()> holds;
};

// The child's findings travel through a pipe: an exit code keeps only 8
// bits, and a table of checks may have more rows.
int report_pipe = -1;

[[noreturn]] void report_and_exit(uint32_t failed) {
  (void)!::write(report_pipe, &failed, sizeof failed);
  ::_exit(0);
}

uint32_t failed_rows(const std::vector<check>& checks, size_t skip_row = ~size_t{0}) {
  uint32_t failed = 0;
  for (size_t i = 0; i < checks.size(); ++i) {
    if (i != skip_row && !checks[i].holds()) failed |= 1u << i;
  }
  return failed;
}

// Runs `lower` in a child, then the checks (unless `lower` reports itself),
// and returns the labels of the failed rows.
std::string run_in_child(const std::function<void()>& lower, const std::vector<check>& checks) {
  int ends[2];
  if (::pipe(ends) != 0) return "no pipe";
  pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    report_pipe = ends[1];
    lower();
    report_and_exit(failed_rows(checks));
  }
  ::close(ends[1]);
  uint32_t failed = 0;
  ssize_t got = ::read(ends[0], &failed, sizeof failed);
  ::close(ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (got != sizeof failed || !WIFEXITED(status)) return "child ended without a report";
  std::string failures;
  for (size_t i = 0; i < checks.size(); ++i) {
    if (failed & (1u << i)) failures += std::string(checks[i].label) + "; ";
  }
  return failures;
}

bool creation_refused(const std::string& folder) {
  int fd = ::open((folder + "/created").c_str(), O_CREAT | O_WRONLY, 0644);
  if (fd >= 0) ::close(fd);
  return fd < 0 && errno == EACCES;
}

bool opens_for_reading(const std::string& file) {
  int fd = ::open(file.c_str(), O_RDONLY);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

std::vector<check> identity_checks(const char* status, bool as_root) {
  std::vector<check> checks = {
      {"CapEff 0", [=] { return status_field(status, "CapEff") == "0000000000000000"; }},
      {"CapPrm 0", [=] { return status_field(status, "CapPrm") == "0000000000000000"; }},
      {"CapInh 0", [=] { return status_field(status, "CapInh") == "0000000000000000"; }},
      {"CapAmb 0", [=] { return status_field(status, "CapAmb") == "0000000000000000"; }},
      {"NoNewPrivs 1", [=] { return status_field(status, "NoNewPrivs") == "1"; }},
  };
  if (as_root) {
    checks.push_back({"Uid nobody x4", [=] { return status_field(status, "Uid") == "65534 65534 65534 65534"; }});
    checks.push_back({"Gid nobody x4", [=] { return status_field(status, "Gid") == "65534 65534 65534 65534"; }});
    checks.push_back({"no groups", [=] { return status_field(status, "Groups").empty(); }});
  }
  return checks;
}

TEST(Privileges, LoweringLeavesTheListenerWithoutRights) {
  fixture_folder folder;
  bool as_root = os::running_as_root();
  std::vector<check> checks = identity_checks("/proc/self/status", as_root);
  checks.push_back({"CapBnd 0", [] { return status_field("/proc/self/status", "CapBnd") == "0000000000000000"; }});
  checks.push_back({"world-readable file opens", [&] { return opens_for_reading(folder.readable); }});
  if (as_root) checks.push_back({"root-only file refused", [&] { return !opens_for_reading(folder.private_file); }});
  EXPECT_EQ(run_in_child([] { lower_privileges(); }, checks), "");
}

TEST(Privileges, LoweringDeniesFileWritesEverywhere) {
  if (os::landlock_abi_version() == 0) GTEST_SKIP() << "Landlock not available: skipped";
  fixture_folder folder;
  std::vector<check> checks = {
      {"lowering reports success", [] { return true; }},
      {"file creation refused with EACCES", [&] { return creation_refused(folder.path); }},
      {"reading still works", [&] { return opens_for_reading(folder.readable); }},
  };
  std::atomic<bool> lowered_ok{false};
  checks[0].holds = [&] { return lowered_ok.load(); };
  EXPECT_EQ(run_in_child([&] { lowered_ok = lower_privileges(); }, checks), "");
  EXPECT_FALSE(creation_refused(folder.path)) << "the parent keeps its rights";
}

// A thread that exists before the lowering (as the parked slot threads do)
// gets the user switch with the process but must bind itself for the rest.
TEST(Privileges, AThreadStartedBeforeTheLoweringBindsItself) {
  fixture_folder folder;
  bool as_root = os::running_as_root();
  bool landlock = os::landlock_abi_version() > 0;
  std::vector<check> checks = identity_checks("/proc/thread-self/status", as_root);
  if (landlock) checks.push_back({"thread cannot create files", [&] { return creation_refused(folder.path); }});
  checks.push_back({"thread reads", [&] { return opens_for_reading(folder.readable); }});
  checks.push_back({"apply_thread_restrictions true", [] { return true; }});
  size_t applied_row = checks.size() - 1;

  auto lower_then_check_in_thread = [&] {
    std::atomic<bool> go{false};
    uint32_t failed = 0;
    bool applied = false;
    std::thread parked([&] {
      while (!go.load()) std::this_thread::yield();
      applied = apply_thread_restrictions();
      failed = failed_rows(checks, applied_row);
    });
    lower_privileges();
    go = true;
    parked.join();
    if (!applied) failed |= 1u << applied_row;
    report_and_exit(failed);
  };
  EXPECT_EQ(run_in_child(lower_then_check_in_thread, checks), "");
}

Z_SOCKET reload_engine;  // static: the slots are large

// The reload thread exists before the lowering and re-reads the .ini file
// and the TLS files afterwards with the lowered rights: files readable by
// everyone must still load, settings and certificate alike.
TEST(Privileges, AReloadAfterTheLoweringStillReadsTheConfiguration) {
  fixture_folder folder;
  ASSERT_TRUE(test::make_certificate(folder.path, "localhost", 30));
  ::chmod((folder.path + "/localhost.key").c_str(), 0644);
  std::string ini = folder.path + "/qm.ini";
  fixture_folder::write_file(ini, 0644);
  {
    std::ofstream out(ini, std::ios::binary | std::ios::trunc);
    out << "port=8123\r\nlist_directories=1\r\nmin_gz=yes\r\n"
           "tls_cer=localhost.pem\r\ntls_key=localhost.key\r\n";
  }
  std::u16string wide(ini.begin(), ini.end());
  reload_engine.ini_path = static_cast<char16_t*>(std::malloc((wide.size() + 1) * sizeof(char16_t)));
  std::memcpy(reload_engine.ini_path, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  reload_engine.ini_dir_length = folder.path.size() + 1;
  if (!server_context_exists()) {
    ASSERT_TRUE(create_server_context());
  }

  int loaded = -1;
  std::vector<check> checks = {
      {"config returns 0", [&] { return loaded == 0; }},
      {"port read", [] { return reload_engine.port == 8123; }},
      {"switches read", [] { return reload_engine.list_directories && reload_engine.min_gz; }},
      {"certificate loaded", [] { return tls_ready.load() && cert_valid.load(); }},
      {"file still there, unchanged", [&] { return opens_for_reading(ini); }},
  };
  auto lower_then_reload = [&] {
    std::atomic<bool> go{false};
    std::thread reloader([&] {
      while (!go.load()) std::this_thread::yield();
      apply_thread_restrictions();
      loaded = config(reload_engine, u"qm");
    });
    lower_privileges();
    go = true;
    reloader.join();
  };
  EXPECT_EQ(run_in_child(lower_then_reload, checks), "");
  std::free(reload_engine.ini_path);
  reload_engine.ini_path = nullptr;
  free_server_context();
  ::unlink((folder.path + "/localhost.pem").c_str());
  ::unlink((folder.path + "/localhost.key").c_str());
  ::unlink(ini.c_str());
}

TEST(Privileges, ThreadRestrictionsWaitForTheListenersDecision) {
  std::vector<check> checks = {
      {"nothing applied before lowering", [] { return !apply_thread_restrictions(); }},
      {"no-new-privileges still clear", [] { return status_field("/proc/thread-self/status", "NoNewPrivs") == "0"; }},
  };
  EXPECT_EQ(run_in_child([] {}, checks), "");
}

}  // namespace
}  // namespace qm
