# The real adapter table inside a network namespace of our own (needs root
# and `ip netns`; skipped otherwise). Its own Wine prefix, so that stopping
# that prefix's wineserver between namespaces disturbs no other test.
add_test(NAME win32.adapters_netns
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/adapters_netns.sh
                 $<TARGET_FILE:addrsmith_win32_tests>)
set_tests_properties(win32.adapters_netns PROPERTIES
    ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-adapters"
    SKIP_RETURN_CODE 77
    TIMEOUT 600
    RUN_SERIAL TRUE)

# The conversion of one entry, fed crafted entries; no namespace needed.
add_test(NAME win32.adapter_entry COMMAND addrsmith_win32_tests --gtest_filter=WinAdapterEntry.*)
set_tests_properties(win32.adapter_entry PROPERTIES ENVIRONMENT "${ADDRSMITH_WINE_ENV}")
