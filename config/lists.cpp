// The virtual directories, the extension list and the lenient UTF-8 decoder.
#include "config/lists.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "content/header.h"

namespace qm {

z_vdir_table_t vdirs;
z_ext_list_t ext_list;

namespace {

bool is_break(char16_t c) { return c == u'\r' || c == u'\n'; }

uint64_t wide_length(const char16_t* text) {
  uint64_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// UTF-16 unit order of two terminated texts: <0, 0 or >0.
int compare_units(const char16_t* a, const char16_t* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return *a == *b ? 0 : (*a < *b ? -1 : 1);
}

// The same order between length units at name and a terminated dir.
int compare_name(const char16_t* name, uint64_t length, const char16_t* dir) {
  for (uint64_t i = 0; i < length; ++i) {
    if (dir[i] == 0) return 1;
    if (name[i] != dir[i]) return name[i] < dir[i] ? -1 : 1;
  }
  return dir[length] == 0 ? 0 : -1;
}

// Lines that may give an entry: those not beginning with '#', CR, LF or the end.
uint64_t count_vdir_lines(const char16_t* block) {
  uint64_t lines = 0;
  bool line_start = true;
  for (const char16_t* p = block; *p != 0; ++p) {
    if (line_start && *p != u'#' && !is_break(*p)) ++lines;
    line_start = is_break(*p);
  }
  return lines;
}

struct vdir_line {
  bool started;   // something other than a tab was seen
  bool ignored;   // a comment, a leading '|' or a third '|'
  uint32_t bars;
};

void take_bar(z_vdir_t& entry, vdir_line& line, char16_t* at) {
  *at = 0;
  ++line.bars;
  if (line.bars == 1) {
    entry.path = at + 1;
  } else if (line.bars == 2) {
    entry.path_length = static_cast<uint64_t>(at - entry.path);
    entry.user = at + 1;
  } else {
    entry = {};
    line.ignored = true;
  }
}

bool is_absolute(const char16_t* path) { return path[0] == u'/' || path[0] == u'\\' || path[1] == u':'; }

// Ends the line at its terminator; true when the entry is kept, else it is
// cleared for reuse.
bool close_vdir_line(z_vdir_t& entry, vdir_line& line, char16_t* at) {
  bool keep = false;
  if (line.started && !line.ignored) {
    if (line.bars < 2) {
      if (entry.path != nullptr) entry.path_length = static_cast<uint64_t>(at - entry.path);
      entry.user = at;
    }
    keep = entry.dir != nullptr && entry.dir[0] != 0 && entry.path_length > 0;
  }
  if (keep) {
    entry.relative = !is_absolute(entry.path);
  } else {
    entry = {};
  }
  line = {};
  return keep;
}

// Splits the copy in place into at most capacity entries; the number kept.
uint64_t scan_vdir_text(char16_t* text, z_vdir_t* entries, uint64_t capacity) {
  uint64_t kept = 0;
  vdir_line line{};
  for (char16_t* p = text; kept < capacity; ++p) {
    char16_t c = *p;
    if (c == 0 || is_break(c)) {
      *p = 0;
      if (close_vdir_line(entries[kept], line, p)) ++kept;
      if (c == 0) break;
      continue;
    }
    if (line.ignored || c == u'\t') continue;
    if (!line.started) {
      line.started = true;
      if (c == u'#' || c == u'|') {
        line.ignored = true;
      } else {
        entries[kept].dir = p;
      }
      continue;
    }
    if (c == u'|') take_bar(entries[kept], line, p);
  }
  return kept;
}

// Word boundaries of the extension block, the same for the wide counting pass
// (const char16_t, nothing stored) and the in-place UTF-8 pass (char: blanks
// and breaks become NUL, word starts go to words). Returns the words found,
// at most capacity when storing.
template <typename Unit>
uint64_t walk_ext_words(Unit* text, char** words, uint64_t capacity) {
  constexpr bool storing = !std::is_const_v<Unit>;
  uint64_t found = 0;
  bool in_word = false;
  bool line_has_word = false;
  bool comment = false;
  for (Unit* p = text; *p != 0; ++p) {
    Unit c = *p;
    bool line_break = c == '\r' || c == '\n';
    if (line_break) {
      in_word = line_has_word = comment = false;
    } else if (comment) {
      continue;
    } else if (c == ' ' || c == '\t') {
      in_word = false;
    } else if (c == '#' && !in_word) {
      comment = !line_has_word;  // after a word it just precedes the next one
      continue;
    } else {
      if (!in_word) {
        if constexpr (storing) {
          if (found < capacity) words[found] = p;
        }
        ++found;
      }
      in_word = line_has_word = true;
      continue;
    }
    if constexpr (storing) *p = 0;
  }
  return storing ? std::min(found, capacity) : found;
}

void lower_ascii(char* text) {
  for (char* p = text; *p != 0; ++p) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  }
}

// Bounded output of utf8_to_utf16; the last unit is kept for the terminator.
struct utf16_out {
  char16_t* start;
  char16_t* cursor;
  char16_t* limit;

