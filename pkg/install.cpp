#include "pkg/install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "pkg/file_entries.h"
#include "pkg/meta_files.h"
#include "pkg/names.h"
#include "pkg/package_parse.h"
#include "pkg/planner.h"
#include "pkg/rules.h"
#include "runtime/fileutil.h"

namespace pkg {
namespace {

bool bootImageWanted() { return getenv("bootimage") != nullptr; }

void brokenPackage(PackageSet& set, const PackageRecord& r) {
  set.error("installation of %s failed: broken package", displayName(r).c_str());
}

// The package's database directory cannot be made: a file stands there, or
// this transaction already puts something else there.
void directoryInTheWay(PackageSet& set, const PackageRecord& r) {
  set.error("installation of %s failed: could not create %s", displayName(r).c_str(), packageDirectory(r.name).c_str());
}

bool createEmpty(Transaction& t, const std::string& path) {
  NewFile f = t.newFile(path, 1, 0644);
  return f.close();
}

// The destination of a file entry.
std::string destinationOf(const PackageRecord& r, const std::string& path, bool relative) {
  std::string d = relative ? "." : "";
  if (r.disabled) d += "/x/" + r.name;
  if (path.empty() || path[0] != '/') d += "/";
  d += path;
  return relative ? d : "/flash" + d;
}

bool unpack(PackageSet& set, PackageRecord& r, Transaction& t, PartReader& reader, bool relative) {
  FileEntryStream stream(reader);
  FileEntry entry;
  uint8_t block[FILE_DATA_BLOCK_SIZE];
  while (stream.next(entry)) {
    // A path that could land outside the install root fails the package
    // before any of its bytes are written.
    if (!isSafeEntryPath(entry.path)) {
      brokenPackage(set, r);
      return false;
    }
    if (!entry.written()) continue;  // its data is skipped by the next call
    const std::string destination = destinationOf(r, entry.path, relative);
    NewFile out = t.newFile(destination, entry.size, entry.mode & 07777);
    if (!out.ok()) {
      set.creationError(r, entry.path);
      return false;
    }
    r.files.insert(destination);
    for (;;) {
      size_t n = stream.readData(block, sizeof block);
      if (n == 0) break;
      if (!out.write(block, n)) {
        set.creationError(r, entry.path);
        return false;
      }
    }
    if (stream.truncated()) {
      brokenPackage(set, r);
      return false;
    }
    if (!out.close()) {
      set.creationError(r, entry.path);
      return false;
    }
    showProgress(set, r, reader);
  }
  if (stream.truncated()) {
    brokenPackage(set, r);
    return false;
  }
  return true;
}

}  // namespace

void showProgress(PackageSet& set, const PackageRecord& r, const PartReader& reader) {
  std::string text = "installing ";
  if (r.disabled && r.bundle.name.empty()) text += " (disabled) ";
  text += displayName(r) + " [";
  // The total size comes from the unsigned file header: never divide by
  // zero, never draw past the end.
  const int64_t width = std::max<int64_t>(0, 76 - int64_t(text.size()));
  const uint64_t total = reader.totalSize();
  const uint64_t position = std::min(reader.position(), total);
  const int64_t n = total == 0 ? 0 : int64_t(uint64_t(width) * position / total);
  text.append(size_t(n), '#');
  text.append(size_t(width - n), ' ');
  text += "]";
  set.status(text);
}

bool installPayload(PackageSet& set, PackageRecord& r, Transaction& t, PartReader& reader, bool relative) {
  showProgress(set, r, reader);
  const std::string directory = (relative ? "." : "") + packageDirectory(r.name);
  if (!reader.isOverlay() && !t.directoryUsable(directory)) {
    directoryInTheWay(set, r);
    return false;
  }
  // With "bootimage" set, the boot package is not unpacked: its file becomes
  // the boot image. A member's file is its bundle's, kept only for a bundle
  // with an image.
  const PackageRecord* bundle = r.bundle.name.empty() ? nullptr : set.find(r.bundle.name);
  r.bootImage = !relative && bootImageWanted() && (r.flags & FLAG_BOOT_IMAGE) && (!bundle || bundle->imageBased);
  // A package that keeps no image throws its copy away: the header already
  // says so, so the rest of its bytes are not copied (a bundle decides for
  // all its members).
  if (!bundle && r.bundle.name.empty() && !keepsImage(r)) reader.stopTee();
  int type = reader.currentType();
  if (type == PART_IMAGE_PAYLOAD) {
    while (reader.remaining() > 0) {
      showProgress(set, r, reader);
      if (!reader.skip(std::min<uint64_t>(reader.remaining(), IMAGE_SKIP_BLOCK_SIZE))) {
        brokenPackage(set, r);
        return false;
      }
    }
    type = reader.nextPart();
  }
  if (type == PART_FILES) {
    if (!r.bootImage && !unpack(set, r, t, reader, relative)) return false;
    type = reader.nextPart();
  }
  const int need = requiredSignatureLevel(r.name, r.version);
  if (type != PART_SIGNATURE || reader.verifyPackageSignature() < need) {
    brokenPackage(set, r);
    return false;
  }
  type = reader.nextPart();
  if (r.bundle.name.empty()) {
    if (type == PART_ARCHITECTURE) type = reader.nextPart();
    if (type == PART_DEPENDS && reader.partLength() == 0) type = reader.nextPart();
    if (type != -1 || reader.failed()) {
      brokenPackage(set, r);
      return false;
    }
  }
  if (!reader.isOverlay() && !set.writeInstalledState(r, t, relative)) return false;
  if (!relative) {
    if (((r.flags & FLAG_BOOT_IMAGE) || r.name == "branding") && !createEmpty(t, UPGRADED_MARKER)) {
      set.creationError(r, UPGRADED_MARKER);
      return false;
    }
    if (r.name == "branding" && !createEmpty(t, BRANDING_MARKER)) {
      set.creationError(r, BRANDING_MARKER);
      return false;
    }
  }
  if (r.bundle.name.empty()) set.status("");
  return true;
}

namespace {

// A package whose header could not be read: named as far as it is known.
void brokenHeader(PackageSet& set, PackageRecord& r, const DependencyEntry* bundleRef) {
  if (r.name.empty()) {
    set.error("installation failed: broken package header");
    return;
  }
  if (bundleRef) r.bundle = *bundleRef;
  brokenPackage(set, r);
}

PackageRecord* installPackage(PackageSet& set, Transaction& t, PartReader& reader, unsigned allowed,
                              const PackageStates& forced, const DependencyEntry* bundleRef, InstallOutcome* outcome) {
  auto c = std::make_unique<PackageRecord>();
  if (!parseHeaderParts(*c, reader) || (bundleRef && c->name == bundleRef->name)) {
    brokenHeader(set, *c, bundleRef);
    return nullptr;
  }
  unsigned result = checkInstall(set, *c, bundleRef ? ~0u : allowed | CHECK_CONFLICT);
  auto userState = forced.find(c->name);
  if (userState != forced.end()) {
    c->disabled = userState->second;
    c->userForced = true;
  } else {
    c->disabled = false;
  }
  if (result & CHECK_CONFLICT) {
    c->disabled = true;  // installed beside what it conflicts with, but disabled
    result &= ~unsigned(CHECK_CONFLICT);
  }
  allowed |= CHECK_UPGRADE;
  if (!(result & ~allowed) && !(result & CHECK_SAME)) {
    if (bundleRef) c->bundle = *bundleRef;
    if (!reader.isOverlay()) {
      if (PackageRecord* old = set.find(c->name)) {
        // A member listed by its bundle's kept image would come back from
        // that image, over what replaced it.
        const PackageRecord* holder = old->bundle.name.empty() ? nullptr : set.find(old->bundle.name);
        if (holder && holder->isBundle && !holder->path.empty() && holder->path == old->path &&
            !(bundleRef && bundleRef->name == holder->name)) {
          set.error("can not install %s: %s is part of bundle %s", nameVersion(*c).c_str(), old->name.c_str(),
                    nameVersion(*holder).c_str());
          return nullptr;
        }
        set.removePackageFiles(*old, t);
        set.take(old);
      }
    }
    if (!installPayload(set, *c, t, reader, false)) return nullptr;
    PackageRecord* installed = c.get();
    set.records.push_back(std::move(c));
    apply(set, t, 0);
    if (outcome) {
      outcome->installed = true;
      if (keepsImage(*installed)) outcome->imageDirectory = packageDirectory(installed->name);
      outcome->boot = installed->bootImage;
    }
    return installed;
  }
  PackageRecord* installed = set.find(c->name);
  if (bundleRef) {
    // The member check printed nothing: say why a member that is not
    // installed already is refused.
    if (!installed) (void)checkInstall(set, *c, allowed | CHECK_CONFLICT);
    int type;
    do type = reader.nextPart();
    while (type != PART_HEADER && type != -1);
    return installed;
  }
  if ((result & CHECK_SAME) && (allowed & CHECK_SAME) && installed) {
    set.status(std::string(78, ' '));
    set.status("");
    set.info("installed %s%s", c->disabled ? "(disabled) " : "", nameVersion(*c).c_str());
    return installed;
  }
  return (result & CHECK_SAME) ? installed : nullptr;
}

// A bundle: its header, the disable list and the image payload (files carry
// these two in either order), then its members.
int installBundle(PackageSet& set, Transaction& t, PartReader& reader, unsigned allowed, const PackageStates& forced,
                  InstallOutcome& outcome) {
  auto b = std::make_unique<PackageRecord>();
  if (!parseHeaderParts(*b, reader)) {
    brokenHeader(set, *b, nullptr);
    return 1;
  }
  if (!b->depends.empty() || !b->provides.empty() || !b->conflicts.empty()) {
    set.error("installation of %s failed: a bundle cannot carry dependencies, provides or conflicts",
              nameVersion(*b).c_str());
    return 1;
  }
  std::vector<DependencyEntry> disableList;
  for (bool image = false, disable = false;;) {
    const int type = reader.currentType();
    if (type == PART_IMAGE_PAYLOAD && !image) {
      image = b->imageBased = true;
    } else if (type == PART_DISABLE_LIST && !disable) {
      disable = true;
      if (!readEntryList(reader, disableList)) {
        brokenPackage(set, *b);
        return 1;
      }
    } else {
      break;
    }
    reader.nextPart();
  }
  const unsigned check = checkInstall(set, *b, allowed);
  if (check & ~(allowed | CHECK_UPGRADE | CHECK_SAME)) return 2;
  if (check & CHECK_SAME) {
    // The same bundle again is done, as a single package is (reported as
    // already installed, or as installed with --reinstall): nothing is
    // installed and what it keeps stays as it is.
    if (allowed & CHECK_SAME) set.info("installed %s", nameVersion(*b).c_str());
    return 0;
  }
  if (PackageRecord* old = set.find(b->name)) {
    set.removePackageFiles(*old, t);
    set.take(old);
  }
  if (!t.directoryUsable(packageDirectory(b->name))) {
    directoryInTheWay(set, *b);
    return 1;
  }
  if (!set.writeInstalledState(*b, t, false)) return 1;
  const DependencyEntry ref{b->name, b->version, b->version, 0};
  const std::string shown = nameVersion(*b);
  const bool imageBased = b->imageBased;
  std::set<std::string> oldMembers;
  for (const auto& r : set.records)
    if (r->bundle.name == b->name) oldMembers.insert(r->name);
  set.records.push_back(std::move(b));

  for (const DependencyEntry& e : disableList) {
    if (forced.count(e.name)) continue;
    auto carrier = std::make_unique<PackageRecord>();
    carrier->conflictCarrier = true;
    carrier->architecture.clear();
    carrier->conflicts.push_back({e.name, 0, 0, 0});
    set.records.push_back(std::move(carrier));
  }
  int members = 0;
  bool boot = false;
  while (reader.currentType() == PART_HEADER) {
    InstallOutcome member;
    PackageRecord* installed = installPackage(set, t, reader, allowed, forced, &ref, &member);
    if (!installed) return 2;
    oldMembers.erase(installed->name);
    ++members;
    boot |= member.boot;
  }
  if (reader.currentType() == PART_ARCHITECTURE) reader.nextPart();
  if (reader.currentType() != -1 || reader.failed()) {
    set.error("installation of %s failed: broken package", shown.c_str());
    return 2;
  }
  if (members == 0) {
    set.error("installation of %s failed: broken package", shown.c_str());
    return 3;
  }
  for (const std::string& name : oldMembers)
    if (PackageRecord* r = set.find(name)) r->action = ACTION_UNINSTALL;
  apply(set, t, 0);
  set.status("");
  outcome.installed = true;
  if (imageBased) outcome.imageDirectory = packageDirectory(ref.name);
  outcome.boot = boot;
  return 0;
}

}  // namespace

int installFromStream(PackageSet& set, Transaction& t, ByteSource& input, unsigned allowed,
                      const PackageStates& forced, ByteSink* tee, InstallOutcome* outcome) {
  InstallOutcome ignored;
  if (!outcome) outcome = &ignored;
  *outcome = InstallOutcome();
  PartReader reader;
  const int type = reader.open(input, true, tee) ? reader.nextPart(INSTALL_PARTS) : -1;
  if (type != PART_BUNDLE_HEADER) {
    if (type != PART_HEADER) {
      set.error("installation failed: not a package");
      return 1;
    }
    return installPackage(set, t, reader, allowed, forced, nullptr, outcome) ? 0 : 1;
  }
  return installBundle(set, t, reader, allowed, forced, *outcome);
}

void keepImageCopy(Transaction& t, const std::string& copy, const InstallOutcome& outcome) {
  if (outcome.installed && !outcome.imageDirectory.empty())
    placeImage(t, copy, outcome.imageDirectory, outcome.boot);
  else
    unlink(copy.c_str());
}

void placeImage(Transaction& t, const std::string& imageFile, const std::string& directory, bool boot) {
  const std::string destination = directory + "image";
  if (boot) {
    t.move(BOOT_IMAGE, imageFile);
    t.link(destination, BOOT_IMAGE);
  } else {
    t.move(destination, imageFile);
  }
}

namespace {

// The post-install log is this engine's own file: anything else in its place
// (a FIFO that would stop the run, a link that would send the writes
// elsewhere) is replaced by a new log.
FILE* openLog(const char* mode) {
  struct stat st;
  if (lstat(POSTLOG, &st) == 0 && !S_ISREG(st.st_mode)) unlink(POSTLOG);
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (mode[0] == 'a' ? O_APPEND : O_TRUNC);
  int fd = open(POSTLOG, flags, 0644);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, mode);
  if (!f) close(fd);
  return f;
}

bool& logRewritten() {
  static bool rewritten = false;
  return rewritten;
}

std::vector<std::unique_ptr<PackageRecord>> scanDirectory(PackageSet& set, const std::string& directory) {
  std::vector<std::unique_ptr<PackageRecord>> found;
  std::vector<std::string> paths = vl::listDirectory(directory.substr(0, directory.size() - 1), false, false);
  // The same candidates in the same order on every file system.
  std::sort(paths.begin(), paths.end());
  for (const std::string& path : paths) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const bool packageFile = name.size() > 4 && (name.compare(name.size() - 4, 4, ".vpk") == 0 ||
                                                 name.compare(name.size() - 4, 4, ".kpk") == 0);
    if (!packageFile) continue;
    auto record = std::make_unique<PackageRecord>();
    if (!scanPackageFile(path, *record)) {
      set.error("broken package %s", name.c_str());
      continue;
    }
    found.push_back(std::move(record));
  }
  return found;
}

