#include "tools/common/package_check.h"

#include <sys/stat.h>

#include <cstdio>
#include <set>

#include "pkg/package_record.h"
#include "runtime/fileutil.h"
#include "runtime/version.h"
#include "tools/vpkg/inspect.h"

namespace tools {

namespace {

std::string program = "vmedia";

bool refuse(const std::string& path, const std::string& why) {
  fprintf(stderr, "%s: %s: %s\n", program.c_str(), path.c_str(), why.c_str());
  return false;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The signature and architecture of one package (or member of a bundle).
bool checkOne(const std::string& path, const vpkg::PackageReport& p, const PackageRules& rules) {
  const std::string who = p.record.name + "-" + vl::version2string(p.record.version);
  if (p.record.architecture != pkg::DEFAULT_ARCHITECTURE)
    return refuse(path, who + " is built for " + p.record.architecture + ", the installer installs " +
                            pkg::DEFAULT_ARCHITECTURE);
  if (p.level >= p.required) return true;
  if (!p.hasSignature) {
    if (rules.allowUnsigned) return true;
    return refuse(path, who + " is not signed (--allow-unsigned makes a test medium of it)");
  }
  return refuse(path, who + ": its signature does not verify with the keys (changed after signing, or signed "
                            "with another key)");
}

bool checkFile(const std::string& path, const PackageRules& rules, MediumPackage& out) {
  if (!vl::fileExists(path, S_IFREG)) return refuse(path, "no such file");
  if (!endsWith(path, ".vpk")) return refuse(path, "the installer offers only package files ending in \".vpk\"");
  vpkg::FileReport report;
  std::string why;
  if (!vpkg::inspectPackageFile(path, rules.keys, report, why)) return refuse(path, "not a package the installer reads: " + why);
  if (report.packages.empty()) return refuse(path, "holds no package");
  bool ok = true;
  for (const vpkg::PackageReport& p : report.packages) ok = checkOne(path, p, rules) && ok;
  if (report.isBundle) ok = checkOne(path, report.bundle, rules) && ok;
  const vpkg::PackageReport& named = report.isBundle ? report.bundle : report.packages.front();
  out.path = path;
  out.fileName = baseName(path);
  out.name = named.record.name;
  out.version = vl::version2string(named.record.version);
  out.level = named.level;
  return ok;
}

}  // namespace

bool checkPackages(const std::vector<std::string>& paths, const PackageRules& rules,
                   std::vector<MediumPackage>& packages) {
  bool ok = true;
  program = rules.program;
  if (paths.empty()) {
    fprintf(stderr, "%s: at least one package is needed\n", program.c_str());
    return false;
  }
  std::set<std::string> names, fileNames;
  for (const std::string& path : paths) {
    MediumPackage p;
    if (!checkFile(path, rules, p)) {
      ok = false;
      continue;
    }
    if (!names.insert(p.name).second) {
      ok = refuse(path, "another package of this medium is also named " + p.name);
      continue;
    }
    if (!fileNames.insert(p.fileName).second) {
      ok = refuse(path, "another package of this medium has the file name " + p.fileName);
      continue;
    }
    packages.push_back(p);
  }
  return ok;
}

bool checkDefaultSelection(const std::string& path, const std::vector<MediumPackage>& packages) {
  if (!vl::fileExists(path, S_IFREG)) return refuse(path, "no such file");
  std::set<std::string> names;
  for (const MediumPackage& p : packages) names.insert(p.name);
  // Words separated by white space, as the menu reads them.
  const std::string text = vl::readFileText(path);
  bool ok = true;
  size_t start = text.find_first_not_of(" \t\r\n");
  while (start != std::string::npos) {
    const size_t end = text.find_first_of(" \t\r\n", start);
    const std::string name = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!names.count(name)) ok = refuse(path, "names " + name + ", which is not a package of this medium");
    start = end == std::string::npos ? end : text.find_first_not_of(" \t\r\n", end);
  }
  return ok;
}

}  // namespace tools
