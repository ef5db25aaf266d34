#include "pkg/names.h"

namespace pkg {

bool isValidPackageName(std::string_view name) {
  if (name.empty() || name.size() > 16 || name == "." || name == "..") return false;
  for (char c : name)
    if (c <= ' ' || c > '~' || c == '/') return false;
  return true;
}

bool isSafeEntryPath(std::string_view path) {
  if (path.empty() || path.size() > 4095) return false;
  for (char c : path)
    if (c == '\0' || c == '\n' || c == ' ') return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view component = path.substr(start, end - start);
    if (component == ".." || component.size() > 255) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace pkg
