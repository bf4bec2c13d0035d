// Text that came from a client, made fit for the log: whatever a client
// sends, it can neither start a line of its own, nor steer a terminal, nor
// put bytes in the log that are not UTF-8, nor fill the log with one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// How many bytes of client text one log line shows.
constexpr size_t kLogTextLimit = 1024;

// Characters that change how a line reads though they are no C0 or C1
// control: the line and paragraph separators (U+2028, U+2029), which some
// viewers break a line at, and the bidirectional marks, embeddings,
// overrides and isolates, which reorder what a terminal or window shows.
bool IsLayoutControl(uint32_t nCode);

// The text with every control byte (C0, DEL, and the C1 controls written
// as UTF-8) and every byte that is not part of valid UTF-8 shown as \xNN
// (two upper-case hex digits), and so is each byte of a layout control;
// the rest of valid UTF-8 stays as it is. A backslash is
// kept as it is. Beyond nLimit bytes of the result it is cut, on a
// character boundary (never inside an escape), and "…" follows.
std::string LogSafe(std::string_view text, size_t nLimit = kLogTextLimit);

// A line as the client sent it: its final line end (LF or CR LF) stays,
// everything before it is LogSafe, line ends included. The result always
// ends a line: a final lone CR, or no line end at all, becomes CR LF, so
// that whatever the server logs next starts a line of its own.
std::string LogSafeLine(std::string_view text, size_t nLimit = kLogTextLimit);

// A text the server wrote around client text (a reply, which may span
// lines): every LF and CR LF stays, each line between them is LogSafe.
std::string LogSafeLines(std::string_view text, size_t nLimit = kLogTextLimit);
