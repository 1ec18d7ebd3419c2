// The SM2 core against OpenSSL 3's own SM2 as the independent reference:
// signatures both ways, with and without the identity value, ciphertexts
// both ways, and the rules every verification and key check applies.

#include <gtest/gtest.h>
#include <openssl/asn1t.h>
#include <openssl/obj_mac.h>

#include <atomic>

#include "sm/m_sm3.h"
#include "sm/sm_internal.h"
#include "tests/unit/sm_test_support.h"

namespace {

using namespace smtest;

TEST(Sm2Curve, TablesAreOpenSslsSm2Curve) {
  EC_GROUP* named = EC_GROUP_new_by_curve_name(NID_sm2);
  ASSERT_NE(named, nullptr);
  Bn p(BN_new()), a(BN_new()), b(BN_new());
  ASSERT_EQ(EC_GROUP_get_curve(named, p.get(), a.get(), b.get(), nullptr), 1);
  Bn gx(BN_new()), gy(BN_new());
  ASSERT_EQ(EC_POINT_get_affine_coordinates(named, EC_GROUP_get0_generator(named), gx.get(),
                                            gy.get(), nullptr),
            1);
  EXPECT_EQ(BN_cmp(p.get(), BnFromBytes(EC_SM2_p, 32).get()), 0);
  EXPECT_EQ(BN_cmp(a.get(), BnFromBytes(EC_SM2_a, 32).get()), 0);
  EXPECT_EQ(BN_cmp(b.get(), BnFromBytes(EC_SM2_b, 32).get()), 0);
  EXPECT_EQ(BN_cmp(gx.get(), BnFromBytes(EC_SM2_Gx, 32).get()), 0);
  EXPECT_EQ(BN_cmp(gy.get(), BnFromBytes(EC_SM2_Gy, 32).get()), 0);
  EXPECT_EQ(BN_cmp(EC_GROUP_get0_order(named), BnFromBytes(EC_SM2_n, 32).get()), 0);
  EC_GROUP_free(named);
}

TEST(Sm2Curve, KeysCarryTheirOwnCurveDataAlsoWhenDuplicated) {
  EcKey key(EC_KEY_new());
  ec_sm2_data* data = ec_sm2_check(key.get());
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(ec_sm2_check(key.get()), data);  // attached once
  EXPECT_EQ(BN_cmp(data->n, BnFromBytes(EC_SM2_n, 32).get()), 0);
  EcKey copy(EC_KEY_dup(key.get()));
  ASSERT_TRUE(copy);
  ec_sm2_data* copied = ec_sm2_check(copy.get());
  ASSERT_NE(copied, nullptr);
  EXPECT_NE(copied, data);
  EXPECT_EQ(BN_cmp(copied->p, data->p), 0);
  EXPECT_EQ(EC_POINT_cmp(copied->group, copied->G, data->G, nullptr), 0);
}

// Z computed by hand with OpenSSL's SM3: ENTL (two bytes) || ID || a || b ||
// Gx || Gy || xA || yA, then e = SM3(Z || M).
Bytes ExpectedE(const OpenSslKey& key, const std::string& id, const Bytes& message) {
  Bytes z;
  const size_t entl = id.size() * 8;
  z.push_back(static_cast<unsigned char>(entl >> 8));
  z.push_back(static_cast<unsigned char>(entl));
  z.insert(z.end(), id.begin(), id.end());
  for (const unsigned char* table : {EC_SM2_a, EC_SM2_b, EC_SM2_Gx, EC_SM2_Gy}) {
    z.insert(z.end(), table, table + 32);
  }
  unsigned char coordinate[32];
  BN_bn2binpad(key.x.get(), coordinate, 32);
  z.insert(z.end(), coordinate, coordinate + 32);
  BN_bn2binpad(key.y.get(), coordinate, 32);
  z.insert(z.end(), coordinate, coordinate + 32);
  Bytes zm = Sm3(z);
  zm.insert(zm.end(), message.begin(), message.end());
  return Sm3(zm);
}

std::string EHex(BIGNUM* e) {
  unsigned char bytes[32];
  EXPECT_EQ(BN_bn2binpad(e, bytes, 32), 32);
  BN_free(e);
  return Hex(Bytes(bytes, bytes + 32));
}

TEST(Sm2HashIdMessage, DefaultIdentityHasEntl0080AndExplicitIdentityReplacesIt) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, true);
  ASSERT_TRUE(key);
  const Bytes message = FromText("message digest");
  const std::string expectedDefault = Hex(ExpectedE(reference, kDefaultId, message));
  EXPECT_EQ(expectedDefault.size(), 64u);
  EXPECT_EQ(EHex(EC_SM2_HashIdMessage(key.get(), nullptr, message.data(), message.size(),
                                      sm::EVP_sm3(), 1)),
            expectedDefault);
  EXPECT_EQ(EHex(EC_SM2_HashIdMessage(key.get(), kDefaultId, message.data(), message.size(),
                                      sm::EVP_sm3(), 1)),
            expectedDefault);
  const std::string other = "ALICE123@YAHOO.COM";
  EXPECT_EQ(EHex(EC_SM2_HashIdMessage(key.get(), other.c_str(), message.data(), message.size(),
                                      sm::EVP_sm3(), 1)),
            Hex(ExpectedE(reference, other, message)));
}

