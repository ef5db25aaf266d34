#include "tests/installer/installer_root.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/tree.h"

namespace qvtest {

const bool kEmulated = runsEmulated();

RootOptions installerRoot() {
  RootOptions options;
  options.systemDirs = true;
  options.extraBinds = {QV_BUILD_DIR};
  return options;
}

std::vector<std::string> installerCommand(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> argv = {"env", "-i", "ASAN_OPTIONS=detect_leaks=0"};
  argv.insert(argv.end(), env.begin(), env.end());
  for (const std::string& a : ownProgram(QV_INSTALLER, args)) argv.push_back(a);
  return argv;
}

InstallerRoot::InstallerRoot() {
  for (const char* d : {"flash/var/pdb", "ram", "rw/pckg/.download", "flash/bin"}) makeDirs(dir / d);
  writeFile(dir / "flash/bin/ruel", readFile(QV_RUEL));
  chmod((dir / "flash/bin/ruel").c_str(), 0755);
}

ProcessResult InstallerRoot::run(std::vector<std::string> args, const std::string& input, std::vector<std::string> env) {
  RootOptions options = installerRoot();
  options.beforeChroot = [&] {
    if (!flashImage.empty() && runProgram({"mount", "-o", "loop", flashImage, dir / "flash"}).status != 0) return false;
    if (!ramOptions.empty() && mount("ram", (dir / "ram").c_str(), "tmpfs", 0, ramOptions.c_str()) != 0) return false;
    return true;
  };
  std::vector<std::string> argv = wrapper;
  for (const std::string& a : installerCommand(args, env)) argv.push_back(a);
  const std::string out = dir / ".out", err = dir / ".err", status = dir / ".status";
  bool ran = runInRoot(dir.path(), [&] {
    ProcessResult r = runProgram(argv, input);
    writeFile("/.out", r.out);
    writeFile("/.err", r.err);
    writeFile("/.status", std::to_string(r.status));
    return true;
  }, options);
  ProcessResult r;
  EXPECT_TRUE(ran);
  r.out = readFile(out);
  r.err = readFile(err);
  r.status = std::atoi(readFile(status).c_str());
  for (const std::string& f : {out, err, status}) unlink(f.c_str());
  return r;
}

std::vector<std::string> InstallerRoot::tree() const {
  const std::string build = QV_BUILD_DIR;
  return treeListing(path(), {"/flash/postlog", "/flash/var/pdb/image", "/ram/installer.lock", "/usr", "/lib", "/lib32",
                              "/lib64", "/bin", "/proc", build.substr(0, build.find('/', 1))});
}

SmallPackage package(const std::string& name, uint32_t version, std::vector<vpkg::FileSpec> files) {
  SmallPackage p;
  p.name = name;
  p.version = version;
  p.files = std::move(files);
  p.depends = {};
  return p;
}

std::string write(const TempDir& scratch, const SmallPackage& p, const std::string& file) {
  return writeSmallPackage(scratch / file, p);
}

std::string bundleOf(const TempDir& scratch, const std::string& name, uint32_t version,
                     const std::vector<SmallPackage>& members, const BundleParts& parts) {
  vpkg::PackageWriter w;
  EXPECT_TRUE(w.open(scratch / "bundle.vpk"));
  EXPECT_TRUE(w.part(pkg::PART_BUNDLE_HEADER, vpkg::headerPayload(name, version, 1700000000, 0)));
  std::vector<vpkg::ListEntry> disable;
  for (const std::string& d : parts.disableList) disable.push_back({d});
  auto image = [&] {
    if (!parts.image.empty()) {
      EXPECT_TRUE(w.part(pkg::PART_IMAGE_PAYLOAD, parts.image));
    }
  };
  if (parts.imageFirst) image();
  if (!disable.empty()) {
    EXPECT_TRUE(w.part(pkg::PART_DISABLE_LIST, vpkg::entryListPayload(disable)));
  }
  if (!parts.imageFirst) image();
  for (const SmallPackage& m : members) {
    std::string bytes = write(scratch, m, "member.vpk");
    EXPECT_TRUE(w.raw(bytes.data() + 8, bytes.size() - 8));
  }
  EXPECT_TRUE(w.close());
  return readFile(scratch / "bundle.vpk");
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

const std::string kHeading = "            Name          Version                Built" + std::string(36, ' ') + "Note\n" +
                             std::string(94, '-') + "\n";

}  // namespace qvtest
