// The SM2 binding: keys from coordinates and certificates, the key wrapper
// and its contexts through OpenSSL's generic calls, the raw and DER
// signature forms and the SM3 message-digest object.

#include <gtest/gtest.h>
#include <openssl/asn1t.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <thread>

#include "sm/sm_internal.h"
#include "tests/unit/sm_test_support.h"

namespace {

using namespace smtest;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;

// A certificate for the given key, self-signed by OpenSSL.
Cert MakeCertificate(EVP_PKEY* key) {
  Cert cert(X509_new());
  X509_set_version(cert.get(), X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("test"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  EXPECT_EQ(X509_set_pubkey(cert.get(), key), 1);
  EXPECT_GT(X509_sign(cert.get(), key, EVP_PKEY_is_a(key, "SM2") ? EVP_sm3() : EVP_sha256()), 0);
  return cert;
}

TEST(Sm2Keys, KeysFromCoordinatesCarryTheSm2MarkAndTheirNumbers) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, true);
  ASSERT_TRUE(key);
  EXPECT_EQ(EC_KEY_is_sm2(key.get()), 1);
  EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(key.get()), reference.d.get()), 0);
  Bn x(BN_new()), y(BN_new());
  ASSERT_EQ(EC_POINT_get_affine_coordinates(EC_KEY_get0_group(key.get()),
                                            EC_KEY_get0_public_key(key.get()), x.get(), y.get(),
                                            nullptr),
            1);
  EXPECT_EQ(BN_cmp(x.get(), reference.x.get()), 0);
  EXPECT_EQ(BN_cmp(y.get(), reference.y.get()), 0);
  EcKey plain(EC_KEY_new());
  EXPECT_EQ(EC_KEY_is_sm2(plain.get()), 0);
  EXPECT_EQ(EC_KEY_from_BN(nullptr, reference.y.get(), nullptr), nullptr);
}

TEST(Sm2Keys, CertificateKeyVerifiesSignaturesOfItsPrivateKey) {
  OpenSslKey reference = NewOpenSslKey();
  Cert cert = MakeCertificate(reference.pkey.get());
  EcKey key(EC_KEY_from_X509(cert.get()));
  ASSERT_TRUE(key);
  const Bytes message = FromText("from a certificate");
  const Bytes raw = RawFromDer(OpenSslSign(reference, message, kDefaultId));
  EXPECT_EQ(BindingVerify(key.release(), 0, raw, message), 1);
}

TEST(Sm2Keys, CertificateKeyIsReadWhateverTheAlgorithmIdentifierSays) {
  OpenSslKey reference = NewOpenSslKey();
  Cert cert = MakeCertificate(reference.pkey.get());
  // Relabel the subject public key as RSA, keeping the 65-byte point.
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(cert.get());
  const unsigned char* point = nullptr;
  int length = 0;
  ASSERT_EQ(X509_PUBKEY_get0_param(nullptr, &point, &length, nullptr, pub), 1);
  ASSERT_EQ(length, 65);
  auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(point, 65));
  ASSERT_EQ(X509_PUBKEY_set0_param(pub, OBJ_nid2obj(NID_rsaEncryption), V_ASN1_NULL, nullptr,
                                   copy, 65),
            1);
  EcKey key(EC_KEY_from_X509(cert.get()));
  ASSERT_TRUE(key);
  const Bytes message = FromText("relabelled");
  EXPECT_EQ(BindingVerify(key.release(), 0, RawFromDer(OpenSslSign(reference, message, kDefaultId)),
                          message),
            1);
}

