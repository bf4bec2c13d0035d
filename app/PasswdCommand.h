// skerrow --passwd USER: sets a user's password in the settings file that
// the server reads, stored as an Argon2id hash, and asks a running server
// to read its settings again. The password is read twice from the terminal
// without echo, or once (one line) from standard input when that is not a
// terminal. This is a command-line tool, not the event loop: it hashes on
// its own thread.
#pragma once

#include <string>
#include <vector>

// True when the arguments ask for it.
bool IsPasswdCommand(const std::vector<std::string>& args);
// Runs it: 0 done (with or without a server running), 1 when the user is
// unknown, the passwords differ or are empty, or the file or the server
// refused (the reason on standard error), 2 for wrong arguments.
int RunPasswdCommand(const std::vector<std::string>& args);
