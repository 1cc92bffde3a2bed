#pragma once

// One run: redirects output to the run log, runs the steps in their fixed
// order and gives the console back. 0 for success, -1 for failure.
int runConfiguration();

// The program's entry: notes the system's age, waits for any other run to
// end, runs, reports on the console and waits for a key. Always 0.
int runEntry();
