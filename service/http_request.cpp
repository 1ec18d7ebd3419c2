#include "service/http_request.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "json/json_text.h"
#include "service/authenticator.h"
#include "service/httpurl.h"

namespace {

constexpr char kBlankLine[] = "\r\n\r\n";
constexpr char kContentLength[] = "Content-Length: ";
constexpr char kContentType[] = "Content-Type: ";
constexpr char kBoundary[] = "; boundary=";

// A non-negative decimal number that fits an int.
bool IsDecimalInt(const std::string& text) {
  if (text.empty()) return false;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return false;
  }
  return true;
}

}  // namespace

CHttpRequest::CHttpRequest() = default;
CHttpRequest::~CHttpRequest() = default;

int CHttpRequest::Attach(const char* buffer, int length) {
  m_pRequest = buffer;
  if (buffer == nullptr || length < 0) return 1;
  // The request is read as a zero-terminated text.
  const size_t textLength = strnlen(buffer, static_cast<size_t>(length));
  const void* blank = memmem(buffer, textLength, kBlankLine, 4);
  if (blank == nullptr) return 1;
  const char* headerEnd = static_cast<const char*>(blank);
  m_pBody = headerEnd + 4;

  // Lines up to the blank line, which the search above guarantees.
  const char* line = buffer;
  while (line < headerEnd + 2) {
    const char* end = static_cast<const char*>(memmem(line, headerEnd + 2 - line, "\r\n", 2));
    if (end == nullptr || end == line) break;
    std::string text(line, end);
    size_t at = text.find(kContentLength);
    if (at != std::string::npos) {
      m_strContentLength = text.substr(at + sizeof kContentLength - 1);
      m_nContentLength = DecstringToInt(m_strContentLength);
    } else if (text == "Connection: keep-alive") {
      m_bKeepAlive = true;
    }
    at = text.find(kContentType);
    if (at != std::string::npos) {
      std::string value = text.substr(at + sizeof kContentType - 1);
      size_t boundary = value.find(kBoundary);
      if (boundary != std::string::npos) {
        m_strContentType = value.substr(0, boundary);
        m_strBoundary = value.substr(boundary + sizeof kBoundary - 1);
      }
    }
    m_vecLines.push_back(std::move(text));
    line = end + 2;
  }

  if (m_vecLines.empty()) return 2;
  const std::string& requestLine = m_vecLines.front();
  size_t firstSpace = requestLine.find(' ');
  if (firstSpace == std::string::npos) return 3;
  size_t secondSpace = requestLine.find(' ', firstSpace + 1);
  if (secondSpace == std::string::npos) return 4;
  m_strMethod = requestLine.substr(0, firstSpace);
  m_strUrl = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  m_strVersion = requestLine.substr(secondSpace + 1);

  if (m_strMethod == "POST") {
    m_bValidContentLength = IsDecimalInt(m_strContentLength);
    if (!m_bValidContentLength) {
      // Nothing about the body can be trusted: the exchange refuses it.
      m_bPostStatus = false;
      m_nPostLeftLength = 0;
      return 5;
    }
    const int present = length - static_cast<int>(m_pBody - buffer);
    const int announced = m_nContentLength;
    if (announced > present) {
      m_strPostContent.assign(m_pBody, static_cast<size_t>(present));
      m_bPostStatus = false;
      m_nPostLeftLength = announced - present;
    } else {
      m_strPostContent.assign(m_pBody, static_cast<size_t>(announced));
      m_bPostStatus = true;
      m_nPostLeftLength = 0;
    }
    return 0;
  }
  if (m_strMethod == "GET") {
    ParseRequestUrl(m_strUrl);
    return 0;
  }
  return 5;
}

int CHttpRequest::Deattach() {
  m_pRequest = nullptr;
  m_pBody = nullptr;
  m_nContentLength = 0;
  m_nPostLeftLength = 0;
  m_vecLines.clear();
  m_mapParams.clear();
  m_bPostStatus = false;
  m_bKeepAlive = false;
  m_bValidContentLength = false;
  m_strPostContent.clear();
  m_strMethod.clear();
  m_strContentLength.clear();
  m_strBoundary.clear();
  m_strContentType.clear();
  return 0;
}