TEST(Sm2HashIdMessage, SigningUsesThePointOfThePrivateKeyNotTheStoredOne) {
  OpenSslKey reference = NewOpenSslKey();
  OpenSslKey other = NewOpenSslKey();
  // The private key of one pair with the public point of another.
  EcKey mixed(EC_KEY_from_BN(other.x.get(), other.y.get(), reference.d.get()));
  ASSERT_TRUE(mixed);
  const Bytes message = FromText("abc");
  EXPECT_EQ(EHex(EC_SM2_HashIdMessage(mixed.get(), nullptr, message.data(), message.size(),
                                      sm::EVP_sm3(), 0)),
            Hex(ExpectedE(reference, kDefaultId, message)));
  EXPECT_EQ(EHex(EC_SM2_HashIdMessage(mixed.get(), nullptr, message.data(), message.size(),
                                      sm::EVP_sm3(), 1)),
            Hex(ExpectedE(other, kDefaultId, message)));
}

// Messages of several sizes, signed by OpenSSL with the standard's default
// identity, verify in mode 0.
class Sm2FromOpenSsl : public ::testing::TestWithParam<size_t> {};

TEST_P(Sm2FromOpenSsl, OpenSslSignaturesVerifyInModeZero) {
  OpenSslKey reference = NewOpenSslKey();
  const Bytes message = Random(GetParam(), static_cast<uint32_t>(GetParam()));
  const Bytes der = OpenSslSign(reference, message, kDefaultId);
  Sig sig = SigFromDer(der);
  ASSERT_TRUE(sig);
  EcKey key = OurKey(reference, false);
  ASSERT_TRUE(key);
  EXPECT_EQ(EC_SM2_verify(key.get(), nullptr, message.data(), message.size(), sig.get(),
                          sm::EVP_sm3()),
            1);
  // Another message does not verify.
  Bytes changed = message;
  changed.push_back(0);
  EXPECT_EQ(EC_SM2_verify(key.get(), nullptr, changed.data(), changed.size(), sig.get(),
                          sm::EVP_sm3()),
            0);
  // Through the binding, raw 64 bytes, mode 0.
  EXPECT_EQ(BindingVerify(key.release(), 0, RawFromSig(sig.get()), message), 1);
}

// OpenSSL 3 signs with an empty identity when none is set; such a signature
// is not one with the default identity.
TEST_P(Sm2FromOpenSsl, OpenSslsUnsetIdentityIsTheEmptyOne) {
  OpenSslKey reference = NewOpenSslKey();
  const Bytes message = Random(GetParam(), static_cast<uint32_t>(GetParam()) + 1);
  Sig sig = SigFromDer(OpenSslSign(reference, message, nullptr));
  ASSERT_TRUE(sig);
  EcKey key = OurKey(reference, false);
  EXPECT_EQ(EC_SM2_verify(key.get(), "", message.data(), message.size(), sig.get(), sm::EVP_sm3()),
            1);
  EXPECT_EQ(EC_SM2_verify(key.get(), nullptr, message.data(), message.size(), sig.get(),
                          sm::EVP_sm3()),
            0);
}

INSTANTIATE_TEST_SUITE_P(Sm2Messages, Sm2FromOpenSsl, ::testing::Values(0, 1, 3, 64, 1000));

