#include "adapter/invoke.h"

#include <cstring>

#include "adapter/driver_calls.h"
#include "adapter/error_codes.h"
#include "adapter/jsonresults.h"
#include "adapter/request.h"
#include "base64/base64.h"
#include "json/json_text.h"
#include "logfile/logfile.h"

namespace ukey {
namespace {

const Json::Value* Member(const Json::Value& object, const char* key) {
  return object.find(key, key + std::strlen(key));
}

// The reply of a call that reached the dispatch.
void BuildReply(int32_t code, const std::string& vendor, void* driver, jsonresults& results, std::string& reply) {
  if (code != 0) results.addReslut(true, "value");
  results.addReslut(GetErrorMsg(code, driver), "errormessage");
  results.addReslut(code, "ret");
  logFile("组件库返回1:" + std::to_string(code) + "(" + vendor + ")");
  const std::string inner = results.getReslut();
  results.clearResult();
  logFile("组件库返回2:" + std::to_string(code) + "(" + vendor + ")(" + inner + ")");
  Json::Value envelope(Json::objectValue);
  envelope["returnvalue"] = Base64::encode64(inner);
  reply = WriteCompactJson(envelope);
}

}  // namespace

int32_t InvokeRequest(const std::string& request, std::string& reply) {
  if (request.empty()) return kEmptyRequest;
  const std::string decoded = Base64::decode64(request);
  logFile("组件库传入请求:" + decoded);

  Json::Value root;
  if (!ParseStrictJson(decoded, root)) return kRequestNotJson;
  if (!root.isObject()) return kRequestMembers;
  const Json::Value* functionid = Member(root, "functionid");
  const Json::Value* parameters = Member(root, "parameters");
  if (functionid == nullptr || !functionid->isString() || parameters == nullptr || !parameters->isArray()) {
    return kRequestMembers;
  }
  const std::string function = functionid->asString();

  Json::Value params;
  if (!MergeParameters(*parameters, params)) return kMergeFailed;
  const Json::Value* vendorValue = Member(params, "vendor");
  if (vendorValue == nullptr || !vendorValue->isString()) return kNoVendor;
  const std::string vendor = vendorValue->asString();
  const std::string path = VendorDriverPath(vendor);
  if (path.empty()) return kUnknownVendor;

  // The handle stays with this call, whatever other calls load meanwhile.
  void* driver = nullptr;
  const int32_t admission = AdmitDriver(path, driver);
  if (admission != 0) return admission;

  jsonresults results;
  const std::optional<int32_t> code = CallDriverFunction({function, params, driver, vendor, results});
  if (!code) return kParameterError;
  BuildReply(*code, vendor, driver, results, reply);
  return *code;
}

}  // namespace ukey
