#pragma once

#include <map>
#include <string>
#include <vector>

// One HTTP request as the connection exchange collected it: method, target,
// the few header values the service uses, the parameter table and the start
// of the body.  Header matching is case-sensitive and narrow on purpose.
class CHttpRequest {
 public:
  CHttpRequest();
  ~CHttpRequest();
  CHttpRequest(const CHttpRequest&) = delete;
  CHttpRequest& operator=(const CHttpRequest&) = delete;

  // Parses one request from the exchange's buffer (zero-terminated after
  // `length` bytes).  0 parsed; 1 no blank line; 2 no header line; 3 request
  // line without a space; 4 without a second space; 5 method neither GET nor
  // POST, or a POST without a usable Content-Length.
  int Attach(const char* buffer, int length);

  // Empties the per-request state.
  int Deattach();

  // Parses the query of a GET target and replaces "str" by the command text
  // its envelope carries.  0 no query; 1 "str" held JSON text and was
  // replaced (by an empty text when the envelope failed); -1 "str" absent or
  // not JSON text, left as it was.
  int ParseRequestUrl(std::string target);

  // Parses a multipart form of exactly five fields.  0 when at least one
  // field was taken, -1 otherwise.
  int ParseRequestPost(std::string body);

  std::string QueryRequestPara(std::string name);
  std::string GetHeaderField(std::string name);
  std::string GetRequestMethod();
  std::string GetPostContent();
  int GetPostLeftLength();
  bool GetPostStatus();

  // A POST's Content-Length is a non-negative decimal number that fits an int.
  bool HasValidContentLength() const;

  // What Attach recorded of the request line and the recognised headers.
  const std::string& GetUrl() const { return m_strUrl; }
  const std::string& GetVersion() const { return m_strVersion; }
  int GetContentLength() const { return m_nContentLength; }
  const std::string& GetContentType() const { return m_strContentType; }
  const std::string& GetBoundary() const { return m_strBoundary; }
  bool GetKeepAlive() const { return m_bKeepAlive; }
  const std::vector<std::string>& GetHeaderLines() const { return m_vecLines; }

  // The command text of a valid envelope, otherwise an empty text.
  std::string DecryptStr(std::string& envelope);

 private:
  // False when the text is not JSON; otherwise true, with the command text
  // (empty when the envelope is not sound or fails its check).
  static bool UnwrapEnvelope(const std::string& envelope, std::string& command);

  const char* m_pRequest = nullptr;
  const char* m_pBody = nullptr;
  std::string m_strMethod;
  std::string m_strContentLength;
  int m_nContentLength = 0;
  std::string m_strUrl;
  std::string m_strVersion;
  std::string m_strContentType;
  std::string m_strBoundary;
  bool m_bKeepAlive = false;
  std::map<std::string, std::string> m_mapParams;
  std::string m_strPostContent;
  std::vector<std::string> m_vecLines;
  bool m_bPostStatus = false;
  int m_nPostLeftLength = 0;
  bool m_bValidContentLength = false;
};

// Pieces of text before each separator; the text after the last separator is
// not part of the result.  The separator must not be empty.
std::vector<std::string> split(std::string text, std::string separator);

// value * 10 + (c - '0') for each character, in 32-bit arithmetic, with no
// check that the characters are digits.
int DecstringToInt(std::string digits);
