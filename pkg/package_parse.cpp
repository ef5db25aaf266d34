#include "pkg/package_parse.h"

#include "runtime/fileutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "pkg/names.h"

namespace pkg {
namespace {

std::string nameField(const uint8_t* field) {
  size_t length = strnlen(reinterpret_cast<const char*>(field), NAME_SIZE);
  return std::string(reinterpret_cast<const char*>(field), length);
}

bool readText(PartReader& reader, std::string& text) {
  if (reader.remaining() > MAX_TEXT_PART) return false;
  text.resize(size_t(reader.remaining()));
  return reader.readExact(text.data(), text.size());
}

}  // namespace

bool readEntryList(PartReader& reader, std::vector<DependencyEntry>& list) {
  uint8_t count[ENTRY_COUNT_SIZE];
  if (!reader.readExact(count, sizeof count)) return false;
  for (unsigned n = loadLe16(count); n > 0; --n) {
    uint8_t entry[ENTRY_SIZE];
    if (!reader.readExact(entry, sizeof entry)) return false;
    DependencyEntry e;
    e.name = nameField(entry + ENTRY_NAME_OFFSET);
    if (!isValidPackageName(e.name)) return false;
    e.minimum = loadLe32(entry + ENTRY_MINIMUM_OFFSET);
    e.maximum = loadLe32(entry + ENTRY_MAXIMUM_OFFSET);
    e.priority = int32_t(loadLe32(entry + ENTRY_PRIORITY_OFFSET));
    list.push_back(std::move(e));
  }
  return true;
}

bool parseHeaderParts(PackageRecord& record, PartReader& reader) {
  const int type = reader.currentType();
  if (type != PART_HEADER && type != PART_BUNDLE_HEADER) return false;
  record.isBundle = type == PART_BUNDLE_HEADER;
  uint8_t header[HEADER_FULL_SIZE];
  if (!reader.readExact(header, HEADER_BASE_SIZE)) return false;
  // The name becomes a directory of the database and of /flash/x/.
  const std::string name = nameField(header + HEADER_NAME_OFFSET);
  if (!isValidPackageName(name)) return false;
  record.name = name;
  record.version = loadLe32(header + HEADER_VERSION_OFFSET);
  record.buildTime = loadLe32(header + HEADER_BUILD_TIME_OFFSET);
  record.flags = reader.readExact(header + HEADER_FLAGS_OFFSET, 4) ? loadLe32(header + HEADER_FLAGS_OFFSET) : 0;

  int current = reader.nextPart();
  auto textPart = [&](int partType, std::string& text) {
    if (current != partType) return true;
    if (!readText(reader, text)) return false;
    current = reader.nextPart();
    return true;
  };
  auto listPart = [&](int partType, std::vector<DependencyEntry>& list) {
    if (current != partType) return true;
    if (!readEntryList(reader, list)) return false;
    current = reader.nextPart();
    return true;
  };
  record.architecture = DEFAULT_ARCHITECTURE;
  if (!textPart(PART_TEXT_B, record.textB)) return false;
  if (!textPart(PART_ARCHITECTURE, record.architecture)) return false;
  if (!textPart(PART_TEXT_A, record.textA)) return false;
  if (!textPart(PART_NOTE, record.note)) return false;
  if (!listPart(PART_DEPENDS, record.depends)) return false;
  if (!listPart(PART_PROVIDES, record.provides)) return false;
  if (!listPart(PART_CONFLICTS, record.conflicts)) return false;
  if (current == PART_IMAGE_PAYLOAD) record.imageBased = true;
  return !reader.failed();
}

bool scanPackageStream(ByteSource& input, uint64_t sizeOnDisk, PackageRecord& record) {
  PartReader reader;
  bool ok = reader.open(input, true) && sizeOnDisk == reader.totalSize() && reader.nextPart(SCAN_PARTS) >= 0 &&
            parseHeaderParts(record, reader);
  if (ok && record.isBundle) {
    if (reader.currentType() == PART_IMAGE_PAYLOAD) reader.nextPart();
    while (ok && reader.currentType() == PART_HEADER) {
      auto member = std::make_unique<PackageRecord>();
      ok = parseHeaderParts(*member, reader);
      if (ok) record.members.push_back(std::move(member));
      if (ok && reader.currentType() == PART_IMAGE_PAYLOAD) reader.nextPart();
    }
    ok = ok && !record.members.empty();
  }
  record.totalSize = reader.totalSize();
  record.overlay = reader.isOverlay();
  return ok;
}

bool scanPackageFile(const std::string& path, PackageRecord& record) {
  record.path = path;
  // A FIFO or a device among the candidates must not stop the run.
  int fd = vl::openRegularFile(path);
  if (fd < 0) return false;
  struct stat st;
  bool ok = false;
  if (fstat(fd, &st) == 0) {
    FdSource input(fd);
    ok = scanPackageStream(input, uint64_t(st.st_size), record);
  }
  close(fd);
  return ok;
}

}  // namespace pkg
