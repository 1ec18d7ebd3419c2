// Sign, SignHash and Batch_Sign, whose signatures verify with OpenSSL's SM2
// and the default identifier under the key's certificate, and the output
// buffers of every text-out function.

#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <functional>

#include "tests/unit/softkey/softkey_support.h"

namespace softkey_test {
namespace {

using SignTest = SoftkeyTest;

constexpr int32_t kMiB = 1048576;

// Calls a signing function with a signing-sized buffer.
std::pair<int32_t, std::string> Signed(const std::function<int32_t(char*, int32_t*)>& call) {
  std::vector<char> out(kMiB, '\0');
  int32_t len = kMiB;
  int32_t code = call(out.data(), &len);
  return {code, out.data()};
}

// e = SM3(Z || message) for the certificate's key and the default identifier,
// computed here independently of OpenSSL's signing code.
std::string DigestWithZ(X509* cert, std::string_view message) {
  auto* group = EC_GROUP_new_by_curve_name(NID_sm2);
  BIGNUM* p = BN_new();
  BIGNUM* a = BN_new();
  BIGNUM* b = BN_new();
  BIGNUM* gx = BN_new();
  BIGNUM* gy = BN_new();
  EC_GROUP_get_curve(group, p, a, b, nullptr);
  EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), gx, gy, nullptr);
  auto pad = [](const BIGNUM* n) {
    std::string bytes(32, '\0');
    BN_bn2binpad(n, reinterpret_cast<unsigned char*>(bytes.data()), 32);
    return bytes;
  };
  unsigned char point[65];
  size_t pointLength = 0;
  EVP_PKEY_get_octet_string_param(X509_get0_pubkey(cert), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointLength);
  EXPECT_EQ(pointLength, 65u);
  std::string z_input = std::string("\x00\x80", 2) + std::string(kDefaultId) + pad(a) + pad(b) + pad(gx) + pad(gy) +
                        std::string(reinterpret_cast<char*>(point) + 1, 64);
  auto sm3 = [](std::string_view data) {
    unsigned char digest[32];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), digest, &n, EVP_sm3(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), n);
  };
  std::string digest = sm3(sm3(z_input) + std::string(message));
  for (BIGNUM* n : {p, a, b, gx, gy}) BN_free(n);
  EC_GROUP_free(group);
  return digest;
}

TEST_F(SignTest, SignSignsTheUtf8BytesOfTheDataAsGiven) {
  Cert cert = Enrol("SK0001");
  const std::string data[] = {"hello", "", "\xE8\xBD\xAC\xE8\xB4\xA6 100.00 \xE5\x85\x83", std::string(300000, 'x'),
                              "line\r\nbreaks\tand \"quotes\""};
  for (const std::string& text : data) {
    SCOPED_TRACE(text.substr(0, 20));
    auto [code, signature] = Signed([&](char* o, int32_t* l) { return d.Sign("SK0001", 1, 0, text.c_str(), "", o, l); });
    ASSERT_EQ(code, kOk);
    EXPECT_TRUE(SignatureVerifies(cert.get(), text, signature));
    EXPECT_FALSE(SignatureVerifies(cert.get(), text + " ", signature));
  }
  // nFlag is reserved: any value signs the same way.
  auto [code, signature] = Signed([&](char* o, int32_t* l) { return d.Sign("SK0001", 1, 7, "flag", nullptr, o, l); });
  ASSERT_EQ(code, kOk);
  EXPECT_TRUE(SignatureVerifies(cert.get(), "flag", signature));
}

TEST_F(SignTest, OnlySm3IsAHashType) {
  Enrol("SK0001");
  ClearCalls();
  for (int32_t type : {0, 2, 3, 4, 0x20, -1}) {
    EXPECT_EQ(Signed([&](char* o, int32_t* l) { return d.Sign("SK0001", type, 0, "x", "", o, l); }).first,
              kHashTypeUnsupported)
        << type;
    EXPECT_EQ(Signed([&](char* o, int32_t* l) { return d.SignHash("SK0001", type, 0, "eA==", 0, o, l); }).first,
              kHashTypeUnsupported)
        << type;
    EXPECT_EQ(Signed([&](char* o, int32_t* l) {
                return d.Batch_Sign(0, "", type, 0, "x", "", "", 1, 0, "eA==", 0, o, l);
              }).first,
              kHashTypeUnsupported)
        << type;
  }
  EXPECT_TRUE(Calls().empty());
}

