// vpkg bundle: a bundle of member packages.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pkg/names.h"
#include "runtime/fileutil.h"
#include "runtime/version.h"
#include "tools/vpkg/commands.h"
#include "tools/vpkg/manifest.h"
#include "tools/vpkg/package_writer.h"

namespace vpkg {

static const char kBundleHelp[] =
    "usage: vpkg bundle -o OUTPUT --name NAME --version VERSION [--build-time SECONDS]\n"
    "                   [--description TEXT] [--note TEXT] [--disable NAME]...\n"
    "                   [--image FILE] MEMBER.vpk...\n"
    "\n"
    "Makes a bundle of the member packages, in the order given. --disable names\n"
    "a package the bundle disables unless the user chose its state (repeatable).\n"
    "Each member keeps its own signature: the parts at bundle level are not\n"
    "signed. A member digested with SHA-1 cannot follow one digested with\n"
    "SHA-256 (a reader never switches back).\n";

namespace {

// A member's bytes after its file header, and whether it switches to SHA-256.
bool loadMember(const std::string& path, std::string& parts, bool& sha256) {
  using namespace pkg;
  std::string bytes = vl::readFileText(path);
  if (bytes.size() < FILE_HEADER_SIZE || loadLe32(reinterpret_cast<const uint8_t*>(bytes.data())) != PACKAGE_MAGIC) {
    fprintf(stderr, "vpkg: %s: not a package file\n", path.c_str());
    return false;
  }
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  if (uint64_t(loadLe32(b + FILE_HEADER_LENGTH_OFFSET)) + FILE_HEADER_SIZE != bytes.size()) {
    fprintf(stderr, "vpkg: %s: size does not match its header\n", path.c_str());
    return false;
  }
  sha256 = false;
  bool sawHeader = false;
  for (size_t at = FILE_HEADER_SIZE; at + PART_HEADER_SIZE <= bytes.size();) {
    uint16_t type = loadLe16(b + at);
    if (type == PART_HASH_SWITCH) sha256 = true;
    if (type == PART_BUNDLE_HEADER) {
      fprintf(stderr, "vpkg: %s: a bundle cannot be a member\n", path.c_str());
      return false;
    }
    sawHeader |= type == PART_HEADER;
    at += PART_HEADER_SIZE + loadLe32(b + at + PART_HEADER_LENGTH_OFFSET);
  }
  if (!sawHeader) {
    fprintf(stderr, "vpkg: %s: no package header\n", path.c_str());
    return false;
  }
  parts = bytes.substr(FILE_HEADER_SIZE);
  return true;
}

}  // namespace

int bundleCommand(int argc, char** argv) {
  using namespace pkg;
  if (wantsHelp(argc, argv)) return printHelp(kBundleHelp);
  std::string output, name, versionText, timeText, description, note, image;
  std::vector<std::string> disable, members;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    std::string* target = a == "-o"              ? &output
                          : a == "--name"        ? &name
                          : a == "--version"     ? &versionText
                          : a == "--build-time"  ? &timeText
                          : a == "--description" ? &description
                          : a == "--note"        ? &note
                          : a == "--image"       ? &image
                                                 : nullptr;
    if (target && i + 1 < argc) *target = argv[++i];
    else if (a == "--disable" && i + 1 < argc) disable.push_back(argv[++i]);
    else if (a[0] != '-') members.push_back(a);
    else return usageError(kBundleHelp);
  }
  if (output.empty() || name.empty() || versionText.empty() || members.empty()) return usageError(kBundleHelp);
  const uint32_t version = vl::parseVersion(versionText);
  if (!isValidPackageName(name) || version == 0) {
    fprintf(stderr, "vpkg: a bundle needs a valid name and version\n");
    return 2;
  }
  uint32_t buildTime = defaultBuildTime();
  if (!timeText.empty()) buildTime = uint32_t(strtoul(timeText.c_str(), nullptr, 10));
  std::vector<ListEntry> disableList;
  for (const std::string& d : disable) {
    if (!isValidPackageName(d)) {
      fprintf(stderr, "vpkg: --disable %s: not a package name\n", d.c_str());
      return 2;
    }
    disableList.push_back({d});
  }

  std::vector<std::string> memberParts(members.size());
  bool anySha256 = false;
  for (size_t i = 0; i < members.size(); ++i) {
    bool sha256 = false;
    if (!loadMember(members[i], memberParts[i], sha256)) return 1;
    if (anySha256 && !sha256) {
      fprintf(stderr, "vpkg: %s: a SHA-1 member cannot follow a SHA-256 member\n", members[i].c_str());
      return 1;
    }
    anySha256 |= sha256;
  }

  PackageWriter w;
  if (!w.open(output)) return 1;
  bool ok = w.part(PART_BUNDLE_HEADER, headerPayload(name, version, buildTime, 0));
  if (!description.empty()) ok = ok && w.part(PART_TEXT_A, description);
  if (!note.empty()) ok = ok && w.part(PART_NOTE, note);
  // The image payload before the disable list: the order installation reads
  // (it accepts the other one too, which older files carry).
  if (!image.empty()) {
    FILE* f = fopen(image.c_str(), "rb");
    if (!f) {
      fprintf(stderr, "vpkg: %s: %s\n", image.c_str(), strerror(errno));
      ok = false;
    } else {
      fseek(f, 0, SEEK_END);
      long size = ftell(f);
      rewind(f);
      ok = ok && w.partFromFile(PART_IMAGE_PAYLOAD, f, uint64_t(size));
      fclose(f);
    }
  }
  if (!disableList.empty()) ok = ok && w.part(PART_DISABLE_LIST, entryListPayload(disableList));
  for (const std::string& parts : memberParts) ok = ok && w.raw(parts.data(), parts.size());
  ok = w.close() && ok;
  if (!ok) {
    unlink(output.c_str());
    return 1;
  }
  return 0;
}

}  // namespace vpkg
