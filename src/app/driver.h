#pragma once

#include <memory>
#include <string>

#include "core/adapter_config.h"

// One run: redirects output to the run log, runs the steps in their fixed
// order and gives the console back. 0 for success, -1 for failure.
int runConfiguration();

// Why a run happens; the service's runs say so near the top of their block.
enum class RunReason { Console, ServiceStarted, AdapterAppeared, MetadataChanged, AgainAfterFailure };

// How a run ended. Nothing to configure (no adapter besides the main one
// listed, or only ones a run skips) is a state of the machine, not a fault;
// a run ended by a stop or shutdown did not fail either, it did not finish.
enum class RunOutcome { Succeeded, NothingToConfigure, Failed, Stopped };

struct RunReport {
    bool ran = false;  // false: a stop came while it waited for another run
    RunOutcome outcome = RunOutcome::Failed;
    std::wstring closingLine;
    // What the metadata service asked for, when the run got that far.
    std::unique_ptr<AdapterConfigList> desired;
};

// One run under the run lock: its block of the run log, then its closing
// line on the console, the serial console and in the event log. `adapter`
// names the adapter that appeared.
RunReport runOnce(RunReason reason, const std::wstring& adapter = std::wstring());

// A line of the service's own, where the runs' closing lines go besides the
// console: the serial console, and a warning event.
void reportServiceWarning(const std::wstring& line);

// Before anything else the process does: no library from the current
// directory, and the system's age noted.
void prepareProcess();

// The program's entry: notes the system's age, waits for any other run to
// end, runs, reports on the console and waits for a key. Always 0.
int runEntry();
