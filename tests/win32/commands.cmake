# The command runner and the INI layer on the real system.

# The portable INI layer is compiled in beside the real private-profile
# routines, so one test can compare the files they leave.
target_sources(addrsmith_win32_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/sim/ini_file.cpp)

# A real Windows child that sleeps as long as it is told.
add_executable(addrsmith_test_sleeper ${CMAKE_CURRENT_SOURCE_DIR}/child/sleeper.cpp)
target_link_options(addrsmith_test_sleeper PRIVATE ${ADDRSMITH_STATIC_LINK})
addrsmith_warnings(addrsmith_test_sleeper)
add_dependencies(addrsmith_win32_tests addrsmith_test_sleeper)

# One process per test: the runner's tests hand standard output to a log and
# back to the console, after which gtest's own report is not seen.
set(ADDRSMITH_COMMAND_TESTS
    "win32.process.ends=WinProcess.ChildThatEnds*"
    "win32.process.outlives=WinProcess.ChildThatOutlives*"
    "win32.process.missing=WinProcess.ProgramThatDoesNotExist*"
    "win32.process.platform=WinProcess.PlatformLayer*"
    "win32.ini=WinIni.*")
foreach(entry ${ADDRSMITH_COMMAND_TESTS})
  string(REPLACE "=" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 filter)
  add_test(NAME ${name} COMMAND addrsmith_win32_tests --gtest_filter=${filter})
  set_tests_properties(${name} PROPERTIES
      ENVIRONMENT "WINEDEBUG=-all;${ADDRSMITH_WINE_ENV};ADDRSMITH_SLEEPER=$<TARGET_FILE:addrsmith_test_sleeper>"
      TIMEOUT 120)
endforeach()
