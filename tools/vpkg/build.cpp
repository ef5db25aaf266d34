// vpkg build: one package from a manifest and a directory tree.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "pkg/names.h"
#include "pkg/package_record.h"
#include "tools/vpkg/commands.h"
#include "tools/vpkg/manifest.h"
#include "tools/vpkg/package_writer.h"

namespace vpkg {

static const char kBuildHelp[] =
    "usage: vpkg build MANIFEST -o OUTPUT [--key PRIVATE-KEY] [--scheme ed25519|older|none]\n"
    "\n"
    "Builds one package from MANIFEST (see below) and signs it with the private\n"
    "key: with --scheme ed25519 (the default with a key) the 132-byte block\n"
    "carries an Ed25519 signature and one of the older scheme; with older, the\n"
    "68-byte block of the older scheme alone. Without a key, or with none, the\n"
    "package is unsigned. The same inputs give the same bytes.\n"
    "\n"
    "Manifest: one 'key = value' per line, '#' comments; paths relative to it.\n"
    "  name = dhcp                       version = 6.49.3\n"
    "  build-time = SECONDS              (default: SOURCE_DATE_EPOCH, else now)\n"
    "  flags = boot-image no-meta        (or a number)\n"
    "  description = TEXT                note = TEXT            text-b = TEXT\n"
    "  architecture = i386               (no part when absent)\n"
    "  depends = NAME [min V] [max V]    conflicts = NAME [min V] [max V]\n"
    "  provides = NAME [min V] [max V] [priority N]   (each repeatable)\n"
    "  image = FILE                      (image payload: an image-based package)\n"
    "  files = DIRECTORY                 (regular files and symbolic links, in name order)\n"
    "  mode = PATH 0755                  skip = PATH     (skip marker)\n"
    "  digest = sha1|sha256              magic = package|overlay\n"
    "  trailer = yes                     (architecture and empty depends after the signature)\n"
    "In texts, \\n starts a new line.\n";

namespace {

bool collectTree(const Manifest& m, std::vector<FileSpec>& files) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(m.files, ec)) {
    fprintf(stderr, "vpkg: %s: not a directory\n", m.files.c_str());
    return false;
  }
  std::vector<std::string> paths;
  for (auto it = fs::recursive_directory_iterator(m.files, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) continue;
    paths.push_back(it->path().lexically_relative(m.files).string());
  }
  if (ec) {
    fprintf(stderr, "vpkg: %s: %s\n", m.files.c_str(), ec.message().c_str());
    return false;
  }
  std::sort(paths.begin(), paths.end());
  std::set<std::string> known(paths.begin(), paths.end());
  for (const auto& [path, mode] : m.modes)
    if (!known.count(path)) {
      fprintf(stderr, "vpkg: mode: %s is not in %s\n", path.c_str(), m.files.c_str());
      return false;
    }
  for (const std::string& path : m.skips)
    if (!known.count(path)) {
      fprintf(stderr, "vpkg: skip: %s is not in %s\n", path.c_str(), m.files.c_str());
      return false;
    }
  for (const std::string& path : paths) {
    if (!pkg::isSafeEntryPath(path)) {
      fprintf(stderr, "vpkg: %s: a stored path may not hold blanks, newlines or '..'\n", path.c_str());
      return false;
    }
    const std::string source = m.files + "/" + path;
    struct stat st;
    if (lstat(source.c_str(), &st) != 0) {
      fprintf(stderr, "vpkg: %s: %s\n", source.c_str(), strerror(errno));
      return false;
    }
    FileSpec f;
    f.path = path;
    if (S_ISLNK(st.st_mode)) {
      f.bytes = fs::read_symlink(source, ec).string();
      f.mode = uint16_t(S_IFLNK | 0777);
    } else if (S_ISREG(st.st_mode)) {
      f.sourcePath = source;
      auto mode = m.modes.find(path);
      f.mode = uint16_t(pkg::FILE_TYPE_REGULAR | (mode != m.modes.end() ? mode->second : (st.st_mode & 07777)));
    } else {
      fprintf(stderr, "vpkg: %s: only regular files and symbolic links can be stored\n", source.c_str());
      return false;
    }
    f.skipMarker = std::find(m.skips.begin(), m.skips.end(), path) != m.skips.end();
    files.push_back(std::move(f));
  }
  return true;
}

