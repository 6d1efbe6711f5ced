// The order in which a folder's names are listed.
//
// A UTF-16 file system keeps a folder's names sorted by comparing their
// 16-bit units after mapping each through an upper-case table: ordinal and
// case-insensitive, never dependent on a locale. Listings here follow the
// same rule, so "apple", "Banana" and "cherry" come in that order wherever
// the server runs, and a folder lists the same way in every browser.
#pragma once
#include <cstdint>

namespace qm::os {

// The simple upper-case mapping of one UTF-16 unit; units without one, and
// surrogate units (characters beyond U+FFFF), map to themselves.
char16_t upper_unit(char16_t unit);

// Orders two NUL-terminated UTF-16 names: <0 when a comes first, 0 when they
// are the same units, >0 otherwise. Units are compared after upper_unit;
// names equal under it are ordered by their raw units (so "Apfel" comes
// before "apfel"), which makes the order total. A name that is the start of
// another comes first.
int compare_names(const char16_t* a, const char16_t* b);

// The same order for names as the system gives them (NUL-terminated UTF-8),
// read as the folder enumeration turns them into UTF-16 (U+FFFD for each
// byte that is not valid UTF-8). Different byte strings that read as the
// same units are ordered by their bytes, so no two names ever tie.
int compare_system_names(const char* a, const char* b);

}  // namespace qm::os
