#include "dispatch/component_loader.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

#include "base64/base64.h"
#include "dispatch/component_catalogue.h"
#include "dispatch/reply.h"
#include "json/json_text.h"
#include "logfile/logfile.h"
#include "sm/verify_file.h"

namespace {

constexpr int kUnknownError = -900;
constexpr int kNotLoaded = -902;
constexpr int kVerificationFailed = -903;
constexpr int kNoSuchLibrary = -901;
constexpr int kParameterError = -905;
constexpr int kCallNotJson = -915;
constexpr int kCallWithoutMembers = -913;
constexpr int kEntryPointMissing = -921;
constexpr int kMergeFailed = -929;

using InitializeEntry = int (*)();
using InvokeEntry = int (*)(std::string call, std::string& reply);
using FinalizeEntry = int (*)();

// One opening of a component library.  The last holder closes it, unless it
// was replaced by a later opening: a replaced library stays loaded.
class ComponentLibrary {
 public:
  explicit ComponentLibrary(void* handle) : handle_(handle) {}
  ~ComponentLibrary() {
    if (closeWhenReleased_) dlclose(handle_);
  }
  ComponentLibrary(const ComponentLibrary&) = delete;
  ComponentLibrary& operator=(const ComponentLibrary&) = delete;

  template <typename Entry>
  Entry Find(const char* name) const {
    return reinterpret_cast<Entry>(dlsym(handle_, name));
  }
  void KeepLoaded() { closeWhenReleased_ = false; }

