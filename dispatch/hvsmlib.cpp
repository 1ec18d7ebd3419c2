#include "dispatch/hvsmlib.h"

#include <json/json.h>

#include <exception>
#include <map>

#include "dispatch/component_catalogue.h"
#include "dispatch/component_loader.h"
#include "dispatch/reply.h"
#include "dispatch/service_commands.h"
#include "json/json_text.h"

namespace {

constexpr int kNoCommand = -2;
constexpr int kNotJson = -913;

using CommandHandler = int (*)(Json::Value request, std::string& reply);

const std::map<int, CommandHandler>& CommandTable() {
  static const std::map<int, CommandHandler> table = {
      {0, getProvider},
      {1, invokeProvider},
      {2, removeProvider},
      {3, getComponentList},
      {4, getVersion},
      {5, getErrorMessage},
      {7, switchLog},
      {8, getLogStatus},
      {9, getComponentMd5},
  };
  return table;
}

int Dispatch(const std::string& request, std::string& reply) {
  if (request.empty()) return kNoCommand;
  if (request == "splice") {
    reply = ReplyText(ReplyObject(0));
    return kNoCommand;
  }
  Json::Value root;
  if (!ParseStrictJson(request, root)) return kNotJson;
  // An array passes the strict reader but carries no members.
  if (!root.isObject()) return kNoCommand;
  const Json::Value& pcode = root["pcode"];
  if (!IsInt32(pcode)) return kNoCommand;
  auto entry = CommandTable().find(pcode.asInt());
  if (entry == CommandTable().end()) return kNoCommand;
  return entry->second(root, reply);
}

}  // namespace

HVSMLib::HVSMLib() = default;
HVSMLib::~HVSMLib() = default;

void HVSMLib::setrequest(CHttpRequest* request) { m_request = request; }

int HVSMLib::invoke(const std::string& request, std::string& reply) {
  reply.clear();
  int result;
  try {
    result = Dispatch(request, reply);
  } catch (const std::exception&) {
    // A handler that met JSON it could not take answers like an unknown
    // command rather than ending the process.
    reply.clear();
    result = kNoCommand;
  }
  if (reply.empty()) reply = ReplyText(ReplyObject(result));
  return result;
}
