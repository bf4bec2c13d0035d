// skerrow --who, --who --json, --kick ID, --unban ADDRESS, --reload and
// --metrics: one request to the running server without a window, through
// its control socket, and its answer on standard output.
#pragma once

#include <string>
#include <vector>

// True when the arguments ask for one of these commands.
bool IsControlCommand(const std::vector<std::string>& args);
// Runs it: 0 done, 1 when no server answers or it refuses (the reason on
// standard error), 2 for arguments that make no request.
int RunControlCommand(const std::vector<std::string>& args);

// Asks the running server, found as for --reload, to read its settings
// again: Failed prints the reason on standard error, NoServer nothing.
enum class EReloadAnswer { Done, NoServer, Failed };
EReloadAnswer AskReload();