TEST(Sm2Keys, CertificatesOfOtherKeysGiveNoKey) {
  // A P-256 point is 65 bytes too, but not on the SM2 curve.
  PKey p256(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  ASSERT_TRUE(p256);
  Cert p256Cert = MakeCertificate(p256.get());
  EXPECT_EQ(EC_KEY_from_X509(p256Cert.get()), nullptr);
  // An RSA key.
  PKey rsa(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
  ASSERT_TRUE(rsa);
  Cert rsaCert = MakeCertificate(rsa.get());
  EXPECT_EQ(EC_KEY_from_X509(rsaCert.get()), nullptr);
  // A compressed SM2 point: 33 bytes, never read past.
  OpenSslKey reference = NewOpenSslKey();
  Cert cert = MakeCertificate(reference.pkey.get());
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(cert.get());
  const unsigned char* point = nullptr;
  int length = 0;
  ASSERT_EQ(X509_PUBKEY_get0_param(nullptr, &point, &length, nullptr, pub), 1);
  auto* compressed = static_cast<unsigned char*>(OPENSSL_malloc(33));
  compressed[0] = static_cast<unsigned char>(0x02 | (point[64] & 1));
  std::memcpy(compressed + 1, point + 1, 32);
  ASSERT_EQ(X509_PUBKEY_set0_param(pub, OBJ_nid2obj(NID_X9_62_id_ecPublicKey), V_ASN1_UNDEF,
                                   nullptr, compressed, 33),
            1);
  EXPECT_EQ(EC_KEY_from_X509(cert.get()), nullptr);
  EXPECT_EQ(EC_KEY_from_X509(nullptr), nullptr);
}

// Verification through the wrapper reads exactly the first 64 bytes.
TEST(Sm2Wrapper, ExactlyTheFirst64SignatureBytesCount) {
  OpenSslKey reference = NewOpenSslKey();
  const Bytes message = FromText("sixty-four");
  const Bytes raw = RawFromDer(OpenSslSign(reference, message, kDefaultId));
  Bytes longer = raw;
  longer.insert(longer.end(), {0xFF, 0x00, 0x13});
  EXPECT_EQ(BindingVerify(OurKey(reference, false).release(), 0, longer, message), 1);
  const Bytes shorter(raw.begin(), raw.end() - 1);
  EXPECT_EQ(BindingVerify(OurKey(reference, false).release(), 0, shorter, message), 0);
  for (size_t index : {0, 31, 32, 63}) {
    Bytes changed = raw;
    changed[index] ^= 0x40;
    EXPECT_EQ(BindingVerify(OurKey(reference, false).release(), 0, changed, message), 0) << index;
  }
}

TEST(Sm2Wrapper, OnlyModesZeroAndOneVerify) {
  OpenSslKey reference = NewOpenSslKey();
  const Bytes message = FromText("modes");
  const Bytes raw = RawFromDer(OpenSslSign(reference, message, kDefaultId));
  for (int mode : {2, -1, 100}) {
    EXPECT_EQ(BindingVerify(OurKey(reference, false).release(), mode, raw, message), 0) << mode;
  }
}

TEST(Sm2Wrapper, ModeOneReadsTheTextOnlyUpToItsLength) {
  OpenSslKey reference = NewOpenSslKey();
  const Bytes e = Sm3(FromText("data"));
  const Bytes raw = RawFromDer(OpenSslSignDigest(reference, e));
  const std::string text = Hex(e);
  // The full text verifies; the text cut short is another number.
  EXPECT_EQ(BindingVerify(OurKey(reference, false).release(), 1, raw, FromText(text)), 1);
  Verifier verifier = NewVerifier(OurKey(reference, false).release(), 1);
  EXPECT_EQ(EVP_PKEY_verify(verifier.ctx.get(), raw.data(), raw.size(),
                            reinterpret_cast<const unsigned char*>(text.data()), 60),
            0);
  // A terminator inside the data ends the text.
  Bytes terminated = FromText(text);
  terminated.push_back(0);
  terminated.push_back('F');
  EXPECT_EQ(BindingVerify(OurKey(reference, false).release(), 1, raw, terminated), 1);
}

TEST(Sm2Wrapper, VerificationNeedsAPublicKeyThatPassesTheCheck) {
  PKey empty(EVP_PKEY_SM2_init(EC_KEY_SM2_init(nullptr)));
  ASSERT_TRUE(empty);
  PKeyCtx ctx(EVP_PKEY_CTX_new(empty.get(), nullptr));
  ASSERT_TRUE(ctx);
  EXPECT_LE(EVP_PKEY_verify_init(ctx.get()), 0);
  EXPECT_EQ(EVP_PKEY_SM2_init(nullptr), nullptr);
  // Settings on contexts without SM2 data are ignored.
  EC_KEY_set_flag(nullptr, 1);
  OpenSslKey reference = NewOpenSslKey();
  PKeyCtx foreign(EVP_PKEY_CTX_new(reference.pkey.get(), nullptr));
  EC_KEY_set_flag(foreign.get(), 1);
  EVP_PKEY_CTX_set_id(foreign.get(), "x");
}

TEST(Sm2Wrapper, SigningAnswersLengthQueriesAndRefusesShortBuffers) {
  OpenSslKey reference = NewOpenSslKey();
  PKey pkey(EVP_PKEY_SM2_init(OurKey(reference, true).release()));
  ASSERT_TRUE(pkey);
  PKeyCtx ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
  const Bytes message = FromText("sign me");
  size_t length = 0;
  EXPECT_EQ(EVP_PKEY_sign(ctx.get(), nullptr, &length, message.data(), message.size()), 1);
  EXPECT_EQ(length, 64u);
  Bytes out(64, 0xEE);
  length = 63;
  EXPECT_EQ(EVP_PKEY_sign(ctx.get(), out.data(), &length, message.data(), message.size()), 0);
  EXPECT_EQ(length, 64u);
  EXPECT_EQ(out, Bytes(64, 0xEE));
  length = 64;
  ASSERT_EQ(EVP_PKEY_sign(ctx.get(), out.data(), &length, message.data(), message.size()), 1);
  EXPECT_EQ(length, 64u);
  // The raw signature is one OpenSSL accepts.
  Sig sig(EC_SM2_SIG_new());
  BN_bin2bn(out.data(), 32, sig->r);
  BN_bin2bn(out.data() + 32, 32, sig->s);
  EXPECT_TRUE(OpenSslVerify(reference, message, DerFromSig(sig.get())));
  // And the wrapper's own verification.
  EXPECT_EQ(BindingVerify(OurKey(reference, false).release(), 0, out, message), 1);

  // A key without its private part cannot sign.
  PKey publicOnly(EVP_PKEY_SM2_init(OurKey(reference, false).release()));
  PKeyCtx publicCtx(EVP_PKEY_CTX_new(publicOnly.get(), nullptr));
  EXPECT_LE(EVP_PKEY_sign_init(publicCtx.get()), 0);
}

TEST(Sm2Wrapper, EncryptionAndDecryptionCheckTheCallersBuffer) {
  OpenSslKey reference = NewOpenSslKey();
  PKey pkey(EVP_PKEY_SM2_init(OurKey(reference, true).release()));
  PKeyCtx enc(EVP_PKEY_CTX_new(pkey.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_encrypt_init(enc.get()), 1);
  const Bytes plain = Random(20, 5);
  size_t length = 0;
  ASSERT_EQ(EVP_PKEY_encrypt(enc.get(), nullptr, &length, plain.data(), plain.size()), 1);
  EXPECT_EQ(length, 117u);
  Bytes cipher(117, 0xEE);
  length = 116;
  EXPECT_EQ(EVP_PKEY_encrypt(enc.get(), cipher.data(), &length, plain.data(), plain.size()), 0);
  EXPECT_EQ(length, 117u);
  EXPECT_EQ(cipher, Bytes(117, 0xEE));
  ASSERT_EQ(EVP_PKEY_encrypt(enc.get(), cipher.data(), &length, plain.data(), plain.size()), 1);
  EXPECT_EQ(length, 117u);

  PKeyCtx dec(EVP_PKEY_CTX_new(pkey.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_decrypt_init(dec.get()), 1);
  ASSERT_EQ(EVP_PKEY_decrypt(dec.get(), nullptr, &length, cipher.data(), cipher.size()), 1);
  EXPECT_EQ(length, 20u);
  Bytes out(20, 0xEE);
  length = 19;
  EXPECT_EQ(EVP_PKEY_decrypt(dec.get(), out.data(), &length, cipher.data(), cipher.size()), 0);
  EXPECT_EQ(length, 20u);
  EXPECT_EQ(out, Bytes(20, 0xEE));
  length = out.size();
  ASSERT_EQ(EVP_PKEY_decrypt(dec.get(), out.data(), &length, cipher.data(), cipher.size()), 1);
  EXPECT_EQ(out, plain);

  // A damaged ciphertext fails and says so.
  cipher[100] ^= 1;
  length = out.size();
  EXPECT_EQ(EVP_PKEY_decrypt(dec.get(), out.data(), &length, cipher.data(), cipher.size()), 0);
  EXPECT_EQ(length, 0u);

  // Decryption needs the private key.
  PKey publicOnly(EVP_PKEY_SM2_init(OurKey(reference, false).release()));
  PKeyCtx publicDec(EVP_PKEY_CTX_new(publicOnly.get(), nullptr));
  EXPECT_LE(EVP_PKEY_decrypt_init(publicDec.get()), 0);
}

// Wrappers used on several threads at once, each with its own engine.
TEST(Sm2Wrapper, ConcurrentVerificationsAllSucceed) {
  OpenSslKey reference = NewOpenSslKey();
  const Bytes message = FromText("threads");
  const Bytes raw = RawFromDer(OpenSslSign(reference, message, kDefaultId));
  const Bytes e = Sm3(message);
  const Bytes rawE = RawFromDer(OpenSslSignDigest(reference, e));
  const std::string eText = Hex(e);
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        EC_KEY* key = EC_KEY_from_BN(reference.x.get(), reference.y.get(), nullptr);
        if (key == nullptr) continue;
        EVP_PKEY* pkey = EVP_PKEY_SM2_init(key);
        EVP_PKEY_CTX* ctx = pkey != nullptr ? EVP_PKEY_CTX_new(pkey, nullptr) : nullptr;
        const int mode = i % 2;
        if (ctx != nullptr) {
          EC_KEY_set_flag(ctx, mode);
          const Bytes& sig = mode == 0 ? raw : rawE;
          const Bytes data = mode == 0 ? message : FromText(eText);
          if (EVP_PKEY_verify_init(ctx) == 1 &&
              EVP_PKEY_verify(ctx, sig.data(), sig.size(), data.data(), data.size()) == 1) {
            ++good;
          }
        }
        EVP_PKEY_CTX_free(ctx);
        EVP_PKEY_free(pkey);
        EVP_sm2_cleanup();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 100);
}

TEST(Sm2Der, RoundTripWithShortNumbersAndRefusesGarbage) {
  Sig sig(EC_SM2_SIG_new());
  ASSERT_TRUE(sig);
  EXPECT_TRUE(BN_is_zero(sig->r));
  // r needs 31 bytes, s has its top bit set (a leading zero byte in DER).
  Bn r = BnFromHex("007FEEDDCCBBAA99887766554433221100FFEEDDCCBBAA998877665544332211");
  Bn s = BnFromHex("80112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF");
  BN_copy(sig->r, r.get());
  BN_copy(sig->s, s.get());
  const Bytes der = DerFromSig(sig.get());
  EXPECT_EQ(der.size(), 2u + 2 + 31 + 2 + 33);
  EXPECT_EQ(i2d_EC_SM2_SIG(sig.get(), nullptr), static_cast<int>(der.size()));
  const unsigned char* p = der.data();
  Sig back(d2i_EC_SM2_SIG(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_TRUE(back);
  EXPECT_EQ(p, der.data() + der.size());
  EXPECT_EQ(BN_cmp(back->r, r.get()), 0);
  EXPECT_EQ(BN_cmp(back->s, s.get()), 0);
  const Bytes raw = RawFromSig(back.get());
  EXPECT_EQ(raw[0], 0x00);
  EXPECT_EQ(raw[32], 0x80);

  for (const Bytes& bad : {Bytes{}, Bytes{0x30, 0x03, 0x02, 0x01}, FromText("not der at all"),
                           Bytes(der.begin(), der.end() - 1)}) {
    const unsigned char* q = bad.data();
    EXPECT_EQ(d2i_EC_SM2_SIG(nullptr, &q, static_cast<long>(bad.size())), nullptr);
  }
  const ASN1_ITEM* item = EC_SM2_SIG_it();
  EXPECT_STREQ(item->sname, "EC_SM2_SIG");
  ASSERT_EQ(item->tcount, 2);
  EXPECT_STREQ(item->templates[0].field_name, "r");
  EXPECT_STREQ(item->templates[1].field_name, "s");
}

TEST(Sm2DigestObject, DescribesSm3OverTheByteWiseImplementation) {
  const EVP_MD* md = sm::EVP_sm3();
  ASSERT_NE(md, nullptr);
  EXPECT_EQ(md, sm::EVP_sm3());
  EXPECT_NE(md, EVP_sm3());  // not OpenSSL's own
  EXPECT_EQ(EVP_MD_get_type(md), 921);
  EXPECT_EQ(EVP_MD_get_pkey_type(md), NID_undef);
  EXPECT_EQ(EVP_MD_get_size(md), 32);
  EXPECT_EQ(EVP_MD_get_block_size(md), 64);
  EXPECT_EQ(EVP_MD_meth_get_app_datasize(md), 576);
  EXPECT_EQ(EVP_MD_get_flags(md), 0ul);
  // A copied context carries on the same digest.
  MdCtx a(EVP_MD_CTX_new()), b(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestInit_ex(a.get(), md, nullptr), 1);
  ASSERT_EQ(EVP_DigestUpdate(a.get(), "ab", 2), 1);
  ASSERT_EQ(EVP_MD_CTX_copy_ex(b.get(), a.get()), 1);
  ASSERT_EQ(EVP_DigestUpdate(b.get(), "c", 1), 1);
  unsigned char out[32];
  unsigned int length = 0;
  ASSERT_EQ(EVP_DigestFinal_ex(b.get(), out, &length), 1);
  EXPECT_EQ(Hex(Bytes(out, out + 32)),
            "66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0");
}

TEST(Sm2Engine, EngineIsPrivateUntilLoaded) {
  ENGINE* engine = engine_sm2();
  ASSERT_NE(engine, nullptr);
  EXPECT_STREQ(ENGINE_get_id(engine), "sm2");
  EXPECT_STREQ(ENGINE_get_name(engine), "sm2 support");
  ENGINE_PKEY_METHS_PTR lookup = ENGINE_get_pkey_meths(engine);
  ASSERT_NE(lookup, nullptr);
  const int* nids = nullptr;
  ASSERT_EQ(lookup(engine, nullptr, &nids, 0), 1);
  EXPECT_EQ(nids[0], EVP_PKEY_EC);
  EVP_PKEY_METHOD* method = nullptr;
  EXPECT_EQ(lookup(engine, &method, nullptr, EVP_PKEY_RSA), 0);
  EXPECT_EQ(method, nullptr);
  ASSERT_EQ(lookup(engine, &method, nullptr, EVP_PKEY_EC), 1);
  int id = 0, flags = -1;
  EVP_PKEY_meth_get0_info(&id, &flags, method);
  EXPECT_EQ(id, 920);
  EXPECT_EQ(flags & (EVP_PKEY_FLAG_AUTOARGLEN | EVP_PKEY_FLAG_SIGCTX_CUSTOM), 0);
  ENGINE_free(engine);

  ERR_set_mark();
  ENGINE* found = ENGINE_by_id("sm2");
  ERR_pop_to_mark();
  EXPECT_EQ(found, nullptr);
  ENGINE_free(found);
  ENGINE_load_sm2();
  found = ENGINE_by_id("sm2");
  EXPECT_NE(found, nullptr);
  if (found != nullptr) {
    ENGINE_remove(found);
    ENGINE_free(found);
  }
  EXPECT_EQ(ERR_peek_error(), 0ul);
}

}  // namespace