 private:
  void* handle_;
  bool closeWhenReleased_ = true;
};

using ComponentHandle = std::shared_ptr<ComponentLibrary>;

// The loaded component, shared by every connection.
std::mutex m_hDLLock;
ComponentHandle m_hDL;

ComponentHandle LoadedComponent() {
  std::lock_guard<std::mutex> lock(m_hDLLock);
  return m_hDL;
}

// Installs a new handle (null after a failed open); the one it replaces stays
// loaded, unreachable.
void ReplaceComponent(ComponentHandle component) {
  std::lock_guard<std::mutex> lock(m_hDLLock);
  if (m_hDL) m_hDL->KeepLoaded();
  m_hDL = std::move(component);
}

ComponentHandle TakeComponent() {
  std::lock_guard<std::mutex> lock(m_hDLLock);
  return std::move(m_hDL);
}

const Json::Value* FindMember(const Json::Value& object, const char* name) {
  return object.isObject() ? object.find(name, name + std::strlen(name)) : nullptr;
}

// Calls Initialize or Finalize; an exception out of a component is its
// failure, not the service's.
int CallEntry(int (*entry)()) {
  try {
    return entry();
  } catch (...) {
    return kUnknownError;
  }
}

// A member as log text: strings as they are, other values in compact JSON.
std::string MemberText(const Json::Value& value) {
  if (value.isNull()) return std::string();
  if (value.isString()) return value.asString();
  std::string text = WriteCompactJson(value);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void ConsoleLine(const char* format, const std::string& text) { std::printf(format, text.c_str()); }
void LogLine(const std::string& prefix, const std::string& text) { logFile(prefix + text.c_str()); }

// The parameter objects merged into one, as the logged call shows it; false
// when the merged text is not JSON.
bool MergeParameters(const Json::Value& parameters, Json::Value& merged) {
  std::string members;
  for (const Json::Value& element : parameters) {
    std::string text = WriteCompactJson(element);
    size_t open = text.find('{');
    if (open != std::string::npos) text = text.substr(open + 1);
    size_t close = text.rfind('}');
    if (close != std::string::npos) text.resize(close);
    members += text + ",";
  }
  size_t last = members.rfind(',');
  if (last != std::string::npos) members.resize(last);
  return ParseStrictJson("{" + members + "}", merged);
}

// With the log on, the call is decoded, checked and logged before it is
// forwarded; 0 when it may be forwarded, otherwise the code that ends the
// command.
int CheckAndLogCall(const std::string& params) {
  const std::string call = Base64::decode64(params);
  ConsoleLine("转发请求：%s\n", call);
  LogLine("转发请求：", call);
  Json::Value root;
  if (!ParseStrictJson(call, root)) {
    logFile("E_JSON_LOGIC");
    return kCallNotJson;
  }
  const Json::Value* functionId = FindMember(root, "functionid");
  const Json::Value* parameters = FindMember(root, "parameters");
  if (!functionId || !functionId->isString() || !parameters || !parameters->isArray()) {
    logFile("E_JSON_EXCEPTION");
    return kCallWithoutMembers;
  }
  ConsoleLine("functionid：%s\n", functionId->asString());
  Json::Value merged;
  if (!MergeParameters(*parameters, merged)) {
    logFile("E_JSON_TRANERROR");
    return kMergeFailed;
  }
  ConsoleLine("传送json：%s\n", WriteCompactJson(merged));
  const std::string vendor = merged.isObject() ? MemberText(merged["vendor"]) : std::string();
  ConsoleLine("调用uk名称：%s\n", vendor);
  LogLine("调用uk名称：", vendor);
  return 0;
}

void LogComponentReply(const std::string& reply) {
  Json::Value root;
  if (!ParseStrictJson(reply, root)) return;
  const Json::Value* value = FindMember(root, "returnvalue");
  if (!value || !value->isString()) return;
  const std::string decoded = Base64::decode64(value->asString());
  std::printf("组件库返回长度：%lu\n", static_cast<unsigned long>(decoded.size()));
  logFile("组件库返回长度：" + std::to_string(decoded.size()));
  ConsoleLine("组件库返回解密：%s\n", decoded);
  LogLine("组件库返回解密：", decoded);
}

}  // namespace

int getProvider(Json::Value request, std::string& reply) {
  const Json::Value& name = request["name"];
  const Json::Value& type = request["type"];
  int code;
  std::string loaderError;
  if (!name.isString() || name.asString().empty()) {
    code = kParameterError;
  } else {
    // A JSON integer outside the int range names no signature type.
    const int signatureType = IsInt32(type) ? type.asInt() : (type.isIntegral() ? -1 : 0);
    const std::string path = getdllpath(name.asString());
    std::error_code error;
    // A zero byte would end the path the system sees (the signature file's
    // included) before its ".dylib": such a name names no component.
    if (path.find('\0') != std::string::npos || !std::filesystem::exists(path, error)) {
      code = kNoSuchLibrary;
    } else if (!VerifyFileBySigFile(path, signatureType)) {
      code = kVerificationFailed;
    } else if (void* handle = dlopen(path.c_str(), RTLD_LAZY)) {
      auto component = std::make_shared<ComponentLibrary>(handle);
      ReplaceComponent(component);
      auto initialize = component->Find<InitializeEntry>("Initialize");
      code = initialize ? CallEntry(initialize) : kEntryPointMissing;
    } else {
      const char* text = dlerror();
      loaderError = text ? text : "";
      ReplaceComponent(nullptr);
      code = kNotLoaded;
    }
  }
  Json::Value answer = ReplyObject(code);
  if (code == kNotLoaded) answer["error"] = loaderError;
  reply = ReplyText(answer);
  return code;
}

int invokeProvider(Json::Value request, std::string& reply) {
  const Json::Value& paramsValue = request["params"];
  if (!paramsValue.isString()) return kParameterError;
  const std::string params = paramsValue.asString();
  const bool logging = getlogSwitch();
  if (logging) {
    if (int refused = CheckAndLogCall(params)) return refused;
  }

  int code;
  std::string componentReply;
  if (ComponentHandle component = LoadedComponent()) {
    if (auto invoke = component->Find<InvokeEntry>("Invoke")) {
      try {
        code = invoke(params, componentReply);
      } catch (...) {
        // Whatever the component wrote before it threw is not its reply.
        componentReply.clear();
        code = kUnknownError;
      }
    } else {
      code = kEntryPointMissing;
    }
  } else {
    code = kNotLoaded;
  }
  if (logging) LogComponentReply(componentReply);
  logFile("返回码：" + std::to_string(code));
  reply = std::move(componentReply);
  return code;
}

int removeProvider(Json::Value, std::string& reply) {
  int code = kNotLoaded;
  if (ComponentHandle component = TakeComponent()) {
    auto finalize = component->Find<FinalizeEntry>("Finalize");
    code = finalize ? CallEntry(finalize) : kEntryPointMissing;
    // The library closes when the last call inside it has returned.
  }
  reply = ReplyText(ReplyObject(code));
  return code;
}
