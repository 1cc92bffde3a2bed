// The real Windows layer of the run log and the version query, and the
// version resource of the real program.
#include "platform/win32/win.h"

#include <io.h>
#include <sddl.h>
#include <winver.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/run_log.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/win32/stop.h"

namespace {
std::string slurp(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

constexpr wchar_t kLockFile[] = L"C:\\windows\\addrsmith.lock";
constexpr char kHolds[] = "addrsmith_lock_holds.txt";

// The real program, as Windows names it (Wine shows the host's root as Z:).
std::wstring programPath() {
    std::wstring path = L"Z:";
    for (const char* c = std::getenv("ADDRSMITH_EXE"); c && *c != '\0'; ++c) path.push_back(*c == '/' ? L'\\' : wchar_t(*c));
    return path;
}
}  // namespace

// Read back as Windows reads it (file properties, inventories): the
// numbers and texts CMake gave from the project version; and as Event Viewer
// does, the texts of the two events, filled in.
TEST(WinSystem, ProgramSaysWhatItIs) {
    ASSERT_NE(std::getenv("ADDRSMITH_EXE"), nullptr) << "run through ctest";
    const std::wstring path = programPath();

    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<unsigned char> block(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD high = (DWORD(ADDRSMITH_VERSION_MAJOR) << 16) | ADDRSMITH_VERSION_MINOR;
    const DWORD low = DWORD(ADDRSMITH_VERSION_PATCH) << 16;
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_APP));

    const auto text = [&](const wchar_t* name) {
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        wchar_t* value = nullptr;
        UINT chars = 0;
        if (!::VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &chars) ||
            value == nullptr) {
            return std::wstring(L"(missing)");
        }
        return std::wstring(value);
    };
    const std::string version = ADDRSMITH_VERSION;
    EXPECT_EQ(text(L"ProductName"), L"addrsmith");
    EXPECT_EQ(text(L"ProductVersion"), std::wstring(version.begin(), version.end()));
    EXPECT_EQ(text(L"FileVersion"), std::wstring(version.begin(), version.end()));
    EXPECT_EQ(text(L"OriginalFilename"), L"addrsmith.exe");
    EXPECT_NE(text(L"FileDescription").find(L"IPv4 settings"), std::wstring::npos);
    EXPECT_EQ(text(L"LegalCopyright").rfind(L"Copyright (C) ", 0), 0u);

    const HMODULE exe = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);
    DWORD_PTR strings[] = {reinterpret_cast<DWORD_PTR>(L"set netcard info success"),
                           reinterpret_cast<DWORD_PTR>(L"c:\\windows\\ipconfig_addrsmith.log"),
                           reinterpret_cast<DWORD_PTR>(L"1.2.3")};
    for (DWORD id : {1u, 2u, 3u, 4u, 5u}) {
        wchar_t event[512] = L"";
        const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, exe, id,
                                              0, event, 512, reinterpret_cast<va_list*>(strings));
        EXPECT_EQ(std::wstring(event, length),
                  L"set netcard info success\r\nRun log: c:\\windows\\ipconfig_addrsmith.log\r\nVersion: 1.2.3")
            << "event " << id;
    }
    ::FreeLibrary(exe);
}

// The start-up task's command, started as a task is, from the folder a 32-bit
// prompt names: its parentheses must not cost the path its quotes, and
// "pause" ends on the empty input.
TEST(WinSystem, StartupTaskCommandRunsTheProgramAndEnds) {
    const std::wstring folder = L"C:\\Program Files (x86)\\addrsmith";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(::CopyFileW(programPath().c_str(), (folder + L"\\addrsmith.exe").c_str(), FALSE));
    const char* log = "C:\\windows\\ipconfig_addrsmith.log";
    const std::size_t before = slurp(log).size();
    const platform::StartResult task = platform::startHiddenChild(
        L"C:\\windows\\system32\\cmd.exe", L"cmd /s /c \"\"" + folder + L"\\addrsmith.exe\" <nul\"");
    ASSERT_TRUE(task.child.has_value());
    EXPECT_EQ(platform::waitForChild(*task.child, 60000), platform::WaitOutcome::Ended);
    EXPECT_NE(slurp(log).find("configure end", before), std::string::npos);
}

// A lock file another account made, or that lets one open it, is not waited
// for, held or not; ours is. A stop wins over the free lock. (Wine shows
// every file as its one user's: another owner cannot be shown, another's access can.)
TEST(WinSystem, RunLockFileOfAnotherAccountIsNotWaitedFor) {
    const wchar_t* ours = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
    for (const auto& [security, held, outcome] :
         {std::tuple{L"D:(A;;GA;;;WD)", false, platform::RunLock::Foreign},
          {L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;FR;;;WD)", true, platform::RunLock::Foreign},
          {ours, true, platform::RunLock::TimedOut}, {ours, false, platform::RunLock::Held}}) {
        ::DeleteFileW(kLockFile);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(security, SDDL_REVISION_1,
                                                                          &attributes.lpSecurityDescriptor, nullptr));
        const HANDLE other = ::CreateFileW(kLockFile, GENERIC_READ, 0, &attributes, CREATE_NEW, 0, nullptr);
        if (!held) ::CloseHandle(other);
        EXPECT_EQ(platform::acquireRunLock(0).outcome, outcome) << security << " held " << held;
        EXPECT_EQ(platform::releaseRunLock(), 0u);
        if (held) ::CloseHandle(other);
    }
    ASSERT_TRUE(win32::createStopEvent());
    win32::signalStop();
    EXPECT_EQ(platform::acquireRunLock(0).outcome, platform::RunLock::Stopped);
    ::ResetEvent(win32::stopEvent());
}