TEST(Sm2FromOpenSslDigest, SignaturesOverAGivenDigestVerifyInModeOneOnly) {
  OpenSslKey reference = NewOpenSslKey();
  const Bytes data = FromText("library bytes");
  const Bytes e = Sm3(data);
  const Bytes der = OpenSslSignDigest(reference, e);
  Sig sig = SigFromDer(der);
  ASSERT_TRUE(sig);
  std::string upper = Hex(e);
  std::string lower = upper;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const std::string& text : {upper, lower, "00" + upper}) {
    EcKey key = OurKey(reference, false);
    EXPECT_EQ(EC_SM2_verifyex(key.get(), "ignored", text.c_str(), 7, sig.get()), 1) << text;
    EXPECT_EQ(BindingVerify(key.release(), 1, RawFromSig(sig.get()), FromText(text)), 1) << text;
  }
  // The same signature is not one over Z and the data.
  EcKey key = OurKey(reference, false);
  EXPECT_EQ(EC_SM2_verify(key.get(), nullptr, data.data(), data.size(), sig.get(), sm::EVP_sm3()),
            0);
  // Nor over another digest.
  const std::string otherText = Hex(Sm3(FromText("other")));
  EXPECT_EQ(EC_SM2_verifyex(key.get(), nullptr, otherText.c_str(), 64, sig.get()), 0);
}

TEST(Sm2ToOpenSsl, OurSignaturesVerifyInOpenSslAndDifferEachTime) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, true);
  ASSERT_TRUE(key);
  const Bytes message = Random(333, 8);
  Bytes previous;
  for (int round = 0; round < 3; ++round) {
    Sig sig(EC_SM2_SIG_new());
    ASSERT_EQ(EC_SM2_sign(key.get(), nullptr, message.data(), message.size(), sig.get(),
                          sm::EVP_sm3()),
              1);
    const Bytes der = DerFromSig(sig.get());
    EXPECT_TRUE(OpenSslVerify(reference, message, der));
    EXPECT_EQ(EC_SM2_verify(key.get(), nullptr, message.data(), message.size(), sig.get(),
                            sm::EVP_sm3()),
              1);
    // It is not a signature over SM3 of the message alone (mode 1).
    const std::string digestText = Hex(Sm3(message));
    EXPECT_EQ(EC_SM2_verifyex(key.get(), nullptr, digestText.c_str(), 64, sig.get()), 0);
    EXPECT_NE(der, previous);
    previous = der;
  }
}

TEST(Sm2ToOpenSsl, ExplicitIdentityIsUsedForSigning) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, true);
  const Bytes message = FromText("with identity");
  const char id[] = "ALICE123@YAHOO.COM";
  Sig sig(EC_SM2_SIG_new());
  ASSERT_EQ(EC_SM2_sign(key.get(), id, message.data(), message.size(), sig.get(), sm::EVP_sm3()), 1);
  EXPECT_EQ(EC_SM2_verify(key.get(), id, message.data(), message.size(), sig.get(), sm::EVP_sm3()), 1);
  EXPECT_EQ(EC_SM2_verify(key.get(), nullptr, message.data(), message.size(), sig.get(),
                          sm::EVP_sm3()),
            0);
  // OpenSSL with the same identity accepts it.
  MdCtx md(EVP_MD_CTX_new());
  PKeyCtx ctx(EVP_PKEY_CTX_new(reference.pkey.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_CTX_set1_id(ctx.get(), id, sizeof id - 1), 1);
  EVP_MD_CTX_set_pkey_ctx(md.get(), ctx.get());
  ASSERT_EQ(EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, reference.pkey.get()), 1);
  const Bytes der = DerFromSig(sig.get());
  EXPECT_EQ(EVP_DigestVerify(md.get(), der.data(), der.size(), message.data(), message.size()), 1);
  EVP_MD_CTX_set_pkey_ctx(md.get(), nullptr);
}

TEST(Sm2Sign, WithoutPrivateKeyOrSignatureNumbersItFails) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey publicOnly = OurKey(reference, false);
  Sig sig(EC_SM2_SIG_new());
  const Bytes message = FromText("x");
  EXPECT_LE(EC_SM2_sign(publicOnly.get(), nullptr, message.data(), 1, sig.get(), sm::EVP_sm3()), 0);
  EcKey key = OurKey(reference, true);
  EXPECT_LE(EC_SM2_sign(key.get(), nullptr, message.data(), 1, nullptr, sm::EVP_sm3()), 0);
}

// A digest that counts how often it is started, to tell whether a call
// hashed anything.
std::atomic<int> g_digestStarts{0};

