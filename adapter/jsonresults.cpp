#include "adapter/jsonresults.h"

#include <algorithm>
#include <utility>

#include "json/json_text.h"
#include "logfile/logfile.h"

namespace {

Json::Value Entry(const std::string& key, Json::Value value) {
  Json::Value entry(Json::objectValue);
  entry[key] = std::move(value);
  return entry;
}

}  // namespace

void jsonresults::addReslut(bool value, const std::string& key) { results.push_back(Entry(key, Json::Value(value))); }

void jsonresults::addReslut(const char* value, const std::string& key) {
  results.push_back(Entry(key, Json::Value(value != nullptr ? value : "")));
}

void jsonresults::addReslut(int32_t value, const std::string& key) {
  results.push_back(Entry(key, Json::Value(static_cast<Json::Int>(value))));
}

void jsonresults::addReslut(const std::string& value, const std::string& key) {
  results.push_back(Entry(key, Json::Value(value)));
}

std::string jsonresults::getReslut() {
  logFile("getReslut");
  if (!results.empty()) std::reverse(results.begin(), results.end());
  logFile("reverse");
  Json::Value list;  // stays null when there are no entries
  for (const Json::Value& entry : results) list.append(entry);
  Json::Value document(Json::objectValue);
  document["returnvalue"] = std::move(list);
  std::string text = WriteCompactJson(document);
  logFile("~getReslut");
  return text;
}

void jsonresults::clearResult() {
  logFile("clearResult");
  results.clear();
  logFile("~clearResult");
}