// Every dependency has a provider that stays enabled: a package disabled
// for want of one is not enabled again.
bool dependenciesMet(const PackageSet& set, const PackageRecord& r) {
  for (const DependencyEntry& e : r.depends)
    if (providerState(providers(set, e, true)) != 0) return false;
  return true;
}

}  // namespace

UpgradeResult upgrade(PackageSet& set, Transaction& t, unsigned allowed) {
  std::optional<uint32_t> limit;
  if (vl::fileExists(DOWNGRADE_FILE)) {
    // The lowest version accepted; 0 (any) when no number can be read.
    std::string text, word, why;
    uint32_t value = 0, unused = 0;
    if (readMetaFile(DOWNGRADE_FILE, META_SMALL_LIMIT, text, why) == MetaRead::BROKEN)
      set.warning("%s: %s", DOWNGRADE_FILE, why.c_str());
    if (!firstWordOf(text, word) || !parseVersionText(word + " 0", value, unused)) value = 0;
    limit = value;
    allowed |= CHECK_DOWNGRADE;
  }
  std::vector<std::unique_ptr<PackageRecord>> candidates;
  if (!vl::fileExists(IGNORE_DOWNLOADS)) candidates = scanDirectory(set, DOWNLOAD_DIRECTORY);
  if (candidates.empty()) candidates = scanDirectory(set, FLASH_UPGRADE_DIRECTORY);
  if (candidates.empty()) candidates = scanDirectory(set, VAR_UPGRADE_DIRECTORY);
  candidates = selectCandidates(set, std::move(candidates), limit, true);

  PackageStates forced;
  std::set<std::string> keep;
  for (const auto& r : set.records) {
    if (r->userForced) forced[r->name] = r->disabled;
    if (!r->disabled && !r->conflictCarrier) {
      keep.insert(r->name);
      for (const DependencyEntry& p : r->provides) keep.insert(p.name);
    }
  }
  if (!candidates.empty()) prepareLog(set);

  UpgradeResult done;
  auto cancel = [&] {
    t.cancel();
    done = UpgradeResult();
    done.cancelled = true;
    return done;
  };
  for (const auto& candidate : candidates) {
    int fd = vl::openRegularFile(candidate->path);
    if (fd < 0) continue;  // unreadable: skipped silently
    FdSource input(fd);
    InstallOutcome outcome;
    int result = installFromStream(set, t, input, allowed, forced, nullptr, &outcome);
    close(fd);
    if (result != 0) {
      set.error("upgrade cancelled: %s could not be installed", candidate->path.c_str());
      return cancel();
    }
    // Installed, or found installed already: either way the file must go,
    // or it would be offered again at every run.
    done.processed.push_back(candidate->path);
    if (!outcome.installed) continue;
    if (!outcome.imageDirectory.empty()) placeImage(t, candidate->path, outcome.imageDirectory, outcome.boot);
    done.installed.push_back(nameVersion(*candidate));
  }

  std::vector<PackageRecord*> reenable;
  for (const std::string& name : keep) {
    PackageRecord* r = findByNameOrProvides(set, name);
    if (r && r->disabled && !findConflicting(set, *r) && dependenciesMet(set, *r) &&
        std::find(reenable.begin(), reenable.end(), r) == reenable.end())
      reenable.push_back(r);
  }
  for (PackageRecord* r : reenable) {
    const std::string shown = nameVersion(*r);
    set.status("enabling " + shown + "...");
    set.markEnabled(*r, t);
    set.info("enabled %s", shown.c_str());
    done.changesReported = true;
  }
  bool any = false;
  for (const auto& r : set.records) any |= !r->conflictCarrier;
  if (!any) {
    set.error("router installation failed!!!");
    return cancel();
  }
  return done;
}

