#include "init/net/messages.h"

#include <cctype>
#include <cstring>
#include <string_view>

#include "init/console/terminal.h"
#include "pkg/package_record.h"

namespace net {

namespace {

// The line that starts at from: its text and where the next one starts, or
// false when no "\n" ends it within the payload.
bool lineAt(std::string_view payload, size_t from, std::string_view& line, size_t& next) {
  const size_t end = payload.find('\n', from);
  if (from > payload.size() || end == std::string_view::npos) return false;
  line = payload.substr(from, end - from);
  next = end + 1;
  return true;
}

int32_t atoiRules(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;  // held, never overflowing
  }
  if (negative) return value > INT32_MAX ? INT32_MIN : int32_t(-value);
  return value > INT32_MAX ? INT32_MAX : int32_t(value);
}

}  // namespace

std::string discoveryPayload(const DiscoveryLines& lines) {
  std::string text = "DSCV\n" + lines.line2 + "\n" + lines.line3 + "\n" + lines.label + "\n" +
                     pkg::DEFAULT_ARCHITECTURE + "\n" + lines.minimumVersion + "\n" + console::PROGRAM_VERSION + "\n";
  text.push_back('\0');
  return text;
}

std::string driverRequestPayload(const std::string& kernelRelease) {
  std::string text = "DRVR\n" + kernelRelease;
  text.push_back('\0');
  return text;
}

bool parseOffer(const uint8_t* payload, size_t n, Offer& offer) {
  const std::string_view p(reinterpret_cast<const char*>(payload), n);
  size_t at = p.find('\n'), next = 0;
  std::string_view line2, line3;
  if (p.compare(0, 4, "OFFR") != 0 || at == std::string_view::npos || !lineAt(p, at + 1, line2, next) ||
      line2.size() > OFFER_LINE_MAX)
    return false;
  offer.line2 = std::string(line2);
  offer.keep = lineAt(p, next, line3, next) && line3 == "keep";
  return true;
}

bool parseFileAnnouncement(const uint8_t* payload, size_t n, FileAnnouncement& file) {
  const std::string_view p(reinterpret_cast<const char*>(payload), n);
  std::string_view type, name, size;
  size_t next = 0;
  if (p.compare(0, 4, "FILE") != 0 || !lineAt(p, 0, type, next) || !lineAt(p, next, name, next) ||
      !lineAt(p, next, size, next))
    return false;
  file.name = std::string(name.substr(0, FILE_NAME_MAX));
  file.size = atoiRules(size);
  return true;
}

std::string diskLabel(const std::string& firstLine) {
  std::string label;
  for (char c : firstLine.substr(0, 63))
    if (isascii(static_cast<unsigned char>(c)) && (isalnum(static_cast<unsigned char>(c)) || ispunct(static_cast<unsigned char>(c))))
      label.push_back(c);
  return label.empty() ? "Korvanet" : label;
}

}  // namespace net
