#include "tools/vpkg/manifest.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "pkg/names.h"
#include "runtime/version.h"

namespace vpkg {
namespace {

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == 'n' || s[i + 1] == '\\')) {
      out += s[i + 1] == 'n' ? '\n' : '\\';
      ++i;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool parseNumber(const std::string& text, uint64_t limit, uint64_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno || *end || v > limit) return false;
  value = v;
  return true;
}

bool parseVersionText(const std::string& text, uint32_t& version) {
  version = vl::parseVersion(text);
  return version != 0;
}

// NAME [min V] [max V] [priority N]
bool parseEntry(const std::string& value, bool withPriority, ListEntry& entry, std::string& why) {
  std::istringstream words(value);
  if (!(words >> entry.name) || !pkg::isValidPackageName(entry.name)) {
    why = "a list entry needs a package name (1-16 printable characters, no '/')";
    return false;
  }
  std::string key, arg;
  while (words >> key) {
    if (!(words >> arg)) {
      why = "'" + key + "' needs a value";
      return false;
    }
    if (key == "min" || key == "max") {
      if (!parseVersionText(arg, key == "min" ? entry.minimum : entry.maximum)) {
        why = "not a version: " + arg;
        return false;
      }
    } else if (key == "priority" && withPriority) {
      char* end = nullptr;
      long p = strtol(arg.c_str(), &end, 10);
      if (*end || p < INT32_MIN || p > INT32_MAX) {
        why = "not a priority: " + arg;
        return false;
      }
      entry.priority = int32_t(p);
    } else {
      why = "unknown word '" + key + "'";
      return false;
    }
  }
  return true;
}

bool parseFlags(const std::string& value, uint32_t& flags, std::string& why) {
  uint64_t number;
  if (parseNumber(value, 0xffffffffu, number)) {
    flags = uint32_t(number);
    return true;
  }
  std::istringstream words(value);
  std::string word;
  flags = 0;
  while (words >> word) {
    if (word == "boot-image") flags |= pkg::FLAG_BOOT_IMAGE;
    else if (word == "no-meta") flags |= pkg::FLAG_NO_META;
    else {
      why = "unknown flag '" + word + "' (boot-image, no-meta, or a number)";
      return false;
    }
  }
  return true;
}

}  // namespace

uint32_t defaultBuildTime() {
  if (const char* epoch = getenv("SOURCE_DATE_EPOCH")) {
    uint64_t v;
    if (parseNumber(epoch, 0xffffffffu, v)) return uint32_t(v);
  }
  return uint32_t(time(nullptr));
}

bool readManifest(const std::string& path, Manifest& m) {
  std::ifstream in(path);
  if (!in) {
    fprintf(stderr, "vpkg: %s: cannot open the manifest\n", path.c_str());
    return false;
  }
  std::string base = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
  auto relative = [&](const std::string& p) { return p.empty() || p[0] == '/' ? p : base + "/" + p; };
  bool haveVersion = false, haveTime = false;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string text = trim(line);
    if (text.empty() || text[0] == '#') continue;
    size_t eq = text.find('=');
    std::string why;
    if (eq == std::string::npos) {
      why = "expected 'key = value'";
    } else {
      const std::string key = trim(text.substr(0, eq)), value = trim(text.substr(eq + 1));
      uint64_t n = 0;
      if (key == "name") {
        m.name = value;
        if (!pkg::isValidPackageName(value)) why = "a name has 1 to 16 printable characters, no '/' and no blank";
      } else if (key == "version") {
        haveVersion = parseVersionText(value, m.version);
        if (!haveVersion) why = "not a version: " + value;
      } else if (key == "build-time") {
        haveTime = parseNumber(value, 0xffffffffu, n);
        m.buildTime = uint32_t(n);
        if (!haveTime) why = "not a time in seconds: " + value;
      } else if (key == "flags") {
        parseFlags(value, m.flags, why);
      } else if (key == "description") {
        m.description = unescape(value);
      } else if (key == "note") {
        m.note = unescape(value);
      } else if (key == "text-b") {
        m.textB = unescape(value);
      } else if (key == "architecture") {
        m.hasArchitecture = true;
        m.architecture = value;
      } else if (key == "depends" || key == "provides" || key == "conflicts") {
        ListEntry e;
        if (parseEntry(value, key == "provides", e, why))
          (key == "depends" ? m.depends : key == "provides" ? m.provides : m.conflicts).push_back(e);
      } else if (key == "image") {
        m.image = relative(value);
      } else if (key == "files") {
        m.files = relative(value);
      } else if (key == "mode") {
        std::istringstream words(value);
        std::string file, mode;
        if (!(words >> file >> mode) || !parseNumber(std::string("0") + mode, 07777, n)) why = "expected 'mode = PATH OCTAL'";
        else m.modes[file] = uint16_t(n);
      } else if (key == "skip") {
        m.skips.push_back(value);
      } else if (key == "digest") {
        if (value != "sha1" && value != "sha256") why = "digest is sha1 or sha256";
        m.sha256 = value == "sha256";
      } else if (key == "magic") {
        if (value != "package" && value != "overlay") why = "magic is package or overlay";
        m.overlay = value == "overlay";
      } else if (key == "trailer") {
        if (value != "yes" && value != "no") why = "trailer is yes or no";
        m.trailer = value == "yes";
      } else {
        why = "unknown key '" + key + "'";
      }
    }
    if (!why.empty()) {
      fprintf(stderr, "vpkg: %s:%d: %s\n", path.c_str(), number, why.c_str());
      return false;
    }
  }
  if (m.name.empty() || !haveVersion) {
    fprintf(stderr, "vpkg: %s: a manifest needs a name and a version\n", path.c_str());
    return false;
  }
  if (!haveTime) m.buildTime = defaultBuildTime();
  return true;
}

}  // namespace vpkg
