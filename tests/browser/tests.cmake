# Browser test: the real server, Debian's chromium driven by playwright-core
# (tests/browser/package.json, installed by scripts/setup.sh with npm ci).
# Screenshots of the listing and the about page at desktop and phone widths
# are left in <build>/browser-artifacts/.
find_program(QM_NODE node)
set(QM_BROWSER_ARTIFACTS ${CMAKE_BINARY_DIR}/browser-artifacts)
if(QM_NODE)
  add_test(NAME browser.listing
    COMMAND ${QM_NODE} ${CMAKE_CURRENT_SOURCE_DIR}/browser/run_browser.mjs
            --server $<TARGET_FILE:quillmere> --artifacts ${QM_BROWSER_ARTIFACTS} --timeout 240)
else()
  add_test(NAME browser.listing
    COMMAND sh -c "echo 'node not found: run scripts/setup.sh'; exit 1")
endif()
set_tests_properties(browser.listing PROPERTIES
  TIMEOUT 300
  ENVIRONMENT "PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1")
