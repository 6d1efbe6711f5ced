// TEST-ONLY STAND-IN: DELETE THIS FILE once content/pages.cpp and
// http/transfer.cpp are merged. It gives the dispatcher's callees weak,
// do-nothing definitions so that the test executable links before they land;
// the real definitions win over these where they exist.
#include "content/pages.h"
#include "http/transfer.h"

namespace qm {

__attribute__((weak)) void answer_status_page(Z_RESPONSE&, Z_REQUEST&, uint32_t, bool, bool) {}
__attribute__((weak)) void serve_builtin(Z_RESPONSE&, Z_TLS&, Z_REQUEST&) {}
__attribute__((weak)) void send_redirect(Z_RESPONSE&, Z_REQUEST&, const char*) {}
__attribute__((weak)) bool send_file(Z_TASK&) { return false; }

}  // namespace qm
