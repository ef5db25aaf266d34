// The hard-disk medium: a FAT file system on the whole disk (no partition
// table) that syslinux boots into "init -hdd-install". Its top directory holds
// what the hard-disk flow reads: autorun.scr, the packages, defpacks, the
// CHOOSE and VM markers and the mbr file.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "init/disk/partition_table.h"
#include "runtime/fileutil.h"
#include "tools/common/size_text.h"
#include "tools/vmedia/medium.h"
#include "tools/vmedia/staging.h"

namespace vmedia {

namespace {

constexpr const char* kLdlinux = "/usr/lib/syslinux/modules/bios/ldlinux.c32";
constexpr uint64_t MiB = 1ull << 20;
// Below this a FAT16 medium does not hold a kernel and an initramfs; above
// this FAT16 has no cluster size left.
constexpr uint64_t kSmallestMedium = 20 * MiB;
constexpr uint64_t kLargestFat16 = 2048 * MiB;
// What the file system and the loader take besides the files: boot sector,
// two FATs, root directory, ldlinux.sys.
constexpr uint64_t kOverhead = 2 * MiB;
constexpr uint64_t kLargestCluster = 32 << 10;

uint64_t fileBytes(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// Each file takes whole clusters; the largest cluster is assumed, so that
// the estimate holds for every size mkfs.vfat may choose.
uint64_t neededBytes(const std::vector<std::string>& files) {
  uint64_t total = kOverhead;
  for (const std::string& f : files) total += (fileBytes(f) + kLargestCluster - 1) / kLargestCluster * kLargestCluster;
  return std::max(total, kSmallestMedium);
}

// The installer's own boot program, so that the installed disk boots.
std::string builtinBootRecord() {
  std::string sector(disk::SECTOR_SIZE, '\0');
  memcpy(sector.data(), disk::bootProgram, std::min(disk::bootProgramSize, disk::MBR_PROGRAM_AREA));
  sector[disk::MBR_SIGNATURE_OFFSET] = char(0x55);
  sector[disk::MBR_SIGNATURE_OFFSET + 1] = char(0xAA);
  return sector;
}

bool checkBootRecord(const std::string& path) {
  if (!vl::fileExists(path, S_IFREG)) {
    fprintf(stderr, "vmedia: %s: no such file\n", path.c_str());
    return false;
  }
  const std::string bytes = vl::readFileText(path);
  if (bytes.size() != disk::SECTOR_SIZE) {
    fprintf(stderr, "vmedia: %s: an mbr file is one sector of 512 bytes, this one has %zu\n", path.c_str(), bytes.size());
    return false;
  }
  if (uint8_t(bytes[510]) != 0x55 || uint8_t(bytes[511]) != 0xAA) {
    fprintf(stderr, "vmedia: %s: no boot signature (55 AA) at its end: the installer would put its own boot "
                    "program in place of it\n", path.c_str());
    return false;
  }
  return true;
}

bool checkRequest(const MediumRequest& request, std::vector<tools::MediumPackage>& packages) {
  bool ok = tools::checkPackages(request.packages, request.rules, packages);
  if (!request.defaultSelection.empty()) ok = tools::checkDefaultSelection(request.defaultSelection, packages) && ok;
  ok = checkBootFiles(request.boot) && ok;
  if (request.autorun.empty()) {
    fprintf(stderr, "vmedia: a hard-disk medium needs --autorun FILE: autorun.scr is what marks it as the medium\n");
    ok = false;
  } else if (!vl::fileExists(request.autorun, S_IFREG)) {
    fprintf(stderr, "vmedia: %s: no such file\n", request.autorun.c_str());
    ok = false;
  }
  if (!request.bootRecord.empty()) ok = checkBootRecord(request.bootRecord) && ok;
  if (!vl::fileExists(kLdlinux)) {
    fprintf(stderr, "vmedia: the loader file %s is missing (Debian's syslinux-common)\n", kLdlinux);
    ok = false;
  }
  if (request.label.empty() || request.label.size() > 11) {
    fprintf(stderr, "vmedia: a FAT label has 1 to 11 characters\n");
    ok = false;
  }
  return ok;
}

}  // namespace

bool writeHardDiskMedium(const MediumRequest& request) {
  std::vector<tools::MediumPackage> packages;
  uint32_t time = 0;
  if (!checkRequest(request, packages) || !mediumTime(time)) return false;
  printf("vmedia: %zu packages checked\n", packages.size());
  ScratchDirectory scratch;
  if (!scratch.ok()) return false;
  const std::string s = scratch.path();
  const std::string mbr = request.bootRecord.empty() ? s + "/mbr" : request.bootRecord;
  if (!writeFile(s + "/syslinux.cfg", loaderConfiguration(request.boot)) ||
      !writeInitramfs(request.boot, s + "/initrd.img", time) ||
      (request.bootRecord.empty() && !writeFile(s + "/mbr", builtinBootRecord())) || !writeFile(s + "/CHOOSE", "") ||
      !writeFile(s + "/VM", ""))
    return false;

  // The top directory, under the names the hard-disk flow reads.
  std::vector<std::pair<std::string, std::string>> top = {{request.autorun, "autorun.scr"}, {mbr, "mbr"}};
  for (const tools::MediumPackage& p : packages) top.push_back({p.path, p.fileName});
  if (!request.defaultSelection.empty()) top.push_back({request.defaultSelection, "defpacks"});
  if (request.choose) top.push_back({s + "/CHOOSE", "CHOOSE"});
  if (request.vm) top.push_back({s + "/VM", "VM"});
  // syslinux puts ldlinux.sys (about the size of ldlinux.c32) beside ldlinux.c32.
  std::vector<std::string> files = {request.boot.kernel, s + "/initrd.img", kLdlinux, kLdlinux, s + "/syslinux.cfg"};
  for (const auto& [from, name] : top) files.push_back(from);
  const uint64_t needed = neededBytes(files);
  const uint64_t size = request.size ? request.size : (needed + MiB - 1) / MiB * MiB;
  if (size < needed) {
    fprintf(stderr, "vmedia: %s: %s is too small for the medium's files, which need %s\n", request.output.c_str(),
            tools::mebibytes(request.size).c_str(), tools::mebibytes(needed).c_str());
    return false;
  }

  PartialOutput output(request.output);
  const std::string& image = output.path();
  printf("vmedia: writing the FAT medium %s (%s)\n", request.output.c_str(), tools::mebibytes(size).c_str());
  fflush(stdout);
  if (!runTool({"mkfs.vfat", "--invariant", "-C", "-F", size > kLargestFat16 ? "32" : "16", "-n", request.label, image,
                std::to_string(size >> 10)}) ||
      !runTool({"mmd", "-i", image, "::/boot", "::/boot/syslinux"}) ||
      !runTool({"syslinux", "--install", "--directory", "/boot/syslinux", image}) ||
      !runTool({"mcopy", "-i", image, request.boot.kernel, "::/boot/vmlinuz"}) ||
      !runTool({"mcopy", "-i", image, s + "/initrd.img", "::/boot/initrd.img"}) ||
      !runTool({"mcopy", "-i", image, s + "/syslinux.cfg", "::/boot/syslinux/syslinux.cfg"}))
    return false;
  for (const auto& [from, name] : top)
    if (!runTool({"mcopy", "-i", image, from, "::/" + name})) return false;
  return output.commit();
}

}  // namespace vmedia