TEST_F(SignTest, SignHashSignsTheDecodedMessageOrAPreparedDigest) {
  Cert cert = Enrol("SK0001");
  const char bytes[] = "binary \x00\x01\x02\xFF message";
  const std::string message(bytes, sizeof bytes - 1);
  auto [code, signature] = Signed([&](char* o, int32_t* l) {
    return d.SignHash("SK0001", 1, 0, ToBase64(message).c_str(), 0, o, l);
  });
  ASSERT_EQ(code, kOk);
  EXPECT_TRUE(SignatureVerifies(cert.get(), message, signature));

  // Type 1: the page computed e = SM3(Z || M) itself.
  const std::string digest = DigestWithZ(cert.get(), message);
  auto [digestCode, digestSignature] = Signed([&](char* o, int32_t* l) {
    return d.SignHash("SK0001", 1, 0, ToBase64(digest).c_str(), 1, o, l);
  });
  ASSERT_EQ(digestCode, kOk);
  EXPECT_TRUE(SignatureVerifies(cert.get(), message, digestSignature));

  // Base64 may come in lines.
  std::string wrapped = ToBase64(message);
  wrapped.insert(8, "\r\n");
  auto [wrappedCode, wrappedSignature] = Signed([&](char* o, int32_t* l) {
    return d.SignHash("SK0001", 1, 0, wrapped.c_str(), 0, o, l);
  });
  ASSERT_EQ(wrappedCode, kOk);
  EXPECT_TRUE(SignatureVerifies(cert.get(), message, wrappedSignature));
}

TEST_F(SignTest, SignHashRefusesDataThatIsNotWhatItsTypeSays) {
  Enrol("SK0001");
  struct Row {
    const char* data;
    int32_t type;
    int32_t expected;
  };
  const std::string digest31 = ToBase64(std::string(31, 'd'));
  const Row rows[] = {
      {"not base64!", 0, kDataInvalid}, {"eA=", 0, kDataInvalid},   {"eA==eA==", 0, kDataInvalid},
      {digest31.c_str(), 1, kDataInvalid}, {"eA==", 2, kInvalidArgument}, {"eA==", -1, kInvalidArgument},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Signed([&](char* o, int32_t* l) { return d.SignHash("SK0001", 1, 0, row.data, row.type, o, l); }).first,
              row.expected)
        << row.data << " type " << row.type;
  }
}

TEST_F(SignTest, BatchSignSignsEachItemWithTheKeyItsNameSelects) {
  Cert alice = Enrol("SK-A", "CN=Alice,O=Example Bank,C=CN");
  Cert bob = Enrol("SK-B", "CN=Bob,O=Example Bank,C=CN");
  const std::string trade = "\xE8\xBD\xAC\xE8\xB4\xA6 to Carol 100.00";
  const std::string normal("normal \x00 data", 13);
  const std::string normalBase64 = ToBase64(normal);

  auto [code, text] = Signed([&](char* o, int32_t* l) {
    return d.Batch_Sign(0, "CN=Alice,O=Example Bank,C=CN", 1, 0, trade.c_str(), "Pay Carol",
                        "cn=bob, o=example bank, c=CN", 1, 0, normalBase64.c_str(), 0, o, l);
  });
  ASSERT_EQ(code, kOk);
  size_t comma = text.find(',');
  ASSERT_NE(comma, std::string::npos) << text;
  EXPECT_TRUE(SignatureVerifies(alice.get(), trade, text.substr(0, comma)));
  EXPECT_TRUE(SignatureVerifies(bob.get(), normal, text.substr(comma + 1)));

  auto [tradeCode, tradeOnly] = Signed([&](char* o, int32_t* l) {
    return d.Batch_Sign(1, "CN=Bob,O=Example Bank,C=CN", 1, 0, trade.c_str(), "", "", 99, 0, "", 9, o, l);
  });
  ASSERT_EQ(tradeCode, kOk);
  EXPECT_TRUE(SignatureVerifies(bob.get(), trade, tradeOnly));

  auto [normalCode, normalOnly] = Signed([&](char* o, int32_t* l) {
    return d.Batch_Sign(2, "", 99, 0, "", "", "CN=Alice,O=Example Bank,C=CN", 1, 0, normalBase64.c_str(), 0, o, l);
  });
  ASSERT_EQ(normalCode, kOk);
  EXPECT_TRUE(SignatureVerifies(alice.get(), normal, normalOnly));
}

