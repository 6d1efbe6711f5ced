// The console: stop requests from signals and keys, and the process locale.
#pragma once
#include <cstdint>

namespace qm::os {

// What the watcher saw: a signal, or a stop key at the terminal. A console
// process stops on the first five; a service takes SIGTERM, SIGUSR1, SIGUSR2
// and SIGHUP as the manager's stop, pause, continue and reload.
enum class console_event { interrupt, quit, hangup, terminate, stop_key, user1, user2 };

using event_callback = void (*)(void* context, console_event event);

// Blocks SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGUSR1 and SIGUSR2 in the
// calling thread (and every thread started after it) and ignores SIGPIPE.
// Call first, in main, before any thread starts.
void block_stop_signals();

// Starts the watcher thread: it takes those signals through a signalfd and,
// when standard input is a terminal, reads keys in non-canonical mode without
// echo; Esc, q or Q stop, other keys are discarded. The callback runs on the
// watcher thread, outside any signal handler. Returns false when the watcher
// could not start.
bool console_watch_start(event_callback on_event, void* context);
// Ends the watcher and restores the terminal.
void console_watch_stop();

// Whether keys read from the terminal hold a stop key (Esc alone, q or Q).
bool keys_hold_stop(const uint8_t* keys, uint64_t count);

// Whether the process has a controlling terminal.
bool has_controlling_terminal();
// The terminal that process pid's standard input, output or error is open
// on, opened for writing; the descriptor, or -1 with last_error() set
// (ENOTTY when none of the three is a terminal).
int open_process_terminal(uint32_t pid);
// The system console (/dev/console), opened for writing; -1 on failure.
int open_system_console();
// The escape sequence that shows a console attribute word (bits 0-2 blue,
// green, red, bit 3 bright, bits 4-7 the same for the background) on an
// ANSI terminal, NUL-terminated in out; and the one that restores the
// terminal's own colours.
const char* ansi_colour(uint16_t attribute, char* out, uint32_t room);
inline constexpr const char* ansi_restore = "\033[0m";

// setlocale for every category; failure ignored. No output depends on it.
void set_process_locale(const char* name);

}  // namespace qm::os