bool parseScheme(const std::string& text, SignatureScheme& scheme) {
  if (text == "ed25519") scheme = SignatureScheme::ED25519;
  else if (text == "older") scheme = SignatureScheme::OLDER;
  else if (text == "none") scheme = SignatureScheme::NONE;
  else return false;
  return true;
}

}  // namespace

bool writePackageParts(PackageWriter& w, const Manifest& m, SignatureScheme scheme, const PrivateKey* key) {
  using namespace pkg;
  std::vector<FileSpec> files;
  if (!m.files.empty() && !collectTree(m, files)) return false;
  FILE* compressed = nullptr;
  uint64_t compressedSize = 0;
  if (!m.files.empty() && !(compressed = compressFileEntries(files, compressedSize))) return false;
  FILE* image = nullptr;
  struct stat st;
  if (!m.image.empty() && (!(image = fopen(m.image.c_str(), "rb")) || fstat(fileno(image), &st) != 0)) {
    fprintf(stderr, "vpkg: %s: %s\n", m.image.c_str(), strerror(errno));
    if (compressed) fclose(compressed);
    return false;
  }
  bool ok = true;
  // The switch stands before the header, so SHA-256 covers the whole package.
  if (m.sha256) ok = ok && w.part(PART_HASH_SWITCH, "");
  ok = ok && w.part(PART_HEADER, headerPayload(m.name, m.version, m.buildTime, m.flags));
  if (!m.textB.empty()) ok = ok && w.part(PART_TEXT_B, m.textB);
  if (m.hasArchitecture) ok = ok && w.part(PART_ARCHITECTURE, m.architecture);
  if (!m.description.empty()) ok = ok && w.part(PART_TEXT_A, m.description);
  if (!m.note.empty()) ok = ok && w.part(PART_NOTE, m.note);
  if (!m.depends.empty()) ok = ok && w.part(PART_DEPENDS, entryListPayload(m.depends));
  if (!m.provides.empty()) ok = ok && w.part(PART_PROVIDES, entryListPayload(m.provides));
  if (!m.conflicts.empty()) ok = ok && w.part(PART_CONFLICTS, entryListPayload(m.conflicts));
  if (image) ok = ok && w.partFromFile(PART_IMAGE_PAYLOAD, image, uint64_t(st.st_size));
  if (compressed) ok = ok && w.partFromFile(PART_FILES, compressed, compressedSize);
  if (scheme != SignatureScheme::NONE) ok = ok && w.signature(scheme, key);
  if (m.trailer) {
    ok = ok && w.part(PART_ARCHITECTURE, m.hasArchitecture ? m.architecture : DEFAULT_ARCHITECTURE);
    ok = ok && w.part(PART_DEPENDS, "");
  }
  if (image) fclose(image);
  if (compressed) fclose(compressed);
  return ok;
}

int buildCommand(int argc, char** argv) {
  if (wantsHelp(argc, argv)) return printHelp(kBuildHelp);
  std::string manifestPath, output, keyPath, schemeText;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if ((a == "-o" || a == "--key" || a == "--scheme") && i + 1 < argc) {
      (a == "-o" ? output : a == "--key" ? keyPath : schemeText) = argv[++i];
    } else if (a[0] != '-' && manifestPath.empty()) {
      manifestPath = a;
    } else {
      return usageError(kBuildHelp);
    }
  }
  if (manifestPath.empty() || output.empty()) return usageError(kBuildHelp);
  SignatureScheme scheme = keyPath.empty() ? SignatureScheme::NONE : SignatureScheme::ED25519;
  if (!schemeText.empty() && !parseScheme(schemeText, scheme)) return usageError(kBuildHelp);
  if (scheme != SignatureScheme::NONE && keyPath.empty()) {
    fprintf(stderr, "vpkg: --scheme %s needs --key\n", schemeText.c_str());
    return 2;
  }
  PrivateKey key{};
  if (!keyPath.empty() && !readPrivateKey(keyPath, key)) return 1;
  Manifest m;
  if (!readManifest(manifestPath, m)) return 1;
  PackageWriter w;
  if (!w.open(output, m.overlay ? pkg::OVERLAY_MAGIC : pkg::PACKAGE_MAGIC)) return 1;
  bool ok = writePackageParts(w, m, scheme, &key);
  ok = w.close() && ok;
  if (!ok) {
    unlink(output.c_str());
    return 1;
  }
  return 0;
}

}  // namespace vpkg