void prepareLog(PackageSet& set) {
  std::vector<std::string> previous;
  std::string text, why;
  if (readMetaFile(POSTLOG, POSTLOG_LIMIT, text, why) == MetaRead::BROKEN)
    set.warning("the previous post-install log is dropped: %s", why.c_str());
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    // A run that died after reserving the file leaves zero bytes.
    line.erase(std::remove(line.begin(), line.end(), '\0'), line.end());
    if (!line.empty()) previous.push_back(line);
  }
  set.log.insert(set.log.begin(), previous.begin(), previous.end());
  FILE* f = openLog("w");
  if (!f) return;
  const bool written = fwrite(std::string(4096, '\0').data(), 1, 4096, f) == 4096;
  if (fclose(f) == 0 && written) logRewritten() = true;
}

void writeLog(PackageSet& set) {
  FILE* f = nullptr;
  if (logRewritten()) {
    f = openLog("w");
  } else {
    if (set.log.empty()) return;
    f = openLog("a");
  }
  sync();
  if (!f) return;
  for (const std::string& line : set.log) fprintf(f, "%s\n", line.c_str());
  fclose(f);
}

int installImage(PackageSet& set, ByteSource& input, const PackageStates& forced) {
  static constexpr const char* kImage = "/flash/image";
  // A child cut short by a crash leaves its package whole or absent: the
  // next one finishes or drops what it began.
  switch (finishInterruptedCommit()) {
    case InterruptedCommit::FINISHED: set.info("finished an interrupted installation"); break;
    case InterruptedCommit::FAILED: set.error("an interrupted installation could not be finished"); break;
    case InterruptedCommit::DROPPED: set.warning("a damaged installation journal was dropped"); break;
    case InterruptedCommit::NONE: break;
  }
  set.openRepository(set.quiet, DEFAULT_ARCHITECTURE);
  Transaction t;
  int fd = open(kImage, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    printf("ERROR: could not open image\n");
    fflush(stdout);
    drain(input);  // the sender must not meet a broken pipe
    return -1;
  }
  FdSink tee(fd);
  InstallOutcome outcome;
  int result = installFromStream(set, t, input, CHECK_UPGRADE, forced, &tee, &outcome);
  drain(input);
  close(fd);
  if (result != 0) {
    // A package that failed leaves nothing: not its files, not its image,
    // not the deletion of the version it was to replace.
    t.cancel();
    unlink(kImage);
    return result;
  }
  keepImageCopy(t, kImage, outcome);
  return t.commit() == 0 ? 0 : 1;
}

}  // namespace pkg
