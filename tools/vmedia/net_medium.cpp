// The boot files of a network installation: what a loader fetches (the
// kernel and the network stage's initramfs) and its configuration.
#include <cstdio>

#include "tools/vmedia/medium.h"
#include "tools/vmedia/staging.h"

namespace vmedia {

bool writeNetworkBootTree(const MediumRequest& request) {
  uint32_t time = 0;
  if (!request.packages.empty()) {
    fprintf(stderr, "vmedia: a network boot tree carries no packages: the server sends them\n");
    return false;
  }
  if (!checkBootFiles(request.boot) || !mediumTime(time)) return false;
  const std::string& dir = request.output;
  return makeDirectory(dir + "/boot") && makeDirectory(dir + "/pxelinux.cfg") &&
         copyFile(request.boot.kernel, dir + "/boot/vmlinuz") &&
         writeInitramfs(request.boot, dir + "/boot/initrd.img", time) &&
         writeFile(dir + "/pxelinux.cfg/default", loaderConfiguration(request.boot));
}

}  // namespace vmedia
