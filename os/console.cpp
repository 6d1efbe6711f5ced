// Stop requests from signals and keys, and the process locale.
//
// The stop signals stay blocked in every thread and arrive through a
// signalfd, so no signal handler ever runs; the watcher thread turns them,
// and the stop keys of a terminal, into calls of the callback.
#include "os/console.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "os/error.h"
#include "os/event.h"
#include "os/thread.h"

namespace qm::os {

namespace {

constexpr uint8_t key_escape = 27;

struct console_watch {
  std::mutex lock;  // start and stop
  event_callback on_event = nullptr;
  void* context = nullptr;
  int signal_fd = -1;
  int stop_fd = -1;
  int key_fd = -1;  // standard input when it is a terminal, else -1
  thread_handle thread;
  bool running = false;
};

console_watch watch;

// The terminal's mode before the watcher changed it; restored at stop and at exit.
termios saved_terminal{};
std::atomic<bool> terminal_changed{false};
std::atomic<bool> restore_registered{false};

void restore_terminal() {
  if (terminal_changed.exchange(false)) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
}

sigset_t watched_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  return set;
}

console_event event_of(uint32_t signal_number) {
  switch (signal_number) {
    case SIGINT: return console_event::interrupt;
    case SIGQUIT: return console_event::quit;
    case SIGHUP: return console_event::hangup;
    case SIGUSR1: return console_event::user1;
    case SIGUSR2: return console_event::user2;
    default: return console_event::terminate;
  }
}

// Non-canonical mode without echo, so Esc and q arrive at once and unseen.
bool raw_keys() {
  if (::isatty(STDIN_FILENO) != 1 || ::tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return false;
  termios raw = saved_terminal;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return false;
  terminal_changed = true;
  if (!restore_registered.exchange(true)) std::atexit(restore_terminal);
  return true;
}

// The signal that arrived; false when the read failed.
bool take_signal(console_event& event) {
  signalfd_siginfo info;
  ssize_t n;
  while ((n = ::read(watch.signal_fd, &info, sizeof info)) < 0 && errno == EINTR) {
  }
  if (n != static_cast<ssize_t>(sizeof info)) return false;
  event = event_of(info.ssi_signo);
  return true;
}

}  // namespace

// Arrow and function keys arrive as Esc followed by '[' or 'O' and the rest of
// the sequence in the same read: those are skipped, only a lone Esc stops.
bool keys_hold_stop(const uint8_t* keys, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    uint8_t key = keys[i];
    if (key == 'q' || key == 'Q') return true;
    if (key != key_escape) continue;
    if (i + 1 >= n || (keys[i + 1] != '[' && keys[i + 1] != 'O')) return true;
    i += 2;  // the sequence's final byte lies in 0x40..0x7E
    while (i < n && (keys[i] < 0x40 || keys[i] > 0x7E)) ++i;
  }
  return false;
}

namespace {

// Reads what the terminal has; true when a stop key was among it.
bool stop_key_pressed() {
  uint8_t keys[64];
  ssize_t n = ::read(watch.key_fd, keys, sizeof keys);
  if (n <= 0) {
    if (n == 0 || errno != EINTR) watch.key_fd = -1;  // input ended: stop watching it
    return false;
  }
  return keys_hold_stop(keys, static_cast<uint64_t>(n));
}

void watch_loop(void*) {
  for (;;) {
    pollfd fds[3] = {{watch.stop_fd, POLLIN, 0}, {watch.signal_fd, POLLIN, 0}, {watch.key_fd, POLLIN, 0}};
    nfds_t count = watch.key_fd >= 0 ? 3 : 2;
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    console_event event = console_event::terminate;
    if ((fds[1].revents & POLLIN) && take_signal(event)) watch.on_event(watch.context, event);
    if (count == 3 && fds[2].revents != 0 && stop_key_pressed()) watch.on_event(watch.context, console_event::stop_key);
  }
}

void close_descriptors() {
  if (watch.signal_fd >= 0) ::close(watch.signal_fd);
  if (watch.stop_fd >= 0) ::close(watch.stop_fd);
  watch.signal_fd = watch.stop_fd = watch.key_fd = -1;
}

}  // namespace