// Three runs at once (the service's and two by hand) hold the lock in turn,
// never two together.
TEST(WinSystem, ThreeOverlappingRunsHoldTheLockInTurn) {
    ::DeleteFileW(kLockFile);
    std::remove(kHolds);
    const HANDLE asking = ::CreateSemaphoreW(nullptr, 0, 3, L"addrsmith-test-asking");
    ASSERT_EQ(platform::acquireRunLock(0).outcome, platform::RunLock::Held);  // until all three ask for it
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<platform::ChildId> holders;
    for (int i = 0; i < 3; ++i) holders.push_back(platform::startHiddenChild(self, L"t --gtest_filter=WinRunLockHolder.*").child.value());
    for (int i = 0; i < 3; ++i) ASSERT_EQ(::WaitForSingleObject(asking, 60000), WAIT_OBJECT_0);
    platform::releaseRunLock();
    for (const auto holder : holders) EXPECT_EQ(platform::waitForChild(holder, 60000), platform::WaitOutcome::Ended);
    std::istringstream lines(slurp(kHolds));
    std::vector<std::pair<unsigned long, unsigned long>> holds;  // from, to
    for (unsigned long from, to; lines >> from >> to;) holds.emplace_back(from, to);
    std::sort(holds.begin(), holds.end());
    ASSERT_EQ(holds.size(), 3u);
    EXPECT_TRUE(holds[0].second <= holds[1].first && holds[1].second <= holds[2].first) << slurp(kHolds);
    ::CloseHandle(asking);
}

// One of the three above, in a process of its own; nothing when run alone.
TEST(WinRunLockHolder, HoldsTheLockAWhile) {
    const HANDLE asking = ::OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, L"addrsmith-test-asking");
    if (asking == nullptr) GTEST_SKIP();
    ::ReleaseSemaphore(asking, 1, nullptr);
    ASSERT_EQ(platform::acquireRunLock(60000).outcome, platform::RunLock::Held);
    const DWORD from = ::GetTickCount();
    ::Sleep(300);
    const std::string hold = std::to_string(from) + " " + std::to_string(::GetTickCount()) + "\n";
    platform::releaseRunLock();
    std::ofstream(kHolds, std::ios::app) << hold;
}

TEST(WinSystem, VersionAndClockAreThoseOfARealSystem) {
    const auto major = platform::osMajorVersion();
    ASSERT_TRUE(major.has_value());
    EXPECT_GE(*major, 5u);
    const platform::LocalTime now = platform::localTime();
    EXPECT_GE(now.year, 2020);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_LE(now.hour, 23);
}

// Runs last in its own ctest entry: once standard output has been handed back
// to the console, the test's own report is no longer visible.
TEST(WinRunLog, WideAndNarrowLinesShareOneAppendedFile) {
    const char* path = "addrsmith_runlog_test.log";
    std::remove(path);
    {
        std::ofstream seed(path, std::ios::binary);
        seed << "earlier block\n";
    }
    std::setlocale(LC_ALL, "");
    platform::redirectOutputToLog(L"addrsmith_runlog_test.log");
    logWide(L"wide %ls=%d\n", L"adapter", 7);
    logNarrow("narrow %s:%d\n", "vecMacs.size", 2);
    logWide(L"wide again\n");
    logFlush();
    platform::restoreConsoleOutput();

    const std::string text = slurp(path);
    // Text mode: the C runtime ends every line with CR LF on disk.
    if (text != "earlier block\nwide adapter=7\r\nnarrow vecMacs.size:2\r\nwide again\r\n") {
        std::fprintf(stderr, "unexpected log contents:\n%s\n", text.c_str());
        FAIL();
    }

    // Descriptor 1 on no file (an event takes over its handle's value), as a
    // run started without standard output may find it: the output given back
    // is the console, or closed where there is none, never the stand-in.
    const auto given = reinterpret_cast<HANDLE>(_get_osfhandle(1));
    ::CloseHandle(given);
    std::vector<HANDLE> events;  // the lowest free values are handed out first
    do events.push_back(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    while (events.back() != given && events.size() < 256);
    ASSERT_EQ(events.back(), given);
    platform::redirectOutputToLog(L"addrsmith_runlog_test.log");
    platform::restoreConsoleOutput();
    std::remove(path);
    EXPECT_TRUE(platform::output() == nullptr ||
                ::GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)))) != FILE_TYPE_UNKNOWN);
}
