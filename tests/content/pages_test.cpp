// Status pages, the product folder (resources, about page, POST echo) and
// redirects, driven through a slot's two send halves.
#include "content/pages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "content/header.h"
#include "content/resources.h"
#include "core/engine.h"
#include "http/request.h"
#include "os/event.h"
#include "os/memory.h"
#include "os/socket.h"

namespace qm {
namespace {

constexpr uint64_t block_size = 524288;

struct Pages : ::testing::Test {
  Z_RESPONSE r;
  Z_REQUEST request;
  Z_TLS tls;
  char* block = nullptr;
  char recv_buffer[8192 + 1];

  static void SetUpTestSuite() { sort_resource_groups(); }

  void SetUp() override {
    block = static_cast<char*>(os::aligned_allocate(block_size, 4096));
    ASSERT_NE(block, nullptr);
    r.send_base = r.p_write = block;
    r.size_write = block_size / 2;
    os::event_create(r.send_event, false, false);
    os::event_create(r.done_event, false, true);
  }
  void TearDown() override {
    os::event_close(r.send_event);
    os::event_close(r.done_event);
    os::aligned_free(block);
  }
  // Parses text as a received request; the fields point into recv_buffer.
  // With a full buffer (one byte after the text, for its NUL) a body that has not arrived
  // whole is left to its handler.
  void parse(const std::string& text, bool buffer_full = false) {
    ASSERT_LT(text.size(), sizeof(recv_buffer));
    std::memcpy(recv_buffer, text.data(), text.size());
    recv_buffer[text.size()] = 0;
    clear_request(request);
    char* end = buffer_full ? recv_buffer + text.size() + 1 : recv_buffer + sizeof(recv_buffer) - 1;
    ASSERT_TRUE(parse_request(request, recv_buffer, text.size(), end));
    ASSERT_TRUE(request.valid);
  }
  // What the send thread would have sent; the channel is then free again.
  std::string take_sent() {
    if (r.p_send == nullptr) return "";
    std::string sent(r.p_send, r.size_send);
    r.p_send = nullptr;
    os::event_set(r.done_event);
    return sent;
  }
};

std::string header_of(const std::string& response) {
  size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? response : response.substr(0, end + 4);
}
std::string body_of(const std::string& response) {
  size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}
std::string header_value(const std::string& response, const std::string& name) {
  std::string head = header_of(response);
  size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  at += name.size() + 4;
  return head.substr(at, head.find("\r\n", at) - at);
}
std::string about_page() { return std::string(page_head) + "Enjoy the mere!" + page_tail; }

// ---- status pages ----

TEST_F(Pages, TextStatusBodyIsBannerStatusTextAndLineEnd) {
  uint64_t size = send_status_page(r, r.p_write, r.size_write, status_405, false, false, true);
  std::string sent(r.p_write, size);
  std::string body = std::string(text_banner) + "405 Method Not Allowed\r\n";
  EXPECT_EQ(sent.rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u);
  EXPECT_EQ(header_value(sent, "Content-Type"), "text/plain");
  EXPECT_EQ(header_value(sent, "Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(header_value(sent, "Connection"), "close");
  EXPECT_EQ(body_of(sent), body);
  // The banner's fourth line is empty.
  EXPECT_EQ(std::string(text_banner).substr(std::strlen(text_banner) - 4), "\r\n\r\n");
}

TEST_F(Pages, StatusPagesCarryNoDates) {
  struct row {
    const char* label;
    uint32_t status;
    bool as_text;
  } rows[] = {{"400 text", status_400, true}, {"404 html", status_404, false}, {"500 html", status_500, false}};
  for (const row& c : rows) {
    uint64_t size = send_status_page(r, r.p_write, r.size_write, c.status, true, false, c.as_text);
    std::string head = header_of(std::string(r.p_write, size));
    EXPECT_EQ(head.find("Date:"), std::string::npos) << c.label;
    EXPECT_EQ(head.find("Expires:"), std::string::npos) << c.label;
    EXPECT_EQ(head.find("Last-Modified:"), std::string::npos) << c.label;
  }
}

TEST_F(Pages, HtmlNotFoundForHeadIsHeaderWithTheFullLength) {
  parse("HEAD /missing HTTP/1.1\r\nHost: a\r\n\r\n");
  answer_status_page(r, request, status_404, true, false);
  std::string sent = take_sent();
  std::string page = std::string(page_head) + "404 Not Found" + page_tail;
  EXPECT_EQ(sent.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
  EXPECT_EQ(header_value(sent, "Content-Type"), "text/html");
  EXPECT_EQ(header_value(sent, "Content-Length"), std::to_string(page.size()));
  EXPECT_EQ(header_value(sent, "Connection"), "keep-alive");
  EXPECT_EQ(body_of(sent), "");
}

TEST_F(Pages, StatusPageThatDoesNotFitGivesZero) {
  uint64_t full = send_status_page(r, r.p_write, r.size_write, status_404, true, false, false);
  ASSERT_GT(full, 0u);
  // The body must be shorter than the room left after the header.
  EXPECT_EQ(send_status_page(r, r.p_write, full, status_404, true, false, false), 0u);
  EXPECT_EQ(send_status_page(r, r.p_write, full + 1, status_404, true, false, false), full);
  EXPECT_EQ(send_status_page(r, r.p_write, 40, status_404, true, false, false), 0u);
}

TEST_F(Pages, PageTemplateHoldsBannerButtonsAndScripts) {
  std::string head = page_head, tail = page_tail;
  EXPECT_EQ(head.rfind("<html><head><title>quillmere</title><style>", 0), 0u);
  EXPECT_NE(head.find("st_addRule"), std::string::npos);
  EXPECT_NE(head.find("<b id=\"g\" class=\"st_quillmere\">quill<span class=\"st_mere\">mere</span></b>"),
            std::string::npos);
  std::string cell = "<tr class=\"st_center\"><td colspan=\"4\" class=\"st_err\">";
  EXPECT_EQ(head.substr(head.size() - cell.size()), cell);
  for (const char* button : {"history.back();", "location.reload(true);", "location.assign('../');",
                             "location.assign('/');"})
    EXPECT_NE(tail.find(button), std::string::npos) << button;
  EXPECT_EQ(tail.rfind("</td></tr>", 0), 0u);
  EXPECT_EQ(tail.substr(tail.size() - 14), "</body></html>");
}

// ---- the product folder ----

TEST_F(Pages, ProductFolderTargetsGiveTheAboutPage) {
  const char* targets[] = {"/quillmere", "/quillmere/", "/quillmere/ICON.16/audio.png", "/quillmerex/theme.css"};
  for (const char* target : targets) {
    parse(std::string("GET ") + target + " HTTP/1.1\r\nHost: a\r\n\r\n");
    serve_builtin(r, tls, request);
    std::string sent = take_sent();
    EXPECT_EQ(sent.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << target;
    EXPECT_EQ(header_value(sent, "Content-Type"), "text/html") << target;
    EXPECT_EQ(header_value(sent, "Content-Length"), std::to_string(about_page().size())) << target;
    EXPECT_EQ(body_of(sent), about_page()) << target;
  }
}

TEST_F(Pages, AboutPageForHeadIsHeaderOnlyAndForSimpleRequestBodyOnly) {
  parse("HEAD /quillmere/ HTTP/1.1\r\nHost: a\r\n\r\n");
  serve_builtin(r, tls, request);
  std::string sent = take_sent();
  EXPECT_EQ(header_value(sent, "Content-Length"), std::to_string(about_page().size()));
  EXPECT_EQ(body_of(sent), "");
  EXPECT_EQ(sent.size(), header_of(sent).size());

  parse("GET /quillmere\r\n");
  ASSERT_EQ(request.version, -1);
  serve_builtin(r, tls, request);
  EXPECT_EQ(take_sent(), about_page());
}

TEST_F(Pages, WebResourcesAreServedWithTypeSizeAndStoredDate) {
  struct row {
    const char* target;
    const char* type;
  } rows[] = {{"/quillmere/icon.16/audio.png", "image/png"},
              {"/quillmere/theme.css", "text/css; charset=utf-8"}};
  for (const row& c : rows) {
    const z_resource_t* resource = find_web_resource(c.target + 11);
    ASSERT_NE(resource, nullptr) << c.target;
    parse(std::string("GET ") + c.target + " HTTP/1.1\r\nHost: a\r\n\r\n");
    serve_builtin(r, tls, request);
    std::string sent = take_sent();
    EXPECT_EQ(sent.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << c.target;
    EXPECT_EQ(header_value(sent, "Content-Type"), c.type) << c.target;
    EXPECT_EQ(header_value(sent, "Content-Length"), std::to_string(resource->size)) << c.target;
    EXPECT_EQ(header_value(sent, "Last-Modified"), resource->last_modified) << c.target;
    EXPECT_EQ(header_of(sent).find("Accept-Ranges"), std::string::npos) << c.target;
    EXPECT_EQ(body_of(sent), std::string(reinterpret_cast<const char*>(resource->data), resource->size))
        << c.target;
  }
  EXPECT_STREQ(find_web_resource("theme.css")->last_modified, "Wed, 29 Dec 2021 21:24:59 GMT");
}

TEST_F(Pages, IfModifiedSinceMatchesTheWholeStoredDate) {
  const z_resource_t* css = find_web_resource("theme.css");
  ASSERT_NE(css, nullptr);
  struct row {
    const char* label;
    const char* since;
    const char* status;
  } rows[] = {
      {"same date, upper case", "Wed, 29 Dec 2021 21:24:59 GMT", "HTTP/1.1 304 Not Modified\r\n"},
      {"same date, lower case", "wed, 29 dec 2021 21:24:59 gmt", "HTTP/1.1 304 Not Modified\r\n"},
      {"one second off", "Wed, 29 Dec 2021 21:24:58 GMT", "HTTP/1.1 200 OK\r\n"},
      {"prefix only", "Wed, 29 Dec 2021 21:24:59", "HTTP/1.1 200 OK\r\n"},
      {"trailing text", "Wed, 29 Dec 2021 21:24:59 GMTx", "HTTP/1.1 200 OK\r\n"},
  };
  for (const row& c : rows) {
    parse(std::string("GET /quillmere/theme.css HTTP/1.1\r\nHost: a\r\nIf-Modified-Since: ") + c.since +
          "\r\n\r\n");
    serve_builtin(r, tls, request);
    std::string sent = take_sent();
    EXPECT_EQ(sent.rfind(c.status, 0), 0u) << c.label;
    EXPECT_EQ(header_value(sent, "Content-Length"), std::to_string(css->size)) << c.label;
    bool matched = std::string(c.status).find("304") != std::string::npos;
    EXPECT_EQ(body_of(sent).size(), matched ? 0u : css->size) << c.label;
  }
}

TEST_F(Pages, ResourceThatDoesNotFitTheHalfGives500) {
  const z_resource_t* css = find_web_resource("theme.css");
  ASSERT_NE(css, nullptr);
  r.size_write = css->size + 100;  // too small for header and file
  parse("GET /quillmere/theme.css HTTP/1.1\r\nHost: a\r\n\r\n");
  serve_builtin(r, tls, request);
  std::string sent = take_sent();
  EXPECT_EQ(sent.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
  EXPECT_EQ(header_value(sent, "Content-Type"), "text/plain");
  EXPECT_EQ(request.keep_alive, 0);
}

// ---- the POST echo ----

TEST_F(Pages, PostBodyIsEchoedAsText) {
  parse("POST /form HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\nContent-Length: 10\r\n\r\n0123456789");
  ASSERT_EQ(request.body_in_buffer, 0u);
  serve_builtin(r, tls, request);
  std::string sent = take_sent();
  EXPECT_EQ(sent.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(header_value(sent, "Content-Type"), "text/plain");
  EXPECT_EQ(header_value(sent, "Content-Length"), "10");
  EXPECT_EQ(body_of(sent), "0123456789");
  EXPECT_EQ(request.keep_alive, 1);
}

TEST_F(Pages, PostToAResourcePathGetsTheResource) {
  parse("POST /quillmere/theme.css HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc");
  serve_builtin(r, tls, request);
  EXPECT_EQ(header_value(take_sent(), "Content-Type"), "text/css; charset=utf-8");
}

TEST_F(Pages, PostWithoutLengthGets411AndCloses) {
  const char* requests[] = {"POST /form HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n",
                            "POST /form HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n"};
  for (const char* text : requests) {
    parse(text);
    ASSERT_EQ(request.keep_alive, 1) << text;
    serve_builtin(r, tls, request);
    std::string sent = take_sent();
    EXPECT_EQ(sent.rfind("HTTP/1.1 411 Length Required\r\n", 0), 0u) << text;
    EXPECT_EQ(body_of(sent), std::string(text_banner) + "411 Length Required\r\n") << text;
    EXPECT_EQ(header_value(sent, "Connection"), "close") << text;
    EXPECT_EQ(request.keep_alive, 0) << text;
  }
}

TEST_F(Pages, EchoPartTooLargeForTheHalfGives500) {
  parse("POST /form HTTP/1.1\r\nHost: a\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'b'));
  r.size_write = 1000;
  serve_builtin(r, tls, request);
  std::string sent = take_sent();
  EXPECT_EQ(sent.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
  EXPECT_EQ(request.keep_alive, 0);
}

// A send thread that records every half handed to it.
struct recording_sender {
  Z_RESPONSE& r;
  std::vector<std::string> sends;
  std::thread thread;
  std::atomic<bool> stop{false};
  explicit recording_sender(Z_RESPONSE& response) : r(response) {
    thread = std::thread([this] {
      while (os::event_wait(r.send_event, 5000) == os::wait_result::signaled && !stop) {
        sends.emplace_back(r.p_send, r.size_send);
        os::event_set(r.done_event);
      }
    });
  }
  // Waits for the last send, then ends the thread.
  void finish() {
    os::event_wait(r.done_event, 5000);
    stop = true;
    os::event_set(r.send_event);
    thread.join();
  }
};

struct socket_pair {
  os::socket_t listening = os::invalid_socket, client = os::invalid_socket, server = os::invalid_socket;
  bool open() {
    listening = os::socket_create(1, 6);
    os::z_sockaddr_in address;
    address.family = os::af_inet;
    if (!os::parse_ipv4("127.0.0.1", &address.address)) return false;
    if (os::socket_bind(listening, address) != 0 || os::socket_listen(listening, 1) != 0) return false;
    address.port = os::host_to_net16(os::socket_local_port(listening));
    client = os::socket_create(1, 6);
    if (os::socket_connect(client, address) != 0) return false;
    server = os::socket_accept(listening, nullptr);
    return server != os::invalid_socket;
  }
  ~socket_pair() {
    for (os::socket_t so : {listening, client, server})
      if (so != os::invalid_socket) os::socket_close(so);
  }
};

TEST_F(Pages, BodyRestIsReadFromTheConnectionAndSentAsItComes) {
  socket_pair pair;
  ASSERT_TRUE(pair.open());
  tls.so = pair.server;
  // Four bytes arrived with the header; six more come from the connection.
  parse("POST /form HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\nContent-Length: 10\r\n\r\n0123", true);
  ASSERT_EQ(request.body_in_buffer, 4u);
  ASSERT_EQ(os::socket_send(pair.client, "456789", 6), 6);
  r.size_write = 4096;  // reads of the rest are bounded by the half
  recording_sender sender(r);
  serve_builtin(r, tls, request);
  sender.finish();
  ASSERT_GE(sender.sends.size(), 2u);
  EXPECT_EQ(header_value(sender.sends[0], "Content-Length"), "10");
  EXPECT_EQ(body_of(sender.sends[0]), "0123");
  std::string rest;
  for (size_t i = 1; i < sender.sends.size(); ++i) rest += sender.sends[i];
  EXPECT_EQ(rest, "456789");
  EXPECT_EQ(request.keep_alive, 1);
  tls.so = os::invalid_socket;
}

TEST_F(Pages, BodyRestCutShortClosesTheConnection) {
  socket_pair pair;
  ASSERT_TRUE(pair.open());
  tls.so = pair.server;
  parse("POST /form HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\nContent-Length: 10\r\n\r\n0123", true);
  ASSERT_EQ(request.body_in_buffer, 4u);
  ASSERT_EQ(os::socket_send(pair.client, "45", 2), 2);
  os::socket_shutdown(pair.client);  // the peer ends before the body does
  recording_sender sender(r);
  serve_builtin(r, tls, request);
  sender.finish();
  EXPECT_EQ(request.keep_alive, 0);
  tls.so = os::invalid_socket;
}

// ---- redirects ----

TEST_F(Pages, RedirectCarriesLocationAndEscapedLink) {
  parse("GET /folder HTTP/1.1\r\nHost: a\r\n\r\n");
  send_redirect(r, request, "https://a/folder/?x=1&y=\"<b>'");
  std::string sent = take_sent();
  EXPECT_EQ(sent.rfind("HTTP/1.1 302 Found\r\n", 0), 0u);
  EXPECT_EQ(header_value(sent, "Location"), "https://a/folder/?x=1&y=\"<b>'");
  EXPECT_EQ(header_value(sent, "Content-Type"), "text/html");
  EXPECT_EQ(header_of(sent).find("Date:"), std::string::npos);
  std::string body =
      "<html><head><title>302 Found</title></head><body><a href=\""
      "https://a/folder/?x=1&amp;y=&quot;&lt;b&gt;&#39;"
      "\"><h1>Moved here</h1></a></body></html>";
  EXPECT_EQ(body_of(sent), body);
  EXPECT_EQ(header_value(sent, "Content-Length"), std::to_string(body.size()));

  parse("HEAD /folder HTTP/1.1\r\nHost: a\r\n\r\n");
  send_redirect(r, request, "https://a/folder/");
  sent = take_sent();
  EXPECT_EQ(header_value(sent, "Location"), "https://a/folder/");
  EXPECT_EQ(sent.size(), header_of(sent).size());
}

TEST_F(Pages, RedirectWithLineBreakInLocationSendsNothing) {
  parse("GET /folder HTTP/1.1\r\nHost: a\r\n\r\n");
  send_redirect(r, request, "https://a/\r\nSet-Cookie: x=1");
  EXPECT_EQ(take_sent(), "");
}

}  // namespace
}  // namespace qm