const EVP_MD* CountingSm3() {
  static EVP_MD* const md = [] {
    EVP_MD* method = EVP_MD_meth_new(NID_undef, NID_undef);
    EVP_MD_meth_set_result_size(method, 32);
    EVP_MD_meth_set_input_blocksize(method, 64);
    EVP_MD_meth_set_app_datasize(method, sizeof(SM3_STATE));
    EVP_MD_meth_set_init(method, [](EVP_MD_CTX* ctx) {
      ++g_digestStarts;
      return SM3_Init(static_cast<SM3_STATE*>(EVP_MD_CTX_md_data(ctx)));
    });
    EVP_MD_meth_set_update(method, [](EVP_MD_CTX* ctx, const void* data, size_t length) {
      return SM3_Update(static_cast<SM3_STATE*>(EVP_MD_CTX_md_data(ctx)), data, length);
    });
    EVP_MD_meth_set_final(method, [](EVP_MD_CTX* ctx, unsigned char* out) {
      return SM3_Final(static_cast<SM3_STATE*>(EVP_MD_CTX_md_data(ctx)), out);
    });
    return method;
  }();
  return md;
}

struct RangeCase {
  const char* name;
  bool rIsBad;  // which of the two numbers is out of range
  int value;    // 0: zero, 1: n, 2: n + 1, 3: negative
};

class Sm2Range : public ::testing::TestWithParam<RangeCase> {};

