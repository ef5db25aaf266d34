#include "tools/vpkg/inspect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pkg/package_parse.h"
#include "pkg/part_reader.h"

namespace vpkg {

using namespace pkg;

namespace {

constexpr PartTypeSet INSPECT_PARTS = {PART_HEADER, PART_TEXT_A, PART_DEPENDS, PART_FILES, PART_SIGNATURE,
                                       PART_ARCHITECTURE, PART_CONFLICTS, PART_BUNDLE_HEADER, PART_PROVIDES,
                                       PART_DISABLE_LIST, PART_IMAGE_PAYLOAD, PART_NOTE, PART_TEXT_B};

bool readPackage(PartReader& reader, const cipher::PackageKeys& keys, PackageReport& p, std::string& why,
                 const EntryHandler& onEntry) {
  if (!parseHeaderParts(p.record, reader)) {
    why = "broken package header";
    return false;
  }
  int type = reader.currentType();
  if (type == PART_IMAGE_PAYLOAD) {
    p.hasImage = true;
    p.imageSize = reader.partLength();
    type = reader.nextPart();
  }
  if (type == PART_FILES) {
    p.hasFiles = true;
    FileEntryStream stream(reader);
    FileEntry entry;
    while (stream.next(entry)) {
      p.entries.push_back({entry.mode, entry.skipMarker, entry.size, entry.path});
      if (onEntry && !onEntry(entry, stream)) {
        why = "cannot extract " + entry.path;
        return false;
      }
    }
    if (stream.truncated()) {
      why = "the file entries of " + p.record.name + " end inside an entry";
      return false;
    }
    type = reader.nextPart();
  }
  if (type == PART_SIGNATURE) {
    p.hasSignature = true;
    p.level = reader.verifyPackageSignature(keys);
    p.sha256 = reader.sha256Active();
    type = reader.nextPart();
  } else {
    p.sha256 = reader.sha256Active();
  }
  p.required = requiredSignatureLevel(p.record.name, p.record.version);
  while (type >= 0 && type != PART_HEADER) {
    p.trailer.push_back(type);
    type = reader.nextPart();
  }
  return true;
}

}  // namespace

bool inspectPackageFile(const std::string& path, const cipher::PackageKeys& keys, FileReport& report,
                        std::string& why, const EntryHandler& onEntry) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = "cannot open";
    return false;
  }
  struct stat st;
  fstat(fd, &st);
  report.sizeOnDisk = uint64_t(st.st_size);
  FdSource input(fd);
  PartReader reader;
  bool ok = reader.open(input, true);
  report.overlay = reader.isOverlay();
  report.totalSize = reader.totalSize();
  if (!ok) {
    why = "not a package file (unknown magic)";
  } else if (report.totalSize != report.sizeOnDisk) {
    why = "size " + std::to_string(report.sizeOnDisk) + " does not match the header's " +
          std::to_string(report.totalSize);
    ok = false;
  }
  int type = ok ? reader.nextPart(INSPECT_PARTS) : -1;
  if (ok && type == PART_BUNDLE_HEADER) {
    report.isBundle = true;
    if (!parseHeaderParts(report.bundle.record, reader)) {
      why = "broken bundle header";
      ok = false;
    }
    type = reader.currentType();
    // The image payload and the disable list, in either order.
    for (bool disable = false; ok;) {
      if (type == PART_DISABLE_LIST && !disable) {
        disable = true;
        if (!readEntryList(reader, report.disableList)) {
          why = "broken disable list";
          ok = false;
        }
      } else if (type == PART_IMAGE_PAYLOAD && !report.bundle.hasImage) {
        report.bundle.hasImage = true;
        report.bundle.imageSize = reader.partLength();
      } else {
        break;
      }
      type = reader.nextPart();
    }
  }
  while (ok && type == PART_HEADER) {
    PackageReport p;
    ok = readPackage(reader, keys, p, why, onEntry);
    report.packages.push_back(std::move(p));
    type = reader.currentType();
  }
  if (ok && reader.failed()) {
    why = "read error or truncated part";
    ok = false;
  }
  if (ok && type >= 0) {
    why = "unexpected part " + std::to_string(type);
    ok = false;
  }
  if (ok && report.packages.empty()) {
    why = report.isBundle ? "a bundle without members" : "no package header";
    ok = false;
  }
  close(fd);
  return ok;
}

}  // namespace vpkg
