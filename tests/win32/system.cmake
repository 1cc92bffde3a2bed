add_test(NAME win32.system COMMAND addrsmith_win32_tests --gtest_filter=WinSystem.*)
add_test(NAME win32.runlog COMMAND addrsmith_win32_tests --gtest_filter=WinRunLog.*)
set_tests_properties(win32.system win32.runlog PROPERTIES ENVIRONMENT "${ADDRSMITH_WINE_ENV}")

# The real program under Wine on a pseudo-terminal: its run log block and its
# closing console line.
add_test(NAME win32.exe_run
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/exe_run_test.py $<TARGET_FILE:addrsmith>)
set_tests_properties(win32.exe_run PROPERTIES ENVIRONMENT "${ADDRSMITH_WINE_ENV}" TIMEOUT 300)
