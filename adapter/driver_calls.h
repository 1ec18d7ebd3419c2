#pragma once

#include <json/json.h>

#include <cstdint>
#include <optional>
#include <string>

#include "adapter/jsonresults.h"

namespace ukey {

// One call of a catalogue function on the driver that this call admitted.
struct DriverCall {
  const std::string& function;  // "functionid", also the driver export's name
  const Json::Value& params;    // the merged parameters object
  void* driver;                 // the driver library loaded for this call
  const std::string& vendor;    // vendor key, for the log
  jsonresults& results;         // the function's result items go here
};

// Runs the catalogue function the call names: checks its parameters, binds
// the export by name, calls it on the main thread or on this thread, and
// adds its items on success.  Returns the call's result code (0, the
// driver's code, -921 without the export, -927 for "", -928 for a name
// outside the catalogue), or nothing when a parameter is missing or has the
// wrong type (the call then ends with -926 and no reply).
std::optional<int32_t> CallDriverFunction(const DriverCall& call);

}  // namespace ukey
