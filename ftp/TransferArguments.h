// Parsing of the arguments of PORT, TYPE and REST.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>

// "h1,h2,h3,h4,p1,p2" into an IPv4 address and port. The address is all
// zero first; returns 0, or -1 when a comma is missing.
int ParsePortArgument(const std::string& strText, sockaddr_in& rAddress);

// TYPE: returns the reply index (type accepted, unknown type, or byte size
// not 8). On acceptance rType is the new type and rShown the text that the
// reply carries.
int ParseTypeArgument(const std::string& strParameter, int& rType, std::string& rShown);

// REST: the C long value of the text (white space, sign, digits; 0 when
// there are none), saturating at the 64-bit range.
int64_t ParseRestartArgument(const std::string& strParameter);
