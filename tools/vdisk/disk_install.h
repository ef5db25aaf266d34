// A ready disk image: partitioned, formatted and installed on the build host
// by the code init runs on the router (boot record, formatter, the install
// child's image mode, the REBOOT marker), inside a private mount namespace.
// Only the installed system's post-install programs do not run here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vdisk {

struct DiskInstallRequest {
  std::string image;
  std::vector<std::string> packages;
  uint64_t size = 1ull << 30;
  std::string autorun;   // the new system's /rw/autorun.scr, or none
  std::string keepFrom;  // an installed disk image whose configuration is kept
};

// False after the message; the image is written only when all went well.
[[nodiscard]] bool installDiskImage(const DiskInstallRequest& request);

}  // namespace vdisk
