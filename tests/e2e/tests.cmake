# End-to-end tests: each group starts the real server in a temporary folder
# and talks to it with curl, openssl and raw sockets.
foreach(group paths vdirs files listings https clients)
  add_test(NAME e2e.${group}
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_e2e.py
            --server $<TARGET_FILE:quillmere> --group ${group})
  set_tests_properties(e2e.${group} PROPERTIES TIMEOUT 120)
endforeach()

# Slots under pressure: slow, idle and silent clients must not lock others out.
add_test(NAME e2e.pressure
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_pressure.py --server $<TARGET_FILE:quillmere>)
set_tests_properties(e2e.pressure PROPERTIES TIMEOUT 300)

# Request framing and deadlines: no smuggled requests, bounded heads, bodies and handshakes.
add_test(NAME e2e.framing
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_framing.py --server $<TARGET_FILE:quillmere>)
set_tests_properties(e2e.framing PROPERTIES TIMEOUT 240)
add_test(NAME e2e.ipv6 COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_ipv6.py --server $<TARGET_FILE:quillmere>)
add_test(NAME e2e.newcomer COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_newcomer.py --server $<TARGET_FILE:quillmere>)
add_test(NAME e2e.listing_order COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_listing_order.py --server $<TARGET_FILE:quillmere>)
