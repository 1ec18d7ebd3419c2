#pragma once

#include <cstdint>
#include <map>
#include <string>

// The service's result codes and their texts (UTF-8), fixed at start-up.
extern const std::map<int32_t, std::string> mErrcode;

// The table text for the code, or "未定义错误码" when it has no row.
std::string GetErrorMsg(int code);
