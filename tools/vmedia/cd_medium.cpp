// The CD-ROM medium: isolinux starts the kernel; the packages and defpacks lie
// at the top of the disc, where the CD-ROM flow looks for them.
#include <cstdio>

#include "runtime/fileutil.h"
#include "tools/vmedia/medium.h"
#include "tools/vmedia/staging.h"

namespace vmedia {

namespace {

constexpr const char* kIsolinux = "/usr/lib/ISOLINUX/isolinux.bin";
constexpr const char* kLdlinux = "/usr/lib/syslinux/modules/bios/ldlinux.c32";

bool haveLoader() { return haveLoaderFiles({kIsolinux, kLdlinux}, "isolinux and syslinux-common"); }

bool stageTree(const MediumRequest& request, const std::vector<tools::MediumPackage>& packages, const std::string& tree,
               uint32_t time) {
  if (!makeDirectory(tree + "/isolinux") || !makeDirectory(tree + "/boot")) return false;
  bool ok = copyFile(kIsolinux, tree + "/isolinux/isolinux.bin") && copyFile(kLdlinux, tree + "/isolinux/ldlinux.c32") &&
            writeFile(tree + "/isolinux/isolinux.cfg", loaderConfiguration(request.boot)) &&
            copyFile(request.boot.kernel, tree + "/boot/vmlinuz") &&
            writeInitramfs(request.boot, tree + "/boot/initrd.img", time);
  for (const tools::MediumPackage& p : packages) ok = ok && copyFile(p.path, tree + "/" + p.fileName);
  if (!request.defaultSelection.empty()) ok = ok && copyFile(request.defaultSelection, tree + "/defpacks");
  // Dates on the tree as well as SOURCE_DATE_EPOCH: the variable alone leaves
  // the files' own dates in the image.
  return ok && setDates(tree, time);
}

}  // namespace

bool writeCdMedium(const MediumRequest& request) {
  std::vector<tools::MediumPackage> packages;
  bool ok = tools::checkPackages(request.packages, request.rules, packages);
  if (!request.defaultSelection.empty()) ok = tools::checkDefaultSelection(request.defaultSelection, packages) && ok;
  ok = checkBootFiles(request.boot) && ok;
  ok = haveLoader() && ok;
  if (request.label.empty() || request.label.size() > 32) {
    fprintf(stderr, "vmedia: a disc's label has 1 to 32 characters\n");
    ok = false;
  }
  uint32_t time = 0;
  if (!ok || !mediumTime(time)) return false;
  printf("vmedia: %zu packages checked\n", packages.size());
  ScratchDirectory scratch;
  if (!scratch.ok()) return false;
  const std::string tree = scratch.path() + "/disc";
  if (!stageTree(request, packages, tree, time)) return false;
  PartialOutput output(request.output);
  printf("vmedia: writing the disc image %s\n", request.output.c_str());
  fflush(stdout);
  if (!runTool({"xorriso", "-as", "mkisofs", "-quiet", "-r", "-V", request.label, "-o", output.path(), "-b",
                "isolinux/isolinux.bin", "-c", "isolinux/boot.cat", "-no-emul-boot", "-boot-load-size", "4",
                "-boot-info-table", tree}))
    return false;
  return output.commit();
}

}  // namespace vmedia
