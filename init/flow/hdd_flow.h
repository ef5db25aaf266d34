// The unattended install from a hard disk that was written, on another
// computer, as a FAT file system holding the packages and the first
// configuration: the medium and the target are one disk, so everything is
// read into memory before the disk is prepared.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "init/disk/drive_discovery.h"

namespace flow {

// One whole file in memory.
struct FileBuffer {
  std::vector<uint8_t> data;
  size_t position = 0;  // how far it has been sent
};

// The whole file: its size from fstat, read until all of it came (interrupted
// reads repeated). False when it cannot be opened, measured, allocated or
// read, or ends early (a file that shrank).
[[nodiscard]] bool readWholeFile(FileBuffer& buffer, const std::string& path);

// How the medium is tried on a device: mount it on /floppy as FAT.
using MediumMount = std::function<bool(const char* device)>;
bool mountFatMedium(const char* device);

// The first row of the table whose device mounts as FAT and carries
// "autorun.scr", tried pass after pass for about 20 seconds with the dotted
// "Looking for harddrives..." line; the medium stays mounted on /floppy.
[[nodiscard]] bool findMedium(disk::InstallTarget& target, const disk::HardDiskRow* table = disk::HardDiskTable,
                              const MediumMount& mount = mountFatMedium);

// The new system's first configuration in /flash/rw/autorun.scr (and, for a
// virtual machine, the empty /flash/rw/ENABLE_X86_64); false after the message.
[[nodiscard]] bool storeConfiguration(const FileBuffer& autorun, bool vm);

// True when the software was installed: init then reboots without asking.
bool runHardDiskInstall(disk::InstallTarget& target);

}  // namespace flow