TEST_F(SignTest, BatchSignNeedsANameThatSelectsOneKey) {
  Cert alice = Enrol("SK-A", "CN=Alice");
  auto batch = [&](int32_t type, const char* tradeName, const char* normalName) {
    return Signed([&](char* o, int32_t* l) {
      return d.Batch_Sign(type, tradeName, 1, 0, "t", "", normalName, 1, 0, "bg==", 0, o, l);
    });
  };
  EXPECT_EQ(batch(1, "CN=Nobody", "").first, kCertNotSelected);
  EXPECT_EQ(batch(2, "", "CN=Nobody").first, kCertNotSelected);
  EXPECT_EQ(batch(1, "not a name", "").first, kCertNotSelected);
  EXPECT_EQ(batch(3, "CN=Alice", "CN=Alice").first, kInvalidArgument);
  // An empty name selects the only key with a signing certificate.
  auto [code, signature] = batch(1, "", "");
  ASSERT_EQ(code, kOk);
  EXPECT_TRUE(SignatureVerifies(alice.get(), "t", signature));
  Enrol("SK-B", "CN=Bob");
  EXPECT_EQ(batch(1, "", "").first, kCertNotSelected);
  EXPECT_EQ(batch(1, "CN=Bob", "").first, kOk);
}

TEST_F(SignTest, SigningNeedsTheSigningKeyOfAnImportedCertificate) {
  NewKey("SK0001");
  Answer("current", "123456");
  EXPECT_EQ(Signed([&](char* o, int32_t* l) { return d.Sign("SK0001", 1, 0, "x", "", o, l); }).first, kNoKeyPair);
  // A request's key signs nothing until its certificate is imported.
  Request("SK0001", "CN=Pending");
  EXPECT_EQ(Signed([&](char* o, int32_t* l) { return d.Sign("SK0001", 1, 0, "x", "", o, l); }).first, kNoKeyPair);
  std::string ciphertext = ToBase64("abc");
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.AsymDec("SK0001", 1, 0, ciphertext.c_str(), o, l); }).first,
            kNoKeyPair);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.AsymDec("SK0001", 2, 0, ciphertext.c_str(), o, l); }).first,
            kKeyTypeUnsupported);
}

TEST_F(SignTest, PrivateKeysAreOnlyInTheStoreSealedUnderThePin) {
  Cert cert = Enrol("SK0001");
  std::string text = ReadFile(StoreFile("SK0001"));
  // Nothing in the store parses as the signing key's private key: the
  // private part is sealed, the public part is the certificate's.
  size_t at = text.find("\nsign.private=");
  ASSERT_NE(at, std::string::npos);
  std::string sealed = FromBase64(text.substr(at + 14, text.find('\n', at + 1) - at - 14));
  const unsigned char* p = U(sealed);
  PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(sealed.size()));
  EXPECT_EQ(p8, nullptr);
  PKCS8_PRIV_KEY_INFO_free(p8);
  // A store whose sealed key is swapped for another key's does not sign.
  Enrol("SK0002");
  std::string other = ReadFile(StoreFile("SK0002"));
  size_t otherAt = other.find("\nsign.private=");
  std::string swapped = text.substr(0, at) + other.substr(otherAt, other.find('\n', otherAt + 1) - otherAt) +
                        text.substr(text.find('\n', at + 1));
  // (The checksum line is rewritten as the driver would.)
  size_t check = swapped.rfind("sha256=");
  std::string body = swapped.substr(0, check);
  unsigned char digest[32];
  unsigned int n = 0;
  EVP_Digest(body.data(), body.size(), digest, &n, EVP_sha256(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < n; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", digest[i]);
    hex += two;
  }
  WriteFile(StoreFile("SK0001"), body + "sha256=" + hex + "\n");
  EXPECT_EQ(Signed([&](char* o, int32_t* l) { return d.Sign("SK0001", 1, 0, "x", "", o, l); }).first, kStoreCorrupt);
}

// --- Output buffers ----------------------------------------------------------

