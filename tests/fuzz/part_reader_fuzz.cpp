// libFuzzer target for everything that reads untrusted package bytes: the
// upgrade scan, the header parse, the signature check and the unpacking of
// file entries (into memory), with the tee on.
#include <cstddef>
#include <cstdint>

#include "pkg/byte_stream.h"
#include "pkg/file_entries.h"
#include "pkg/package_parse.h"
#include "pkg/part_reader.h"

namespace {

class CountingSink final : public pkg::ByteSink {
 public:
  bool write(const void*, size_t n) override {
    bytes += n;
    return true;
  }
  uint64_t bytes = 0;
};

// The installation's walk: bundles, members, files, signatures.
void installWalk(const uint8_t* data, size_t size) {
  using namespace pkg;
  MemorySource input(data, size);
  CountingSink tee;
  PartReader reader;
  if (!reader.open(input, true, &tee)) return;
  int type = reader.nextPart(INSTALL_PARTS);
  while (type >= 0) {
    if (type == PART_HEADER || type == PART_BUNDLE_HEADER) {
      PackageRecord record;
      if (!parseHeaderParts(record, reader)) return;
      type = reader.currentType();
      continue;
    }
    if (type == PART_DISABLE_LIST) {
      std::vector<DependencyEntry> list;
      if (!readEntryList(reader, list)) return;
    } else if (type == PART_IMAGE_PAYLOAD) {
      if (!reader.skipRest(IMAGE_SKIP_BLOCK_SIZE)) return;
    } else if (type == PART_FILES) {
      FileEntryStream stream(reader);
      FileEntry entry;
      uint8_t block[FILE_DATA_BLOCK_SIZE];
      while (stream.next(entry))
        if (entry.written())
          while (stream.readData(block, sizeof block) > 0) {
          }
    } else if (type == PART_SIGNATURE) {
      reader.verifyPackageSignature();
    }
    type = reader.nextPart();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  installWalk(data, size);
  pkg::MemorySource scanInput(data, size);
  pkg::PackageRecord record;
  (void)pkg::scanPackageStream(scanInput, size, record);
  // The installed-image re-read uses its own set of accepted parts.
  pkg::MemorySource imageInput(data, size);
  pkg::PartReader reader;
  if (reader.open(imageInput, false) && reader.nextPart(pkg::INSTALLED_IMAGE_PARTS) >= 0) {
    pkg::PackageRecord installed;
    (void)pkg::parseHeaderParts(installed, reader);
  }
  return 0;
}
