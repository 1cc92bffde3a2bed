# The WinHTTP fetch against a real HTTP server on loopback. The server is a
# ctest fixture: started before the fetch tests and stopped after them.
find_program(ADDRSMITH_PYTHON3 python3)
if(ADDRSMITH_PYTHON3)
  set(FETCH_HTTP_PORT 18471)
  set(FETCH_CLOSED_PORT 18472)  # nothing listens here
  set(FETCH_HTTP_PIDFILE ${CMAKE_CURRENT_BINARY_DIR}/http_fixture.pid)
  set(FETCH_HTTP_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/http_fixture.py)

  add_test(NAME win32.fetch.server_start
           COMMAND ${ADDRSMITH_PYTHON3} ${FETCH_HTTP_SCRIPT} start
                   --port ${FETCH_HTTP_PORT} --pidfile ${FETCH_HTTP_PIDFILE})
  set_tests_properties(win32.fetch.server_start PROPERTIES FIXTURES_SETUP fetch_http_server)

  add_test(NAME win32.fetch.server_stop
           COMMAND ${ADDRSMITH_PYTHON3} ${FETCH_HTTP_SCRIPT} stop --pidfile ${FETCH_HTTP_PIDFILE})
  set_tests_properties(win32.fetch.server_stop PROPERTIES FIXTURES_CLEANUP fetch_http_server)

  set(FETCH_TEST_ENV ${ADDRSMITH_WINE_ENV})
  if(NOT FETCH_TEST_ENV)
    set(FETCH_TEST_ENV "WINEDEBUG=-all")
  endif()
  list(APPEND FETCH_TEST_ENV "ADDRSMITH_FETCH_PORT=${FETCH_HTTP_PORT}"
                             "ADDRSMITH_FETCH_CLOSED_PORT=${FETCH_CLOSED_PORT}")

  add_test(NAME win32.fetch COMMAND addrsmith_win32_tests --gtest_filter=Fetch*)
  set_tests_properties(win32.fetch PROPERTIES
    FIXTURES_REQUIRED fetch_http_server
    TIMEOUT 120
    ENVIRONMENT "${FETCH_TEST_ENV}")
else()
  message(STATUS "python3 not found: the WinHTTP fetch test is not registered")
endif()
