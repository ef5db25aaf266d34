#include "tools/vmedia/boot_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "init/flow/modules.h"
#include "runtime/fileutil.h"
#include "runtime/system.h"
#include "tools/vmedia/initramfs.h"

namespace vmedia {

namespace {

constexpr const char* kBusybox = "/bin/busybox";

bool missing(const std::string& what, const std::string& path, const std::string& hint) {
  fprintf(stderr, "vmedia: %s %s is missing%s\n", what.c_str(), path.c_str(), hint.c_str());
  return false;
}

std::string releaseOf(std::string modules) {
  while (modules.size() > 1 && modules.back() == '/') modules.pop_back();
  return std::filesystem::path(modules).filename().string();
}

bool isBzImage(const std::string& kernel) {
  char magic[4] = {};
  vl::Fd fd(open(kernel.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.valid() && pread(fd.get(), magic, sizeof magic, 0x202) == ssize_t(sizeof magic) &&
         memcmp(magic, "HdrS", sizeof magic) == 0;
}

// A module of init's lists wherever the tree has it: at the listed path, or
// (for the early network driver, which lies outside "kernel/") anywhere.
void addListedModules(Initramfs& image, const std::string& tree, const std::string& target, bool lists) {
  for (const char* const* list : {flow::StorageModules, flow::UsbModules, flow::FatModules})
    for (const char* const* m = list; lists && *m; ++m)
      if (vl::fileExists(tree + "/" + *m, S_IFREG)) image.addFile(target + *m, 0644, tree + "/" + *m);
  const std::string early = flow::EARLY_NETWORK_MODULE;
  std::string found = tree + "/" + early;
  if (!vl::fileExists(found, S_IFREG)) {
    found.clear();
    const std::string name = std::filesystem::path(early).filename().string();
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(tree, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
      if (it->path().filename() == name && it->is_regular_file(error)) {
        found = it->path().string();
        break;
      }
  }
  if (!found.empty()) image.addFile(target + early, 0644, found);
}

// The distribution kernel's own needs, then process 1 handed to init with
// the arguments the loader gave.
std::string stageScript(const BootFiles& boot, const std::string& target) {
  std::string s = "#!/bin/busybox sh\n/bin/busybox mount -t devtmpfs devtmpfs /dev\n";
  for (const std::string& m : boot.preload) s += "/bin/busybox insmod /" + target + m + "\n";
  s += "/bin/busybox umount /dev\nexec /init \"$@\"\n";
  return s;
}

}  // namespace

std::string distributionKernelDirectory() {
  const char* cache = getenv("QV_VM_CACHE");
  return (cache && *cache ? std::string(cache) : std::string(QV_SOURCE_DIR) + "/build/vm") + "/kernel";
}

std::vector<std::string> distributionPreload() {
  // Its ext2 and ext3 are served by ext4, its SCSI disk driver needs the
  // t10-pi chain, vfat needs nls_ascii and ISO 9660 is in no list of init's.
  return {"kernel/drivers/scsi/scsi_common.ko", "kernel/crypto/crct10dif_common.ko", "kernel/lib/crc-t10dif.ko",
          "kernel/lib/crc64.ko",                "kernel/lib/crc64-rocksoft.ko",      "kernel/block/t10-pi.ko",
          "kernel/drivers/cdrom/cdrom.ko",      "kernel/fs/isofs/isofs.ko",          "kernel/lib/crc16.ko",
          "kernel/fs/mbcache.ko",               "kernel/crypto/crc32c_generic.ko",   "kernel/fs/jbd2/jbd2.ko",
          "kernel/fs/ext4/ext4.ko",             "kernel/fs/nls/nls_ascii.ko"};
}

bool checkBootFiles(const BootFiles& boot) {
  const std::string fetch = " (bash scripts/vm/kit.sh fetches the distribution kernel; or give --kernel and --modules)";
  if (!vl::fileExists(boot.init, S_IFREG))
    return missing("init program", boot.init, " (build the i386 preset, or give --init)");
  if (!vl::fileExists(boot.kernel, S_IFREG)) return missing("kernel", boot.kernel, fetch);
  // The loaders start a bzImage: its setup header carries "HdrS" (an ELF
  // kernel, say vmlinux, would leave a medium that does not boot).
  if (!isBzImage(boot.kernel)) {
    fprintf(stderr, "vmedia: %s: not a kernel a boot loader can start (no bzImage header)\n", boot.kernel.c_str());
    return false;
  }
  if (!vl::fileExists(boot.modules, S_IFDIR)) return missing("module tree", boot.modules, fetch);
  bool ok = true;
  for (const std::string& m : boot.preload)
    if (!vl::fileExists(boot.modules + "/" + m, S_IFREG)) ok = missing("preloaded module", boot.modules + "/" + m, "");
  if (!boot.preload.empty() && !vl::fileExists(kBusybox, S_IFREG))
    ok = missing("stage shell", kBusybox, " (Debian's busybox-static runs the preload stage)");
  if (boot.console != "ttyS0" && boot.console != "tty0") {
    fprintf(stderr, "vmedia: --console is ttyS0 or tty0, not %s\n", boot.console.c_str());
    ok = false;
  }
  return ok;
}

bool writeInitramfs(const BootFiles& boot, const std::string& output, uint32_t time) {
  Initramfs image;
  for (const char* d : {"dev", "proc", "sys", "flash", "ram", "floppy"}) image.addDirectory(d);
  image.addCharacterDevice("dev/console", 0600, 5, 1);  // the kernel's console before any /dev is mounted
  image.addFile("init", 0755, boot.init);
  if (!boot.type.empty()) image.addText("TYPE", 0644, boot.type + "\n");
  const std::string target = "lib/modules/" + releaseOf(boot.modules) + "/";
  addListedModules(image, boot.modules, target, boot.listedModules);
  if (!boot.preload.empty()) {
    for (const std::string& m : boot.preload) image.addFile(target + m, 0644, boot.modules + "/" + m);
    image.addFile("bin/busybox", 0755, kBusybox);
    image.addText("stage", 0755, stageScript(boot, target));
  }
  std::string why;
  if (!image.write(output, time, why)) {
    fprintf(stderr, "vmedia: initramfs: %s\n", why.c_str());
    return false;
  }
  struct stat st;
  const long long size = stat(output.c_str(), &st) == 0 ? (long long)st.st_size : 0;
  printf("vmedia: initramfs: %zu entries, %lld KiB compressed\n", image.size(), size >> 10);
  return true;
}

std::string loaderConfiguration(const BootFiles& boot, const std::string& root) {
  std::string append = "initrd=" + root + "boot/initrd.img console=" + boot.console;
  if (boot.console == "ttyS0") append += ",115200";
  if (!boot.preload.empty()) append += " rdinit=/stage";
  append += " quiet loglevel=1 panic=-1";
  // After "--" the words are init's arguments; initrd= must come before it.
  if (boot.hardDiskInstall) append += " -- -hdd-install";
  std::string s;
  if (boot.console == "ttyS0") s += "SERIAL 0 115200\n";
  s += "PROMPT 0\nTIMEOUT 0\nDEFAULT linux\nLABEL linux\n  LINUX " + root + "boot/vmlinuz\n  APPEND " + append + "\n";
  return s;
}

}  // namespace vmedia
