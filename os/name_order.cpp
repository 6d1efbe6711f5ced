// The listing order: UTF-16 units compared through an upper-case table.
#include "os/name_order.h"

#include <cstring>

#include "os/text.h"

namespace qm::os {

namespace {

struct z_upper_run {
  char16_t first;
  char16_t last;
  uint8_t step;   // 1: every unit in [first, last]; 2: every other one
  int32_t offset; // added to the unit
};

// Every unit of U+0000 to U+FFFF whose simple upper-case mapping stays in
// that range: Latin, Greek, Cyrillic, Armenian, Georgian, Cherokee,
// Glagolitic, Coptic, the fullwidth letters and the rest of the Unicode
// database, not only the common alphabets, so that no script lists its
// lower-case names apart from their upper-case twins. Sorted by first unit;
// the runs never overlap.
constexpr z_upper_run upper_runs[] = {
#include "os/upper_case.inc"
};

// A name as UTF-16 units, one at a time; 0 at its end.
struct z_utf16_units {
  const char16_t* p;
  uint32_t next() { return *p == 0 ? 0 : *p++; }
};

// A NUL-terminated UTF-8 name as the UTF-16 units it converts to.
struct z_utf8_units {
  const char* p;
  uint32_t low = 0;  // the second unit of a surrogate pair, when one is due
  uint32_t next() {
    if (low != 0) {
      uint32_t unit = low;
      low = 0;
      return unit;
    }
    if (*p == 0) return 0;
    uint32_t cp = decode_utf8(p);
    if (cp < 0x10000) return cp;
    low = 0xDC00 + ((cp - 0x10000) & 0x3FF);
    return 0xD800 + ((cp - 0x10000) >> 10);
  }
};

// One pass over both names: the first difference after upper_unit decides;
// where there is none, the first raw difference does.
template <typename A, typename B>
int compare_units(A a, B b) {
  int tie = 0;
  for (;;) {
    uint32_t x = a.next();
    uint32_t y = b.next();
    if (x != y) {
      uint32_t ux = upper_unit(static_cast<char16_t>(x));
      uint32_t uy = upper_unit(static_cast<char16_t>(y));
      if (ux != uy) return ux < uy ? -1 : 1;
      if (tie == 0) tie = x < y ? -1 : 1;
    }
    if (x == 0) return tie;  // both have ended: a name that ends first was decided above (0 maps to 0)
  }
}

}  // namespace

char16_t upper_unit(char16_t unit) {
  if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
  // The last run that starts at or before the unit.
  size_t low = 0, high = sizeof upper_runs / sizeof upper_runs[0];
  while (low < high) {
    size_t middle = (low + high) / 2;
    if (upper_runs[middle].first <= unit)
      low = middle + 1;
    else
      high = middle;
  }
  if (low == 0) return unit;
  const z_upper_run& run = upper_runs[low - 1];
  if (unit > run.last || (unit - run.first) % run.step != 0) return unit;
  return static_cast<char16_t>(static_cast<int32_t>(unit) + run.offset);
}

int compare_names(const char16_t* a, const char16_t* b) {
  return compare_units(z_utf16_units{a}, z_utf16_units{b});
}

int compare_system_names(const char* a, const char* b) {
  // Names in one folder often share a long start ("IMG_2023..."): where it
  // is ASCII it cannot decide anything, so it is passed byte by byte.
  size_t same = 0;
  while (a[same] == b[same] && a[same] != 0 && static_cast<unsigned char>(a[same]) < 0x80) ++same;
  a += same;
  b += same;
  int order = compare_units(z_utf8_units{a}, z_utf8_units{b});
  if (order != 0) return order;
  int bytes = std::strcmp(a, b);
  return bytes < 0 ? -1 : bytes > 0 ? 1 : 0;
}

}  // namespace qm::os
