#include "cli/revisions.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

namespace kiln::cli {
namespace {

TEST(Revisions, EveryEntryIsFortyLowercaseHexDigits) {
  ASSERT_GE(revision_count(), 1u);
  for (size_t i = 0; i < revision_count(); i++) {
    const char* r = revision_at(i);
    ASSERT_EQ(strlen(r), 40u) << i;
    for (const char* c = r; *c; c++) {
      EXPECT_TRUE(isdigit(static_cast<unsigned char>(*c)) || (*c >= 'a' && *c <= 'f')) << r;
    }
  }
}

TEST(Revisions, LookupIgnoresCaseButNotLength) {
  std::string own = revision_at(0);
  EXPECT_TRUE(is_known_revision(own.c_str()));
  std::string upper = own;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(is_known_revision(upper.c_str()));
  EXPECT_FALSE(is_known_revision(own.substr(0, 39).c_str()));
  EXPECT_FALSE(is_known_revision((own + "0").c_str()));
  EXPECT_FALSE(is_known_revision(""));
  std::string other = own;
  other[0] = other[0] == 'a' ? 'b' : 'a';
  EXPECT_FALSE(is_known_revision(other.c_str()));
  std::string not_hex = own;
  not_hex[5] = 'g';
  EXPECT_FALSE(is_known_revision(not_hex.c_str()));
}

TEST(Revisions, ListAndVersionNameTheOwnIdentifierFirst) {
  testing::internal::CaptureStdout();
  print_revisions();
  std::string listed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(listed.substr(0, 41), std::string(revision_at(0)) + "\n");
  EXPECT_EQ(listed.size(), 41 * revision_count());
  testing::internal::CaptureStdout();
  print_version();
  std::string version = testing::internal::GetCapturedStdout();
  EXPECT_EQ(version.substr(0, 46), "kiln " + std::string(revision_at(0)) + "\n");
  EXPECT_NE(version.find("MIT"), std::string::npos);
}

}  // namespace
}  // namespace kiln::cli
