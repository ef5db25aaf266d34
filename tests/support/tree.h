// A listing of every path below a directory with its type, mode, size and a
// hash of its content, for checking that a failure left a tree untouched.
// Paths in ignore (relative to root, with a leading '/') are left out with
// everything below them.
#pragma once

#include <string>
#include <vector>

namespace qvtest {

std::vector<std::string> treeListing(const std::string& root, const std::vector<std::string>& ignore = {});
// The same with each path's owner, group, modification and access times.
std::vector<std::string> detailedTreeListing(const std::string& root, const std::vector<std::string>& ignore = {});

}  // namespace qvtest
