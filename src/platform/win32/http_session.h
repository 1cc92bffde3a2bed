// The WinHTTP session each metadata fetch opens, apart from the fetch so
// that the Windows-layer tests can look at it. Internal to platform/win32.
#pragma once

#include "platform/win32/win.h"

#include <winhttp.h>

#include "platform/http.h"

namespace win32 {

struct CloseHttpHandle {
    void operator()(HINTERNET h) const { ::WinHttpCloseHandle(h); }
};
using HttpHandle = Owned<HINTERNET, CloseHttpHandle, nullptr>;

// How long a request of the session waits for the server to connect, to
// take the request and to answer, each.
constexpr DWORD kHttpTimeoutMilliseconds = 15000;

// A session on the given route with those time-outs; empty when the system
// cannot open one.
HttpHandle openSession(platform::HttpRoute route);

}  // namespace win32
