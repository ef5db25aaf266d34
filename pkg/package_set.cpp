#include "pkg/package_set.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "pkg/meta_files.h"
#include "pkg/package_parse.h"
#include "runtime/fileutil.h"
#include "runtime/version.h"
#include "runtime/zelmode.h"

namespace pkg {

std::string packageDirectory(const std::string& name) { return std::string(DATABASE_DIRECTORY) + name + "/"; }

std::string scheduleKey(const std::string& name) {
  std::string key;
  for (char c : name)
    if (isalnum(static_cast<unsigned char>(c)) || c == '-') key += c;
  return key;
}

PackageSet& PackageSet::instance() {
  static PackageSet* set = new PackageSet();  // never freed: it outlives every user
  return *set;
}

PackageSet::PackageSet() : flagged(vl::flaggedState), minimumVersion(vl::getMinZelVersion()) {}

namespace {

std::vector<std::string> directoryEntries(const std::string& directory, bool& opened, bool directoriesOnly = false) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  opened = dir != nullptr;
  if (!dir) return names;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    // A stray file among the package directories (an image kept by an older
    // version of this program) is no package.
    if (directoriesOnly && !vl::fileExists(directory + e->d_name, S_IFDIR)) continue;
    names.push_back(e->d_name);
  }
  closedir(dir);
  // The load order decides which of two conflicting packages gives way: the
  // same on every file system, whatever order the directory lists.
  std::sort(names.begin(), names.end());
  return names;
}

// The first word (or line) of an optional small file; empty when it is
// missing, and when it is broken (reported through why).
std::string firstWord(const std::string& path, std::string* why = nullptr) {
  std::string text, word, reason;
  if (readMetaFile(path, META_SMALL_LIMIT, text, reason) == MetaRead::OK && !firstWordOf(text, word))
    reason = path.substr(path.rfind('/') + 1) + " holds a NUL byte";
  if (why) *why = reason;
  return word;
}

std::string firstLine(const std::string& path) {
  std::string text, line, why;
  if (readMetaFile(path, META_SMALL_LIMIT, text, why) == MetaRead::OK) (void)firstLineOf(text, line);
  return line;
}

// Whether a file is there, of whatever type (never opened).
bool present(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string listText(const std::vector<DependencyEntry>& list, bool withPriority) {
  std::string text;
  for (const DependencyEntry& e : list) {
    text += e.name + " " + std::to_string(e.minimum) + " " + std::to_string(e.maximum);
    if (withPriority) text += " " + std::to_string(e.priority);
    text += "\n";
  }
  return text;
}

// Resolves a recorded file path to the file it names: paths recorded by an
// absolute installation already begin with "/flash/"; the others ("./bin/x",
// legacy "bin/x") are relative to /flash. Empty when the path would leave /flash.
std::string installedPath(const std::string& recorded) {
  std::string path = recorded.compare(0, 7, "/flash/") == 0 ? recorded : "/flash" + recorded;
  std::vector<std::string> parts;
  std::stringstream in(path);
  for (std::string part; std::getline(in, part, '/');) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return "";
      parts.pop_back();
    } else {
      parts.push_back(part);
    }
  }
  if (parts.size() < 2 || parts[0] != "flash") return "";
  std::string normal;
  for (const std::string& p : parts) normal += "/" + p;
  return normal;
}

}  // namespace

PackageStates readPackageStates(const std::string& database) {
  PackageStates states;
  bool opened = false;
  for (const std::string& name : directoryEntries(database, opened, true)) {
    const std::string d = database + (database.back() == '/' ? "" : "/") + name + "/";
    if (present(d + "enabled"))
      states[name] = false;
    else if (present(d + "disabled") && firstLine(d + "disabled").compare(0, 4, "user") == 0)
      states[name] = true;
  }
  return states;
}

bool PackageSet::loadImage(const std::string& entry, const std::string& imagePath) {
  // A FIFO or a device in place of an image would stop every run.
  int fd = vl::openRegularFile(imagePath);
  if (fd < 0) return false;
  FdSource input(fd);
  PartReader reader;
  auto record = std::make_unique<PackageRecord>();
  record->name = entry;
  record->path = imagePath;
  if (reader.open(input, false) && reader.nextPart(INSTALLED_IMAGE_PARTS) >= 0) {
    (void)parseHeaderParts(*record, reader);  // a failed parse still keeps the record
    if (record->isBundle) {
      while (reader.currentType() == PART_HEADER) {
        auto member = std::make_unique<PackageRecord>();
        // The image is the bundle's: the member only names where it came from.
        member->path = imagePath;
        if (!parseHeaderParts(*member, reader)) {
          // Reported, and passed over where the parts still show where the
          // next member starts (a failed parse may not have moved on).
          error("broken package %s: a member of bundle %s cannot be read", imagePath.c_str(), record->name.c_str());
          record->imageBroken = true;
          if (reader.failed()) break;
          int type;
          do type = reader.nextPart();
          while (type != PART_HEADER && type != -1);
          continue;
        }
        member->bundle = {record->name, record->version, record->version, 0};
        records.push_back(std::move(member));
      }
    }
  }
  close(fd);
  records.push_back(std::move(record));
  return true;
}

