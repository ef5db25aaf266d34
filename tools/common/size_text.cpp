#include "tools/common/size_text.h"

namespace tools {

bool parseSize(const std::string& text, uint64_t& bytes) {
  size_t digits = 0;
  uint64_t value = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + uint64_t(text[digits] - '0');
  }
  if (digits == 0 || value == 0) return false;
  const std::string unit = text.substr(digits);
  int shift = 0;
  if (unit == "K") shift = 10;
  else if (unit == "M") shift = 20;
  else if (unit == "G") shift = 30;
  else if (unit == "T") shift = 40;
  else if (!unit.empty()) return false;
  if (shift && value > (UINT64_MAX >> shift)) return false;
  bytes = value << shift;
  return true;
}

std::string mebibytes(uint64_t bytes) { return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB"; }

}  // namespace tools
