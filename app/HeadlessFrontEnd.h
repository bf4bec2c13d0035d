// Runs the server without a window until SIGINT or SIGTERM.
#pragma once

// Returns the process exit status.
int RunHeadless();

// Raises the limit of open files to the hard limit, so that many clients
// can be connected at once.
void RaiseOpenFileLimit();

// Makes write failures error results instead of fatal signals.
void IgnoreFileSignals();
