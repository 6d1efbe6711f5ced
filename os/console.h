// The console: stop requests from signals and keys, and the process locale.
#pragma once
#include <cstdint>

namespace qm::os {

using stop_callback = void (*)(void* context);

// Blocks SIGINT, SIGQUIT, SIGHUP and SIGTERM in the calling thread (and every
// thread started after it) and ignores SIGPIPE. Call first, in main, before
// any thread starts.
void block_stop_signals();

// Starts the watcher thread: it takes the stop signals through a signalfd and,
// when standard input is a terminal, reads keys in non-canonical mode without
// echo; Esc, q or Q stop, other keys are discarded. The callback runs on the
// watcher thread, outside any signal handler. Returns false when the watcher
// could not start.
bool console_watch_start(stop_callback on_stop, void* context);
// Ends the watcher and restores the terminal.
void console_watch_stop();

// Whether keys read from the terminal hold a stop key (Esc alone, q or Q).
bool keys_hold_stop(const uint8_t* keys, uint64_t count);

// setlocale for every category; failure ignored. No output depends on it.
void set_process_locale(const char* name);

}  // namespace qm::os
