#include "json/json_text.h"

#include <cstring>
#include <exception>
#include <memory>
#include <sstream>

bool ParseStrictJson(const std::string& text, Json::Value& root) {
  // The classic reader in strict mode is the behaviour pages rely on; it is
  // marked deprecated in favour of CharReader, which reads the same grammar.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::Reader reader(Json::Features::strictMode());
#pragma GCC diagnostic pop
  try {
    Json::Value parsed;
    if (!reader.parse(text, parsed, true)) return false;
    root = std::move(parsed);
    return true;
  } catch (const std::exception&) {
    // The reader throws past its nesting limit.
    return false;
  }
}

std::string WriteCompactJson(const Json::Value& value) {
  // A stream writer keeps state while it writes: one per thread.
  thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";
    builder["emitUTF8"] = true;
    return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
  }();
  std::ostringstream out;
  writer->write(value, &out);
  out << '\n';
  return out.str();
}

bool IsInt32(const Json::Value& value) {
  return (value.type() == Json::intValue || value.type() == Json::uintValue) && value.isInt();
}

bool ReadStringMember(const Json::Value& object, const char* name, std::string& text) {
  text.clear();
  if (!object.isObject()) return false;
  const Json::Value* member = object.find(name, name + std::strlen(name));
  if (member == nullptr) return true;
  if (!member->isString()) return false;
  text = member->asString();
  return true;
}