void block_stop_signals() {
  sigset_t set = watched_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

bool console_watch_start(event_callback on_event, void* context) {
  std::lock_guard<std::mutex> guard(watch.lock);
  if (watch.running || on_event == nullptr) return false;
  sigset_t set = watched_signals();
  // The watcher takes the signals only while they are blocked; block them
  // here too, in case the caller did not.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  watch.signal_fd = ::signalfd(-1, &set, SFD_CLOEXEC);
  watch.stop_fd = ::eventfd(0, EFD_CLOEXEC);
  if (watch.signal_fd < 0 || watch.stop_fd < 0) {
    close_descriptors();
    return false;
  }
  watch.key_fd = raw_keys() ? STDIN_FILENO : -1;
  watch.on_event = on_event;
  watch.context = context;
  if (thread_start(watch.thread, 0, watch_loop, nullptr) != 0) {
    restore_terminal();
    close_descriptors();
    return false;
  }
  watch.running = true;
  return true;
}

void console_watch_stop() {
  std::lock_guard<std::mutex> guard(watch.lock);
  if (!watch.running) return;
  uint64_t one = 1;
  while (::write(watch.stop_fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  // Called from the callback: the watcher cannot join itself; it ends on its own.
  if (thread_is_current(watch.thread)) {
    thread_detach(watch.thread);
    watch.running = false;
    return;
  }
  thread_join(watch.thread, wait_forever);
  restore_terminal();
  close_descriptors();
  watch.running = false;
}

// Field 7 of /proc/self/stat, after the command name in parentheses (which
// may itself hold blanks and parentheses).
bool has_controlling_terminal() {
  char stat[1024];
  int fd = ::open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = ::read(fd, stat, sizeof stat - 1);
  ::close(fd);
  if (n <= 0) return false;
  stat[n] = 0;
  const char* after_name = std::strrchr(stat, ')');
  char state = 0;
  int parent = 0, group = 0, session = 0, terminal = 0;
  if (after_name == nullptr || std::sscanf(after_name + 1, " %c %d %d %d %d", &state, &parent, &group, &session,
                                           &terminal) != 5) {
    return false;
  }
  return terminal != 0;
}

int open_process_terminal(uint32_t pid) {
  for (int stream = 0; stream < 3; ++stream) {
    char link[64], target[256];
    std::snprintf(link, sizeof link, "/proc/%u/fd/%d", pid, stream);
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = 0;
    if (target[0] != '/') continue;  // a pipe or a socket
    int fd = ::open(target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    if (::isatty(fd) == 1) return fd;
    ::close(fd);
  }
  set_last_error(static_cast<uint32_t>(ENOTTY));
  return -1;
}

int open_system_console() {
  int fd = ::open("/dev/console", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) set_last_error(static_cast<uint32_t>(errno));
  return fd;
}

namespace {

// Windows orders its colour bits blue, green, red; ANSI red, green, blue.
int ansi_index(uint16_t colour) { return ((colour & 4) ? 1 : 0) | (colour & 2) | ((colour & 1) ? 4 : 0); }

}  // namespace

const char* ansi_colour(uint16_t attribute, char* out, uint32_t room) {
  if (out == nullptr || room == 0) return "";
  uint16_t fore = attribute & 0xF, back = (attribute >> 4) & 0xF;
  int fore_code = ((fore & 8) ? 90 : 30) + ansi_index(fore);
  int back_code = ((back & 8) ? 100 : 40) + ansi_index(back);
  std::snprintf(out, room, "\033[%d;%dm", fore_code, back_code);
  return out;
}

void set_process_locale(const char* name) { std::setlocale(LC_ALL, name != nullptr ? name : ""); }

}  // namespace qm::os
