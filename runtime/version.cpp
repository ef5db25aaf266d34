#include "runtime/version.h"

#include <cstdio>

namespace vl {

std::string version2string(PackedVersion version) {
  unsigned major = version >> 24 & 0xff;
  unsigned minor = version >> 16 & 0xff;
  unsigned kind = version >> 8 & 0xff;
  unsigned number = version & 0xff;
  char text[80];
  if (kind == VERSION_FINAL) {
    if (number == 0)
      snprintf(text, sizeof text, "%u.%u", major, minor);
    else
      snprintf(text, sizeof text, "%u.%u.%u", major, minor, number);
    return text;
  }
  const char* suffix = kind == VERSION_ALPHA ? "alpha"
                       : kind == VERSION_BETA ? "beta"
                       : kind == VERSION_RC   ? "rc"
                                              : "";
  if (number == 0)
    snprintf(text, sizeof text, "%u.%u%s", major, minor, suffix);
  else
    snprintf(text, sizeof text, "%u.%u%s%u", major, minor, suffix, number);
  return text;
}

namespace {

struct Cursor {
  std::string_view text;
  size_t at = 0;

  bool atEnd() const { return at == text.size(); }
  bool skip(char c) {
    if (atEnd() || text[at] != c) return false;
    ++at;
    return true;
  }
  bool skipWord(std::string_view word) {
    if (text.substr(at).substr(0, word.size()) != word) return false;
    at += word.size();
    return true;
  }
  // A decimal number; false when no digit is there. Components above 255
  // are not rejected: the packed value then takes their low bits.
  bool number(uint32_t& out) {
    size_t start = at;
    uint32_t value = 0;
    while (!atEnd() && text[at] >= '0' && text[at] <= '9') value = value * 10 + uint32_t(text[at++] - '0');
    out = value;
    return at != start;
  }
};

}  // namespace

PackedVersion parseVersion(std::string_view text) {
  Cursor in{text};
  uint32_t major = 0, minor = 0, number = 0;
  if (!in.number(major) || !in.skip('.')) return 0;
  if (!in.number(minor)) return 0;
  if (in.skip('.') && !in.number(number)) return 0;

  uint32_t kind = VERSION_FINAL;
  auto pack = [&] { return (major & 0xff) << 24 | (minor & 0xff) << 16 | kind << 8 | (number & 0xff); };
  if (in.atEnd()) return pack();

  if (in.skipWord("alpha")) kind = VERSION_ALPHA;
  else if (in.skipWord("beta")) kind = VERSION_BETA;
  else if (in.skipWord("rc")) kind = VERSION_RC;
  else if (in.skipWord("final")) kind = VERSION_FINAL;
  else if (in.skipWord("test")) {
    if (!in.atEnd()) return 0;
    number |= VERSION_TEST_BIT;
    return pack();
  } else
    return 0;

  if (in.atEnd()) return pack();
  // A third component cannot be followed by a pre-release number.
  if (number != 0) return 0;
  uint32_t pre = 0;
  if (!in.number(pre) || !in.atEnd()) return 0;
  number = (number & VERSION_TEST_BIT) | pre;
  return pack();
}

}  // namespace vl
