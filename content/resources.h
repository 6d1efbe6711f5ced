// The files carried inside the executable and the groups they are kept in.
#pragma once
#include <cstdint>

namespace qm {

struct Z_RESPONSE;
struct Z_REQUEST;

struct z_resource_t {
  const char16_t* wide_name;    // the file name as UTF-16, for file-system use
  const char* install_path;     // absolute, beginning with "/"
  const char* sort_key;         // install path without its leading "/"
  const char* lookup_path;      // below the first folder, or the file name at the top
  const char* file_name;        // the last path component
  int32_t mime;                 // row of mime_types
  int32_t charset;              // row of charsets
  uint32_t size;                // bytes served, byte-order mark included
  const uint8_t* data;
  char last_modified[30];       // stored Last-Modified text, NUL-terminated
  char last_modified_lower[30]; // the same, A-Z lowered, for If-Modified-Since
};

}  // namespace qm
