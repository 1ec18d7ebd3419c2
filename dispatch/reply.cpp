#include "dispatch/reply.h"

#include "dispatch/error_table.h"
#include "json/json_text.h"

Json::Value ReplyObject(int code) {
  Json::Value reply(Json::objectValue);
  reply["ecode"] = code;
  reply["message"] = GetErrorMsg(code);
  return reply;
}

std::string ReplyText(const Json::Value& reply) { return WriteCompactJson(reply); }
