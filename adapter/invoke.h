#pragma once

#include <cstdint>
#include <string>

namespace ukey {

// One call of the adapter: decodes the request (Base64 of {"functionid",
// "parameters"}), merges the parameters, admits the vendor's driver, runs the
// function and, on the paths that answer, replaces reply with
// {"returnvalue": Base64 of the result document}.  Returns the result code.
int32_t InvokeRequest(const std::string& request, std::string& reply);

}  // namespace ukey