TEST_P(Sm2Range, OutOfRangeNumbersAreRejectedBeforeHashing) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, true);
  const Bytes message = FromText("range");
  Sig sig(EC_SM2_SIG_new());
  ASSERT_EQ(EC_SM2_sign(key.get(), nullptr, message.data(), message.size(), sig.get(),
                        CountingSm3()),
            1);
  ASSERT_EQ(EC_SM2_verify(key.get(), nullptr, message.data(), message.size(), sig.get(),
                          CountingSm3()),
            1);
  BIGNUM* target = GetParam().rIsBad ? sig->r : sig->s;
  Bn n = BnFromBytes(EC_SM2_n, 32);
  switch (GetParam().value) {
    case 0: BN_zero(target); break;
    case 1: BN_copy(target, n.get()); break;
    case 2: BN_add(target, n.get(), BN_value_one()); break;
    case 3: BN_set_negative(target, 1); break;
  }
  const int startsBefore = g_digestStarts.load();
  EXPECT_EQ(EC_SM2_verify(key.get(), nullptr, message.data(), message.size(), sig.get(),
                          CountingSm3()),
            0);
  EXPECT_EQ(g_digestStarts.load(), startsBefore);
  const std::string eText = Hex(ExpectedE(reference, kDefaultId, message));
  EXPECT_EQ(EC_SM2_verifyex(key.get(), nullptr, eText.c_str(), 64, sig.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(Sm2Numbers, Sm2Range,
                         ::testing::Values(RangeCase{"r_zero", true, 0}, RangeCase{"s_zero", false, 0},
                                           RangeCase{"r_n", true, 1}, RangeCase{"s_n", false, 1},
                                           RangeCase{"r_above_n", true, 2},
                                           RangeCase{"s_above_n", false, 2},
                                           RangeCase{"r_negative", true, 3},
                                           RangeCase{"s_negative", false, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// Verification keeps multiples of the public points it has seen; results
// must not depend on whether a key is new, remembered or already forgotten.
TEST(Sm2Verify, ManyKeysInTurnVerifyAlikeWhetherRememberedOrNot) {
  const Bytes message = FromText("keys in turn");
  std::vector<OpenSslKey> keys;
  std::vector<Sig> sigs;
  for (int i = 0; i < 12; ++i) {
    keys.push_back(NewOpenSslKey());
    sigs.push_back(SigFromDer(OpenSslSign(keys.back(), message, kDefaultId)));
  }
  for (int pass = 0; pass < 3; ++pass) {
    for (size_t i = 0; i < keys.size(); ++i) {
      EcKey key = OurKey(keys[i], false);
      ASSERT_EQ(EC_SM2_verify(key.get(), nullptr, message.data(), message.size(), sigs[i].get(),
                              sm::EVP_sm3()),
                1)
          << "pass " << pass << ", key " << i;
      // Another key's signature, and a changed message, fail.
      const Sig& other = sigs[(i + 1) % sigs.size()];
      EXPECT_EQ(EC_SM2_verify(key.get(), nullptr, message.data(), message.size(), other.get(),
                              sm::EVP_sm3()),
                0);
      EXPECT_EQ(EC_SM2_verify(key.get(), nullptr, message.data(), message.size() - 1,
                              sigs[i].get(), sm::EVP_sm3()),
                0);
    }
  }
}

// s*G + t*PA is computed from 64-bit parts of t; a signature can be made for
// any chosen t in mode 1, where e is free: with k and d known, s = k - t*d,
// r = t - s and e = r - x1 (all mod n) verify.
TEST(Sm2Verify, ValidForEveryShapeOfT) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, true);
  ec_sm2_data* data = ec_sm2_check(key.get());
  ASSERT_NE(data, nullptr);
  BN_CTX* ctx = BN_CTX_new();
  Bn k(BN_new()), x1(BN_new()), e(BN_new()), tmp(BN_new());
  EC_POINT* kg = EC_POINT_new(data->group);
  for (const char* tHex : {"1", "5", "FFFFFFFFFFFFFFFF", "10000000000000000",
                           "100000000000000000000000000000000", "FFFFFFFF00000000FFFFFFFF",
                           "1000000000000000000000000000000000000000000000000",
                           "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54122"}) {
    Bn t = BnFromHex(tHex);
    ASSERT_EQ(BN_rand_range(k.get(), data->n), 1);
    ASSERT_EQ(EC_POINT_mul(data->group, kg, k.get(), nullptr, nullptr, ctx), 1);
    ASSERT_EQ(EC_POINT_get_affine_coordinates(data->group, kg, x1.get(), nullptr, ctx), 1);
    Sig sig(EC_SM2_SIG_new());
    ASSERT_EQ(BN_mod_mul(tmp.get(), t.get(), reference.d.get(), data->n, ctx), 1);
    ASSERT_EQ(BN_mod_sub(sig->s, k.get(), tmp.get(), data->n, ctx), 1);
    ASSERT_EQ(BN_mod_sub(sig->r, t.get(), sig->s, data->n, ctx), 1);
    ASSERT_EQ(BN_mod_sub(e.get(), sig->r, x1.get(), data->n, ctx), 1);
    char* eHex = BN_bn2hex(e.get());
    EXPECT_EQ(EC_SM2_verifyex(key.get(), nullptr, eHex, 0, sig.get()), 1) << "t = " << tHex;
    // And a neighbouring e does not verify.
    BN_add_word(e.get(), 1);
    char* otherHex = BN_bn2hex(e.get());
    EXPECT_EQ(EC_SM2_verifyex(key.get(), nullptr, otherHex, 0, sig.get()), 0) << "t = " << tHex;
    OPENSSL_free(eHex);
    OPENSSL_free(otherHex);
  }
  EC_POINT_free(kg);
  BN_CTX_free(ctx);
}

TEST(Sm2Verify, SumOfRAndSEqualToNIsRejected) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, false);
  const Bytes message = FromText("r + s = n");
  Bn n = BnFromBytes(EC_SM2_n, 32);
  // r = e + x1 for some point would be needed for a real signature; what
  // matters here is that t = 0 ends the check whatever the point.
  for (const char* rHex : {"1", "123456789ABCDEF", "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54122"}) {
    Sig sig(EC_SM2_SIG_new());
    Bn r = BnFromHex(rHex);
    BN_copy(sig->r, r.get());
    BN_sub(sig->s, n.get(), r.get());
    EXPECT_EQ(EC_SM2_verify(key.get(), nullptr, message.data(), message.size(), sig.get(),
                            sm::EVP_sm3()),
              0);
    EXPECT_EQ(EC_SM2_verifyex(key.get(), nullptr, "ABCDEF", 6, sig.get()), 0);
  }
}

TEST(Sm2Verify, NullSignatureGivesMinusOneAndBadTextsFail) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, false);
  const Bytes message = FromText("m");
  EXPECT_EQ(EC_SM2_verify(key.get(), nullptr, message.data(), 1, nullptr, sm::EVP_sm3()), -1);
  EXPECT_EQ(EC_SM2_verifyex(key.get(), nullptr, "AB", 2, nullptr), -1);
  Sig sig(EC_SM2_SIG_new());
  BN_one(sig->r);
  BN_one(sig->s);
  EXPECT_EQ(EC_SM2_verifyex(key.get(), nullptr, "", 0, sig.get()), 0);
  EXPECT_EQ(EC_SM2_verifyex(key.get(), nullptr, "not hex", 7, sig.get()), 0);
  EXPECT_EQ(EC_SM2_verifyex(key.get(), nullptr, nullptr, 0, sig.get()), 0);
}

