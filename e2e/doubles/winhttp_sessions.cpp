// Yardstick for the tool's metadata fetches: one WinINet session per URL
// given on the command line, opened, asked for its length, read once and
// closed the way the tool's fetch does it. Exit 0 when every URL answered.
#include <windows.h>
#include <wininet.h>

#include <string>

namespace {

struct Handle {
    HINTERNET h;
    ~Handle() {
        if (h != nullptr) InternetCloseHandle(h);
    }
};

bool fetchOnce(const std::wstring& url) {
    Handle internet{InternetOpenW(L"Microsoft Internet Explorer", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0)};
    if (internet.h == nullptr) return false;
    // INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_HYPERLINK
    Handle request{InternetOpenUrlW(internet.h, url.c_str(), nullptr, 0, 0xa0000400, 0)};
    if (request.h == nullptr) return false;
    wchar_t length[32] = {};
    DWORD lengthSize = sizeof(length);
    HttpQueryInfoW(request.h, HTTP_QUERY_CONTENT_LENGTH, length, &lengthSize, nullptr);
    char block[4096];  // the run's largest read, the adapter listing's
    DWORD received = 0;
    return InternetReadFile(request.h, block, sizeof block, &received) != FALSE;
}

}  // namespace

int main(int argc, char** argv) {
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string narrow(argv[i]);
        if (!fetchOnce(std::wstring(narrow.begin(), narrow.end()))) ++failed;  // URLs are ASCII
    }
    return failed;
}
