// The manifest of `vpkg build`: one "key = value" per line; blank lines and
// lines starting with '#' are ignored. Relative paths are relative to the
// manifest's directory.
//
//   name = dhcp                      package name (1-16 printable characters)
//   version = 6.49.3                 version text, as the system prints it
//   build-time = 1700000000          seconds since 1970 UTC; default
//                                    SOURCE_DATE_EPOCH, else now
//   flags = boot-image no-meta       or a number
//   description = ...                the menu's text; "\n" starts a new line
//   note = ...                       the listing's "Note" column
//   text-b = ...                     kept by the system, not interpreted
//   architecture = i386              no part when absent (the system reads "i386")
//   depends = NAME [min V] [max V]   repeatable; also provides (with
//   provides = NAME [min V] [max V] [priority N]   a priority) and conflicts
//   conflicts = NAME [min V] [max V]
//   image = payload.bin              image payload: the package is image-based
//   files = root                     a directory tree, stored in name order
//   mode = PATH 0755                 permission bits of a stored file
//   skip = PATH                      store the file with the skip marker
//   digest = sha256                  sha1 (default) or sha256 (with the switch part)
//   magic = overlay                  package (default) or overlay
//   trailer = yes                    after the signature: the architecture part
//                                    and an empty depends part
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/vpkg/package_writer.h"

namespace vpkg {

struct Manifest {
  std::string name;
  uint32_t version = 0;
  uint32_t buildTime = 0;
  uint32_t flags = 0;
  std::string description, note, textB;
  bool hasArchitecture = false;
  std::string architecture;
  std::vector<ListEntry> depends, provides, conflicts;
  std::string image;
  std::string files;
  std::map<std::string, uint16_t> modes;
  std::vector<std::string> skips;
  bool sha256 = false;
  bool overlay = false;
  bool trailer = false;
};

// Prints "vpkg: FILE:LINE: reason" and returns false on a bad manifest.
[[nodiscard]] bool readManifest(const std::string& path, Manifest& manifest);

// The build time when the manifest gives none: SOURCE_DATE_EPOCH, else now.
uint32_t defaultBuildTime();

}  // namespace vpkg
