#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

// Helpers of the UKey adapter's tests: adapter requests and replies, the
// test drivers installed at a vendor's path under the install root, and the
// catalogue with a valid call of each function.
namespace ukey_testing {

// The driver path of a vendor key under the install root ("" for a key
// outside the vendor table).
std::string VendorPath(const std::string& vendor);

// The request text a page sends: Base64 of {"functionid","parameters"}.
std::string Request(const std::string& functionid, const Json::Value& parameters);
// A request with one parameters object: params plus "vendor".
std::string Call(const std::string& functionid, const std::string& vendor, Json::Value params = Json::objectValue);

// A reply taken apart.
struct Reply {
  bool wellFormed = false;    // {"returnvalue": Base64} and a line feed, inner document likewise
  std::string inner;          // the decoded inner document
  Json::Value items;          // its "returnvalue" array
  std::string Items() const;  // the array as compact text without the line feed
};
Reply ReadReply(const std::string& reply);

// The form of signature file an installed driver gets.
enum class Signature { kType1, kNone, kOfOtherBytes, kType0 };

// A test driver copied to a vendor's path (replacing the file atomically, so
// a process that loaded an earlier one keeps it), removed with its ".sig",
// ".script" and ".calls" files when this goes away; what was installed at the
// path before (a staged driver) is put back.
class InstalledDriver {
 public:
  InstalledDriver(const std::string& vendor, const std::string& driverFile, Signature signature = Signature::kType1);
  ~InstalledDriver();
  InstalledDriver(const InstalledDriver&) = delete;
  InstalledDriver& operator=(const InstalledDriver&) = delete;

  const std::string& Path() const { return path_; }
  // Replaces the driver's script (see tests/drivers/test_driver.cpp).
  void Script(const std::string& lines) const;
  // The calls the driver recorded: "Name tid pid" each.
  struct Recorded {
    std::string function;
    long tid = 0;
    long pid = 0;
  };
  std::vector<Recorded> Calls() const;
  void ClearCalls() const;

 private:
  std::string path_;
  std::vector<std::pair<std::string, std::string>> saved_;  // suffix, contents
};

// A test driver built with the tests ("echo", "bare", "silent", "fill").
std::string TestDriver(const std::string& form);

// The catalogue: every function with a valid set of parameters, the thread
// it must run on and the items the echo driver's answer gives.
struct CatalogueCall {
  std::string function;
  Json::Value params;                 // without "vendor"
  std::vector<std::string> optional;  // parameters that may be left out
  bool mainThread = false;
  std::string echoItems;  // after ret and errormessage, as compact text
};
const std::vector<CatalogueCall>& Catalogue();
// The entry of one function (the first entry when the name is unknown).
const CatalogueCall& CatalogueEntry(const std::string& function);

// Path of the signing tool, the development keys folder.
std::string SignTool();
std::string DevelopmentKeys();

}  // namespace ukey_testing
