// What an operator asks a machine: how its last run ended (--status) and
// what a run would change now (--plan), as text or as one JSON object.
#pragma once

#include <string>

#include "app/driver.h"

// Records a run once its closing line is out: when, why, how it ended and
// the line, in the last-run file beside the run log.
void recordLastRun(RunReason reason, RunOutcome outcome, const std::wstring& closingLine);

// The program, its service and its last run; changes nothing, asks nothing
// over the network. Exit status 0 when the last run succeeded or had
// nothing to configure, 1 when it failed or none is recorded.
int showStatus(bool json);

// What a run would do now, from one request of each resource and one look
// at the adapter table; runs, writes and reports nothing. Exit status 0 when
// everything listed is in effect, 1 when a run would change something or
// leave a listed adapter out, 3 when it cannot tell.
int showPlan(bool json);
