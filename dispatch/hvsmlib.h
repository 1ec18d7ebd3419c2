#pragma once

#include <string>

class CHttpRequest;

// The command dispatcher: parses one command text, selects its handler by the
// integer "pcode" and makes sure a reply always exists.  One dispatcher serves
// one command.
class HVSMLib {
 public:
  HVSMLib();
  ~HVSMLib();

  void setrequest(CHttpRequest* request);

  // Fills the reply with the command's JSON text (or the fallback reply
  // {"ecode":result,"message":...}) and returns the command's result: -2 for
  // an empty text, "splice", a missing, non-integer or unknown "pcode", or a
  // root that is not an object; -913 for a text that is not JSON.
  int invoke(const std::string& request, std::string& reply);

 private:
  CHttpRequest* m_request = nullptr;
};
