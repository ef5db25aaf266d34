// vmedia: installation media that a PC boots by itself.
//
//   vmedia cd OUT.iso PACKAGE... [--defpacks FILE] [COMMON...]
//   vmedia hdd OUT.img PACKAGE... --autorun FILE [--choose] [--vm] [--mbr FILE]
//              [--defpacks FILE] [--size SIZE] [COMMON...]
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/signature.h"
#include "tools/common/size_text.h"
#include "tools/vmedia/medium.h"
#include "runtime/fileutil.h"

namespace {

const char kHelp[] =
    "usage: vmedia cd OUT.iso PACKAGE... [--defpacks FILE] [COMMON...]\n"
    "       vmedia hdd OUT.img PACKAGE... --autorun FILE [--choose] [--vm] [--mbr FILE]\n"
    "                  [--defpacks FILE] [--size SIZE] [COMMON...]\n"
    "       vmedia net DIR [COMMON...]\n"
    "\n"
    "cd: a BIOS-bootable ISO 9660 image (isolinux): the kernel, an initramfs whose\n"
    "/init is the installer's init for a CD-ROM installation, and the packages (and\n"
    "defpacks) at the top of the disc.\n"
    "\n"
    "hdd: a whole-disk FAT image without partition table that boots by itself\n"
    "(syslinux) into the unattended hard-disk installation: write it onto the\n"
    "target disk. It holds autorun.scr (the new system's first configuration),\n"
    "the packages, defpacks, the CHOOSE marker (--choose: the operator picks the\n"
    "packages on the menu) and the VM marker (--vm: a virtual machine), and the\n"
    "mbr file written to the disk's sector 0 (default: the installer's own boot\n"
    "program). SIZE (bytes, or with K, M, G): default what the files need.\n"
    "\n"
    "net: the network boot tree in DIR, for a TFTP server (vserve --netboot DIR):\n"
    "pxelinux.0, ldlinux.c32, pxelinux.cfg/default, boot/vmlinuz and boot/initrd.img\n"
    "(init with \"/TYPE\" \"net\" and only the network stage's drivers: the storage\n"
    "drivers come from the server's driver package).\n"
    "\n"
    "COMMON:\n"
    "  --init FILE          the static init program (default: the i386 build's)\n"
    "  --kernel FILE        a bzImage (default: the distribution kernel the VM kit fetches)\n"
    "  --modules DIR        its module tree, /lib/modules/RELEASE (default: that kernel's)\n"
    "  --preload MODULE...  modules, relative to the tree, that a small stage inserts\n"
    "                       before init runs as process 1, up to the next option (default:\n"
    "                       what the distribution kernel needs, when its tree is used)\n"
    "  --keys FILE          the 64-byte public key file the packages are checked against\n"
    "                       (default: the keys built into the installer)\n"
    "  --label TEXT         the volume label (default QUORVANE, FAT: QVMEDIUM)\n"
    "  --console ttyS0|tty0 where the installer talks (default ttyS0, 115200 baud)\n"
    "  --allow-unsigned     let packages without a signature on (test media only)\n"
    "\n"
    "Every package is checked first as the installer reads it: it must parse,\n"
    "verify at the level the system requires, be built for i386, and have a name\n"
    "no other package of the medium has; every defpacks name must be a package of\n"
    "the medium. A refusal writes nothing. With SOURCE_DATE_EPOCH set, the same\n"
    "inputs give the same bytes.\n";

int usage(const char* why) {
  if (why) fprintf(stderr, "vmedia: %s\n", why);
  fputs(kHelp, stderr);
  return 2;
}

// The tree of the one release the VM kit unpacked.
std::string firstDirectory(const std::string& parent) {
  std::vector<std::string> found;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(parent, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    if (it->is_directory(error)) found.push_back(it->path().string());
  std::sort(found.begin(), found.end());
  return found.empty() ? std::string() : found.front();
}

bool readKeys(const std::string& path, cipher::PackageKeys& keys) {
  const std::string bytes = vl::fileExists(path, S_IFREG) ? vl::readFileText(path) : std::string();
  if (bytes.size() != sizeof keys) {
    fprintf(stderr, "vmedia: %s: not a public key file (64 bytes)\n", path.c_str());
    return false;
  }
  memcpy(&keys, bytes.data(), sizeof keys);
  return true;
}

struct Parsed {
  vmedia::MediumRequest request;
  bool kernelGiven = false, modulesGiven = false, preloadGiven = false;
  std::string keysPath;
};

// One option and its values; false with a message for a bad one.
bool parseOption(const std::string& kind, int argc, char** argv, int& i, Parsed& p) {
  vmedia::MediumRequest& r = p.request;
  const std::string a = argv[i];
  auto value = [&](std::string& into) {
    if (i + 1 >= argc) return false;
    into = argv[++i];
    return true;
  };
  if (a == "--defpacks") return value(r.defaultSelection);
  if (a == "--init") return value(r.boot.init);
  if (a == "--kernel") return (p.kernelGiven = true) && value(r.boot.kernel);
  if (a == "--modules") return (p.modulesGiven = true) && value(r.boot.modules);
  if (a == "--keys") return value(p.keysPath);
  if (a == "--label") return value(r.label);
  if (a == "--console") return value(r.boot.console);
  if (a == "--allow-unsigned") return (r.rules.allowUnsigned = true);
  if (a == "--preload") {
    p.preloadGiven = true;
    while (i + 1 < argc && strncmp(argv[i + 1], "--", 2) != 0) r.boot.preload.push_back(argv[++i]);
    return true;
  }
  if (kind != "hdd") return false;
  if (a == "--autorun") return value(r.autorun);
  if (a == "--mbr") return value(r.bootRecord);
  if (a == "--choose") return (r.choose = true);
  if (a == "--vm") return (r.vm = true);
  if (a == "--size") {
    std::string text;
    return value(text) && tools::parseSize(text, r.size);
  }
  return false;
}

void applyDefaults(const std::string& kind, Parsed& p) {
  vmedia::MediumRequest& r = p.request;
  const std::string kernels = vmedia::distributionKernelDirectory();
  if (r.boot.init.empty()) r.boot.init = QV_DEFAULT_INIT;
  if (!p.kernelGiven) r.boot.kernel = kernels + "/bzImage";
  if (!p.modulesGiven) r.boot.modules = firstDirectory(kernels + "/root/lib/modules");
  if (r.boot.modules.empty()) r.boot.modules = kernels + "/root/lib/modules/RELEASE";
  if (!p.preloadGiven && !p.modulesGiven) {
    r.boot.preload = vmedia::distributionPreload();
    if (kind == "net") r.boot.preload.push_back(vmedia::DISTRIBUTION_NETWORK_DRIVER);
  }
  if (r.label.empty()) r.label = kind == "cd" ? "QUORVANE" : "QVMEDIUM";
  r.boot.type = kind == "cd" ? "cdrom" : kind == "net" ? "net" : "";
  r.boot.listedModules = kind != "net";
  r.boot.hardDiskInstall = kind == "hdd";
}

}  // namespace

namespace vmedia {

bool mediumTime(uint32_t& time) {
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  if (!epoch || !*epoch) {
    time = uint32_t(::time(nullptr));
    return true;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = strtoull(epoch, &end, 10);
  if (errno || *end || value > UINT32_MAX) {
    fprintf(stderr, "vmedia: SOURCE_DATE_EPOCH is not a time in seconds: %s\n", epoch);
    return false;
  }
  time = uint32_t(value);
  return true;
}

}  // namespace vmedia

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0 || (i == 1 && strcmp(argv[i], "help") == 0)) {
      fputs(kHelp, stdout);
      return 0;
    }
  if (argc < 3) return usage(nullptr);
  const std::string kind = argv[1];
  if (kind != "cd" && kind != "hdd" && kind != "net") return usage(("no command " + kind).c_str());
  Parsed p;
  p.request.output = argv[2];
  if (p.request.output.empty() || p.request.output[0] == '-') return usage("the first argument is the output file");
  for (int i = 3; i < argc; ++i) {
    if (strncmp(argv[i], "--", 2) != 0) {
      p.request.packages.push_back(argv[i]);
    } else if (!parseOption(kind, argc, argv, i, p)) {
      return usage(("bad option or value: " + std::string(argv[i])).c_str());
    }
  }
  applyDefaults(kind, p);
  p.request.rules.keys = cipher::builtinPackageKeys();
  if (!p.keysPath.empty() && !readKeys(p.keysPath, p.request.rules.keys)) return 1;
  const bool written = kind == "cd"    ? vmedia::writeCdMedium(p.request)
                       : kind == "hdd" ? vmedia::writeHardDiskMedium(p.request)
                                       : vmedia::writeNetworkBootTree(p.request);
  if (!written) return 1;
  printf("vmedia: %s is ready\n", p.request.output.c_str());
  return 0;
}
