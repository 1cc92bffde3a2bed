// Stand-in for netsh.exe and route.exe inside the e2e Wine prefix.
//
// It does nothing to the machine itself: it hands its command line to the
// harness through a spool folder and returns only when the harness has
// answered, so the harness decides (per scenario) whether the command is
// applied to the namespace's adapters, ignored, delayed or never answered.
//
// Protocol (all files in the spool folder, C:\e2e-spool unless the
// environment variable ADDRSMITH_E2E_SPOOL names another):
//   <id>.req   UTF-8: line 1 = this program's path, line 2 = its command line
//              (written as <id>.tmp first and renamed, so the harness never
//              sees half a request)
//   <id>.done  written by the harness; holds the exit code as decimal text
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes, nullptr,
                        nullptr);
    return out;
}

std::wstring spoolFolder() {
    wchar_t buffer[MAX_PATH] = {0};
    DWORD got = GetEnvironmentVariableW(L"ADDRSMITH_E2E_SPOOL", buffer, MAX_PATH);
    if (got > 0 && got < MAX_PATH) return std::wstring(buffer);
    return L"C:\\e2e-spool";
}

bool writeWhole(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool readWhole(const std::wstring& path, std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char chunk[256];
    DWORD got = 0;
    bytes.clear();
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    return true;
}

}  // namespace

int main() {
    wchar_t modulePath[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, modulePath, MAX_PATH);

    const std::wstring folder = spoolFolder();
    CreateDirectoryW(folder.c_str(), nullptr);

    // Process id plus a tick count keeps ids unique even when a given-up
    // double is still waiting while the next one starts.
    wchar_t id[64] = {0};
    swprintf(id, 64, L"%010lu-%08lx", static_cast<unsigned long>(GetTickCount()),
             static_cast<unsigned long>(GetCurrentProcessId()));
    const std::wstring base = folder + L"\\" + id;

    std::string request = toUtf8(modulePath) + "\n" + toUtf8(GetCommandLineW()) + "\n";
    if (!writeWhole(base + L".tmp", request)) return 90;
    if (!MoveFileW((base + L".tmp").c_str(), (base + L".req").c_str())) return 91;

    // Wait for the harness's answer; a scenario that wants a command that
    // never ends simply never answers.
    std::string answer;
    for (;;) {
        if (GetFileAttributesW((base + L".done").c_str()) != INVALID_FILE_ATTRIBUTES && readWhole(base + L".done", answer) &&
            !answer.empty() && answer.back() == '\n') {
            break;
        }
        Sleep(50);
    }
    DeleteFileW((base + L".done").c_str());
    return std::atoi(answer.c_str());
}
