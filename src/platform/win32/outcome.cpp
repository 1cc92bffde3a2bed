// The serial console and the event log. Both are written once, at the end of
// a run, and neither may fail it or hold it up.
#include "platform/win32/account.h"

#include <string>
#include <vector>

#include "platform/outcome.h"
#include "platform/system.h"

namespace {

struct CloseRegistryKey {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using RegistryKey = win32::Owned<HKEY, CloseRegistryKey, nullptr>;

struct CloseEventSource {
    void operator()(HANDLE source) const { ::DeregisterEventSource(source); }
};
using EventSource = win32::Owned<HANDLE, CloseEventSource, nullptr>;

// A port that nobody reads, or whose far end holds the line, must not keep
// the run: every write gives up after this long.
constexpr DWORD kSerialWriteMilliseconds = 1000;

bool holdsText(HKEY key, const wchar_t* name, const std::wstring& text) {
    // One character more than the text: a longer value does not fit and is
    // not the same.
    std::vector<wchar_t> value(text.size() + 1);
    DWORD type = 0;
    DWORD bytes = DWORD(value.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes) !=
            ERROR_SUCCESS ||
        (type != REG_EXPAND_SZ && type != REG_SZ)) {
        return false;
    }
    std::wstring stored(value.data(), bytes / sizeof(wchar_t));
    while (!stored.empty() && stored.back() == L'\0') stored.pop_back();
    return stored == text;
}

bool holdsNumber(HKEY key, const wchar_t* name, DWORD number) {
    DWORD type = 0;
    DWORD value = 0;
    DWORD bytes = sizeof value;
    return ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && value == number;
}

// Event Viewer takes an event's text from the file its source names. A source
// never registered, or left naming a copy elsewhere, shows no text at all.
// Only a run of the system account or an administrator registers it, and
// only for a copy that no other account can change: pointed at a file that
// a user may replace, the source would show that user's texts.
void registerSource(const std::wstring& source) {
    const std::wstring path = platform::executablePath().value_or(std::wstring());
    const std::size_t folderEnd = path.find_last_of(L'\\');
    if (folderEnd == std::wstring::npos || !win32::runsAsSystemOrAdministrators() ||
        !win32::onlyTrustedMayChange(path) || !win32::onlyTrustedMayChange(path.substr(0, folderEnd))) {
        return;
    }
    const std::wstring name = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
    HKEY opened = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, 0,
                          KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &opened, nullptr) != ERROR_SUCCESS) {
        return;  // not an administrator: the event is still recorded, without its text
    }
    const RegistryKey key(opened);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    if (holdsText(key.get(), L"EventMessageFile", path) && holdsNumber(key.get(), L"TypesSupported", types)) {
        return;
    }
    ::RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                     reinterpret_cast<const BYTE*>(path.c_str()), DWORD((path.size() + 1) * sizeof(wchar_t)));
    ::RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                     sizeof types);
}

}  // namespace

namespace platform {

void writeSerialConsole(const std::string& text) {
    // Exclusive, as serial ports always are: a port that another program or
    // the emergency console holds fails here.
    const HANDLE opened = ::CreateFileW(L"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return;
    const win32::KernelHandle port(opened);

    // The port's settings stay on it for whoever opens it next: what it had
    // is put back before it is closed.
    DCB before{};
    before.DCBlength = sizeof before;
    const bool hadState = ::GetCommState(port.get(), &before) != FALSE;
    COMMTIMEOUTS timeoutsBefore{};
    const bool hadTimeouts = ::GetCommTimeouts(port.get(), &timeoutsBefore) != FALSE;

    // No flow control: a line held low by the far end would stop the write.
    // Nor stopping at a line error. Under Wine a pseudo-terminal has no state
    // to give; the time-out below still bounds the write there.
    if (hadState) {
        DCB state = before;
        state.fOutxCtsFlow = FALSE;
        state.fOutxDsrFlow = FALSE;
        state.fOutX = FALSE;
        state.fInX = FALSE;
        state.fDtrControl = DTR_CONTROL_ENABLE;
        state.fRtsControl = RTS_CONTROL_ENABLE;
        state.fAbortOnError = FALSE;
        ::SetCommState(port.get(), &state);
    }
    // Without a time-out the write could wait for ever: then nothing is written.
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = kSerialWriteMilliseconds;
    if (::SetCommTimeouts(port.get(), &timeouts)) {
        // A line error still pending from whoever used the port last makes
        // every write fail while it is.
        DWORD errors = 0;
        ::ClearCommError(port.get(), &errors, nullptr);
        DWORD written = 0;
        ::WriteFile(port.get(), text.data(), DWORD(text.size()), &written, nullptr);
    }
    if (hadTimeouts) ::SetCommTimeouts(port.get(), &timeoutsBefore);
    if (hadState) ::SetCommState(port.get(), &before);
}

void reportEvent(const std::wstring& source, EventType type, unsigned eventId,
                 const std::vector<std::wstring>& strings) {
    registerSource(source);
    const EventSource log(::RegisterEventSourceW(nullptr, source.c_str()));
    if (!log) return;
    std::vector<LPCWSTR> texts;
    for (const std::wstring& text : strings) texts.push_back(text.c_str());
    const WORD kind = type == EventType::Error     ? EVENTLOG_ERROR_TYPE
                      : type == EventType::Warning ? EVENTLOG_WARNING_TYPE
                                                   : EVENTLOG_INFORMATION_TYPE;
    // Any account may write events under any source: naming ours (the system
    // account at boot) lets Event Viewer show who wrote each one.
    std::vector<unsigned char> user = win32::processUser();
    const PSID sid = user.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    ::ReportEventW(log.get(), kind, 0, eventId, sid, WORD(texts.size()), 0, texts.data(), nullptr);
}

}  // namespace platform
