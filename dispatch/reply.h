#pragma once

#include <json/json.h>

#include <string>

// The reply envelope the service writes itself: {"ecode":code,"message":text}
// with the table text for the code; commands add their own members.
Json::Value ReplyObject(int code);

// The compact text of a reply object.
std::string ReplyText(const Json::Value& reply);