  bool put(uint32_t unit) {
    if (cursor == limit) return false;
    *cursor++ = static_cast<char16_t>(unit);
    return true;
  }
  bool put_pair(uint32_t value) {
    if (limit - cursor < 2) return false;
    value -= 0x10000;
    *cursor++ = static_cast<char16_t>((value >> 10) | 0xD800);
    *cursor++ = static_cast<char16_t>((value & 0x3FF) | 0xDC00);
    return true;
  }
  uint64_t finish() {
    *cursor = 0;
    return static_cast<uint64_t>(cursor - start);
  }
  uint64_t cut() {
    *cursor = 0;
    return 0;
  }
};

enum class decode_step { go_on, end, full };

// Writes the value of a three- or four-byte form. A surrogate pair needs at
// least one continuation byte, so that no byte yields more than one unit.
decode_step put_long_form(utf16_out& out, uint32_t value, int continuations) {
  if (value == 0) return decode_step::end;
  if (value >= 0xD800 && value <= 0xDFFF) return decode_step::go_on;
  if (value <= 0xFFFF) return out.put(value) ? decode_step::go_on : decode_step::full;
  if (value > 0x10FFFF || continuations == 0) return decode_step::go_on;
  return out.put_pair(value) ? decode_step::go_on : decode_step::full;
}

// Decodes the form led by lead; p is moved past the continuations it takes.
decode_step decode_form(utf16_out& out, uint32_t lead, const unsigned char*& p) {
  int follow = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  uint32_t mask = lead < 0xE0 ? 0x1F : lead < 0xF0 ? 0x0F : 0x07;
  uint32_t value = (lead & mask) << (6 * follow);
  int taken = 0;
  // Missing bits stay 0; a byte that is no continuation (NUL included) is read
  // again as the next lead.
  for (int shift = follow - 1; shift >= 0 && (*p & 0xC0) == 0x80; --shift, ++taken) {
    value |= static_cast<uint32_t>(*p++ & 0x3F) << (6 * shift);
  }
  if (follow > 1) return put_long_form(out, value, taken);
  // An overlong NUL ends the text like every other NUL: a NUL unit inside a
  // decoded path would cut it short of the extension that typed it.
  if (value == 0) return decode_step::end;
  return out.put(value) ? decode_step::go_on : decode_step::full;
}

}  // namespace

int parse_vdir_block(z_vdir_table_t& table, const char16_t* block) {
  release_vdirs(table);
  if (block == nullptr) return -1;
  uint64_t lines = count_vdir_lines(block);
  if (lines == 0) return -1;
  uint64_t units = wide_length(block) + 1;
  auto* text = static_cast<char16_t*>(std::malloc(units * sizeof(char16_t)));
  auto* entries = static_cast<z_vdir_t*>(std::calloc(lines, sizeof(z_vdir_t)));
  if (text == nullptr || entries == nullptr) {
    std::free(text);
    std::free(entries);
    return -1;
  }
  std::memcpy(text, block, units * sizeof(char16_t));
  uint64_t kept = scan_vdir_text(text, entries, lines);
  if (kept == 0) {
    std::free(text);
    std::free(entries);
    return -1;
  }
  std::sort(entries, entries + kept,
            [](const z_vdir_t& a, const z_vdir_t& b) { return compare_units(a.dir, b.dir) < 0; });
  table.entries = entries;
  table.text = text;
  table.count = kept;
  return 0;
}

int parse_ext_block(z_ext_list_t& list, const char16_t* block, bool block_listed) {
  list.block_listed = block_listed ? 1 : 0;
  release_ext_list(list);
  if (block == nullptr) return -1;
  uint64_t counted = walk_ext_words(block, nullptr, 0);
  if (counted == 0) return -1;
  // Four bytes per unit: a lone high surrogate may become a four-byte form.
  uint64_t room = (wide_length(block) + 1) * 4;
  auto* text = static_cast<char*>(std::malloc(room));
  auto* words = static_cast<char**>(std::malloc((counted + 1) * sizeof(char*)));
  uint64_t size = text != nullptr && words != nullptr ? utf16_to_utf8(text, room, block) : 0;
  if (size == 0) {
    std::free(text);
    std::free(words);
    return -1;
  }
  lower_ascii(text);
  if (auto* shrunk = static_cast<char*>(std::realloc(text, size + 1))) text = shrunk;
  uint64_t stored = walk_ext_words(text, words, counted);
  if (stored == 0) {
    std::free(text);
    std::free(words);
    return -1;
  }
  std::sort(words, words + stored, [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
  words[stored] = nullptr;
  list.text = text;
  list.words = words;
  list.count = stored;
  return 0;
}

const z_vdir_t* find_vdir(const char16_t* name, uint64_t length) {
  if (name == nullptr) return nullptr;
  uint64_t low = 0;
  uint64_t high = vdirs.count;
  while (low < high) {
    uint64_t mid = low + (high - low) / 2;
    int order = compare_name(name, length, vdirs.entries[mid].dir);
    if (order == 0) return &vdirs.entries[mid];
    if (order < 0) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  return nullptr;
}

bool ext_list_contains(const char* ext) {
  if (ext == nullptr) return false;
  uint64_t low = 0;
  uint64_t high = ext_list.count;
  while (low < high) {
    uint64_t mid = low + (high - low) / 2;
    int order = std::strcmp(ext, ext_list.words[mid]);
    if (order == 0) return true;
    if (order < 0) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  return false;
}

void release_vdirs(z_vdir_table_t& table) {
  std::free(table.entries);
  std::free(table.text);
  table.entries = nullptr;
  table.text = nullptr;
  table.count = 0;
}

void release_ext_list(z_ext_list_t& list) {
  std::free(list.words);
  std::free(list.text);
  list.words = nullptr;
  list.text = nullptr;
  list.count = 0;
}

void release_lists() {
  release_vdirs(vdirs);
  release_ext_list(ext_list);
}

uint64_t utf8_to_utf16(char16_t* out, uint64_t capacity, const char* text) {
  if (out == nullptr || capacity == 0 || text == nullptr) return 0;
  utf16_out writer{out, out, out + capacity - 1};
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  for (;;) {
    uint32_t lead = *p++;
    decode_step step = decode_step::go_on;
    if (lead == 0) {
      step = decode_step::end;
    } else if (lead < 0x80) {
      step = writer.put(lead) ? decode_step::go_on : decode_step::full;
    } else if (lead >= 0xC0 && lead < 0xF8) {
      step = decode_form(writer, lead, p);
    }  // a stray continuation or 0xF8-0xFF is skipped
    if (step == decode_step::end) return writer.finish();
    if (step == decode_step::full) return writer.cut();
  }
}

}  // namespace qm