int CHttpRequest::ParseRequestUrl(std::string target) {
  std::string decoded = CHttpUrl().DecodeUrl(target);
  decoded.resize(std::strlen(decoded.c_str()));
  size_t question = decoded.find('?');
  if (question == std::string::npos) return 0;

  size_t start = question + 1;
  for (;;) {
    size_t ampersand = decoded.find('&', start);
    std::string piece = decoded.substr(start, ampersand == std::string::npos ? std::string::npos : ampersand - start);
    size_t equals = piece.find('=');
    if (piece.empty() || equals == std::string::npos) break;
    m_mapParams[piece.substr(0, equals)] = piece.substr(equals + 1);
    if (ampersand == std::string::npos) break;
    start = ampersand + 1;
  }

  std::string command;
  if (!UnwrapEnvelope(QueryRequestPara("str"), command)) return -1;
  m_mapParams.erase("str");
  m_mapParams["str"] = command;
  return 1;
}

int CHttpRequest::ParseRequestPost(std::string body) {
  if (m_strBoundary.empty() || body.find(m_strBoundary) != 2) return -1;
  std::vector<std::string> pieces = split(body.substr(m_strBoundary.size() + 2), "\r\n--" + m_strBoundary);
  if (pieces.size() != 5) return -1;

  m_mapParams.clear();
  int taken = 0;
  static constexpr char kName[] = "name=\"";
  static constexpr char kValueStart[] = "\"\r\n\r\n";
  for (const std::string& piece : pieces) {
    size_t name = piece.find(kName);
    size_t value = piece.find(kValueStart);
    if (name == std::string::npos || value == std::string::npos || name == 0 || value == 0) continue;
    const size_t nameStart = name + sizeof kName - 1;
    if (value < nameStart) continue;
    m_mapParams[piece.substr(nameStart, value - nameStart)] = piece.substr(value + sizeof kValueStart - 1);
    ++taken;
  }
  return taken > 0 ? 0 : -1;
}

std::string CHttpRequest::QueryRequestPara(std::string name) {
  auto found = m_mapParams.find(name);
  return found == m_mapParams.end() ? std::string() : found->second;
}

std::string CHttpRequest::GetHeaderField(std::string name) {
  const std::string prefix = name + ":";
  std::string value;
  for (const std::string& line : m_vecLines) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    size_t first = line.find_first_not_of(' ', prefix.size());
    value = first == std::string::npos ? std::string() : line.substr(first);
  }
  return value;
}

std::string CHttpRequest::GetRequestMethod() { return m_strMethod; }
std::string CHttpRequest::GetPostContent() { return m_strPostContent; }
int CHttpRequest::GetPostLeftLength() { return m_nPostLeftLength; }
bool CHttpRequest::GetPostStatus() { return m_bPostStatus; }
bool CHttpRequest::HasValidContentLength() const { return m_bValidContentLength; }

std::string CHttpRequest::DecryptStr(std::string& envelope) {
  std::string command;
  UnwrapEnvelope(envelope, command);
  return command;
}

bool CHttpRequest::UnwrapEnvelope(const std::string& envelope, std::string& command) {
  command.clear();
  Json::Value root;
  if (!ParseStrictJson(envelope, root)) return false;
  std::string rankey, datab, datac;
  if (!ReadStringMember(root, "rankey", rankey) || !ReadStringMember(root, "datab", datab) ||
      !ReadStringMember(root, "datac", datac)) {
    return true;
  }
  CHttpRequestAuthenticaor authenticator;
  authenticator.InitAuthenticaor(rankey, datab, datac);
  std::string out;
  if (authenticator.Decrypt(out) == 0) command = std::move(out);
  authenticator.ResetAuthenticaor();
  return true;
}

std::vector<std::string> split(std::string text, std::string separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) return pieces;
  size_t start = 0;
  for (size_t found = text.find(separator); found != std::string::npos; found = text.find(separator, start)) {
    pieces.push_back(text.substr(start, found - start));
    start = found + separator.size();
  }
  return pieces;
}

int DecstringToInt(std::string digits) {
  uint32_t value = 0;
  for (char c : digits) value = value * 10u + static_cast<uint32_t>(c - '0');
  return static_cast<int>(value);
}
