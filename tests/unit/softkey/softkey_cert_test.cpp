// Certificate requests, certificate import (signing, encryption, batches) and
// the certificate queries.

#include <openssl/objects.h>

#include "tests/unit/softkey/softkey_support.h"

namespace softkey_test {
namespace {

using CertTest = SoftkeyTest;

std::string NameText(const X509_NAME* name) {
  // One line per attribute: "short name=UTF-8 value".
  std::string text;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    text += OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)));
    text += "=" + std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(n)) + "\n";
    OPENSSL_free(utf8);
  }
  return text;
}

std::string CertInfo(Driver& d, const char* serial, int32_t* info) {
  std::vector<char> out(10240);
  int32_t len = 10240;
  *info = -1;
  EXPECT_EQ(d.GetCertInfo(serial, info, out.data(), &len), kOk);
  return out.data();
}

TEST_F(CertTest, GenerateCertRequestReturnsASignedPkcs10RequestForTheSubjectAsked) {
  NewKey("SK0001");
  Answer("current", "123456");
  struct Row {
    const char* info;
    const char* subject;  // as NameText shows it
  };
  const Row rows[] = {
      {"CN=Alice,O=Example Bank,C=CN", "CN=Alice\nO=Example Bank\nC=CN\n"},
      {" CN = Bob , OU = Retail\\, North , L=Shanghai ", "CN=Bob\nOU=Retail, North\nL=Shanghai\n"},
      {"commonName=\xE5\xBC\xA0\xE4\xB8\x89,E=zhang@example.cn", "CN=\xE5\xBC\xA0\xE4\xB8\x89\nemailAddress=zhang@example.cn\n"},
      {"CN=a\\2Bb\\\\c", "CN=a+b\\c\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.info);
    auto [code, text] = Out([&](char* o, int32_t* l) { return d.GenerateCertRequest("SK0001", row.info, o, l); });
    ASSERT_EQ(code, kOk);
    EXPECT_EQ(text.find_first_of("\r\n -"), std::string::npos);  // plain Base64
    Req req = RequestFromBase64(text);
    ASSERT_TRUE(req);
    EXPECT_EQ(X509_REQ_get_version(req.get()), 0);
    EXPECT_TRUE(EVP_PKEY_is_a(X509_REQ_get0_pubkey(req.get()), "SM2"));
    EXPECT_EQ(X509_REQ_get_signature_nid(req.get()), NID_SM2_with_SM3);
    EXPECT_TRUE(RequestVerifies(req.get()));
    EXPECT_EQ(NameText(X509_REQ_get_subject_name(req.get())), row.subject);
  }
  EXPECT_EQ(Calls().size(), 1u);  // asked once, then cached
}

TEST_F(CertTest, EachRequestHasAKeyPairOfItsOwn) {
  NewKey("SK0001");
  Answer("current", "123456");
  Req first = RequestFromBase64(Request("SK0001", "CN=A"));
  Req second = RequestFromBase64(Request("SK0001", "CN=A"));
  ASSERT_TRUE(first && second);
  EXPECT_NE(EVP_PKEY_eq(X509_REQ_get0_pubkey(first.get()), X509_REQ_get0_pubkey(second.get())), 1);
}

TEST_F(CertTest, MalformedRequestInformationIsRefusedBeforeThePinIsAsked) {
  NewKey("SK0001");
  Answer("current", "123456");
  for (const char* info : {"", "CN", "=Alice", "CN=", "CN=Alice,", ",CN=Alice", "XYZ=1", "C=CHN", "CN=a\\",
                           "CN=\x01"}) {
    SCOPED_TRACE(info);
    EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GenerateCertRequest("SK0001", info, o, l); }).first,
              kRequestInfoInvalid);
  }
  EXPECT_TRUE(Calls().empty());
  int32_t info = 0;
  EXPECT_NE(CertInfo(d, "SK0001", &info).find("\"pendingRequest\":false"), std::string::npos);
}

