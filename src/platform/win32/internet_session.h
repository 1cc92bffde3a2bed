// The WinINet session each metadata fetch opens, apart from the fetch so
// that the Windows-layer tests can look at it. Internal to platform/win32.
#pragma once

#include "platform/win32/win.h"

#include <wininet.h>

#include "platform/http.h"

namespace win32 {

struct CloseInternetHandle {
    void operator()(HINTERNET h) const { ::InternetCloseHandle(h); }
};
using InternetHandle = Owned<HINTERNET, CloseInternetHandle, nullptr>;

// How long a request of the session waits for the server to connect, to
// take the request and to answer, each; one connect try.
constexpr DWORD kInternetTimeoutMilliseconds = 15000;

// A session on the given route with those time-outs; empty when the system
// cannot open one.
InternetHandle openSession(platform::HttpRoute route);

}  // namespace win32
