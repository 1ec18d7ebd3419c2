#pragma once

#include <json/json.h>

#include <string>

// The loaded component: one library at a time, process-wide, loaded after
// its signature file verified, and called through its three entry points
//   int Initialize();
//   int Invoke(std::string call, std::string& reply);
//   int Finalize();
// A library is never closed while a call is inside it or about to enter it:
// each call holds the library, and the last holder closes it.

// Verifies, opens and initialises the library named by "name" with the
// signature-file "type" (0 when absent).  -905 bad name, -901 no such file,
// -903 signature check failed, -902 (with "error") cannot be opened, -921 no
// Initialize; otherwise Initialize's result.
int getProvider(Json::Value request, std::string& reply);

// Forwards "params" to the loaded library's Invoke and passes its reply on
// unchanged.  -905 bad params, -902 nothing loaded, -921 no Invoke; with the
// log on, -915/-913/-929 for a call that is not Base64 of a sound JSON call.
int invokeProvider(Json::Value request, std::string& reply);

// Finalises and closes the loaded library.  -902 nothing loaded, -921 no
// Finalize (the library is closed all the same); otherwise Finalize's result.
int removeProvider(Json::Value request, std::string& reply);
