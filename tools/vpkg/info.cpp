// vpkg info: everything a package file holds, as text or JSON.
#include <cstdio>
#include <ctime>
#include <string>

#include "runtime/version.h"
#include "tools/vpkg/commands.h"
#include "tools/vpkg/inspect.h"

namespace vpkg {

static const char kInfoHelp[] =
    "usage: vpkg info FILE [--json]\n"
    "\n"
    "Prints every header-level field of the package (or of the bundle and each\n"
    "member), the dependency lists, the note, the file entries, the digest\n"
    "(sha1 or sha256) and the signature level against the built-in keys.\n";

namespace {

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::string utc(uint32_t t) {
  time_t when = time_t(t);
  char buf[32];
  struct tm tm;
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", gmtime_r(&when, &tm));
  return buf;
}

std::string bounds(const pkg::DependencyEntry& e) {
  std::string s = e.name;
  if (e.minimum) s += " min " + vl::version2string(e.minimum);
  if (e.maximum) s += " max " + vl::version2string(e.maximum);
  return s;
}

std::string jsonList(const std::vector<pkg::DependencyEntry>& list, bool priority) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) {
    const auto& e = list[i];
    out += (i ? ", " : "") + std::string("{\"name\": ") + jsonString(e.name) +
           ", \"min\": " + jsonString(e.minimum ? vl::version2string(e.minimum) : "") +
           ", \"max\": " + jsonString(e.maximum ? vl::version2string(e.maximum) : "");
    if (priority) out += ", \"priority\": " + std::to_string(e.priority);
    out += "}";
  }
  return out + "]";
}

void printText(const PackageReport& p, bool member) {
  const pkg::PackageRecord& r = p.record;
  const char* indent = member ? "  " : "";
  printf("%s%s %s\n", indent, r.isBundle ? "bundle" : "package", r.name.c_str());
  printf("%s  version:      %s (0x%08x)\n", indent, vl::version2string(r.version).c_str(), r.version);
  printf("%s  build time:   %s (%u)\n", indent, utc(r.buildTime).c_str(), r.buildTime);
  printf("%s  flags:        0x%x\n", indent, r.flags);
  printf("%s  architecture: %s\n", indent, r.architecture.c_str());
  if (!r.textA.empty()) printf("%s  description:  %s\n", indent, r.textA.c_str());
  if (!r.note.empty()) printf("%s  note:         %s\n", indent, r.note.c_str());
  if (!r.textB.empty()) printf("%s  text B:       %s\n", indent, r.textB.c_str());
  for (const auto& e : r.depends) printf("%s  depends:      %s\n", indent, bounds(e).c_str());
  for (const auto& e : r.provides)
    printf("%s  provides:     %s priority %d\n", indent, bounds(e).c_str(), e.priority);
  for (const auto& e : r.conflicts) printf("%s  conflicts:    %s\n", indent, bounds(e).c_str());
  if (p.hasImage) printf("%s  image:        %llu bytes\n", indent, (unsigned long long)p.imageSize);
  if (r.isBundle) return;
  printf("%s  digest:       %s\n", indent, p.sha256 ? "sha256" : "sha1");
  printf("%s  signature:    level %d (requires %d)%s\n", indent, p.level, p.required,
         p.hasSignature ? "" : ", no signature part");
  for (const EntryReport& e : p.entries)
    printf("%s  file %06o %10u %s%s\n", indent, e.mode, e.size, e.path.c_str(), e.skipMarker ? " (skip)" : "");
}

std::string jsonPackage(const PackageReport& p) {
  const pkg::PackageRecord& r = p.record;
  std::string out = "{\"name\": " + jsonString(r.name) + ", \"version\": " + jsonString(vl::version2string(r.version)) +
                    ", \"packed_version\": " + std::to_string(r.version) +
                    ", \"build_time\": " + std::to_string(r.buildTime) + ", \"flags\": " + std::to_string(r.flags) +
                    ", \"architecture\": " + jsonString(r.architecture) + ", \"description\": " + jsonString(r.textA) +
                    ", \"note\": " + jsonString(r.note) + ", \"text_b\": " + jsonString(r.textB) +
                    ", \"depends\": " + jsonList(r.depends, false) + ", \"provides\": " + jsonList(r.provides, true) +
                    ", \"conflicts\": " + jsonList(r.conflicts, false) +
                    ", \"image_based\": " + (r.imageBased ? "true" : "false");
  if (p.hasImage) out += ", \"image_size\": " + std::to_string(p.imageSize);
  if (!r.isBundle) {
    out += std::string(", \"digest\": ") + (p.sha256 ? "\"sha256\"" : "\"sha1\"") +
           ", \"signature_level\": " + std::to_string(p.level) + ", \"required_level\": " + std::to_string(p.required) +
           ", \"files\": [";
    for (size_t i = 0; i < p.entries.size(); ++i) {
      const EntryReport& e = p.entries[i];
      out += (i ? ", " : "") + std::string("{\"path\": ") + jsonString(e.path) + ", \"mode\": " + std::to_string(e.mode) +
             ", \"size\": " + std::to_string(e.size) + ", \"skip\": " + (e.skipMarker ? "true" : "false") + "}";
    }
    out += "]";
  }
  return out + "}";
}

}  // namespace

int infoCommand(int argc, char** argv) {
  if (wantsHelp(argc, argv)) return printHelp(kInfoHelp);
  std::string path;
  bool json = false;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--json") json = true;
    else if (a[0] != '-' && path.empty()) path = a;
    else return usageError(kInfoHelp);
  }
  if (path.empty()) return usageError(kInfoHelp);
  FileReport report;
  std::string why;
  bool ok = inspectPackageFile(path, cipher::builtinPackageKeys(), report, why);
  if (!ok) {
    fprintf(stderr, "vpkg: %s: %s\n", path.c_str(), why.c_str());
    return 1;
  }
  if (json) {
    std::string out = "{\"file\": " + jsonString(path) + ", \"overlay\": " + (report.overlay ? "true" : "false") +
                      ", \"size\": " + std::to_string(report.totalSize);
    if (report.isBundle) {
      out += ", \"bundle\": " + jsonPackage(report.bundle) + ", \"disable\": " + jsonList(report.disableList, false);
    }
    out += ", \"packages\": [";
    for (size_t i = 0; i < report.packages.size(); ++i) out += (i ? ", " : "") + jsonPackage(report.packages[i]);
    printf("%s]}\n", out.c_str());
    return 0;
  }
  printf("file %s: %llu bytes%s\n", path.c_str(), (unsigned long long)report.totalSize,
         report.overlay ? ", overlay" : "");
  if (report.isBundle) {
    printText(report.bundle, false);
    for (const auto& e : report.disableList) printf("  disables:     %s\n", e.name.c_str());
  }
  for (const PackageReport& p : report.packages) printText(p, report.isBundle);
  return 0;
}

}  // namespace vpkg
