#include "dispatch/service_commands.h"

#include "dispatch/error_table.h"
#include "dispatch/reply.h"
#include "json/json_text.h"
#include "logfile/logfile.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kParameterError = -905;
constexpr char kVersion[] = "1.0.0.0";

}  // namespace

int getVersion(Json::Value, std::string& reply) {
  Json::Value answer = ReplyObject(kSuccess);
  answer["version"] = kVersion;
  reply = ReplyText(answer);
  return kSuccess;
}

int getErrorMessage(Json::Value request, std::string& reply) {
  const Json::Value& errcode = request["errcode"];
  Json::Value answer(Json::objectValue);
  if (IsInt32(errcode)) {
    answer["ecode"] = kSuccess;
    answer["errormessage"] = GetErrorMsg(errcode.asInt());
  } else {
    answer["ecode"] = kParameterError;
    answer["errormessage"] = "";
  }
  reply = ReplyText(answer);
  return answer["ecode"].asInt();
}

int switchLog(Json::Value request, std::string& reply) {
  const Json::Value& log = request["Log"];
  int code = kParameterError;
  if (log.isBool()) {
    setlogSwitch(log.asBool());
    code = kSuccess;
  }
  reply = ReplyText(ReplyObject(code));
  return code;
}

int getLogStatus(Json::Value, std::string& reply) {
  Json::Value answer = ReplyObject(kSuccess);
  answer["Log"] = getlogSwitch();
  reply = ReplyText(answer);
  return kSuccess;
}
