// Yardstick for the tool's metadata fetches: the tool's own WinHTTP fetch,
// built in from its source, once per URL given on the command line, each
// with its own session, read up to the run's largest limit (the adapter
// listing's) and closed, as a run from the console does it. Exit 0 when
// every URL answered.
#include "platform/win32/http.cpp"

// A run from the console: no stop can come, so each fetch asks on this thread.
HANDLE win32::stopEvent() { return nullptr; }

int main(int argc, char** argv) {
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string narrow(argv[i]);
        const std::wstring url(narrow.begin(), narrow.end());  // URLs are ASCII
        if (!platform::httpGetOnce(url, 4096, platform::HttpRoute::Direct).readOk) ++failed;
    }
    return failed;
}
