// The service object and the command line.
//
// Set-up connects to the service manager and looks for the service's unit;
// the command letters and words then act through that connection
// (platform/service_commands.cpp), and a process that runs the server hands
// the question whether it is the service to the dispatcher thread
// (platform/service_runtime.cpp).
#include "platform/service.h"

#include <cstdio>

#include "os/error.h"
#include "os/output.h"
#include "os/time.h"
#include "platform/service_runtime.h"
#include "platform/unit_file.h"

namespace qm {

const char16_t default_service_name[] = u"marvent.quillmere";
Z_SERVICE z_service;

namespace {

constexpr uint64_t dispatcher_stack = 65536;
constexpr uint32_t dispatcher_join_ms = 5000;

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

void run_letter(char16_t letter) {
  switch (letter) {
    case u's': service_command(0); break;
    case u'q': service_command(1); break;
    case u'r': restart_service(); break;
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

// The unit's name and the UTF-8 form of the service name.
void name_the_unit() {
  os::u16_arg(z_service.service_name, z_service.name_utf8, sizeof z_service.name_utf8);
  std::snprintf(z_service.unit_name, sizeof z_service.unit_name, "%s.service", z_service.name_utf8);
}

// Opens the service as set-up does: 0 when its unit exists, else why not.
uint32_t open_own_service() {
  if (!unit_name_valid(z_service.name_utf8)) return error_invalid_name;
  return os::unit_load(z_service.manager, z_service.unit_name, z_service.unit_path, sizeof z_service.unit_path);
}

bool start_dispatcher() {
  return os::thread_start(z_service.dispatcher, os::thread_stack_size(dispatcher_stack), dispatcher_thread,
                          nullptr) == 0;
}

}  // namespace

void print_stamp() {
  os::z_tm now = os::utc_now();
  os::out("[%04d-%02d-%02d / %02d:%02d:%02d] ", now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour,
          now.tm_min, now.tm_sec);
}

void service_setup(int argc, char16_t** argv) {
  copy_name(z_service.service_name, default_service_name);
  z_service.start_after_install = true;
  if (argc >= 2 && starts_with(argv[1], u"-d:") && argv[1][3] != 0 && argv[1][3] != u':') {
    take_service_name(argv[1]);
  }
  name_the_unit();
  os::event_create(z_service.listening_event, true, false);
  os::event_create(z_service.stop_event, true, false);
  os::event_create(z_service.service_stop_event, true, false);
  os::event_create(z_service.reload_event, false, false);
  os::event_create(z_service.proceed_event, true, false);
  z_service.manager_error = os::manager_connect(z_service.manager);
  z_service.service_error = error_service_missing;
  if (os::manager_connected(z_service.manager)) z_service.service_error = open_own_service();
  z_service.service_open = z_service.service_error == 0;
  // A process that only runs commands is no service, whatever its name: its
  // output stays where its caller reads it.
  if (z_service.service_open && runs_server(argc, argv) && start_dispatcher()) return;
  // No service to be: nothing will wait for the service manager.
  os::event_set(z_service.service_stop_event);
  os::event_set(z_service.proceed_event);
}

void service_teardown() {
  os::event_close(z_service.listening_event);
  os::event_close(z_service.stop_event);
  os::event_close(z_service.service_stop_event);
  os::event_close(z_service.reload_event);
  os::event_close(z_service.proceed_event);
  // Closed events release every wait of the dispatcher thread.
  if (z_service.dispatcher.started && !os::thread_join(z_service.dispatcher, dispatcher_join_ms)) {
    os::thread_detach(z_service.dispatcher);
  }
  z_service.service_open = false;
  os::manager_disconnect(z_service.manager);
}

bool runs_server(int argc, char16_t** argv) {
  if (argc < 2 || !starts_with(argv[1], u"-d")) return true;
  if (argc > 2) return false;
  // Every letter ends the process; only a name part at the end lets it run.
  bool runs = true;
  for (const char16_t* c = argv[1] + 2; *c != 0; ++c) {
    runs = *c == u':';
    if (!runs) continue;
    ++c;
    while (*c != 0 && *c != u':') ++c;
    if (*c == 0) break;
  }
  return runs;
}

int run_commands(int argc, char16_t** argv) {
  if (argc < 2 || !starts_with(argv[1], u"-d")) return 0;
  if (equals(argv[1], u"-d") && argc == 2) return 0;
  for (const char16_t* c = argv[1] + 2; *c != 0; ++c) {
    if (*c != u':') {
      run_letter(*c);
      continue;
    }
    // A name part; the name itself was taken at set-up.
    ++c;
    while (*c != 0 && *c != u':') ++c;
    if (*c == 0) break;
  }
  for (int i = 2; i < argc; ++i) run_word(argv[i]);
  os::out("\n");
  return runs_server(argc, argv) ? 0 : -1;
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
