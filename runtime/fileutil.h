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

// What a bounded read found.
enum class ReadStatus { OK, MISSING, NOT_REGULAR, TOO_LARGE, FAILED };

// The whole content of a small file that something other than this program
// may have put there: only a regular file is read (a FIFO or a device is
// never opened for blocking reads), and one over limit bytes is not read at
// all. text is empty unless the answer is OK.
ReadStatus readBoundedFile(const std::string& path, size_t limit, std::string& text);
// Why a bounded read failed, as messages show it ("not a regular file", ...).
const char* readStatusText(ReadStatus status);

// Opens a file for reading only when it is a regular file, without blocking
// on a FIFO or a device: the descriptor, or -1 (errno EINVAL for another type).
int openRegularFile(const std::string& path);

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
