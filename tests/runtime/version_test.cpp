#include "runtime/version.h"

#include <gtest/gtest.h>

using vl::parseVersion;
using vl::version2string;

struct VersionCase {
  const char* text;
  uint32_t packed;
  const char* formatted;  // nullptr: the text does not come back unchanged
};

// Examples and edge cases of the packed version format.
TEST(Version, ParseAndFormatTable) {
  const VersionCase cases[] = {
      {"6.40", 0x06286600, "6.40"},
      {"6.40.1", 0x06286601, "6.40.1"},
      {"6.41beta5", 0x06296205, "6.41beta5"},
      {"6.41rc2", 0x06296302, "6.41rc2"},
      {"7.1beta4", 0x07016204, "7.1beta4"},
      {"6.49.3", 0x06316603, "6.49.3"},
      {"7.0final", 0x07006600, "7.0"},
      {"6.40.1test", 0x06286681, "6.40.129"},
      {"6.40test", 0x06286680, "6.40.128"},
      {"6.41alpha", 0x06296100, "6.41alpha"},
      {"6.41alpha3", 0x06296103, "6.41alpha3"},
      {"6.41beta", 0x06296200, "6.41beta"},
      {"1.2final7", 0x01026607, "1.2.7"},
      {"0.0", 0x00006600, "0.0"},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseVersion(c.text), c.packed);
    EXPECT_EQ(version2string(c.packed), c.formatted);
  }
}

TEST(Version, RejectedTextGivesZero) {
  const char* rejected[] = {
      "6.40.1rc2",   // a third component cannot be followed by a pre-release number
      "6",           // no minor
      "6.x",         // minor without digits
      "",            // nothing
      ".40",         // no major
      "6.",          // '.' without minor
      "6.40.",       // '.' without a third component
      "6.40gamma",   // unknown word
      "6.40test1",   // nothing may follow "test"
      "6.40beta5x",  // a pre-release number must end the text
      "6.40 ",       // trailing blank
      "v6.40",       // leading letter
  };
  for (const char* text : rejected) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parseVersion(text), 0u);
  }
}

TEST(Version, FormattingEdgeCases) {
  EXPECT_EQ(version2string(0), "0.0");                // kind 0: no suffix, number 0
  EXPECT_EQ(version2string(0x06286405), "6.405");     // unknown kind letter 'd': no suffix
  EXPECT_EQ(version2string(0xffffffff), "255.255255");
  EXPECT_EQ(version2string(0x0628667f), "6.40.127");
}

TEST(Version, OrderingIsUnsignedComparison) {
  const char* ascending[] = {"6.40alpha1", "6.40beta1", "6.40rc1", "6.40", "6.40.1", "6.40.2", "6.40.1test", "6.41beta1",
                             "7.0"};
  for (size_t i = 1; i < std::size(ascending); ++i) {
    SCOPED_TRACE(ascending[i]);
    EXPECT_LT(parseVersion(ascending[i - 1]), parseVersion(ascending[i]));
  }
}
