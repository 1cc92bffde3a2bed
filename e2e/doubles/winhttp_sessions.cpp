// Yardstick for the tool's metadata fetches: the tool's own fetch, its
// source built in, once per URL given, as a run from the console makes it
// (a WinHTTP session each, the run's largest read). Exit 0 when all answered.
#include "platform/win32/http.cpp"

HANDLE win32::stopEvent() { return nullptr; }  // no service: no stop, no thread

int main(int argc, char** argv) {
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string narrow(argv[i]);
        const std::wstring url(narrow.begin(), narrow.end());  // URLs are ASCII
        if (!platform::httpGetOnce(url, 4096, platform::HttpRoute::Direct).readOk) ++failed;
    }
    return failed;
}