void PackageSet::openRepository(bool beQuiet, const std::string& arch) {
  quiet = beQuiet;
  architecture = arch;
  bool opened = false;
  std::vector<std::string> entries = directoryEntries(DATABASE_DIRECTORY, opened, true);
  if (!opened) {
    warning("could not open repo");
    return;
  }
  for (const std::string& entry : entries) loadImage(entry, packageDirectory(entry) + "image");
  for (const std::string& entry : directoryEntries(IMAGES_DIRECTORY, opened))
    loadImage(entry, std::string(IMAGES_DIRECTORY) + entry);
  for (auto& record : records) loadState(*record);
  std::vector<std::unique_ptr<PackageRecord>> legacy;
  for (const std::string& entry : directoryEntries(DATABASE_DIRECTORY, opened, true)) {
    if (findIndex(entry) >= 0) continue;
    legacy.push_back(std::make_unique<PackageRecord>());
    legacy.back()->name = entry;
  }
  // Whether a member stays depends on its bundle's record: bundles first.
  std::stable_partition(legacy.begin(), legacy.end(),
                        [](const auto& r) { return !vl::fileExists(packageDirectory(r->name) + "bundle"); });
  for (auto& record : legacy) {
    loadState(*record);
    records.push_back(std::move(record));
  }
}

int PackageSet::findIndex(const std::string& name) const {
  for (size_t i = 0; i < records.size(); ++i)
    if (records[i]->name == name) return int(i);
  return -1;
}

PackageRecord* PackageSet::find(const std::string& name) const {
  int i = findIndex(name);
  return i < 0 ? nullptr : records[size_t(i)].get();
}

void PackageSet::loadState(PackageRecord& r) {
  const std::string d = packageDirectory(r.name);
  std::string text, why;
  // Metadata that cannot be read makes the package one to uninstall; the
  // first reason found is the one told when that happens.
  auto broken = [&](const std::string& reason) {
    r.action = ACTION_UNINSTALL;
    if (r.uninstallReason.empty()) r.uninstallReason = reason;
  };
  if (r.version == 0) {
    switch (readMetaFile(d + "version", META_SMALL_LIMIT, text, why)) {
      case MetaRead::OK:
        if (!parseVersionText(text, r.version, r.buildTime)) broken("its version file is malformed");
        break;
      case MetaRead::MISSING: broken("it has no version file"); break;
      case MetaRead::BROKEN: broken("its " + why); break;
    }
    struct List {
      const char* name;
      bool withPriority;
      std::vector<DependencyEntry>& list;
    } lists[] = {{"deps", false, r.depends}, {"provides", true, r.provides}, {"conflicts", false, r.conflicts}};
    for (const List& l : lists) {
      const MetaRead read = readMetaFile(d + l.name, META_LIST_LIMIT, text, why);
      if (read == MetaRead::BROKEN) broken("its " + why);
      if (read == MetaRead::OK && !parseListText(text, l.withPriority, l.list)) broken(std::string("its ") + l.name + " file is malformed");
    }
    std::string bundle = firstWord(d + "bundle", &why);
    if (!why.empty()) broken("its " + why);
    if (!bundle.empty()) {
      r.bundle = {bundle, 0, 0, 0};
      // A member recorded by its own files belongs to a bundle kept the same
      // way (one without an image). A bundle with an image lists its members
      // itself, so a member it does not list, like one of a bundle that is
      // gone, cannot stay.
      // (A member its broken image cannot show stays as its files record it.)
      const PackageRecord* b = find(bundle);
      if (b && b->isBundle && (b->path.empty() || b->imageBroken))
        r.bundle.minimum = r.bundle.maximum = b->version;
      else
        r.action = ACTION_UNINSTALL;
    }
    r.isBundle = !present(d + "files");
  }
  // The files a package installed are recorded beside its image too: the
  // image does not list them. A bundle installs none of its own.
  if (!r.isBundle) {
    const MetaRead read = readMetaFile(d + "files", META_FILES_LIMIT, text, why);
    std::string reason = read == MetaRead::BROKEN ? "its " + why : "";
    if (read == MetaRead::OK && !parseFilesText(text, r.files)) reason = "its files list holds a NUL byte";
    if (!reason.empty()) {
      r.files.clear();
      if (r.path.empty())
        broken(reason);
      else  // the image still tells what the package is; only its files are unknown
        warning("the files of %s are not known: %s", r.name.c_str(), reason.c_str());
    }
  }
  r.userForced = false;
  if (present(d + "disabled")) {
    r.disabled = true;
    r.userForced = firstLine(d + "disabled") != "auto";
  } else {
    r.disabled = false;
    r.userForced = present(d + "enabled");
  }
  if (isPlaceholder(r)) return;
  const std::string schedulePath = std::string(SCHEDULE_DIRECTORY) + scheduleKey(r.name) + "/schedule";
  if (readMetaFile(schedulePath, META_SMALL_LIMIT, text, why) == MetaRead::BROKEN) {
    warning("the schedule of %s is ignored: its %s", r.name.c_str(), why.c_str());
    text.clear();
  }
  const PackageAction scheduled = scheduledAction(text);
  if (scheduled == ACTION_NONE) return;
  r.action = scheduled;
  // Enabling or disabling is the user's choice from then on.
  if (scheduled != ACTION_UNINSTALL) r.userForced = true;
}

