// Parsing of the arguments of PORT, EPRT, TYPE, REST, MFMT and SITE CHMOD.
#pragma once

#include "net/Address.h"

#include <cstdint>
#include <ctime>
#include <string>

// "h1,h2,h3,h4,p1,p2" into an IPv4 address and port. The address is none
// first; returns 0, or -1 when a comma is missing.
int ParsePortArgument(const std::string& strText, CAddress& rAddress);

// TYPE: returns the reply index (type accepted, unknown type, or byte size
// not 8). On acceptance rType is the new type and rShown the text that the
// reply carries.
int ParseTypeArgument(const std::string& strParameter, int& rType, std::string& rShown);

// REST: the C long value of the text (white space, sign, digits; 0 when
// there are none), saturating at the 64-bit range.
int64_t ParseRestartArgument(const std::string& strParameter);

// EPRT "<d>family<d>address<d>port<d>" (RFC 2428, any delimiter from 33 to
// 126) on a connection of nFamily (1 IPv4, 2 IPv6): the address of that
// family as written (no zone index), a port from 1 to 65535. OtherFamily:
// the other one of the two families, whatever its address.
enum class EprtResult { Ok, Malformed, OtherFamily };
EprtResult ParseExtendedPortArgument(const std::string& strText, int nFamily, CAddress& rAddress);

// MFMT's time "YYYYMMDDHHMMSS" (UTC, optional fraction) into seconds since
// the epoch; false when malformed or out of range.
bool ParseMachineTime(const std::string& strText, time_t& rWhen);

// An octal mode of one to four digits (SITE CHMOD); false otherwise.
bool ParseOctalMode(const std::string& strText, unsigned& rMode);
