// Reading the header-level parts of a package into a PackageRecord, and the
// scan of a candidate package file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pkg/dependency.h"
#include "pkg/package_record.h"
#include "pkg/part_reader.h"

namespace pkg {

// A text part longer than this fails the parse: texts are held whole, and a
// forged length must not make the reader allocate gigabytes.
inline constexpr uint64_t MAX_TEXT_PART = 1 << 20;

// The current part must be PART_HEADER or PART_BUNDLE_HEADER. Reads it and
// the optional header-level parts that follow, in their fixed order, moving
// on with the reader's accepted set. Ends with the current part on the first
// part that is not a header-level one (marking the record image-based when
// that is PART_IMAGE_PAYLOAD, which is left unread).
[[nodiscard]] bool parseHeaderParts(PackageRecord& record, PartReader& reader);

// One entry list: a 2-byte count, then 32-byte entries. False on a short read
// or a name that could not be a package name.
[[nodiscard]] bool readEntryList(PartReader& reader, std::vector<DependencyEntry>& list);

// Reads a candidate file of an upgrade directory: the header-level parts of
// the package, or of a bundle and each of its members. False for a broken
// file: an unknown magic, a size on disk that differs from the header's, a
// header that does not parse, or a bundle without members.
[[nodiscard]] bool scanPackageFile(const std::string& path, PackageRecord& record);
// The same on an open stream whose size on disk is known.
[[nodiscard]] bool scanPackageStream(ByteSource& input, uint64_t sizeOnDisk, PackageRecord& record);

}  // namespace pkg
