// What every medium boots: the kernel, an initramfs whose /init is the
// installer's init (with the module tree at the paths of init's lists), and
// the loader's configuration that joins them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vmedia {

struct BootFiles {
  std::string init;                  // the static init program
  std::string kernel;                // a bzImage the loader can start
  std::string modules;               // a module tree: /lib/modules/<release>
  std::vector<std::string> preload;  // inserted by a stage before init, relative to the tree
  std::string console = "ttyS0";     // ttyS0 or tty0
  std::string type;                  // the text of "/TYPE"; none when empty
  bool hardDiskInstall = false;      // init is started with "-hdd-install"
  // The storage, USB and FAT drivers of init's lists; a network medium gets
  // them from the server's driver package instead.
  bool listedModules = true;
};

// The kernel and module tree the VM kit fetches, and the modules that
// distribution kernel needs before init's own lists can load.
std::string distributionKernelDirectory();
std::vector<std::string> distributionPreload();
// The network card qemu emulates, for a network medium of that kernel.
inline constexpr const char* DISTRIBUTION_NETWORK_DRIVER = "kernel/drivers/net/ethernet/intel/e1000/e1000.ko";

// False with a message when an input is missing.
[[nodiscard]] bool checkBootFiles(const BootFiles& boot);

// The medium's initramfs, reproducible for one time stamp.
[[nodiscard]] bool writeInitramfs(const BootFiles& boot, const std::string& output, uint32_t time);

// isolinux.cfg / syslinux.cfg / pxelinux.cfg/default: no prompt, the kernel
// at boot/vmlinuz, the initramfs at boot/initrd.img, below root: "/" on a
// disc or disk, "" over TFTP (names relative to the server's directory).
std::string loaderConfiguration(const BootFiles& boot, const std::string& root = "/");

}  // namespace vmedia
