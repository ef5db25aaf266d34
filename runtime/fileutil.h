// Small file helpers shared by both programs, and the minimum system version
// that may be installed on this machine.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "runtime/version.h"

namespace vl {

// True when stat succeeds and, for a non-zero type (S_IFREG, S_IFDIR, ...),
// the file-type bits match it.
bool fileExists(const std::string& path, mode_t type = 0);

// The whole content; empty when the file cannot be opened. A read error ends
// the reading and keeps what was read so far.
std::string readFileText(const std::string& path);

// Creates or truncates the file and writes the text exactly as given.
[[nodiscard]] bool writeTextFile(const std::string& path, const std::string& text);

// Entries in the order the directory yields them, hidden ones skipped, each as
// directory + "/" + name. With recursion a sub-directory is replaced by its
// contents, and listed itself after them only when includeDirectories is set.
std::vector<std::string> listDirectory(const std::string& directory, bool recursive, bool includeDirectories);

// Whether a partition of the boot disk starts at sector 34 (after a GUID
// partition table), as sysfs tells.
bool hasPartitionAtSector34();

// "6.49.3" on machines with such a partition, else 0 (no minimum).
PackedVersion getMinZelVersion();

}  // namespace vl