TEST_F(SignTest, OutputsThatDoNotFitTheBufferAreRefusedWithoutWritingPastIt) {
  Cert cert = Enrol("SK0001");
  EncryptionDelivery delivery = Deliver(ca, cert.get(), false);
  ASSERT_EQ(d.ImportEncX509Cert("SK0001", ToBase64(CertDer(delivery.cert.get())).c_str(), delivery.envelope.c_str()),
            kOk);
  const std::string ciphertext = ToBase64(Sm2Encrypt(X509_get0_pubkey(delivery.cert.get()), "x"));
  using Call = std::function<int32_t(char*, int32_t*)>;
  struct Row {
    const char* what;
    Call call;
    int32_t size;  // what *len says on entry
    bool varies = false;  // a new signature each call, its length within a few bytes
  };
  const Row rows[] = {
      {"GetDriverVersion", [&](char* o, int32_t* l) { return d.GetDriverVersion(o, l); }, 5},
      {"GetDllVersion", [&](char* o, int32_t* l) { return d.GetDllVersion(o, l); }, 1},
      {"GetVidAndPid", [&](char* o, int32_t* l) { return d.GetVidAndPid(o, l); }, 4},
      {"GetPrintNumber", [&](char* o, int32_t* l) { return d.GetPrintNumber(o, l); }, 6},
      {"GetVendorInfo", [&](char* o, int32_t* l) { return d.GetVendorInfo(1, o, l); }, 8},
      {"GetErrorMsg", [&](char* o, int32_t* l) { return d.GetErrorMsg(kPinLocked, o, l); }, 3},
      {"GetPinInfo", [&](char* o, int32_t* l) { return d.GetPinInfo("SK0001", o, l); }, 20},
      {"GetLabel", [&](char* o, int32_t* l) { return d.GetLabel("SK0001", o, l); }, 6},
      {"GetData", [&](char* o, int32_t* l) { return d.GetData("SK0001", 0, o, l); }, 4},
      {"GetCert", [&](char* o, int32_t* l) { return d.GetCert("SK0001", 1, 1, o, l); }, 100},
      {"GetCertDN", [&](char* o, int32_t* l) { return d.GetCertDN("SK0001", 1, 1, o, l); }, 10},
      {"GetCertInfo", [&](char* o, int32_t* l) {
         int32_t info = -1;
         int32_t code = d.GetCertInfo("SK0001", &info, o, l);
         EXPECT_EQ(info, code == kOk ? 3 : -1);  // stored only with the text
         return code;
       }, 64},
      {"Sign", [&](char* o, int32_t* l) { return d.Sign("SK0001", 1, 0, "x", "", o, l); }, 50, true},
      {"SignHash", [&](char* o, int32_t* l) { return d.SignHash("SK0001", 1, 0, "eA==", 0, o, l); }, 2, true},
      {"Batch_Sign", [&](char* o, int32_t* l) {
         return d.Batch_Sign(0, "", 1, 0, "t", "", "", 1, 0, "eA==", 0, o, l);
       }, 120, true},
      {"AsymDec", [&](char* o, int32_t* l) { return d.AsymDec("SK0001", 1, 0, ciphertext.c_str(), o, l); }, 1},
  };
  ASSERT_EQ(d.SetData("SK0001", 0, "four"), kOk);
  for (const Row& row : rows) {
    for (int32_t size : {row.size, int32_t(0), int32_t(-5)}) {
      SCOPED_TRACE(std::string(row.what) + " with " + std::to_string(size));
      std::vector<char> buffer(256, '\x7F');
      int32_t len = size;
      ASSERT_EQ(row.call(buffer.data(), &len), kBufferTooSmall);
      // Nothing past the size given; at most an empty text within it.
      for (size_t i = size > 0 ? static_cast<size_t>(size) : 0; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], '\x7F') << "byte " << i;
      }
      if (size > 0) {
        EXPECT_EQ(buffer[0], '\0');
      }
      if (size == row.size) {
        // The size needed, with its NUL: enough for the call to succeed.
        EXPECT_GT(len, size);
        std::vector<char> enough(static_cast<size_t>(len) + 8, '\x7F');
        int32_t given = row.varies ? len + 8 : len;
        ASSERT_EQ(row.call(enough.data(), &given), kOk);
        EXPECT_EQ(static_cast<size_t>(given), strlen(enough.data()));
        if (!row.varies) {
          EXPECT_EQ(static_cast<size_t>(len), strlen(enough.data()) + 1);
        }
      }
    }
  }
}

