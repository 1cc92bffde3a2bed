// The one way into the Windows headers, and owners for the handles we open.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#ifndef UNICODE
#define UNICODE
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

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

private:
    Handle handle_ = Empty;
};

struct CloseKernelHandle {
    void operator()(HANDLE h) const { ::CloseHandle(h); }
};
using KernelHandle = Owned<HANDLE, CloseKernelHandle, nullptr>;

}  // namespace win32
