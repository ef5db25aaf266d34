// vpkg: makes, signs, inspects and unpacks the system's package files.
#include <cstdio>
#include <cstring>

#include "tools/vpkg/commands.h"

namespace vpkg {

static const char kHelp[] =
    "usage: vpkg COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  keygen    make a new signing key pair\n"
    "  build     build and sign one package from a manifest and a directory tree\n"
    "  bundle    make a bundle of member packages\n"
    "  info      show everything a package file holds (--json for machines)\n"
    "  verify    check the signature of every package in a file\n"
    "  extract   write the files of a package under a directory\n"
    "\n"
    "vpkg COMMAND --help describes each command.\n";

bool wantsHelp(int argc, char** argv) {
  for (int i = 0; i < argc; ++i)
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
  return false;
}

int printHelp(const char* text) {
  fputs(text, stdout);
  return 0;
}

int usageError(const char* text) {
  fputs(text, stderr);
  return 2;
}

}  // namespace vpkg

int main(int argc, char** argv) {
  using namespace vpkg;
  if (argc < 2) return usageError(kHelp);
  const char* command = argv[1];
  if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0 || strcmp(command, "help") == 0)
    return printHelp(kHelp);
  struct Entry {
    const char* name;
    int (*run)(int, char**);
  };
  static const Entry kCommands[] = {{"keygen", keygenCommand}, {"build", buildCommand},   {"bundle", bundleCommand},
                                       {"info", infoCommand},     {"verify", verifyCommand}, {"extract", extractCommand}};
  for (const Entry& entry : kCommands)
    if (strcmp(command, entry.name) == 0) return entry.run(argc - 2, argv + 2);
  fprintf(stderr, "vpkg: unknown command '%s'\n", command);
  return usageError(kHelp);
}