TEST_F(SignTest, ABufferTooSmallForAnySignatureIsRefusedBeforeThePinIsAsked) {
  Enrol("SK0001");
  ASSERT_EQ(d.RemovePinCache(), kOk);
  ClearCalls();
  struct Row {
    const char* what;
    std::function<int32_t(char*, int32_t*)> call;
    int32_t needed;  // 96 Base64 characters for the longest DER signature, with the NUL
  };
  const Row rows[] = {
      {"Sign", [&](char* o, int32_t* l) { return d.Sign("SK0001", 1, 0, "x", "", o, l); }, 97},
      {"SignHash", [&](char* o, int32_t* l) { return d.SignHash("SK0001", 1, 0, "eA==", 0, o, l); }, 97},
      {"Batch_Sign of both", [&](char* o, int32_t* l) {
         return d.Batch_Sign(0, "", 1, 0, "t", "", "", 1, 0, "eA==", 0, o, l);
       }, 194},
      {"Batch_Sign of one", [&](char* o, int32_t* l) {
         return d.Batch_Sign(2, "", 1, 0, "t", "", "", 1, 0, "eA==", 0, o, l);
       }, 97},
  };
  for (const Row& row : rows) {
    std::vector<char> buffer(256, '\x7F');
    int32_t len = row.needed - 1;
    EXPECT_EQ(row.call(buffer.data(), &len), kBufferTooSmall) << row.what;
    EXPECT_EQ(len, row.needed) << row.what;
    EXPECT_EQ(buffer[0], '\0') << row.what;
    EXPECT_EQ(buffer[1], '\x7F') << row.what;
  }
  EXPECT_TRUE(Calls().empty());
}

TEST_F(SignTest, ARequestThatDoesNotFitTheBufferLeavesNoKeyPairBehind) {
  NewKey("SK0001");
  Answer("current", "123456");
  std::vector<char> buffer(10240, '\x7F');
  int32_t len = 100;
  ASSERT_EQ(d.GenerateCertRequest("SK0001", "CN=Alice", buffer.data(), &len), kBufferTooSmall);
  EXPECT_GT(len, 100);
  EXPECT_EQ(buffer[100], '\x7F');
  len = 100;
  ASSERT_EQ(d.Batch_InitAndGenerateCertRequest("SK0001", 1, "CN=Alice", buffer.data(), &len), kBufferTooSmall);
  std::vector<char> out(10240);
  int32_t size = 10240;
  int32_t info = 0;
  ASSERT_EQ(d.GetCertInfo("SK0001", &info, out.data(), &size), kOk);
  EXPECT_NE(std::string(out.data()).find("\"pendingRequest\":false"), std::string::npos);
}

TEST_F(SignTest, MissingPointersAreRefused) {
  Enrol("SK0001");
  std::vector<char> out(kMiB);
  int32_t len = kMiB;
  int32_t info = 0;
  int32_t event = 0;
  const int32_t codes[] = {
      d.Sign("SK0001", 1, 0, nullptr, "", out.data(), &len),
      d.Sign("SK0001", 1, 0, "x", "", nullptr, &len),
      d.Sign("SK0001", 1, 0, "x", "", out.data(), nullptr),
      d.SignHash("SK0001", 1, 0, nullptr, 0, out.data(), &len),
      d.GetCert("SK0001", 1, 1, out.data(), nullptr),
      d.GetCertInfo("SK0001", nullptr, out.data(), &len),
      d.GetCertInfo("SK0001", &info, nullptr, &len),
      d.GetLastErrCode(nullptr),
      d.GetErrorMsg(kPinLocked, nullptr, &len),
      d.WaitForKeyEvent(nullptr, out.data(), &len),
      d.WaitForKeyEvent(&event, out.data(), nullptr),
      d.ImportX509Cert("SK0001", nullptr),
      d.ImportEncX509Cert("SK0001", "x", nullptr),
      d.GenerateCertRequest("SK0001", nullptr, out.data(), &len),
      d.AsymDec("SK0001", 1, 0, nullptr, out.data(), &len),
      d.SetData("SK0001", 0, nullptr),
  };
  for (size_t i = 0; i < std::size(codes); ++i) EXPECT_EQ(codes[i], kInvalidArgument) << "call " << i;
}

}  // namespace
}  // namespace softkey_test