TEST(Sm2CheckKey, AcceptsCurvePointsAndRejectsTheRest) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey good = OurKey(reference, false);
  ASSERT_TRUE(good);
  EXPECT_EQ(EC_SM2_check_key(good.get()), 1);

  // Off the curve.
  Bn y1(BN_dup(reference.y.get()));
  BN_add_word(y1.get(), 1);
  EXPECT_EQ(EC_KEY_from_BN(reference.x.get(), y1.get(), nullptr), nullptr);
  // A coordinate of p or more, even one that is the same point modulo p.
  Bn p = BnFromBytes(EC_SM2_p, 32);
  Bn xp(BN_new());
  BN_add(xp.get(), reference.x.get(), p.get());
  EXPECT_EQ(EC_KEY_from_BN(xp.get(), reference.y.get(), nullptr), nullptr);
  Bn yp(BN_new());
  BN_add(yp.get(), reference.y.get(), p.get());
  EXPECT_EQ(EC_KEY_from_BN(reference.x.get(), yp.get(), nullptr), nullptr);
  EXPECT_EQ(EC_KEY_from_BN(p.get(), reference.y.get(), nullptr), nullptr);
  // Negative coordinates.
  Bn negative(BN_dup(reference.x.get()));
  BN_set_negative(negative.get(), 1);
  EXPECT_EQ(EC_KEY_from_BN(negative.get(), reference.y.get(), nullptr), nullptr);

  // The point at infinity.
  EcKey infinity(EC_KEY_SM2_init(nullptr));
  ASSERT_TRUE(infinity);
  EC_POINT* point = EC_POINT_new(EC_KEY_get0_group(infinity.get()));
  EC_POINT_set_to_infinity(EC_KEY_get0_group(infinity.get()), point);
  EC_KEY_set_public_key(infinity.get(), point);
  EC_POINT_free(point);
  EXPECT_EQ(EC_SM2_check_key(infinity.get()), 0);

  // No public key at all, and a key of another curve.
  EcKey empty(EC_KEY_SM2_init(nullptr));
  EXPECT_EQ(EC_SM2_check_key(empty.get()), 0);
  EcKey p256(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  ASSERT_EQ(EC_KEY_generate_key(p256.get()), 1);
  EXPECT_EQ(EC_SM2_check_key(p256.get()), 0);
}

TEST(Sm2Kdf, BlocksOfTheDigestOverZAndACounterCutToLength) {
  const Bytes z = Random(64, 12);
  auto block = [&](uint32_t ct) {
    Bytes input = z;
    for (int shift : {24, 16, 8, 0}) input.push_back(static_cast<unsigned char>(ct >> shift));
    return Sm3(input);
  };
  Bytes expected = block(1);
  const Bytes second = block(2), third = block(3);
  expected.insert(expected.end(), second.begin(), second.end());
  expected.insert(expected.end(), third.begin(), third.end());
  for (size_t wanted : {1, 31, 32, 33, 64, 70}) {
    Bytes out(wanted + 4, 0xEE);
    EXPECT_EQ(KDF(z.data(), z.size(), wanted, out.data(), sm::EVP_sm3()), 1);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(wanted)),
              Bytes(expected.begin(), expected.begin() + static_cast<long>(wanted)));
    EXPECT_EQ(out[wanted], 0xEE) << "written past " << wanted;
  }
  unsigned char untouched = 0xEE;
  EXPECT_EQ(KDF(z.data(), z.size(), 0, &untouched, sm::EVP_sm3()), 1);
  EXPECT_EQ(untouched, 0xEE);
}

// OpenSSL 3's SM2 ciphertext: SEQUENCE { x INTEGER, y INTEGER, C3 OCTET
// STRING, C2 OCTET STRING }.
struct OpenSslCiphertext {
  BIGNUM* x;
  BIGNUM* y;
  ASN1_OCTET_STRING* c3;
  ASN1_OCTET_STRING* c2;
};

}  // namespace

