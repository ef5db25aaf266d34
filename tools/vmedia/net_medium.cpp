// The boot tree of a network installation, served by TFTP: the PXE loader
// (pxelinux.0 and ldlinux.c32), its configuration, the kernel and the network
// stage's initramfs.
#include <cstdio>

#include "runtime/fileutil.h"
#include "tools/vmedia/medium.h"
#include "tools/vmedia/staging.h"

namespace vmedia {

namespace {

constexpr const char* kPxelinux = "/usr/lib/PXELINUX/pxelinux.0";
constexpr const char* kLdlinux = "/usr/lib/syslinux/modules/bios/ldlinux.c32";

bool haveLoader() { return haveLoaderFiles({kPxelinux, kLdlinux}, "pxelinux and syslinux-common"); }

}  // namespace

bool writeNetworkBootTree(const MediumRequest& request) {
  uint32_t time = 0;
  if (!request.packages.empty()) {
    fprintf(stderr, "vmedia: a network boot tree carries no packages: the server sends them\n");
    return false;
  }
  if (!haveLoader() || !checkBootFiles(request.boot) || !mediumTime(time)) return false;
  const std::string& dir = request.output;
  return makeDirectory(dir + "/boot") && makeDirectory(dir + "/pxelinux.cfg") &&
         copyFile(kPxelinux, dir + "/pxelinux.0") && copyFile(kLdlinux, dir + "/ldlinux.c32") &&
         copyFile(request.boot.kernel, dir + "/boot/vmlinuz") &&
         writeInitramfs(request.boot, dir + "/boot/initrd.img", time) &&
         writeFile(dir + "/pxelinux.cfg/default", loaderConfiguration(request.boot, ""));
}

}  // namespace vmedia
