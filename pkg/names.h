// Checks on names and paths read from package files before anything turns
// them into paths: a package file is untrusted input until its signature
// has been checked, and parts of a bundle are never signed at all.
#pragma once

#include <string_view>

namespace pkg {

// 1 to 16 bytes of printable ASCII, no '/' or blank, and not "." or "..".
bool isValidPackageName(std::string_view name);

// A file entry's path: not empty, no NUL, newline or blank, no ".."
// component, at most 4095 bytes and no component over 255 bytes. A leading
// "/" is allowed.
bool isSafeEntryPath(std::string_view path);

}  // namespace pkg
