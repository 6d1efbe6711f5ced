// The virtual directories, the extension list, and the lenient UTF-8 decoder.
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

uint64_t wide_length(const char16_t* text) {
  uint64_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

int wide_compare(const char16_t* a, const char16_t* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return static_cast<int>(*a) - static_cast<int>(*b);
}

bool line_break(char16_t c) { return c == u'\r' || c == u'\n'; }

// ------------------------------------------------------------ vdir block

void free_vdirs(z_vdir_table_t& table) {
  std::free(table.entries);
  std::free(table.text);
  table.entries = nullptr;
  table.text = nullptr;
  table.count = 0;
}

uint64_t count_vdir_lines(const char16_t* block) {
  uint64_t lines = 0;
  bool at_start = true;
  for (const char16_t* p = block;; ++p) {
    if (at_start && *p != 0 && *p != u'#' && !line_break(*p)) ++lines;
    if (*p == 0) break;
    at_start = line_break(*p);
  }
  return lines;
}

bool is_relative(const char16_t* path) {
  return path[0] != u'/' && path[0] != u'\\' && !(path[0] != 0 && path[1] == u':');
}

struct vdir_scan {
  z_vdir_t entry{};
  bool content = false;  // something but tabs on this line
  bool ignore = false;   // the rest of the line is ignored
  int bars = 0;
};

// A line ends: keep the entry when it names a folder and a path.
bool close_vdir_line(vdir_scan& s, char16_t* at, z_vdir_table_t& table) {
  bool kept = false;
  if (s.content && !s.ignore && s.entry.dir != nullptr) {
    if (s.bars == 1) {
      s.entry.path_length = wide_length(s.entry.path);
      s.entry.user = at;
    }
    if (s.entry.path != nullptr && s.entry.dir[0] != 0 && s.entry.path[0] != 0) {
      s.entry.relative = is_relative(s.entry.path);
      table.entries[table.count++] = s.entry;
      kept = true;
    }
  }
  s = vdir_scan{};
  return kept;
}

void scan_vdir_char(vdir_scan& s, char16_t* p) {
  if (s.ignore || *p == u'\t') return;
  if (!s.content) {
    s.content = true;
    if (*p == u'#' || *p == u'|') {
      s.ignore = true;
      return;
    }
    s.entry.dir = p;
    return;
  }
  if (*p != u'|') return;
  *p = 0;
  ++s.bars;
  if (s.bars == 1) {
    s.entry.path = p + 1;
  } else if (s.bars == 2) {
    s.entry.path_length = wide_length(s.entry.path);
    s.entry.user = p + 1;
  } else {
    s.ignore = true;  // a third '|' voids the entry
  }
}

// ------------------------------------------------------------- ext block

void free_ext(z_ext_list_t& list) {
  std::free(list.words);
  std::free(list.text);
  list.words = nullptr;
  list.text = nullptr;
  list.count = 0;
}

// Walks the words of a block with the comment rules of the extension list;
// on_word gets each word's first position.
template <typename Char, typename OnWord>
void walk_words(Char* text, OnWord on_word) {
  bool word_on_line = false;
  bool comment = false;
  bool in_word = false;
  for (Char* p = text; *p != 0; ++p) {
    char16_t c = static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(*p));
    if (c == u'\r' || c == u'\n') {
      word_on_line = comment = in_word = false;
      continue;
    }
    if (comment) continue;
    if (c == u'\t' || c == u' ') {
      in_word = false;
      continue;
    }
    if (in_word) continue;  // a '#' after a letter belongs to the word
    if (c == u'#') {
      if (!word_on_line) comment = true;  // a comment only before any word of the line
      continue;
    }
    in_word = word_on_line = true;
    on_word(p);
  }
}

void lower_ascii(char* text) {
  for (char* c = text; *c != 0; ++c) {
    if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c + 32);
  }
}

// ------------------------------------------------------------ UTF-8

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

int parse_vdir_block(z_vdir_table_t& table, const char16_t* block) {
  free_vdirs(table);
  if (block == nullptr) return -1;
  uint64_t lines = count_vdir_lines(block);
  uint64_t units = wide_length(block) + 1;
  table.text = static_cast<char16_t*>(std::malloc(units * sizeof(char16_t)));
  table.entries = static_cast<z_vdir_t*>(std::calloc(lines != 0 ? lines : 1, sizeof(z_vdir_t)));
  if (table.text == nullptr || table.entries == nullptr) {
    free_vdirs(table);
    return -1;
  }
  std::memcpy(table.text, block, units * sizeof(char16_t));
  vdir_scan scan;
  for (char16_t* p = table.text; table.count < lines; ++p) {
    if (*p == 0 || line_break(*p)) {
      bool end = *p == 0;
      *p = 0;
      close_vdir_line(scan, p, table);
      if (end) break;
      continue;
    }
    scan_vdir_char(scan, p);
  }
  if (table.count == 0) {
    free_vdirs(table);
    return -1;
  }
  std::sort(table.entries, table.entries + table.count,
            [](const z_vdir_t& a, const z_vdir_t& b) { return wide_compare(a.dir, b.dir) < 0; });
  return 0;
}

