// Asks for one URL in a WinHTTP session that follows the machine's default
// proxy, as the tool's sessions for any host but the metadata service do,
// and prints the body: shows the harness whether a proxy configured in the
// prefix is in effect for such sessions.
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string narrow(argv[1]);
    const std::wstring url(narrow.begin(), narrow.end());  // URLs are ASCII
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return 2;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    HINTERNET session = WinHttpOpen(L"proxy-probe", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = session ? WinHttpConnect(session, host.c_str(), parts.nPort, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", parts.lpszUrlPath, nullptr,
                                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                        WINHTTP_FLAG_REFRESH)
                                   : nullptr;
    int status = 1;
    char body[512];
    DWORD received = 0;
    if (request && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        WinHttpReceiveResponse(request, nullptr) && WinHttpReadData(request, body, sizeof body, &received)) {
        std::fwrite(body, 1, received, stdout);
        status = 0;
    }
    for (HINTERNET h : {request, connection, session}) {
        if (h) WinHttpCloseHandle(h);
    }
    return status;
}
