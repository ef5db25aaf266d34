#include "tests/pkg/package_fixture.h"

#include <cstring>

#include "pkg/file_entries.h"
#include "pkg/package_parse.h"

namespace qvtest {

const vpkg::PrivateKey& developmentKey() {
  static vpkg::PrivateKey key = [] {
    vpkg::PrivateKey k{};
    std::string bytes = readFile(QV_SOURCE_DIR "/keys/dev-private.key");
    if (bytes.size() == vpkg::PRIVATE_KEY_FILE_SIZE) memcpy(&k, bytes.data() + 8, sizeof k);
    return k;
  }();
  return key;
}

std::string writeSmallPackage(const std::string& path, const SmallPackage& wanted) {
  using namespace pkg;
  vpkg::PackageWriter w;
  bool ok = w.open(path);
  if (wanted.sha256 && !wanted.switchAfterHeader) ok = ok && w.part(PART_HASH_SWITCH, "");
  ok = ok && w.part(PART_HEADER, vpkg::headerPayload(wanted.name, wanted.version, 1700000000, wanted.flags));
  if (wanted.switchAfterHeader) ok = ok && w.part(PART_HASH_SWITCH, "ignored payload");
  if (!wanted.architecture.empty()) ok = ok && w.part(PART_ARCHITECTURE, wanted.architecture);
  if (!wanted.description.empty()) ok = ok && w.part(PART_TEXT_A, wanted.description);
  if (!wanted.note.empty()) ok = ok && w.part(PART_NOTE, wanted.note);
  if (!wanted.depends.empty()) ok = ok && w.part(PART_DEPENDS, vpkg::entryListPayload(wanted.depends));
  if (wanted.unknownPart) ok = ok && w.part(7, "an unknown part");
  if (!wanted.image.empty()) ok = ok && w.part(PART_IMAGE_PAYLOAD, wanted.image);
  uint64_t size = 0;
  FILE* files = vpkg::compressFileEntries(wanted.files, size);
  ok = ok && files && w.partFromFile(PART_FILES, files, size);
  if (files) fclose(files);
  ok = ok && w.signature(wanted.scheme, &developmentKey(), wanted.signatureLength);
  ok = w.close() && ok;
  return ok ? readFile(path) : std::string();
}

int installWalkLevel(const std::string& bytes) {
  using namespace pkg;
  MemorySource input(bytes.data(), bytes.size());
  PartReader reader;
  if (!reader.open(input, true)) return -1;
  int level = -1;
  int type = reader.nextPart(INSTALL_PARTS);
  while (type == PART_HEADER || type == PART_BUNDLE_HEADER) {
    PackageRecord record;
    if (!parseHeaderParts(record, reader)) return -1;
    type = reader.currentType();
    if (record.isBundle) {
      if (type == PART_DISABLE_LIST) type = reader.nextPart();
      if (type == PART_IMAGE_PAYLOAD) type = reader.nextPart();
      continue;
    }
    if (type == PART_IMAGE_PAYLOAD) type = reader.nextPart();
    if (type == PART_FILES) {
      FileEntryStream stream(reader);
      FileEntry entry;
      uint8_t block[FILE_DATA_BLOCK_SIZE];
      while (stream.next(entry))
        while (stream.readData(block, sizeof block) > 0) {
        }
      if (stream.truncated()) return -1;
      type = reader.nextPart();
    }
    if (type != PART_SIGNATURE) return -1;
    level = reader.verifyPackageSignature();
    type = reader.nextPart();
  }
  return type == -1 && !reader.failed() ? level : -1;
}

}  // namespace qvtest
