// The service object and the command line.
//
// This platform has no service manager yet: connecting to one fails, so every
// process is a console process, and the service commands report that they
// cannot reach the manager, exactly as they do on a system where it is not
// reachable.
#include "platform/service.h"

#include "os/error.h"
#include "os/output.h"
#include "os/time.h"

namespace qm {

const char16_t default_service_name[] = u"marvent.quillmere";
Z_SERVICE z_service;

namespace {

constexpr uint32_t error_service_missing = 1060;
// The error a failed connection to the service manager leaves: there is none.
constexpr uint32_t manager_unavailable = 2;  // ENOENT: no manager socket

uint32_t manager_error = 0;
bool interactive_install = false;

uint32_t text_length(const char16_t* text) {
  uint32_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

bool starts_with(const char16_t* text, const char16_t* prefix) {
  for (; *prefix != 0; ++text, ++prefix) {
    if (*text != *prefix) return false;
  }
  return true;
}

bool equals(const char16_t* a, const char16_t* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return *a == *b;
}

void copy_name(char16_t* out, const char16_t* name) {
  uint32_t i = 0;
  for (; name[i] != 0 && i + 1 < service_name_capacity; ++i) out[i] = name[i];
  out[i] = 0;
}

// The name part of "-d:<name>[:...]"; "-d:+<suffix>" appends to the default name.
void take_service_name(const char16_t* argument) {
  const char16_t* part = argument + 3;
  char16_t name[service_name_capacity];
  uint32_t length = 0;
  if (part[0] == u'+') {
    length = text_length(default_service_name);
    copy_name(name, default_service_name);
    ++part;
  }
  for (; *part != 0 && *part != u':'; ++part) {
    if (length + 1 >= service_name_capacity) return;  // too long: the default name stays
    char16_t c = *part;
    name[length++] = (c == u'/' || c == u'\\') ? u'_' : c;
  }
  name[length] = 0;
  copy_name(z_service.service_name, name);
  z_service.name_given = true;
}

// "[YYYY-MM-DD / HH:MM:SS] " in UTC.
void print_stamp() {
  os::z_tm now = os::utc_now();
  os::out("[%04d-%02d-%02d / %02d:%02d:%02d] ", now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour,
          now.tm_min, now.tm_sec);
}

const char* name_utf8(char* out, uint32_t room) { return os::u16_arg(z_service.service_name, out, room); }

void print_manager_failure(const char* what) {
  char name[1024];
  print_stamp();
  os::out("!! Cannot connect to Service Control Manager.\n\tDo I have administrator priviledges?\n\t%s %s [%u]\n",
          name_utf8(name, sizeof name), what, manager_error);
}

int service_command(uint32_t /*code*/) {
  print_manager_failure("service command failed");
  return -1;
}

int install_service(bool /*interactive*/) {
  print_manager_failure("service installation failed");
  os::out("\n");
  if (z_service.start_after_install) service_command(0);
  return -1;
}

int remove_service() {
  char name[1024];
  service_command(1);
  print_stamp();
  os::out("!! %s service was not found on the system! %s [%u]\n", name_utf8(name, sizeof name), "service remove",
          error_service_missing);
  return 0;
}

void run_letter(char16_t letter) {
  switch (letter) {
    case u's': service_command(0); break;
    case u'q': service_command(1); break;
    case u'r':
      service_command(1);
      service_command(0);
      break;
    case u'P': service_command(2); break;
    case u'C': service_command(3); break;
    case u'c': service_command(6); break;
    case u'I':
      interactive_install = true;
      install_service(true);
      break;
    case u'i': install_service(interactive_install); break;
    case u'u': remove_service(); break;
    case u'h':
    case u'?': print_help(); break;
    default: break;
  }
}

struct command_word {
  const char16_t* word;
  char16_t letter;  // 0: no action
};

// Sorted; found by exact match.
constexpr command_word command_words[] = {
    {u"continue", u'C'}, {u"daemon-reload", 0}, {u"help", u'h'},     {u"install", u'i'},
    {u"pause", u'P'},    {u"reload", u'c'},     {u"remove", u'u'},   {u"restart", u'r'},
    {u"resume", u'C'},   {u"start", u's'},      {u"stop", u'q'},     {u"uninstall", u'u'},
};

void run_word(const char16_t* word) {
  for (const command_word& entry : command_words) {
    if (equals(entry.word, word)) {
      if (entry.letter != 0) run_letter(entry.letter);
      return;
    }
  }
}

}  // namespace

void service_setup(int argc, char16_t** argv) {
  copy_name(z_service.service_name, default_service_name);
  z_service.start_after_install = true;
  if (argc >= 2 && starts_with(argv[1], u"-d:") && argv[1][3] != 0 && argv[1][3] != u':') {
    take_service_name(argv[1]);
  }
  os::event_create(z_service.listening_event, true, false);
  os::event_create(z_service.stop_event, true, false);
  os::event_create(z_service.service_stop_event, true, false);
  os::event_create(z_service.reload_event, false, false);
  os::event_create(z_service.proceed_event, true, false);
  // No service of this name can be opened: this process is no service, and
  // nothing will wait for a service manager.
  manager_error = manager_unavailable;
  os::event_set(z_service.service_stop_event);
  os::event_set(z_service.proceed_event);
}

void service_teardown() {
  os::event_close(z_service.listening_event);
  os::event_close(z_service.stop_event);
  os::event_close(z_service.service_stop_event);
  os::event_close(z_service.reload_event);
  os::event_close(z_service.proceed_event);
}

int run_commands(int argc, char16_t** argv) {
  if (argc < 2 || !starts_with(argv[1], u"-d")) return 0;
  if (equals(argv[1], u"-d") && argc == 2) return 0;
  int result = 0;
  for (const char16_t* c = argv[1] + 2; *c != 0; ++c) {
    if (*c == u':') {
      result = 0;
      ++c;
      while (*c != 0 && *c != u':') ++c;
      if (*c == 0) break;
      continue;
    }
    result = -1;
    run_letter(*c);
  }
  for (int i = 2; i < argc; ++i) run_word(argv[i]);
  if (argc > 2) result = -1;
  os::out("\n");
  return result;
}

void print_help() {
  char n[1024];
  os::u16_arg(default_service_name, n, sizeof n);
  os::out(
      ":: service commands ::        :name:  specify service name\n"
      "   s  start                   P  pause\n"
      "   q  stop                    C  continue\n"
      "   r  restart\n"
      "   i  install                 I install interactive service\n"
      "   u  uninstall               h  help  ?\n"
      "   c  configuration reload\n"
      "\n"
      "   -di               install service with default name %s\n"
      "   -d:+.8080:i       install service %s.8080\n"
      "   -dir -uninstall   commands are executed in the order they appear\n"
      "   -d:%s:i  install service %s\n"
      "   -d:%s::  run in foreground using %s.ini\n"
      "\n"
      "   configuration .ini files for each service are stored in the\n"
      "   application directory, and can be reloaded [-reload] without restart\n"
      "\n",
      n, n, n, n, n, n);
}

}  // namespace qm