namespace {

bool writeFile(Transaction& t, const std::string& path, uint64_t hint, const std::string& text) {
  NewFile f = t.newFile(path, hint, 0644);
  return f.write(text) && f.close();
}

}  // namespace

bool PackageSet::writeInstalledState(PackageRecord& r, Transaction& t, bool relative) {
  if (r.conflictCarrier) return true;  // never written
  const std::string d = (relative ? "." : "") + packageDirectory(r.name);
  // Header flag bit 1 would leave a package that keeps no image without any
  // source of metadata: meta files are written whenever no image is kept. A
  // member keeps none of its own (only its bundle may).
  if (!keepsImage(r) || !r.bundle.name.empty()) {
    struct MetaFile {
      const char* name;
      const char* shown;
      uint64_t hint;
      bool write;
      std::string text;
    } meta[] = {
        {"version", "meta/version", 32, true, std::to_string(r.version) + " " + std::to_string(r.buildTime) + "\n"},
        {"deps", "meta/deps", 1024, true, listText(r.depends, false)},
        {"provides", "meta/provides", 1024, !r.provides.empty(), listText(r.provides, true)},
        {"conflicts", "meta/conflicts", 1024, !r.conflicts.empty(), listText(r.conflicts, false)},
        {"bundle", "meta/bundle", 16, !r.bundle.name.empty(), r.bundle.name + "\n"},
    };
    for (const MetaFile& m : meta) {
      if (!m.write) {
        // An upgrade must not keep what the old version listed.
        t.remove(d + m.name);
        continue;
      }
      if (!writeFile(t, d + m.name, m.hint, m.text)) {
        creationError(r, m.shown);
        return false;
      }
    }
  }
  // Always, image or not: what the package installed must be removable. A
  // bundle's directory must not keep the list of a package it replaced.
  if (r.isBundle) {
    t.remove(d + "files");
  } else {
    std::string files;
    for (const std::string& path : r.files) files += (path[0] == '/' ? path.substr(1) : path) + "\n";
    if (!writeFile(t, d + "files", 4096, files)) {
      creationError(r, "meta/files");
      return false;
    }
  }
  if (r.disabled) {
    if (!writeFile(t, d + "disabled", 8, r.userForced ? "user\n" : "auto\n")) {
      creationError(r, d + "disabled");
      return false;
    }
  } else {
    t.remove(d + "disabled");
  }
  if (!r.disabled && r.userForced) {
    if (!writeFile(t, d + "enabled", 8, "user\n")) {
      creationError(r, d + "enabled");
      return false;
    }
  } else {
    t.remove(d + "enabled");
  }
  return true;
}

void PackageSet::markDisabled(PackageRecord& r, Transaction& t) {
  if (r.conflictCarrier) return;  // its empty name is the database root
  const std::string d = packageDirectory(r.name);
  t.remove(d + "enabled");
  if (!writeFile(t, d + "disabled", 8, r.userForced ? "user\n" : "auto\n")) creationError(r, d + "disabled");
  r.disabled = true;
  r.action = ACTION_NONE;
}

