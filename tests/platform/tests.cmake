# The server as a service, through the real binary: without a reachable
# service manager, and inside a private systemd booted for the test.
foreach(group fallback systemd)
  add_test(NAME service.${group}
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/platform/run_service.py
            --server $<TARGET_FILE:quillmere> --group ${group})
  set_tests_properties(service.${group} PROPERTIES TIMEOUT 300)
endforeach()
