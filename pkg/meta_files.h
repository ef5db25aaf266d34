// The text files of the package database and of the running system's
// schedules, read as untrusted input: a crash, a bad sector or a careless
// script may have left anything there. The parsers are pure (text in,
// values out); the loaders read with a size limit and never block.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "pkg/dependency.h"
#include "pkg/package_record.h"

namespace pkg {

// Size limits, each far above anything the engine or the running system
// writes: a file over its limit is broken, never read into memory.
inline constexpr size_t META_SMALL_LIMIT = 64 * 1024;          // version, bundle, enabled, disabled, schedules
inline constexpr size_t META_LIST_LIMIT = 4 * 1024 * 1024;     // deps, provides, conflicts
inline constexpr size_t META_FILES_LIMIT = 16 * 1024 * 1024;   // the files list
inline constexpr size_t MANIFEST_LIMIT = 16 * 1024 * 1024;     // a saved transaction
inline constexpr size_t POSTLOG_LIMIT = 1024 * 1024;           // the post-install log

// "version buildtime": two unsigned 32-bit decimals; what follows is ignored.
[[nodiscard]] bool parseVersionText(std::string_view text, uint32_t& version, uint32_t& buildTime);
// Whitespace-separated fields, three per entry (four with priorities). An
// entry cut short, a number out of range or a NUL byte fails.
[[nodiscard]] bool parseListText(std::string_view text, bool withPriority, std::vector<DependencyEntry>& list);
// One recorded path per line; empty lines are skipped, an unterminated last
// line (a write cut short) is not taken. A NUL byte fails.
[[nodiscard]] bool parseFilesText(std::string_view text, std::set<std::string>& files);
// The first blank-separated word; empty when there is none. A NUL byte fails.
[[nodiscard]] bool firstWordOf(std::string_view text, std::string& word);
// The first line without its newline. A NUL byte fails.
[[nodiscard]] bool firstLineOf(std::string_view text, std::string& line);

// A schedule's text: the action it asks for (ACTION_NONE for anything but
// "uninstall", "enable" or "disable" as its first word).
PackageAction scheduledAction(std::string_view text);

// A database or schedule file: its content when it is a regular file within
// the limit. missing tells a file that is not there (not an error for the
// optional files). why gets the reason of a failure.
enum class MetaRead { OK, MISSING, BROKEN };
MetaRead readMetaFile(const std::string& path, size_t limit, std::string& text, std::string& why);

}  // namespace pkg
