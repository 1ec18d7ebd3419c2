#pragma once

#include <json/json.h>

#include <string>

// Commands that need no component.  Each takes the parsed request and writes
// its complete reply; the result is the reply's "ecode".

// {"ecode":0,"message":"成功","version":"1.0.0.0"}
int getVersion(Json::Value request, std::string& reply);

// The table text for "errcode" (a JSON integer), or -905 with an empty text.
int getErrorMessage(Json::Value request, std::string& reply);

// Sets the log switch to "Log" (a JSON boolean), or -905 without a change.
int switchLog(Json::Value request, std::string& reply);

// The log switch as "Log".
int getLogStatus(Json::Value request, std::string& reply);