int parse_ext_block(z_ext_list_t& list, const char16_t* block, bool block_mode) {
  list.block_listed = block_mode ? 1 : 0;
  free_ext(list);
  if (block == nullptr) return -1;
  uint64_t words = 0;
  walk_words(block, [&](const char16_t*) { ++words; });
  uint64_t room = (wide_length(block) + 1) * 4;
  list.text = static_cast<char*>(std::malloc(room));
  list.words = static_cast<char**>(std::malloc((words + 1) * sizeof(char*)));
  if (list.text == nullptr || list.words == nullptr || utf16_to_utf8(list.text, room, block) == 0) {
    free_ext(list);
    return -1;
  }
  lower_ascii(list.text);
  uint64_t length = std::strlen(list.text);
  if (char* smaller = static_cast<char*>(std::realloc(list.text, length + 1))) list.text = smaller;
  walk_words(list.text, [&](char* p) {
    if (list.count < words) list.words[list.count++] = p;
  });
  // Blanks and line breaks end the words in place.
  for (char* p = list.text; *p != 0; ++p) {
    if (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') *p = 0;
  }
  if (list.count == 0) {
    free_ext(list);
    return -1;
  }
  std::sort(list.words, list.words + list.count, [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
  return 0;
}

const z_vdir_t* find_vdir(const char16_t* name, uint64_t length) {
  uint64_t low = 0, high = vdirs.count;
  while (low < high) {
    uint64_t middle = (low + high) / 2;
    const char16_t* dir = vdirs.entries[middle].dir;
    uint64_t i = 0;
    while (i < length && dir[i] != 0 && dir[i] == name[i]) ++i;
    int order;
    if (i == length) order = dir[i] == 0 ? 0 : 1;
    else order = static_cast<int>(dir[i]) - static_cast<int>(name[i]);
    if (order == 0) return &vdirs.entries[middle];
    if (order < 0) low = middle + 1;
    else high = middle;
  }
  return nullptr;
}

bool ext_list_contains(const char* extension) {
  uint64_t low = 0, high = ext_list.count;
  while (low < high) {
    uint64_t middle = (low + high) / 2;
    int order = std::strcmp(ext_list.words[middle], extension);
    if (order == 0) return true;
    if (order < 0) low = middle + 1;
    else high = middle;
  }
  return false;
}

void free_lists() {
  free_vdirs(vdirs);
  free_ext(ext_list);
}

uint64_t utf8_to_utf16(char16_t* out, uint64_t capacity, const char* in) {
  if (out == nullptr || capacity == 0 || in == nullptr) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(in);
  uint64_t n = 0;
  auto put = [&](uint32_t unit) -> bool {
    if (n + 1 >= capacity) return false;
    out[n++] = static_cast<char16_t>(unit);
    return true;
  };
  for (;;) {
    unsigned char lead = *p++;
    if (lead == 0) break;
    if (lead < 0x80) {
      if (!put(lead)) break;
      continue;
    }
    if (lead < 0xC0 || lead >= 0xF8) continue;  // stray continuation or invalid lead: skipped
    if (lead < 0xE0) {
      uint32_t value = static_cast<uint32_t>(lead & 0x1F) << 6;
      if (continuation(*p)) value |= *p++ & 0x3Fu;
      if (!put(value)) break;  // written as it is, even when 0
      continue;
    }
    int more = lead < 0xF0 ? 2 : 3;
    uint32_t value = static_cast<uint32_t>(lead & (lead < 0xF0 ? 0x0F : 0x07)) << (6 * more);
    bool ended = false;
    for (int shift = 6 * (more - 1); shift >= 0; shift -= 6) {
      if (*p == 0) {
        ended = true;
        break;
      }
      if (!continuation(*p)) break;
      value |= static_cast<uint32_t>(*p++ & 0x3F) << shift;
    }
    if (value >= 0x10000 && value <= 0x10FFFF) {
      if (n + 2 >= capacity) break;
      out[n++] = static_cast<char16_t>(((value - 0x10000) >> 10) | 0xD800);
      out[n++] = static_cast<char16_t>((value & 0x3FF) | 0xDC00);
    } else if (value == 0) {
      ended = true;
    } else if (value < 0xD800 || (value > 0xDFFF && value < 0x10000)) {
      if (!put(value)) break;
    }
    if (ended) {
      out[n] = 0;
      return n;
    }
  }
  if (*(p - 1) != 0) {  // stopped for want of room
    out[n] = 0;
    return 0;
  }
  out[n] = 0;
  return n;
}

}  // namespace qm
