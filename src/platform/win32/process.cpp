#include <map>
#include <vector>

#include "platform/process.h"
#include "platform/win32/win.h"

namespace {

struct ChildHandles {
    win32::KernelHandle process;
    win32::KernelHandle thread;
};

// Children started and not yet released, by the id the logic holds.
std::map<platform::ChildId, ChildHandles>& children() {
    static std::map<platform::ChildId, ChildHandles> held;
    return held;
}

platform::ChildId nextId = 1;

}  // namespace

namespace platform {

StartResult startHiddenChild(const std::wstring& program, const std::wstring& commandLine) {
    // The system may write into the command line while it parses it, so it
    // gets a copy of its own.
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};

    StartResult result;
    // With the program named, the system searches nowhere: a bare name would
    // first be looked for beside addrsmith.exe and in the current directory.
    if (!::CreateProcessW(program.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &info)) {
        result.errorCode = ::GetLastError();
        return result;
    }
    const ChildId id = nextId++;
    ChildHandles& held = children()[id];
    held.process = win32::KernelHandle(info.hProcess);
    held.thread = win32::KernelHandle(info.hThread);
    result.child = id;
    return result;
}

WaitOutcome waitForChild(ChildId child, unsigned milliseconds) {
    const auto found = children().find(child);
    if (found == children().end()) return WaitOutcome::Failed;
    switch (::WaitForSingleObject(found->second.process.get(), milliseconds)) {
    case WAIT_OBJECT_0:
        return WaitOutcome::Ended;
    case WAIT_TIMEOUT:
        return WaitOutcome::TimedOut;
    default:
        return WaitOutcome::Failed;
    }
}

void releaseChild(ChildId child) {
    const auto found = children().find(child);
    if (found == children().end()) return;
    // Process handle first, then the thread's; the child itself is not
    // stopped.
    found->second.process.reset();
    found->second.thread.reset();
    children().erase(found);
}

}  // namespace platform