TEST_F(CertTest, TheIssuedCertificateIsImportedAndReadBack) {
  NewKey("SK0001");
  Answer("current", "123456");
  Cert cert = ca.IssueFor(Request("SK0001", "CN=Alice,O=Example Bank,C=CN"));
  ASSERT_TRUE(cert);
  const std::string base64 = ToBase64(CertDer(cert.get()));
  ASSERT_EQ(d.ImportX509Cert("SK0001", base64.c_str()), kOk);

  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 1, 1, o, l); }),
            std::pair(int32_t(kOk), base64));
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCertDN("SK0001", 1, 1, o, l); }),
            std::pair(int32_t(kOk), std::string("CN=Alice,O=Example Bank,C=CN")));
  EXPECT_EQ(d.GetRemainValidityOfCert("SK0001", 1, 1), 30);
  int32_t info = 0;
  std::string json = CertInfo(d, "SK0001", &info);
  EXPECT_EQ(info, 1);
  EXPECT_NE(json.find(R"({"serial":"SK0001","certificates":[{"certType":1,"keyType":1,)"
                      R"("subject":"CN=Alice,O=Example Bank,C=CN","issuer":"CN=Vasquill Test CA,O=Vasquill Tests,C=CN",)"
                      R"("serialNumber":"1002","notBefore":")"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("remainingDays":30,"registered":false}],"pendingRequest":false})"), std::string::npos) << json;
  // No encryption certificate.
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 2, 1, o, l); }).first, kNoCert);
  EXPECT_EQ(d.GetRemainValidityOfCert("SK0001", 2, 1), -kNoCert);
}

TEST_F(CertTest, PemIsAcceptedAsWellAsBase64OfDer) {
  NewKey("SK0001");
  Answer("current", "123456");
  Cert cert = ca.IssueFor(Request("SK0001", "CN=Pem"));
  ASSERT_EQ(d.ImportX509Cert("SK0001", CertPem(cert.get()).c_str()), kOk);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 1, 1, o, l); }).second,
            ToBase64(CertDer(cert.get())));
}

TEST_F(CertTest, ACertificateForAnotherKeyIsRefused) {
  NewKey("SK0001");
  Answer("current", "123456");
  Request("SK0001", "CN=Alice");
  Pkey other = NewSm2Key();
  Name subject = MakeName({{"CN", "Alice"}});
  Cert foreign = ca.Issue(other.get(), subject.get(), -60, 86400);
  EXPECT_EQ(d.ImportX509Cert("SK0001", ToBase64(CertDer(foreign.get())).c_str()), kCertKeyMismatch);
  // The CA's own certificate does not belong either.
  EXPECT_EQ(d.ImportX509Cert("SK0001", ToBase64(CertDer(ca.cert())).c_str()), kCertKeyMismatch);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 1, 1, o, l); }).first, kNoCert);
  int32_t info = 0;
  EXPECT_NE(CertInfo(d, "SK0001", &info).find("\"pendingRequest\":true"), std::string::npos);
  EXPECT_EQ(info, 0);
}

TEST_F(CertTest, TextsThatAreNoCertificateAreRefused) {
  NewKey("SK0001");
  for (const char* text : {"", "not base64!", "AAAA", "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"}) {
    EXPECT_EQ(d.ImportX509Cert("SK0001", text), kCertInvalid) << text;
    EXPECT_EQ(d.Batch_ImportX509Cert("SK0001", text), kCertInvalid) << text;
  }
}

TEST_F(CertTest, ARenewedCertificateForTheSameKeyReplacesTheOldOne) {
  Cert first = Enrol("SK0001", "CN=Alice");
  // The CA issues another certificate for the same public key.
  Name subject = MakeName({{"CN", "Alice"}, {"OU", "Renewed"}});
  Cert renewed = ca.Issue(X509_get0_pubkey(first.get()), subject.get(), -60, 400L * 86400 - 60);
  ASSERT_EQ(d.ImportX509Cert("SK0001", ToBase64(CertDer(renewed.get())).c_str()), kOk);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCertDN("SK0001", 1, 1, o, l); }).second, "CN=Alice,OU=Renewed");
  EXPECT_EQ(d.GetRemainValidityOfCert("SK0001", 1, 1), 399);
}

