// The one way into the Windows headers, and owners for the handles we open.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// The oldest system the program runs on: Windows Server 2003 / XP x64
// (5.2). Fixed here whatever came before: MinGW's _mingw.h, pulled in by any
// standard header, sets the newest version when nothing is set yet, and the
// SDK then declares calls that these systems lack. With this value such a
// call does not compile, and the structures are those of the old systems
// unless a newer layout is named (IP_ADAPTER_ADDRESSES_LH).
#if defined(_WINDOWS_) || defined(_WINSOCK2API_)
#error "platform/win32/win.h must come before any Windows header"
#endif
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0502
#ifndef UNICODE
#define UNICODE
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

// WINVER and NTDDI_VERSION follow _WIN32_WINNT unless something set them first.
static_assert(_WIN32_WINNT == 0x0502 && WINVER == 0x0502 && NTDDI_VERSION < 0x06000000,
              "Windows headers set for a newer system than the oldest supported");

#include <utility>

namespace win32 {

// Move-only owner of a handle: whoever opens a handle closes it on every
// path by letting its owner go out of scope.
template <typename Handle, typename Closer, Handle Empty>
class Owned {
public:
    Owned() = default;
    explicit Owned(Handle h) : handle_(h) {}
    Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, Empty)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, Empty);
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Empty; }
    void reset() {
        if (handle_ != Empty) Closer()(handle_);
        handle_ = Empty;
    }
    // Hands the handle over, for a caller that must see how its closing went.
    Handle release() { return std::exchange(handle_, Empty); }

private:
    Handle handle_ = Empty;
};

struct CloseKernelHandle {
    void operator()(HANDLE h) const { ::CloseHandle(h); }
};
using KernelHandle = Owned<HANDLE, CloseKernelHandle, nullptr>;

}  // namespace win32
