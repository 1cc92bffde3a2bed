// The simulated machine behind the platform functions in native tests.
// Every test starts with sim::reset(); nothing here ever really sleeps,
// waits or touches the network.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/adapters.h"
#include "platform/http.h"
#include "platform/service.h"
#include "platform/system.h"

namespace sim {

// Forgets everything scripted or recorded, in every area below.
void reset();

// ---- system: version, clock, console -------------------------------------
void setOsMajorVersion(std::optional<unsigned> major);
void setLocalTime(const platform::LocalTime& time);
// Where the system's programs live (nothing: the query fails).
void setSystemDirectory(std::optional<std::wstring> folder);
// Simulated milliseconds since reset; advanced by sleeps and waits.
std::uint64_t nowMilliseconds();
// Moves the clock on, doing what was scheduled on the way at its time.
void advanceMilliseconds(std::uint64_t milliseconds);
// Does `action` when the clock reaches `milliseconds`: a stop, an adapter
// or a metadata answer that comes or goes. Sleeps end early at a stop.
void at(std::uint64_t milliseconds, std::function<void()> action);
void requestStop();
void setRandomNumber(std::uint32_t number);
// The service: runAsService runs the work at once and returns this error
// (0: none); install and removal are recorded in systemEvents ("install
// <command line>", "remove") and give these errors; an install "error" of
// 1073 is a service that exists, which is updated in place.
void setServiceErrors(unsigned long dispatch, unsigned long install, platform::RemoveResult remove);
// A file or folder that an account other than the trusted ones may change.
void setChangeableByOthers(const std::wstring& path);
const std::vector<unsigned>& sleepsTaken();
// Where "the console" writes go (a real file); empty text when unset.
void setConsoleFile(const std::string& path);
unsigned keyWaits();

// ---- run lock --------------------------------------------------------------
// Another run holds the lock and lets it go after the given simulated time;
// nothing: it never does. A wait for it moves the clock.
void setOtherRunHolds(std::optional<std::uint64_t> milliseconds);
void setRunLockUnavailable(unsigned long errorCode);
void setRunLockForeign();  // made by an account that is not an administrator
void setRunLockReleaseRefused(unsigned long errorCode);
// What the run did with the lock, its output and the console, in order:
// "dll search" (the current directory taken out of it), "lock", "unlock",
// "log", "console", "key", "serial <text>" (written to the serial port) and
// "event <source>, <information or error> <id>: <strings, with | between>".
const std::vector<std::string>& systemEvents();

// ---- metadata service ----------------------------------------------------
struct HttpAnswer {
    enum class Kind { Body, Unreachable, ReadFails } kind = Kind::Body;
    std::string body;  // sent as is, whatever the "status"
    // A Content-Length longer than the body: the connection closes early
    // and the read returns what arrived.
    std::optional<std::uint64_t> announcedLength;
    unsigned status = 200;
    std::optional<std::uint64_t> retryAfterSeconds;
    // Before this simulated time nothing answers at all, each such try
    // taking `unansweredMilliseconds` (an address nobody answers for), or,
    // with a `busyStatus`, that status answers at once.
    std::uint64_t answersFrom = 0;
    unsigned unansweredMilliseconds = 0;
    unsigned busyStatus = 0;
    unsigned busyTimes = 0;  // the first this many requests get `busyStatus` too
    unsigned busyMilliseconds = 0;  // what each busy answer takes to come
    unsigned milliseconds = 0;      // what each other answer takes to come
};
void setHttpAnswer(const std::wstring& url, HttpAnswer answer);
void setHttpBody(const std::wstring& url, const std::string& body);
// URLs that were requested, in order; an unscripted URL is unreachable.
const std::vector<std::wstring>& httpRequests();
// How each request was to reach its server, in the same order.
const std::vector<platform::HttpRoute>& httpRoutes();
// The route to the metadata network is gone: nothing answers until a route
// command starts at or after `addableFrom` (before, it has no gateway).
void loseRoute(std::uint64_t addableFrom);
// Called by the command area when a command starts; acts on route lines.
void applyCommandToRoute(const std::wstring& commandLine);

// ---- commands ------------------------------------------------------------
struct CommandBehaviour {
    enum class Kind { Ends, NeverEnds, CannotStart, WaitFails } kind = Kind::Ends;
    unsigned durationMilliseconds = 0;  // for Ends
    unsigned long errorCode = 2;        // for CannotStart
};
// Applies to every command line that starts with `prefix` (latest wins).
void setCommandBehaviour(const std::wstring& prefix, CommandBehaviour behaviour);
// Command lines handed to the system, in order, including failed starts.
const std::vector<std::wstring>& commandsStarted();

// ---- adapters ------------------------------------------------------------
// The adapter table as the next queries see it. Adapters may also be
// scheduled to appear at a given query (1-based count of queries).
void setAdapters(std::vector<platform::AdapterEntry> adapters);
void addAdapterFromQuery(unsigned queryNumber, platform::AdapterEntry adapter);
// ... or at a given simulated time, seen by every query from then on.
void addAdapterAtTime(std::uint64_t milliseconds, platform::AdapterEntry adapter);
void removeAdapterFromQuery(unsigned queryNumber, const std::wstring& friendlyName);
// Makes the given query (1-based) fail; 0 means none.
void failQuery(unsigned queryNumber);
unsigned adapterQueries();
std::vector<platform::AdapterEntry>& adapters();

// The simulated netsh: set-address and add-address commands change the
// adapters above. Off, netsh runs and changes nothing.
void setNetshApplies(bool applies);
// Duplicate detection: an address netsh sets or adds is in state `first`
// and, `afterMilliseconds` later, in `then` (unscripted: Preferred at once).
void setDetection(const std::string& dotted, platform::AddressState first,
                  std::uint64_t afterMilliseconds, platform::AddressState then);
// Called by the command area when a command starts; acts on netsh lines.
void applyCommandToAdapters(const std::wstring& commandLine);

// Helpers to build table entries.
platform::AdapterEntry makeAdapter(const std::wstring& friendlyName,
                                   const std::vector<std::uint8_t>& mac);
platform::Ipv4 ipv4(const std::string& dotted);

// ---- files -----------------------------------------------------------------
// Attributes by path, beside the real files: a copy gives its destination the
// source's and, as Windows does, refuses a hidden or read-only destination.
enum FileAttribute : unsigned { kHidden = 1, kReadOnly = 2 };
std::map<std::string, unsigned>& fileAttributes();
// Makes the given private-profile write (1-based, counted from the reset) fail.
void failProfileWrite(unsigned writeNumber);
// Makes `times` calls of a kind fail with `error`, from the `number`th (1-based,
// from the reset): "copy" (the destination lost, as by a copy stopped part way),
// "move", "replace" (1177 leaves the replaced file under the backup name).
void failFileCalls(const std::string& call, unsigned number, unsigned long error, unsigned times = 1);

// ---- per-area resets (called by reset) -----------------------------------
void resetFiles();
void resetSystem();
void resetHttp();
void resetCommands();
void resetAdapters();

}  // namespace sim
