# The version resource is read back with version.dll, linked into the tests
# only: the program itself never reads it.
target_link_libraries(addrsmith_win32_tests PRIVATE version)
target_compile_definitions(addrsmith_win32_tests PRIVATE
    ADDRSMITH_VERSION="${PROJECT_VERSION}"
    ADDRSMITH_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    ADDRSMITH_VERSION_MINOR=${PROJECT_VERSION_MINOR}
    ADDRSMITH_VERSION_PATCH=${PROJECT_VERSION_PATCH})
add_dependencies(addrsmith_win32_tests addrsmith)

add_test(NAME win32.system COMMAND addrsmith_win32_tests --gtest_filter=WinSystem.*)
add_test(NAME win32.runlog COMMAND addrsmith_win32_tests --gtest_filter=WinRunLog.*)
set_tests_properties(win32.system PROPERTIES
    ENVIRONMENT "${ADDRSMITH_WINE_ENV};ADDRSMITH_EXE=$<TARGET_FILE:addrsmith>")
set_tests_properties(win32.runlog PROPERTIES ENVIRONMENT "${ADDRSMITH_WINE_ENV}")

# The real program under Wine on a pseudo-terminal: its run log block and its
# closing console line.
add_test(NAME win32.exe_run
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/exe_run_test.py $<TARGET_FILE:addrsmith>)
set_tests_properties(win32.exe_run PROPERTIES ENVIRONMENT "${ADDRSMITH_WINE_ENV}" TIMEOUT 300)
