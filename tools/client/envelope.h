#pragma once

#include <string>

namespace vasquill_client {

// The request envelope a page sends: {"rankey","datab","datac"} for the
// command text, with a random rankey of 24 letters and digits.
std::string BuildEnvelope(const std::string& command);

// The same with a chosen rankey (more than 16 bytes for a valid envelope).
std::string BuildEnvelope(const std::string& command, const std::string& rankey);

// Percent-encodes every byte outside [A-Za-z0-9*-._] (the space as "+"), as
// the service's query decoder expects; the text ends at a zero byte.
std::string EncodeQueryValue(const std::string& text);

}  // namespace vasquill_client
