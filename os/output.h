// Console and log output: UTF-8 text on standard output and standard error.
//
// Every call formats its whole message first and writes it with one write(2),
// so lines printed by different threads never interleave. The format is
// printf's; UTF-16 arguments are converted by the caller with u16_arg().
#pragma once
#include <cstdarg>
#include <cstdint>

namespace qm::os {

// Formats and writes to standard output; returns the bytes written or -1.
int out(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Formats and writes to standard error.
int err(const char* format, ...) __attribute__((format(printf, 1, 2)));
int vout(const char* format, va_list args);
// Raw bytes to standard output / standard error, one write.
int out_bytes(const void* bytes, uint64_t size);
int err_bytes(const void* bytes, uint64_t size);

// The error print routine: "<call_text>\n" when call_text is given (an empty
// text gives an empty line, a null one no line), then
// "   ^ERROR: <error>, <system message>\n". Returns error.
uint32_t print_error(uint32_t error, const char* call_text);

// A UTF-16 text as UTF-8 for printing, into a caller's buffer; unpaired
// surrogates become U+FFFD. Always NUL-terminated; returns out.
const char* u16_arg(const char16_t* text, char* out, uint32_t room);

// Where standard output goes: a file descriptor of the process (1 at start).
// The log-file mode points it elsewhere; the old descriptor is not closed.
void set_out_descriptor(int descriptor);
int out_descriptor();
// Where standard error goes (2 at start), likewise.
void set_err_descriptor(int descriptor);
int err_descriptor();
bool out_is_terminal();
bool is_terminal(int descriptor);
// /dev/null for writing, where output that has nowhere to go is sent; -1
// when it cannot be opened.
int open_null();
// Gives up a descriptor that output went to: it is pointed at /dev/null, not
// closed, so a line that another thread is writing at that moment cannot
// land in whatever the number would be reused for. Standard streams 0-2 are
// left alone.
void retire_descriptor(int descriptor);

}  // namespace qm::os