TEST_F(CertTest, RemainingValidityIsInWholeDaysRoundedDown) {
  NewKey("SK0001");
  Answer("current", "123456");
  struct Row {
    long notAfter;  // seconds from now
    int32_t days;
  };
  const Row rows[] = {{10L * 86400 + 600, 10}, {86400 - 600, 0}, {-600, -1}, {-(86400L * 3 / 2), -2}};
  for (const Row& row : rows) {
    std::string request = Request("SK0001", "CN=Days");
    Cert cert = ca.IssueFor(request, -5L * 86400, row.notAfter);
    ASSERT_EQ(d.ImportX509Cert("SK0001", ToBase64(CertDer(cert.get())).c_str()), kOk);
    EXPECT_EQ(d.GetRemainValidityOfCert("SK0001", 1, 1), row.days) << row.notAfter;
  }
}

TEST_F(CertTest, CertificateTypesOutsideTheDriversAreRefused) {
  Enrol("SK0001");
  struct Row {
    int32_t certType;
    int32_t keyType;
    int32_t expected;
  };
  const Row rows[] = {{0, 1, kInvalidArgument}, {3, 1, kInvalidArgument}, {1, 2, kKeyTypeUnsupported},
                      {1, 0, kKeyTypeUnsupported}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.certType) + "/" + std::to_string(row.keyType));
    EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", row.certType, row.keyType, o, l); }).first,
              row.expected);
    EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCertDN("SK0001", row.certType, row.keyType, o, l); }).first,
              row.expected);
    EXPECT_EQ(d.GetRemainValidityOfCert("SK0001", row.certType, row.keyType), -row.expected);
    EXPECT_EQ(d.RegisterCert("SK0001", row.certType, row.keyType), row.expected);
    EXPECT_EQ(d.DelCertAndTempKey("SK0001", row.certType, row.keyType), row.expected);
  }
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 1, 1, o, l); }).first, kOk);
}

TEST_F(CertTest, RegisterAndUnregisterMarkTheCertificate) {
  Enrol("SK0001");
  int32_t info = 0;
  ASSERT_EQ(d.RegisterCert("SK0001", 1, 1), kOk);
  EXPECT_NE(CertInfo(d, "SK0001", &info).find("\"registered\":true"), std::string::npos);
  ASSERT_EQ(d.UnregisterCert("SK0001", 1, 1), kOk);
  EXPECT_NE(CertInfo(d, "SK0001", &info).find("\"registered\":false"), std::string::npos);
  EXPECT_EQ(d.RegisterCert("SK0001", 2, 1), kNoCert);
}

TEST_F(CertTest, TheEncryptionPairIsImportedAndDecryptsForItsCertificate) {
  for (bool asPkcs8 : {false, true}) {
    SCOPED_TRACE(asPkcs8 ? "PKCS#8" : "32-byte scalar");
    Cert signing = Enrol("SK0001");
    EncryptionDelivery delivery = Deliver(ca, signing.get(), asPkcs8);
    ASSERT_EQ(d.ImportEncX509Cert("SK0001", ToBase64(CertDer(delivery.cert.get())).c_str(), delivery.envelope.c_str()),
              kOk);
    EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 2, 1, o, l); }).second,
              ToBase64(CertDer(delivery.cert.get())));
    EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCertDN("SK0001", 2, 1, o, l); }).second,
              "CN=Alice,OU=Encryption");
    int32_t info = 0;
    CertInfo(d, "SK0001", &info);
    EXPECT_EQ(info, 3);

    const std::string secret("session key \x00\x01\xFF", 15);
    const std::string ciphertext = ToBase64(Sm2Encrypt(X509_get0_pubkey(delivery.cert.get()), secret));
    auto [code, plain] = Out([&](char* o, int32_t* l) { return d.AsymDec("SK0001", 1, 0, ciphertext.c_str(), o, l); });
    ASSERT_EQ(code, kOk);
    EXPECT_EQ(FromBase64(plain), secret);
    // A ciphertext for the signing key is not for the encryption key.
    const std::string other = ToBase64(Sm2Encrypt(X509_get0_pubkey(signing.get()), secret));
    EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.AsymDec("SK0001", 1, 0, other.c_str(), o, l); }).first,
              kDecryptFailed);
  }
}

