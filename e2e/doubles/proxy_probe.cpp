// Asks for one URL in a session opened with the system's proxy settings and
// prints the body: shows the harness whether a proxy configured in the
// prefix is in effect for sessions that follow those settings.
#include <windows.h>
#include <wininet.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    HINTERNET session = InternetOpenA("proxy-probe", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) return 1;
    HINTERNET request = InternetOpenUrlA(session, argv[1], nullptr, 0, INTERNET_FLAG_RELOAD, 0);
    int status = 1;
    if (request != nullptr) {
        char body[512];
        DWORD received = 0;
        if (InternetReadFile(request, body, sizeof body, &received)) {
            std::fwrite(body, 1, received, stdout);
            status = 0;
        }
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);
    return status;
}
