#include "tests/support/tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "tests/support/sandbox.h"

namespace qvtest {

std::vector<std::string> treeListing(const std::string& root, const std::vector<std::string>& ignore) {
  std::vector<std::string> lines;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec); !ec && it != std::filesystem::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string path = it->path().string();
    const std::string relative = path.substr(root.size());
    bool ignored = false;
    for (const std::string& prefix : ignore)
      if (relative == prefix || relative.compare(0, prefix.size() + 1, prefix + "/") == 0) ignored = true;
    if (ignored) continue;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    std::string line = relative + " " + std::to_string(st.st_mode) + " ";
    if (S_ISREG(st.st_mode)) {
      line += std::to_string(st.st_size) + " " + std::to_string(std::hash<std::string>()(readFile(path)));
    } else if (S_ISLNK(st.st_mode)) {
      line += std::filesystem::read_symlink(path, ec).string();
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

namespace {

std::vector<std::string> listingWithOwners(const std::string& root, const std::vector<std::string>& ignore,
                                           bool accessTimes) {
  std::vector<std::string> out;
  for (const std::string& line : treeListing(root, ignore)) {
    const std::string path = root + line.substr(0, line.find(' '));
    struct stat st;
    lstat(path.c_str(), &st);
    std::string detailed = line + " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
                           std::to_string(st.st_mtime);
    if (accessTimes) detailed += " " + std::to_string(st.st_atime);
    out.push_back(detailed);
  }
  return out;
}

}  // namespace

std::vector<std::string> detailedTreeListing(const std::string& root, const std::vector<std::string>& ignore) {
  return listingWithOwners(root, ignore, false);
}

std::vector<std::string> detailedTreeListingWithAccessTimes(const std::string& root,
                                                            const std::vector<std::string>& ignore) {
  struct statvfs fs;
  if (statvfs(root.c_str(), &fs) != 0 || !(fs.f_flag & ST_NOATIME))
    ADD_FAILURE() << root << " is not on a noatime mount: listing it would move the access times it lists";
  return listingWithOwners(root, ignore, true);
}

}  // namespace qvtest