TEST_F(CertTest, AnEncryptionImportThatDoesNotFitIsRefused) {
  Cert signing = Enrol("SK0001");
  EncryptionDelivery delivery = Deliver(ca, signing.get(), false);
  const std::string certText = ToBase64(CertDer(delivery.cert.get()));
  // Sealed for a key that is not this key's.
  Pkey stranger = NewSm2Key();
  const std::string wrongEnvelope = ToBase64(Sm2Encrypt(stranger.get(), PrivateScalar(delivery.key.get())));
  EXPECT_EQ(d.ImportEncX509Cert("SK0001", certText.c_str(), wrongEnvelope.c_str()), kDecryptFailed);
  // The private key of another pair than the certificate's.
  const std::string otherKey = ToBase64(Sm2Encrypt(X509_get0_pubkey(signing.get()), PrivateScalar(stranger.get())));
  EXPECT_EQ(d.ImportEncX509Cert("SK0001", certText.c_str(), otherKey.c_str()), kCertKeyMismatch);
  // Something that is no key at all.
  const std::string junk = ToBase64(Sm2Encrypt(X509_get0_pubkey(signing.get()), "0123456789"));
  EXPECT_EQ(d.ImportEncX509Cert("SK0001", certText.c_str(), junk.c_str()), kDataInvalid);
  EXPECT_EQ(d.ImportEncX509Cert("SK0001", certText.c_str(), "%%%"), kDataInvalid);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 2, 1, o, l); }).first, kNoCert);
  // A key without any key pair cannot open an envelope.
  NewKey("SK0002");
  EXPECT_EQ(d.ImportEncX509Cert("SK0002", certText.c_str(), delivery.envelope.c_str()), kNoKeyPair);
}

TEST_F(CertTest, ABatchIsImportedWholeOrNotAtAll) {
  NewKey("SK0001");
  Answer("current", "123456");
  Cert signing = ca.IssueFor(Request("SK0001", "CN=Batch"));
  Pkey other = NewSm2Key();
  Name subject = MakeName({{"CN", "Other"}});
  Cert foreign = ca.Issue(other.get(), subject.get(), -60, 86400);

  const std::string mixed = ToBase64(CertDer(signing.get())) + "," + ToBase64(CertDer(foreign.get()));
  EXPECT_EQ(d.Batch_ImportX509Cert("SK0001", mixed.c_str()), kCertKeyMismatch);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 1, 1, o, l); }).first, kNoCert);

  const std::string pemBatch = CertPem(signing.get()) + CertPem(foreign.get());
  EXPECT_EQ(d.Batch_ImportX509Cert("SK0001", pemBatch.c_str()), kCertKeyMismatch);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 1, 1, o, l); }).first, kNoCert);

  // The signing certificate and, for the encryption pair imported before,
  // a renewed encryption certificate: both filed.
  ASSERT_EQ(d.ImportX509Cert("SK0001", CertPem(signing.get()).c_str()), kOk);
  EncryptionDelivery delivery = Deliver(ca, signing.get(), false);
  ASSERT_EQ(d.ImportEncX509Cert("SK0001", ToBase64(CertDer(delivery.cert.get())).c_str(), delivery.envelope.c_str()),
            kOk);
  Name renewedName = MakeName({{"CN", "Alice"}, {"OU", "Encryption 2"}});
  Cert renewed = ca.Issue(delivery.key.get(), renewedName.get(), -60, 86400);
  const std::string batch = CertPem(signing.get()) + CertPem(renewed.get());
  ASSERT_EQ(d.Batch_ImportX509Cert("SK0001", batch.c_str()), kOk);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCertDN("SK0001", 2, 1, o, l); }).second,
            "CN=Alice,OU=Encryption 2");
  const std::string commaBatch = ToBase64(CertDer(signing.get())) + "," + ToBase64(CertDer(delivery.cert.get()));
  ASSERT_EQ(d.Batch_ImportX509Cert("SK0001", commaBatch.c_str()), kOk);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCertDN("SK0001", 2, 1, o, l); }).second,
            "CN=Alice,OU=Encryption");
}

