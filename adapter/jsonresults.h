#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

// The result list of one adapter call: one-member JSON objects in the order
// they were added.  The reply lists them reversed (getReslut).
class jsonresults {
 public:
  // Appends {key: value}.
  void addReslut(bool value, const std::string& key);
  void addReslut(const char* value, const std::string& key);
  void addReslut(int32_t value, const std::string& key);
  void addReslut(const std::string& value, const std::string& key);

  // Reverses the list in place and returns {"returnvalue": [entries]} as
  // compact JSON text ending in a line feed (null instead of the array when
  // the list is empty).
  std::string getReslut();

  // Empties the list.
  void clearResult();

 private:
  std::vector<Json::Value> results;
};
