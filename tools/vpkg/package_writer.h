// Writes package files part by part, keeping the same running digest the
// reader keeps (SHA-1, SHA-256 from a switch part on, restarted at each
// package header), so that a signature part signs exactly what a reader will
// check. The file header's length is patched when the file is closed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "crypto/hash.h"
#include "pkg/package_format.h"
#include "tools/vpkg/keyfile.h"

namespace vpkg {

enum class SignatureScheme { NONE, OLDER, ED25519 };

class PackageWriter {
 public:
  PackageWriter() = default;
  ~PackageWriter();
  PackageWriter(const PackageWriter&) = delete;
  PackageWriter& operator=(const PackageWriter&) = delete;

  // Creates (truncates) the file and writes a file header with a placeholder length.
  [[nodiscard]] bool open(const std::string& path, uint32_t magic = pkg::PACKAGE_MAGIC);
  [[nodiscard]] bool part(uint16_t type, const std::string& payload);
  // A part whose payload is copied from an open file, size bytes from its current offset.
  [[nodiscard]] bool partFromFile(uint16_t type, FILE* source, uint64_t size);
  // A part header with any length, followed by exactly the given bytes (for
  // tests that forge lengths).
  [[nodiscard]] bool partWithLength(uint16_t type, uint32_t length, const std::string& bytes);
  // PART_SIGNATURE over the digest so far. ED25519 writes a 132-byte block
  // carrying both signatures, OLDER the 68-byte block, NONE a 132-byte block
  // of zeros. payloadLength, if not 0, cuts or pads the payload with zeros.
  [[nodiscard]] bool signature(SignatureScheme scheme, const PrivateKey* key, size_t payloadLength = 0);
  // Bytes copied verbatim and not hashed (the parts of a member package).
  [[nodiscard]] bool raw(const void* data, size_t n);
  // Patches the length field and closes; false if any write failed.
  [[nodiscard]] bool close();
  // Overrides the length written into the file header (tests).
  void forceLength(uint32_t length) { forcedLength_ = length, lengthForced_ = true; }

  const std::string& path() const { return path_; }

 private:
  bool emit(const void* data, size_t n, bool hash);
  void partHeader(uint16_t type, uint32_t length);

  FILE* out_ = nullptr;
  std::string path_;
  bool ok_ = true;
  uint64_t written_ = 0;
  cipher::SHA1 sha1_;
  cipher::SHA256 sha256_;
  cipher::Hash* active_ = &sha1_;
  bool lengthForced_ = false;
  uint32_t forcedLength_ = 0;
};

// The payload of a header part: name, version, build time, 8 zero bytes, flags.
std::string headerPayload(const std::string& name, uint32_t version, uint32_t buildTime, uint32_t flags,
                          bool withFlags = true);

struct ListEntry {
  std::string name;
  uint32_t minimum = 0;
  uint32_t maximum = 0;
  int32_t priority = 0;
};
std::string entryListPayload(const std::vector<ListEntry>& entries);

// One file entry of a PART_FILES stream: its data from a file on disk, or
// given bytes when sourcePath is empty.
struct FileSpec {
  std::string path;  // as stored
  uint16_t mode = pkg::FILE_TYPE_REGULAR | 0644;
  bool skipMarker = false;
  std::string sourcePath;
  std::string bytes;
  uint64_t size() const;
};

// Compresses the entries into a temporary file (zlib, level 9), streaming
// file data; the result is rewound and ready for partFromFile. Prints the
// reason and returns nullptr on failure.
FILE* compressFileEntries(const std::vector<FileSpec>& files, uint64_t& compressedSize);

}  // namespace vpkg
