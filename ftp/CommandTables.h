// The session's command tables: every command is one row and one handler.
#pragma once

#include "ftp/CommandTable.h"

#include <span>

// The classic command table, in its order.
std::span<const CCommandRow> ClassicCommands();
// The extended mode's table, consulted before the classic one only while the
// mode is on. Its rows either add a word or answer a classic word with a
// behaviour of their own (not only other reply texts).
std::span<const CCommandRow> ExtendedCommands();
