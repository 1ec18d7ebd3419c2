// The adapter's form of the signature check, built with its own keys: the
// certificate checks type 0 as well as type 1.

#include <gtest/gtest.h>

#include "base64/base64.h"
#include "sm/verify_file.h"
#include "tests/unit/sm_sigfile_support.h"

namespace {

using namespace smtest;

class SmAdapterSigFile : public LibraryFolder {};

TEST_F(SmAdapterSigFile, Type0IsCheckedWithTheCertificate) {
  EXPECT_EQ(BuiltinSigFileKeys().type0Key, Slurp(Key("cert.crt")));
  EXPECT_EQ(BuiltinSigFileKeys().certificate, Slurp(Key("cert.crt")));
  // A type-0 file for the service's hexadecimal key is refused here.
  ASSERT_EQ(ToolSign(0, "hexkey.pem", library_), 0);
  EXPECT_FALSE(VerifyFileBySigFile(library_, 0));
  ASSERT_EQ(ToolSign(0, "cert.pem", library_), 0);
  EXPECT_TRUE(VerifyFileBySigFile(library_, 0));
  EXPECT_FALSE(VerifyFileBySigFile(library_, 1));
  ASSERT_EQ(ToolSign(1, "cert.pem", library_), 0);
  EXPECT_TRUE(VerifyFileBySigFile(library_, 1));
  EXPECT_FALSE(VerifyFileBySigFile(library_, 0));
}

}  // namespace
