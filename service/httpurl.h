#pragma once

#include <string>

class CUrl {
 public:
  virtual ~CUrl() = default;
  virtual std::string EncodeUrl(std::string text) = 0;
  virtual std::string DecodeUrl(std::string text) = 0;
};

// Percent coding of query texts.  Both directions read their input as a
// zero-terminated text.
class CHttpUrl : public CUrl {
 public:
  // Bytes outside the safe set become "%XX" (upper-case hexadecimal); the
  // space becomes "+".
  std::string EncodeUrl(std::string text) override;

  // "+" becomes a space and "%XX" (upper-case hexadecimal digits only) the
  // byte; a "%" followed by anything else is dropped, except at the very end.
  std::string DecodeUrl(std::string text) override;
};
