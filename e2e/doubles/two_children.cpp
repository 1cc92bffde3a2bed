// Yardstick for the two programs every run of the tool starts: `route`
// (the harness's double, which the tool starts to open the metadata
// network) and the command interpreter behind "pause". Started and waited
// for the way the tool does it: a hidden child by bare name, then
// system("pause").
#include <windows.h>

#include <cstdlib>

int main() {
    wchar_t commandLine[] = L"route add 169.254.0.0 mask 255.255.128.0 10.0.0.1";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return 2;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    (void)std::system("pause");
    return 0;
}
