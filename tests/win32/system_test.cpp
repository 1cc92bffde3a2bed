// The real Windows layer of the run log and the version query, and the
// version resource of the real program.
#include "platform/win32/win.h"

#include <io.h>
#include <sddl.h>
#include <winver.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/run_log.h"
#include "platform/process.h"
#include "platform/system.h"

namespace {
std::string slurp(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

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

// Where any account can make the lock (Wine 8, version 5), one another account
// made is not waited for, whether it lets us in or not; an administrator's is.
TEST(WinSystem, RunLockMadeByAnotherAccountIsNotWaitedFor) {
    for (const auto& [security, outcome] : {std::pair{L"O:S-1-5-21-7-8-9-1001D:(A;;GA;;;WD)", platform::RunLock::Foreign},
                                            {L"O:S-1-5-21-7-8-9-1001D:", platform::RunLock::Foreign},
                                            {L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)", platform::RunLock::Held}}) {
        SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(security, SDDL_REVISION_1,
                                                                          &attributes.lpSecurityDescriptor, nullptr));
        const HANDLE other = ::CreateMutexW(&attributes, FALSE, L"Global\\addrsmith.run");
        EXPECT_EQ(platform::acquireRunLock(0).outcome, outcome) << ::GetLastError();
        platform::releaseRunLock();
        ::CloseHandle(other);
    }
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
