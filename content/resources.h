// The files carried inside the executable and the groups they are kept in.
//
// Every carried file has one fixed record; the records are reached through
// five groups (arrays of pointers), each sorted once at start-up by the
// records' sort key in plain byte order so that lookups can binary-search
// them. After sort_resource_groups the tables are read-only and any number of
// threads may read them without locks.
#pragma once
#include <cstdint>

#include "content/mime.h"

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
  char last_modified[30];       // Last-Modified as an IMF-fixdate, NUL-terminated
  uint64_t last_write;          // the same time as a FILETIME, for If-Modified-Since
};


inline constexpr uint32_t resource_count = 28;
// Every carried record, in no particular order.
extern const z_resource_t resource_table[resource_count];

// The groups. Pointers into resource_table; sorted by sort_resource_groups.
inline constexpr uint32_t web_resource_count = 18;
inline constexpr uint32_t favicon_count = 2;
inline constexpr uint32_t etc_resource_count = 6;
inline constexpr uint32_t launchd_resource_count = 1;
inline constexpr uint32_t windows_config_count = 1;
// Served under "/quillmere/" (icons, scripts, style sheet, test page).
extern const z_resource_t* web_resources[web_resource_count];
// "quillmere.ico" (served for a missing /favicon.ico) and "quillmere.t.ico".
extern const z_resource_t* favicons[favicon_count];
// Default configurations and service scripts under /etc; carried only.
extern const z_resource_t* etc_resources[etc_resource_count];
// The launchd property list under /Library/LaunchDaemons; carried only.
extern const z_resource_t* launchd_resources[launchd_resource_count];
// The UTF-16 default configuration under "/Program Files".
extern const z_resource_t* windows_config[windows_config_count];

struct z_resource_group_t {
  const z_resource_t** items;
  uint32_t count;
};
inline constexpr uint32_t resource_group_count = 5;
extern const z_resource_group_t resource_groups[resource_group_count];

// Sorts every group by sort key, comparing bytes as unsigned values. Called
// once while the engine is built, before any slot serves; calling it again
// changes nothing.
void sort_resource_groups();

// Sends the resource whole with 200, or 304 when it is not modified since
// the request's If-Modified-Since (the rule of http/conditions.h).
void serve_resource(Z_RESPONSE& response, Z_REQUEST& request, const z_resource_t& resource);

// The web resource whose lookup path (the path below "/quillmere/") is
// exactly path: case matters, no decoding. Null when there is none. Needs the
// groups sorted.
const z_resource_t* find_web_resource(const char* path_below_quillmere);
// The same for a path given by its start and length (not NUL-terminated).
const z_resource_t* find_web_resource(const char* path, uint64_t size);

// "/quillmere.ico", served for "/favicon.ico" when the root has none.
const z_resource_t* favicon_resource();
// "/Program Files/z_quillmere/z_quillmere.ini": the UTF-16LE default
// configuration (byte-order mark included), written whole when the
// configuration file is missing; its wide name is the fallback file name.
const z_resource_t* default_config_resource();

}  // namespace qm
