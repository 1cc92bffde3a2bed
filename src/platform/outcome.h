// Where a run's outcome is seen besides the console: the first serial port
// (what a cloud platform shows as the machine's serial console) and the
// system's event log.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Writes `text` to the first serial port (COM1) without flow control, giving
// up after about a second. No port, one in use or one held by the system's
// emergency console: nothing, silently.
void writeSerialConsole(const std::string& text);

enum class EventType { Information, Warning, Error };

// Records one event in the Application log under `source`, its texts to be
// filled in from `strings`. Registers `source` first, with this program as
// the file that holds the texts, when it is missing or names another file.
// Any failure: nothing, silently.
void reportEvent(const std::wstring& source, EventType type, unsigned eventId,
                 const std::vector<std::wstring>& strings);

}  // namespace platform
