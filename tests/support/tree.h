// A listing of every path below a directory with its type, mode, size and a
// hash of its content, for checking that a failure left a tree untouched.
// Paths in ignore (relative to root, with a leading '/') are left out with
// everything below them.
#pragma once

#include <string>
#include <vector>

namespace qvtest {

std::vector<std::string> treeListing(const std::string& root, const std::vector<std::string>& ignore = {});
// The same with each path's owner, group and modification time. Access times
// are left out: the listing reads every file it hashes and every directory it
// walks, which on a file system that records accesses moves them as it goes
// (whether a read does depends on the mount, and on the clock crossing a second).
std::vector<std::string> detailedTreeListing(const std::string& root, const std::vector<std::string>& ignore = {});
// The detailed listing with each path's access time too, for a tree on a
// file system mounted noatime, where reading moves nothing; on any other the
// running test fails.
std::vector<std::string> detailedTreeListingWithAccessTimes(const std::string& root,
                                                            const std::vector<std::string>& ignore = {});

}  // namespace qvtest
