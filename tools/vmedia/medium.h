// The two installation media: a CD-ROM image (ISO 9660, isolinux) and a
// hard-disk medium (a whole-disk FAT file system, syslinux) that is written
// onto the target disk and installs itself there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vmedia/boot_files.h"
#include "tools/common/package_check.h"

namespace vmedia {

struct MediumRequest {
  std::string output;
  std::vector<std::string> packages;
  std::string defaultSelection;  // a defpacks file, or empty
  std::string label;
  BootFiles boot;
  tools::PackageRules rules;
  // The hard-disk medium only.
  std::string autorun;
  std::string bootRecord;  // the "mbr" file; empty: the installer's own boot program
  bool choose = false;
  bool vm = false;
  uint64_t size = 0;       // 0: as much as the files need
};

// SOURCE_DATE_EPOCH when set, else now: every date the medium carries.
[[nodiscard]] bool mediumTime(uint32_t& time);

// Each writes the medium only after every input passed its checks; a refused
// or failed medium leaves no output file. False after the message.
[[nodiscard]] bool writeCdMedium(const MediumRequest& request);
[[nodiscard]] bool writeHardDiskMedium(const MediumRequest& request);
// A directory with what a machine booted over the network needs: the
// kernel, the network stage's initramfs ("/TYPE" "net", no storage drivers)
// and the loader configuration (pxelinux.cfg/default).
[[nodiscard]] bool writeNetworkBootTree(const MediumRequest& request);

}  // namespace vmedia
