#pragma once

// The service's work: a run at once, then, until a stop is asked for, a
// quiet watch that runs again when an adapter appears that the metadata
// service lists, when what the service asks for changes (checked every
// `intervalSeconds`, a little later at random), and after a failed run at
// growing intervals. Nothing to configure is a state like any other, which
// later checks compare with. Returns 0 once stopped.
int watchForChanges(unsigned intervalSeconds);
