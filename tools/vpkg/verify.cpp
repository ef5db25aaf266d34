// vpkg verify: the signature level of every package in a file.
#include <cstdio>
#include <string>

#include "runtime/version.h"
#include "tools/vpkg/commands.h"
#include "tools/vpkg/inspect.h"
#include "tools/vpkg/keyfile.h"

namespace vpkg {

static const char kVerifyHelp[] =
    "usage: vpkg verify FILE [--keys PUBLIC-KEY-FILE]\n"
    "\n"
    "Prints the signature level of each package in FILE (2: Ed25519, 1: the older\n"
    "scheme, 0: none) and the level the system requires of it, checked against\n"
    "the keys built into this program or against a 64-byte public key file.\n"
    "Exit status 0 only when every level suffices.\n";

int verifyCommand(int argc, char** argv) {
  if (wantsHelp(argc, argv)) return printHelp(kVerifyHelp);
  std::string path, keysPath;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--keys" && i + 1 < argc) keysPath = argv[++i];
    else if (a[0] != '-' && path.empty()) path = a;
    else return usageError(kVerifyHelp);
  }
  if (path.empty()) return usageError(kVerifyHelp);
  cipher::PackageKeys keys = cipher::builtinPackageKeys();
  if (!keysPath.empty() && !readPublicKeys(keysPath, keys)) return 1;
  FileReport report;
  std::string why;
  if (!inspectPackageFile(path, keys, report, why)) {
    fprintf(stderr, "vpkg: %s: %s\n", path.c_str(), why.c_str());
    return 1;
  }
  bool allSuffice = true;
  for (const PackageReport& p : report.packages) {
    const bool suffices = p.level >= p.required;
    allSuffice &= suffices;
    printf("%s-%s: level %d, requires %d: %s\n", p.record.name.c_str(), vl::version2string(p.record.version).c_str(),
           p.level, p.required, suffices ? "ok" : "NOT ENOUGH");
  }
  return allSuffice ? 0 : 1;
}

}  // namespace vpkg