ASN1_SEQUENCE(OpenSslCiphertext) = {
    ASN1_SIMPLE(OpenSslCiphertext, x, BIGNUM),
    ASN1_SIMPLE(OpenSslCiphertext, y, BIGNUM),
    ASN1_SIMPLE(OpenSslCiphertext, c3, ASN1_OCTET_STRING),
    ASN1_SIMPLE(OpenSslCiphertext, c2, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(OpenSslCiphertext)

namespace {

// C1 || C3 || C2 to OpenSSL's DER form, and back.
Bytes ToOpenSslForm(const Bytes& ours) {
  auto* value = reinterpret_cast<OpenSslCiphertext*>(ASN1_item_new(ASN1_ITEM_rptr(OpenSslCiphertext)));
  BN_bin2bn(ours.data() + 1, 32, value->x);
  BN_bin2bn(ours.data() + 33, 32, value->y);
  ASN1_OCTET_STRING_set(value->c3, ours.data() + 65, 32);
  ASN1_OCTET_STRING_set(value->c2, ours.data() + 97, static_cast<int>(ours.size() - 97));
  unsigned char* der = nullptr;
  const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(value), &der,
                                   ASN1_ITEM_rptr(OpenSslCiphertext));
  Bytes out(der, der + length);
  OPENSSL_free(der);
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(value), ASN1_ITEM_rptr(OpenSslCiphertext));
  return out;
}

Bytes FromOpenSslForm(const Bytes& der) {
  const unsigned char* p = der.data();
  auto* value = reinterpret_cast<OpenSslCiphertext*>(
      ASN1_item_d2i(nullptr, &p, static_cast<long>(der.size()), ASN1_ITEM_rptr(OpenSslCiphertext)));
  EXPECT_NE(value, nullptr);
  Bytes ours(97);
  ours[0] = 0x04;
  BN_bn2binpad(value->x, ours.data() + 1, 32);
  BN_bn2binpad(value->y, ours.data() + 33, 32);
  std::memcpy(ours.data() + 65, ASN1_STRING_get0_data(value->c3), 32);
  const unsigned char* c2 = ASN1_STRING_get0_data(value->c2);
  ours.insert(ours.end(), c2, c2 + ASN1_STRING_length(value->c2));
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(value), ASN1_ITEM_rptr(OpenSslCiphertext));
  return ours;
}

class Sm2Encryption : public ::testing::TestWithParam<size_t> {};

TEST_P(Sm2Encryption, RoundTripsAndInteroperatesWithOpenSsl) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, true);
  const Bytes plain = Random(GetParam(), static_cast<uint32_t>(GetParam()) + 100);

  const int size = EC_SM2_encrypt(key.get(), plain.data(), plain.size(), nullptr, sm::EVP_sm3());
  ASSERT_EQ(size, static_cast<int>(plain.size() + 97));
  Bytes cipher(static_cast<size_t>(size));
  ASSERT_EQ(EC_SM2_encrypt(key.get(), plain.data(), plain.size(), cipher.data(), sm::EVP_sm3()), size);
  EXPECT_EQ(cipher[0], 0x04);
  ASSERT_EQ(EC_SM2_decrypt(key.get(), cipher.data(), cipher.size(), nullptr, sm::EVP_sm3()),
            static_cast<int>(plain.size()));
  Bytes out(plain.size());
  ASSERT_EQ(EC_SM2_decrypt(key.get(), cipher.data(), cipher.size(), out.data(), sm::EVP_sm3()),
            static_cast<int>(plain.size()));
  EXPECT_EQ(out, plain);

  // Ours decrypts in OpenSSL.
  const Bytes der = ToOpenSslForm(cipher);
  PKeyCtx ctx(EVP_PKEY_CTX_new(reference.pkey.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_decrypt_init(ctx.get()), 1);
  size_t length = 0;
  ASSERT_EQ(EVP_PKEY_decrypt(ctx.get(), nullptr, &length, der.data(), der.size()), 1);
  Bytes decrypted(length);
  ASSERT_EQ(EVP_PKEY_decrypt(ctx.get(), decrypted.data(), &length, der.data(), der.size()), 1);
  decrypted.resize(length);
  EXPECT_EQ(decrypted, plain);

  // OpenSSL's decrypts in ours.
  PKeyCtx enc(EVP_PKEY_CTX_new(reference.pkey.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_encrypt_init(enc.get()), 1);
  ASSERT_EQ(EVP_PKEY_encrypt(enc.get(), nullptr, &length, plain.data(), plain.size()), 1);
  Bytes theirs(length);
  ASSERT_EQ(EVP_PKEY_encrypt(enc.get(), theirs.data(), &length, plain.data(), plain.size()), 1);
  theirs.resize(length);
  const Bytes converted = FromOpenSslForm(theirs);
  Bytes out2(plain.size());
  ASSERT_EQ(EC_SM2_decrypt(key.get(), converted.data(), converted.size(), out2.data(), sm::EVP_sm3()),
            static_cast<int>(plain.size()));
  EXPECT_EQ(out2, plain);
}

TEST_P(Sm2Encryption, AnyChangedByteOfC3OrC2IsRefusedWithoutOutput) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, true);
  const Bytes plain = Random(GetParam(), 7);
  Bytes cipher(plain.size() + 97);
  ASSERT_GT(EC_SM2_encrypt(key.get(), plain.data(), plain.size(), cipher.data(), sm::EVP_sm3()), 0);
  for (size_t index = 65; index < cipher.size(); ++index) {
    Bytes damaged = cipher;
    damaged[index] ^= 0x01;
    Bytes out(plain.size(), 0xEE);
    ASSERT_EQ(EC_SM2_decrypt(key.get(), damaged.data(), damaged.size(), out.data(), sm::EVP_sm3()), 0)
        << "byte " << index;
    ASSERT_EQ(out, Bytes(plain.size(), 0xEE)) << "byte " << index;
  }
  // C1 off the curve.
  Bytes damaged = cipher;
  damaged[40] ^= 0x01;
  Bytes out(plain.size());
  EXPECT_EQ(EC_SM2_decrypt(key.get(), damaged.data(), damaged.size(), out.data(), sm::EVP_sm3()), 0);
  // Another private key.
  OpenSslKey other = NewOpenSslKey();
  EcKey wrong = OurKey(other, true);
  EXPECT_EQ(EC_SM2_decrypt(wrong.get(), cipher.data(), cipher.size(), out.data(), sm::EVP_sm3()), 0);
}

