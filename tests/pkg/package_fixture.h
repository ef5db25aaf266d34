// Small packages written part by part for the reader's tests.
#pragma once

#include <string>
#include <vector>

#include "pkg/byte_stream.h"
#include "pkg/package_format.h"
#include "pkg/part_reader.h"
#include "tests/support/sandbox.h"
#include "tools/vpkg/keyfile.h"
#include "tools/vpkg/package_writer.h"

namespace qvtest {

// The repository's development key, which the test build embeds.
const vpkg::PrivateKey& developmentKey();

struct SmallPackage {
  std::string name = "demo";
  uint32_t version = 0x06316603;  // 6.49.3
  uint32_t flags = 0;
  bool sha256 = false;
  bool switchAfterHeader = false;
  vpkg::SignatureScheme scheme = vpkg::SignatureScheme::ED25519;
  size_t signatureLength = 0;  // 0: the scheme's block size
  std::vector<vpkg::FileSpec> files = {{"bin/hello", 0x8000 | 0755, false, "", "hello\n"}};
  std::string image;           // image payload when not empty
  std::vector<vpkg::ListEntry> depends = {{"base", 0x06286600, 0, 0}};
  std::string architecture;    // no architecture part when empty
  std::string note;
  std::string description;
  bool unknownPart = false;    // a part of type 7 between the depends and the files
};

// Writes the package and returns its bytes.
std::string writeSmallPackage(const std::string& path, const SmallPackage& wanted);

// Reads a whole file through a PartReader the way installation does and
// returns the signature level of its (last) package, or -1 when it is broken.
int installWalkLevel(const std::string& bytes);

}  // namespace qvtest
