#pragma once

#include <cstdint>
#include <map>
#include <string>

// Result codes of the adapter (the same code space as the service's).
namespace ukey {

inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kUnknownError = -900;
inline constexpr int32_t kVerificationFailed = -904;
inline constexpr int32_t kEmptyRequest = -907;
inline constexpr int32_t kRequestMembers = -913;
inline constexpr int32_t kRequestNotJson = -915;
inline constexpr int32_t kInterfaceMissing = -921;
inline constexpr int32_t kDriverNotLoaded = -924;
inline constexpr int32_t kUnknownVendor = -925;
inline constexpr int32_t kParameterError = -926;
inline constexpr int32_t kEmptyFunction = -927;
inline constexpr int32_t kUnsupportedFunction = -928;
inline constexpr int32_t kMergeFailed = -929;
inline constexpr int32_t kNoVendor = -930;

}  // namespace ukey

// The adapter's own error table: code to text.
extern const std::map<int32_t, std::string> mErrcode;

// The text of a result code: the adapter's table first, then the "GetErrorMsg"
// export of the given driver (null: none), else "未定义错误码".  A driver's
// text is read up to its first zero byte and never beyond its buffer.
std::string GetErrorMsg(int32_t code, void* driver);