void PackageSet::markEnabled(PackageRecord& r, Transaction& t) {
  if (r.conflictCarrier) return;
  const std::string d = packageDirectory(r.name);
  t.remove(d + "disabled");
  if (r.userForced) {
    if (!writeFile(t, d + "enabled", 8, "user\n")) creationError(r, d + "enabled");
  } else {
    t.remove(d + "enabled");
  }
  r.disabled = false;
  r.action = ACTION_NONE;
}

void PackageSet::removePackageFiles(PackageRecord& r, Transaction& t) {
  if (r.conflictCarrier) return;  // it has nothing on disk; its directory would be the database
  // What another installed package lists is its file too (a files list
  // cannot be trusted to name only its own package's files).
  std::set<std::string> others;
  for (const auto& other : records)
    if (other.get() != &r && !other->conflictCarrier)
      for (const std::string& recorded : other->files) others.insert(installedPath(recorded));
  for (const std::string& recorded : r.files) {
    const std::string path = installedPath(recorded);
    // Never outside /flash, and never over a file this transaction is putting
    // in place for another package.
    if (path.empty() || t.writes(path) || others.count(path)) continue;
    t.remove(path);
  }
  t.remove(packageDirectory(r.name));
  // A member's image is its bundle's, which the other members still need.
  if (!r.path.empty() && r.bundle.name.empty()) t.remove(r.path);
  struct stat st;
  if ((r.flags & FLAG_BOOT_IMAGE) && stat(BOOT_IMAGE, &st) == 0 && st.st_nlink == 1) t.remove(BOOT_IMAGE);
  r.files.clear();
  r.action = ACTION_NONE;
}

std::unique_ptr<PackageRecord> PackageSet::take(PackageRecord* record) {
  for (auto it = records.begin(); it != records.end(); ++it)
    if (it->get() == record) {
      std::unique_ptr<PackageRecord> owned = std::move(*it);
      records.erase(it);
      return owned;
    }
  return nullptr;
}

void PackageSet::status(const std::string& text) {
  if (quiet || text == statusText_) return;
  std::string line = "\033[?25l\r" + text;
  if (statusText_.size() > text.size()) line.append(statusText_.size() - text.size(), ' ');
  line += "\r\033[?25h";
  fwrite(line.data(), 1, line.size(), out);
  fflush(out);
  statusText_ = text;
}

void PackageSet::message(const char* prefix, bool clearStatus, const char* format, va_list args) {
  char text[256];
  vsnprintf(text, sizeof text, format, args);
  if (clearStatus) status("");
  if (quiet) return;
  const bool showing = !statusText_.empty();
  if (showing) fprintf(out, "\r%79s\r", "");
  std::string line = std::string(prefix) + text;
  fprintf(out, "%s\n", line.c_str());
  if (showing) {
    fputs(statusText_.c_str(), out);
    fflush(out);
  }
  log.push_back(line);
}

void PackageSet::error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message("ERROR: ", true, format, args);
  va_end(args);
}

void PackageSet::warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message("WARNING: ", false, format, args);
  va_end(args);
}

void PackageSet::info(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message("", true, format, args);
  va_end(args);
}

void PackageSet::creationError(const PackageRecord& r, const std::string& file) {
  const int e = errno;
  const std::string name = displayName(r);
  if (e == ENOSPC)
    error("installation of %s failed: disk is too small", name.c_str());
  else if (e == EIO)
    error("installation of %s failed: disk error", name.c_str());
  else
    error("installation of %s failed: could not create %s: %s", name.c_str(), file.c_str(), strerror(e));
}

void PackageSet::dumpPackages() {
  for (const auto& r : records) {
    if (r->conflictCarrier) continue;
    fprintf(out, "package <%s> version=%s\n", r->name.c_str(), vl::version2string(r->version).c_str());
    if (r->disabled) fputs("   disabled\n", out);
    if (r->userForced) fputs("   user-forced\n", out);
    fputs("  deps=\n", out);
    for (const DependencyEntry& e : r->depends)
      fprintf(out, "    <%s> min=%s max=%s\n", e.name.c_str(), vl::version2string(e.minimum).c_str(),
              vl::version2string(e.maximum).c_str());
    fputs("  files=\n", out);
    for (const std::string& f : r->files) fprintf(out, "    %s\n", f.c_str());
  }
  fputs("\n", out);
}

}  // namespace pkg