INSTANTIATE_TEST_SUITE_P(Sm2Plaintexts, Sm2Encryption, ::testing::Values(1, 31, 32, 33, 100));

TEST(Sm2EncryptionLimits, ShortCiphertextsAndEmptyPlaintexts) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, true);
  Bytes cipher = Random(97, 1);
  cipher[0] = 0x04;
  unsigned char out[4];
  EXPECT_EQ(EC_SM2_decrypt(key.get(), cipher.data(), 97, out, sm::EVP_sm3()), 0);
  EXPECT_EQ(EC_SM2_decrypt(key.get(), cipher.data(), 97, nullptr, sm::EVP_sm3()), 0);
  EXPECT_EQ(EC_SM2_decrypt(key.get(), cipher.data(), 96, out, sm::EVP_sm3()), 0);
  EXPECT_EQ(EC_SM2_decrypt(key.get(), cipher.data(), 96, nullptr, sm::EVP_sm3()), 0);
  // An empty plaintext: its size is known, but it is refused rather than
  // looked for a nonzero key stream forever.
  EXPECT_EQ(EC_SM2_encrypt(key.get(), out, 0, nullptr, sm::EVP_sm3()), 97);
  Bytes buffer(97);
  EXPECT_EQ(EC_SM2_encrypt(key.get(), out, 0, buffer.data(), sm::EVP_sm3()), 0);
  // Without a public key nothing is encrypted.
  EcKey empty(EC_KEY_SM2_init(nullptr));
  EXPECT_EQ(EC_SM2_encrypt(empty.get(), out, 4, buffer.data(), sm::EVP_sm3()), 0);
}

TEST(Sm2EncryptionLimits, LongerDigestsPlaceC2AfterTheirOwnLength) {
  OpenSslKey reference = NewOpenSslKey();
  EcKey key = OurKey(reference, true);
  const Bytes plain = Random(40, 2);
  const int size = EC_SM2_encrypt(key.get(), plain.data(), plain.size(), nullptr, EVP_sha512());
  ASSERT_EQ(size, 65 + 64 + 40);
  Bytes cipher(static_cast<size_t>(size));
  ASSERT_EQ(EC_SM2_encrypt(key.get(), plain.data(), plain.size(), cipher.data(), EVP_sha512()), size);
  ASSERT_EQ(EC_SM2_decrypt(key.get(), cipher.data(), cipher.size(), nullptr, EVP_sha512()), 40);
  Bytes out(40);
  ASSERT_EQ(EC_SM2_decrypt(key.get(), cipher.data(), cipher.size(), out.data(), EVP_sha512()), 40);
  EXPECT_EQ(out, plain);
}

}  // namespace
