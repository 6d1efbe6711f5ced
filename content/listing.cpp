// Directory listings: an HTML page built straight in the send half, folders
// first, then files, sent whole with a Content-Length when it fits one half
// and as chunks otherwise.
//
// Each group is in the folder enumeration's order: names compared without
// regard to case, unit by unit, as a Windows folder lists them. The names
// are sorted in the slot's own buffer, one bufferful per read of the folder;
// a folder too large to sort within os::dir_sorted_reads reads lists the rest
// in runs, each in order, and a row marks each place where the order starts
// again (os/file.h).
//
// Names come from the file system and may hold any character, so the page
// escapes them for HTML in the text and percent-encodes them in the links.
#include "content/listing.h"

#include <cstring>
#include <string_view>

#include "content/header.h"
#include "content/mime.h"
#include "content/pages.h"
#include "core/engine.h"
#include "http/conditions.h"
#include "os/error.h"
#include "os/file.h"
#include "os/output.h"

namespace qm {

namespace {

using namespace std::string_view_literals;

constexpr const char* list_charset = "utf-8";
// Bytes left free at the end of the half: the last chunk's CR LF, "0" and two CR LF.
constexpr uint64_t list_tail = 8;
// A half with fewer bytes than this left is flushed before the next entry.
constexpr uint64_t flush_threshold = 1024;
constexpr uint64_t name_room = 256 * 3 + 1;  // UTF-8 of 255 units (3 bytes at most each) and a NUL

constexpr std::string_view page_open = "<!DOCTYPE html><html><head>"sv;
constexpr std::string_view debug_script =
    "<script type=\"text/javascript\" src=\"/quillmere/lib-debug.js\"></script>"sv;
constexpr std::string_view listing_head =
    "<script type=\"text/javascript\" src=\"/quillmere/media.js\"></script>"
    "<link href=\"/quillmere/theme.css\" rel=\"stylesheet\" type=\"text/css\" />"
    "<meta name=\"viewport\" content=\"width=576, initial-scale=1.0, minimum-scale=1.0, maximum-scale=1.0, "
    "user-scalable=0\" />"
    "<meta name=\"format-detection\" content=\"date=no\" />"
    "<meta name=\"format-detection\" content=\"telephone=no\" />"
    "<script type=\"text/javascript\">"
    "if(!window.addEventListener&&window.attachEvent){"
    "window.addEventListener=function(name,handler){window.attachEvent(\"on\"+name,handler);};}"
    "function get_offsetTop(obj){var top=0;"
    "while(obj&&obj!==document.body){top+=obj.offsetTop;obj=obj.offsetParent;}return top;}"
    "function is_in_view(obj){return window.innerHeight+window.scrollY>get_offsetTop(obj);}"
    "function light(){var el=window.el_quillmere;"
    "if(el&&is_in_view(el)){el.style.color=\"DarkViolet\";}setTimeout(dark,500);}"
    "function dark(){var el=window.el_quillmere;if(el){el.style.color=\"black\";}setTimeout(light,10000);}"
    "function load_quillmere_animation(){window.el_quillmere=document.getElementById(\"quillmere\");"
    "setTimeout(light,2000);}"
    "window.addEventListener(\"load\",load_quillmere_animation,true);"
    "</script>"
    "<title>"sv;
constexpr std::string_view title_close = "</title></head><body><h1>"sv;
constexpr std::string_view table_open = "</h1><table id=\"files\" cellpadding=\"0\" cellspacing=\"0\">"sv;
constexpr std::string_view separator_row = "<tr><td class=\"st_separator\" colspan=\"4\"></td></tr>"sv;
// Marks where a folder too large to sort at once starts a new ordered run.
constexpr std::string_view restart_row =
    "<tr><td colspan=\"4\" class=\"st_about\">"
    "More names than one listing sorts: the order starts again here</td></tr>"sv;
constexpr std::string_view closing_row =
    "<tr><td colspan=\"4\" class=\"st_about\"><h3>"
    "Small, fast web server for static content and media streaming<br />"
    "<a href=\"https://quillmere.example.com/\" id=\"quillmere\" class=\"st_quillmere\">"
    "quill<span class=\"st_mere\">mere</span>"
    "</a> web server</h3></td></tr></table></body></html>"sv;

constexpr std::string_view row_open = "<tr class=\"st_item "sv;
constexpr std::string_view row_even = "st_even"sv;
constexpr std::string_view row_odd = "st_odd"sv;
constexpr std::string_view row_link = "\"><td><a class=\"st_u st_block\" name=\"links\" href=\""sv;
constexpr std::string_view row_icon =
    "\"><table cellpadding=\"0\" cellspacing=\"0\" class=\"st_w100\"><tr><td class=\"st_icon_box\">"
    "<img class=\"st_icon st_block\" src=\"/quillmere/icon.16/"sv;
constexpr std::string_view row_srcset = "\" srcset=\"/quillmere/icon.32/"sv;
constexpr std::string_view row_name = " 2x\"/></td><td class=\"st_right_8\">"sv;
constexpr std::string_view row_size =
    "</td><td class=\"st_visit_td\"><div class=\"st_visit\"></div></td></tr></table></a></td>"
    "<td class=\"st_u st_right_4 st_size\">"sv;
constexpr std::string_view row_unit = "</td><td class=\"st_u st_right_4\">"sv;
constexpr std::string_view row_unit_close = "</td>"sv;
constexpr std::string_view row_folder_size = "&nbsp;</td><td class=\"st_u\">&nbsp;</td>"sv;
constexpr std::string_view row_date = "<td class=\"st_u st_right_2 st_date\" name=\"dates\">"sv;
constexpr std::string_view row_close = "</td></tr>"sv;

constexpr std::string_view icon_folder = "z-folder-h.png"sv;
constexpr std::string_view icon_video = "video.png"sv;
constexpr std::string_view icon_text = "text.png"sv;
constexpr std::string_view icon_image = "img.png"sv;
constexpr std::string_view icon_audio = "audio.png"sv;
constexpr std::string_view icon_default = "0-default.png"sv;

// Fixed text of a row besides the names and the icon: the longest choices,
// 20 digits of size, a unit and the date.
constexpr uint64_t row_fixed = row_open.size() + row_even.size() + row_link.size() + 1 + row_icon.size() +
                               row_srcset.size() + row_name.size() + row_size.size() + 20 + row_unit.size() +
                               1 + row_unit_close.size() + row_folder_size.size() + row_date.size() + 18 +
                               row_close.size() + 2 * icon_folder.size();

// The page being written into the data part of the current half.
struct z_page {
  char* cursor = nullptr;
  char* end = nullptr;    // end of the half, as flush_chunk keeps it
  char* limit = nullptr;  // where writing stops: end less the tail, or less a scratch text
  bool header_sent = false;
  bool chunk_failed = false;
  bool sent = true;  // the result of the last flush
};

uint64_t room_left(const z_page& page) {
  return page.cursor < page.limit ? static_cast<uint64_t>(page.limit - page.cursor) : 0;
}

// Fixed texts are written only when they fit with one byte to spare.
bool put(z_page& page, std::string_view text) {
  if (text.size() + 1 > room_left(page)) return false;
  std::memcpy(page.cursor, text.data(), text.size());
  page.cursor += text.size();
  return true;
}

std::string_view html_entity(char c) {
  switch (c) {
    case '&': return "&amp;"sv;
    case '<': return "&lt;"sv;
    case '>': return "&gt;"sv;
    case '"': return "&quot;"sv;
    case '\'': return "&#39;"sv;
    default: return {};
  }
}

uint64_t html_size(const char* text) {
  uint64_t size = 0;
  for (const char* p = text; *p != 0; ++p) {
    std::string_view entity = html_entity(*p);
    size += entity.empty() ? 1 : entity.size();
  }
  return size;
}

// Writes text HTML-escaped, or nothing when it does not fit.
bool put_html(z_page& page, const char* text) {
  if (html_size(text) + 1 > room_left(page)) return false;
  for (const char* p = text; *p != 0; ++p) {
    std::string_view entity = html_entity(*p);
    if (entity.empty()) {
      *page.cursor++ = *p;
    } else {
      std::memcpy(page.cursor, entity.data(), entity.size());
      page.cursor += entity.size();
    }
  }
  return true;
}

// RFC 3986 unreserved characters, and '/' which separates path segments.
bool keeps_in_link(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~' || c == '/';
}

uint64_t link_size(const char* text) {
  uint64_t size = 0;
  for (const char* p = text; *p != 0; ++p) size += keeps_in_link(static_cast<unsigned char>(*p)) ? 1 : 3;
  return size;
}

// Writes text percent-encoded (upper-case hex), or nothing when it does not fit.
bool put_link(z_page& page, const char* text) {
  static const char hex[] = "0123456789ABCDEF";
  if (link_size(text) + 1 > room_left(page)) return false;
  for (const char* p = text; *p != 0; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (keeps_in_link(c)) {
      *page.cursor++ = static_cast<char>(c);
      continue;
    }
    page.cursor[0] = '%';
    page.cursor[1] = hex[c >> 4];
    page.cursor[2] = hex[c & 0xF];
    page.cursor += 3;
  }
  return true;
}

// Sends what was gathered as one chunk; false when the listing must stop
// (a failed send, or a HEAD request whose header has gone out).
bool flush(Z_TASK& task, z_page& page) {
  page.sent = flush_chunk(task.response, task.request, page.cursor, page.end, page.header_sent,
                         page.chunk_failed, list_charset);
  page.limit = page.end - list_tail;
  return !page.chunk_failed;
}

// ---- The redirect of a folder named without its '/' ----

// Makes the target read path "/" ["?" query] in place; the location, or null
// when the receive buffer has no room for the longer text.
const char* folder_location(Z_TASK& task) {
  Z_REQUEST& r = task.request;
  if (r.target == nullptr || r.path_size == 0) return nullptr;
  char* path_end = r.target + r.path_size;
  bool query = r.query != nullptr && r.query_size > 0;
  char* text_end = query ? path_end + 2 + r.query_size : path_end + 1;  // the NUL's place
  if (task.recv_end == nullptr || text_end >= task.recv_end) {
    if (!query || path_end + 1 >= task.recv_end) return nullptr;
    query = false;  // no room to shift the query: the folder alone
    text_end = path_end + 1;
  }
  if (query) {
    std::memmove(path_end + 2, r.query, r.query_size);
    path_end[1] = '?';
  }
  path_end[0] = '/';
  *text_end = 0;
  // "//host/" or "/\host/" would send the client to another site.
  char* location = r.target;
  if (location[0] == '/' && (location[1] == '/' || location[1] == '\\')) {
    while (location[1] == '/' || location[1] == '\\') ++location;
    location[0] = '/';
  }
  return location;
}

bool redirect_to_folder(Z_TASK& task) {
  const char* location = folder_location(task);
  if (location == nullptr) {
    task.request.keep_alive = 0;
    answer_status_page(task.response, task.request, status_500, false, false);
    return false;
  }
  send_redirect(task.response, task.request, location);
  return false;
}

// ---- Page parts ----

// The last non-empty segment of the decoded path with its '/', or "/".
// Converted into scratch space at the end of the half; null when it does not fit.
const char* title_text(Z_TASK& task, z_page& page) {
  Z_PATH& path = task.response.path;
  char16_t* start = path.buffer + path.prefix_size;
  char16_t* last = path.end;
  while (last > start && last[-1] == '/') --last;
  if (last == start) return "/";
  char16_t* begin = last;
  while (begin > start && begin[-1] != '/') --begin;
  uint64_t room = 3 * static_cast<uint64_t>(last - begin + 1) + 1;
  if (room > room_left(page) / 2) return nullptr;
  char* scratch = page.limit - room;
  char16_t saved = last[1];  // last[0] is the segment's '/'; last + 1 lies within the path
  last[1] = 0;
  uint64_t size = utf16_to_utf8(scratch, room, begin);
  last[1] = saved;
  if (size == 0) return nullptr;
  page.limit = scratch;  // the title stays readable until the heading is written
  return scratch;
}

void write_head(Z_TASK& task, z_page& page) {
  put(page, page_open);
  if (task.request.debug) put(page, debug_script);
  put(page, listing_head);
  const char* title = title_text(task, page);
  if (title != nullptr) put_html(page, title);
  put(page, title_close);
  if (title != nullptr) put_html(page, title);
  page.limit = page.end - list_tail;
  put(page, table_open);
}

std::string_view icon_for(uint32_t mime) {
  if (mime >= mime_first_video) return icon_video;
  if (mime >= mime_first_text) return icon_text;
  if (mime >= mime_first_font) return icon_image;
  if (mime >= mime_first_audio) return icon_audio;
  return icon_default;
}

struct z_size_column {
  uint64_t value;
  char unit;
};

// Bytes up to 8 KiB, then K up to 8 MiB, M up to 8 GiB, G beyond.
z_size_column size_column(uint64_t size) {
  if (size > 8589934592ull) return {size >> 30, 'G'};
  if (size > 8388608ull) return {size >> 20, 'M'};
  if (size > 8192ull) return {size >> 10, 'K'};
  return {size, ' '};
}

bool listed_name(const char16_t* name) {
  if (name[0] == 0) return false;
  if (name[0] != '.') return true;
  if (name[1] == 0) return false;                   // "."
  if (name[1] == '_') return false;                 // "._*": resource forks
  return !(name[1] == 'D' && name[2] == 'S' && name[3] == '_');  // ".DS_*"
}

void put_size(z_page& page, uint64_t size) {
  z_size_column column = size_column(size);
  char digits[24];
  char* cursor = digits;
  write_decimal(cursor, sizeof digits, column.value);
  put(page, std::string_view(digits, static_cast<size_t>(cursor - digits)));
  put(page, row_unit);
  put(page, std::string_view(&column.unit, 1));
  put(page, row_unit_close);
}

void put_date(z_page& page, uint64_t last_write) {
  os::z_tm time;
  char date[24];
  os::filetime_to_tm(last_write, &time);
  uint64_t size = format_list_date(time, date, sizeof date);
  put(page, std::string_view(date, static_cast<size_t>(size)));
}

void write_row(z_page& page, const os::dir_entry& entry, const char* name, std::string_view icon, bool odd) {
  put(page, row_open);
  put(page, odd ? row_odd : row_even);
  put(page, row_link);
  put_link(page, name);
  if (entry.is_directory) put(page, "/"sv);
  put(page, row_icon);
  put(page, icon);
  put(page, row_srcset);
  put(page, icon);
  put(page, row_name);
  put_html(page, name);
  put(page, row_size);
  if (entry.is_directory) {
    put(page, row_folder_size);
  } else {
    put_size(page, entry.size);
  }
  put(page, row_date);
  put_date(page, entry.last_write);
  put(page, row_close);
}

// ---- Enumeration ----

enum class pass_end { done, stopped, refused };

struct z_pass {
  bool folders;
  bool odd = false;
};

// Lists one entry, flushing first when the half is nearly full or the row
// would not fit; false when the listing must stop.
bool list_entry(Z_TASK& task, z_page& page, z_pass& pass, const os::dir_entry& entry) {
  if (room_left(page) < flush_threshold && !flush(task, page)) return false;
  if (entry.restarts_order) put(page, restart_row);  // shorter than flush_threshold
  if (entry.is_directory != pass.folders || !listed_name(entry.name)) return true;
  std::string_view icon = icon_folder;
  if (!pass.folders) {
    const char16_t* name_end = entry.name;
    while (*name_end != 0 && name_end < entry.name + 255) ++name_end;
    uint32_t mime = lookup_mime_type(entry.name, name_end);
    if (mime == mime_blocked) return true;
    icon = icon_for(mime);
  }
  char name[name_room];
  if (utf16_to_utf8(name, sizeof name, entry.name) == 0) name[0] = 0;  // written as an empty text
  uint64_t row = row_fixed + link_size(name) + html_size(name);
  if (row + 1 > room_left(page) && !flush(task, page)) return false;
  write_row(page, entry, name, icon, pass.odd);
  pass.odd = !pass.odd;
  return true;
}

pass_end run_pass(Z_TASK& task, z_page& page, z_pass& pass, const char16_t* pattern) {
  os::dir_handle h_find;
  os::dir_entry file_search_info;
  os::dir_options options;
  options.kinds = pass.folders ? os::dir_kinds::folders : os::dir_kinds::files;
  options.names = task.names_begin;  // null in a slot without one: the file system's order
  options.names_size = task.names_begin != nullptr ? names_length : 0;
  uint32_t error = os::dir_open(h_find, pattern, &file_search_info, options);
  if (error == os::err_no_more_files) return pass_end::done;
  if (error != 0) return pass_end::refused;
  pass_end end = pass_end::done;
  do {
    if (!list_entry(task, page, pass, file_search_info)) {
      end = pass_end::stopped;
      break;
    }
    error = os::dir_next(h_find, &file_search_info);
  } while (error == 0);
  if (end == pass_end::done && error != os::err_no_more_files)
    os::print_error(error, "FindNextFile(h_find, &file_search_info)");
  os::dir_close(h_find);
  return end;
}

// ---- Sending what remains ----

bool send_last_chunk(Z_TASK& task, z_page& page) {
  char* data = task.response.p_write + chunk_reserve;
  uint64_t size = static_cast<uint64_t>(page.cursor - data);
  if (size == 0) {
    std::memcpy(data, "0\r\n\r\n", 5);
    return send_packet(task.response, data, 5, task.request);
  }
  char digits[16];
  uint64_t digit_count = write_hex(digits, size);
  char* start = data - 2 - digit_count;
  std::memcpy(start, digits, digit_count);
  data[-2] = '\r';
  data[-1] = '\n';
  std::memcpy(page.cursor, "\r\n0\r\n\r\n", 7);
  return send_packet(task.response, start, digit_count + 2 + size + 7, task.request);
}

bool send_whole_page(Z_TASK& task, z_page& page) {
  Z_RESPONSE& response = task.response;
  Z_REQUEST& r = task.request;
  char* half = response.p_write;
  char* data = half + chunk_reserve;
  uint64_t length = static_cast<uint64_t>(page.cursor - data);
  if (length == 0) {
    r.keep_alive = 0;
    return false;
  }
  z_range_answer a = answer_range(r, length);
  char* body = data + a.range.first;
  uint64_t body_size = a.status == status_416 ? 0 : a.range.last - a.range.first + 1;
  if (r.version < 0) {  // a simple request gets the bare page
    if (r.method == method_head) return true;
    return send_packet(response, body, body_size, r);
  }
  uint64_t header = build_header(response, half, chunk_reserve, a.status, mime_html, length, r.keep_alive != 0,
                                 false, &a.range, nullptr, nullptr, list_charset, nullptr);
  if (header == 0) {
    r.keep_alive = 0;
    answer_status_page(response, r, status_500, false, false);
    return false;
  }
  char* start = body - header;
  std::memmove(start, half, header);
  return send_packet(response, start, header + (r.method == method_head ? 0 : body_size), r);
}

// Writes "*" after the folder path's final '/'; false without room for it.
bool make_pattern(Z_PATH& path) {
  if (path.buffer == nullptr || path.end == nullptr || path.end + 2 > path.buffer + path.capacity) return false;
  path.end[0] = '*';
  path.end[1] = 0;
  return true;
}

bool refuse(Z_TASK& task, const z_page& page) {
  task.request.keep_alive = 0;
  if (page.header_sent) return false;  // a chunk is out: the response cannot change now
  answer_status_page(task.response, task.request, status_403, false, false);
  return false;
}

}  // namespace

uint64_t format_list_date(const os::z_tm& time, char* out, uint64_t room) {
  int year = time.tm_year + 1900;
  int month = time.tm_mon + 1;
  bool valid = year >= 0 && year <= 9999 && month >= 1 && month <= 12 && time.tm_mday >= 0 &&
               time.tm_mday <= 99 && time.tm_hour >= 0 && time.tm_hour <= 99 && time.tm_min >= 0 &&
               time.tm_min <= 99;
  if (out == nullptr || room < 19 || !valid) return 0;
  auto two = [](char* p, int v) {
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
  };
  two(out, year / 100);
  two(out + 2, year % 100);
  out[4] = '-';
  two(out + 5, month);
  out[7] = '-';
  two(out + 8, time.tm_mday);
  std::memcpy(out + 10, " / ", 3);
  two(out + 13, time.tm_hour);
  out[15] = ':';
  two(out + 16, time.tm_min);
  out[18] = 0;
  return 18;
}

bool send_listing(Z_TASK& task) {
  Z_RESPONSE& response = task.response;
  Z_PATH& path = response.path;
  if (path.end == nullptr || path.end == path.buffer || path.end[-1] != '/') return redirect_to_folder(task);
  if (response.p_write == nullptr || response.size_write <= chunk_reserve + 2 * flush_threshold) {
    task.request.keep_alive = 0;
    return false;
  }
  response.encoding_br = response.encoding_gzip = 0;  // the page is never a variant
  z_page page;
  page.cursor = response.p_write + chunk_reserve;
  page.end = response.p_write + response.size_write;
  page.limit = page.end - list_tail;
  write_head(task, page);
  if (!make_pattern(path)) return refuse(task, page);
  z_pass passes[2] = {{true}, {false}};
  for (z_pass& pass : passes) {
    pass_end end = run_pass(task, page, pass, path.buffer);
    if (end == pass_end::refused) {
      path.end[0] = 0;
      return refuse(task, page);
    }
    if (end == pass_end::stopped) {
      path.end[0] = 0;
      return page.sent;
    }
    std::string_view tail = pass.folders ? separator_row : closing_row;
    if (tail.size() + 1 > room_left(page) && !flush(task, page)) {
      path.end[0] = 0;
      return page.sent;
    }
    put(page, tail);
  }
  path.end[0] = 0;
  if (page.header_sent) return send_last_chunk(task, page);
  return send_whole_page(task, page);
}

}  // namespace qm