TEST_F(CertTest, BatchInitAndGenerateResetsTheKeyWithoutAskingAndRequests) {
  Enrol("SK0001");
  Answer("new", "abcdef");
  Answer("confirm", "abcdef");
  ASSERT_EQ(d.ChangePin("SK0001"), kOk);
  ClearCalls();
  auto [code, text] = Out([&](char* o, int32_t* l) {
    return d.Batch_InitAndGenerateCertRequest("SK0001", 1, "CN=Fresh,C=CN", o, l);
  });
  ASSERT_EQ(code, kOk);
  EXPECT_TRUE(Calls().empty());
  Req req = RequestFromBase64(text);
  ASSERT_TRUE(req);
  EXPECT_TRUE(RequestVerifies(req.get()));
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 1, 1, o, l); }).first, kNoCert);
  // The reset key has the default PIN, and its request's certificate fits.
  Cert cert = ca.IssueFor(text);
  ASSERT_EQ(d.ImportX509Cert("SK0001", ToBase64(CertDer(cert.get())).c_str()), kOk);
  Answer("current", "123456");
  EXPECT_EQ(d.VerifyPIN("SK0001"), kOk);
  // It creates a key that does not exist yet.
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.Batch_InitAndGenerateCertRequest("SK0002", 1, "CN=New", o, l); }).first,
            kOk);
  EXPECT_TRUE(fs::exists(StoreFile("SK0002")));
  // Flag 0 requests like GenerateCertRequest, with the PIN.
  ClearCalls();
  ASSERT_EQ(d.RemovePinCache(), kOk);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.Batch_InitAndGenerateCertRequest("SK0001", 0, "CN=Again", o, l); }).first,
            kOk);
  EXPECT_EQ(Calls().size(), 1u);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 1, 1, o, l); }).first, kOk);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.Batch_InitAndGenerateCertRequest("SK0001", 2, "CN=A", o, l); }).first,
            kInvalidArgument);
}

TEST_F(CertTest, DelCertAndTempKeyRemovesTheCertificateWithItsKeys) {
  Cert signing = Enrol("SK0001");
  EncryptionDelivery delivery = Deliver(ca, signing.get(), false);
  ASSERT_EQ(d.ImportEncX509Cert("SK0001", ToBase64(CertDer(delivery.cert.get())).c_str(), delivery.envelope.c_str()),
            kOk);
  Request("SK0001", "CN=Pending");

  ASSERT_EQ(d.DelCertAndTempKey("SK0001", 2, 1), kOk);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 2, 1, o, l); }).first, kNoCert);
  EXPECT_EQ(Out([&](char* o, int32_t* l) { return d.GetCert("SK0001", 1, 1, o, l); }).first, kOk);
  EXPECT_EQ(d.DelCertAndTempKey("SK0001", 2, 1), kNoCert);

  ASSERT_EQ(d.DelCertAndTempKey("SK0001", 1, 1), kOk);
  int32_t info = 0;
  std::string json = CertInfo(d, "SK0001", &info);
  EXPECT_EQ(info, 0);
  EXPECT_NE(json.find(R"("certificates":[],"pendingRequest":false)"), std::string::npos) << json;
  std::vector<char> out(1 << 20);
  int32_t len = static_cast<int32_t>(out.size());
  EXPECT_EQ(d.Sign("SK0001", 1, 0, "x", "", out.data(), &len), kNoKeyPair);
}

}  // namespace
}  // namespace softkey_test
