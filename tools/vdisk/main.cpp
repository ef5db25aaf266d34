// vdisk: makes disk images the way the installer prepares disks.
//
//   vdisk partition IMAGE
//       writes the installer's boot record: its boot program and partition
//       table (one partition under 128 MiB, else a 32 MiB boot partition and
//       a data partition from sector 65537).
//   vdisk format PATH [--title TITLE] [--label LABEL]
//       formats a partition device, loop device or image file as the
//       installer does (ext2, with an ext3 journal from 16,383 blocks on),
//       printing the installer's percentage line.
//   vdisk install DISK.img PACKAGE... [--size SIZE] [--autorun FILE] [--keep-from OLD.img]
//       a whole installed disk image, as an installation from a medium writes it.
#include <cstdio>
#include <cstring>
#include <string>

#include "init/disk/ext2_formatter.h"
#include "init/disk/partition_table.h"
#include "tools/common/size_text.h"
#include "tools/vdisk/disk_install.h"

namespace {

const char kHelp[] =
    "usage: vdisk partition IMAGE\n"
    "       vdisk format PATH [--title TITLE] [--label LABEL]\n"
    "       vdisk install DISK.img PACKAGE... [--size SIZE] [--autorun FILE] [--keep-from OLD.img]\n"
    "\n"
    "partition: writes the installer's boot record on a disk or disk image: the\n"
    "boot program (kept from the old sector 0 when it carries a boot signature)\n"
    "and the partition table (one partition under 128 MiB; otherwise a 32 MiB\n"
    "boot partition from sector 1 and a data partition from sector 65537).\n"
    "\n"
    "format: writes the installer's ext2 file system (4 KiB blocks, an ext3\n"
    "journal on 16,383 blocks or more) on a partition, loop device or image\n"
    "file, showing \"TITLE NN%\" as it goes (default title \"Formatting\",\n"
    "label \"system\"). Only metadata is written; free space is left as it is.\n"
    "\n"
    "install: a ready disk image for a virtual machine, written by the code the\n"
    "installer runs on the router: the boot record, both file systems, the\n"
    "packages (in dependency order) with their database, the REBOOT marker, and\n"
    "/rw/autorun.scr when --autorun is given. SIZE: bytes, or with K, M, G, T\n"
    "(default 1G). --keep-from keeps the configuration of an installed disk image\n"
    "(store, branding, wireless data, packages the user disabled), as a\n"
    "reinstallation that keeps the old configuration does. The installed\n"
    "system's post-install programs are not run on the build host. Needs root:\n"
    "the new file systems are mounted in a private mount namespace, over loop\n"
    "devices of the image alone.\n";

int usage() {
  fputs(kHelp, stderr);
  return 2;
}

int installCommand(int argc, char** argv) {
  vdisk::DiskInstallRequest request;
  request.image = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--size" && i + 1 < argc) {
      if (!tools::parseSize(argv[++i], request.size)) {
        fprintf(stderr, "vdisk: --size %s: not a size\n", argv[i]);
        return 2;
      }
    } else if (a == "--autorun" && i + 1 < argc) {
      request.autorun = argv[++i];
    } else if (a == "--keep-from" && i + 1 < argc) {
      request.keepFrom = argv[++i];
    } else if (a.empty() || a[0] == '-') {
      return usage();
    } else {
      request.packages.push_back(a);
    }
  }
  return vdisk::installDiskImage(request) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(kHelp, stdout);
      return 0;
    }
  if (argc == 3 && strcmp(argv[1], "partition") == 0) {
    if (!disk::writePartitionTable(argv[2])) {
      fprintf(stderr, "vdisk: %s: could not create partitions\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (argc >= 3 && strcmp(argv[1], "install") == 0) return installCommand(argc, argv);
  if (argc < 3 || strcmp(argv[1], "format") != 0) return usage();
  std::string path, title = "Formatting", label = "system";
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if ((a == "--title" || a == "--label") && i + 1 < argc) {
      (a == "--title" ? title : label) = argv[++i];
    } else if (a[0] != '-' && path.empty()) {
      path = a;
    } else {
      return usage();
    }
  }
  if (path.empty()) return usage();
  if (!disk::formatWithProgress(path, title, label)) {
    fprintf(stderr, "vdisk: %s: formatting failed\n", path.c_str());
    return 1;
  }
  return 0;
}
