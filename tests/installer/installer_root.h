// A throw-away root for the installer command: a private mount namespace,
// chrooted, with the host's libraries and the build tree bound read-only,
// so that the built program runs there as on an installed system. Packages
// are written by the package tool's library and signed with the development key.
#pragma once

#include <string>
#include <vector>

#include "tests/pkg/package_fixture.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"

namespace qvtest {

// This build's programs run under an emulator (and cannot start others).
extern const bool kEmulated;

// A root that can run this build's installer.
RootOptions installerRoot();
// The installer's command line in such a root. The sanitizers' leak check
// needs /proc, which a chrooted run lacks.
std::vector<std::string> installerCommand(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

struct InstallerRoot {
  TempDir dir;
  std::string ramOptions;  // mount a tmpfs of this size on /ram when set
  std::string flashImage;  // loop-mount this ext2 image on /flash when set
  // Put before the installer's command line (a time limit for a run that
  // could hang, say).
  std::vector<std::string> wrapper;

  InstallerRoot();
  std::string operator/(const std::string& p) const { return dir / p; }
  std::string path() const { return dir.path(); }

  // Runs the installer in the root; its output and status come back.
  ProcessResult run(std::vector<std::string> args, const std::string& input = "", std::vector<std::string> env = {});
  // Every path of the root but the host's bound directories, the lock and the log.
  std::vector<std::string> tree() const;
};

SmallPackage package(const std::string& name, uint32_t version, std::vector<vpkg::FileSpec> files);
// Writes the package into scratch and returns its bytes.
std::string write(const TempDir& scratch, const SmallPackage& p, const std::string& file = "p.vpk");

// The bundle's parts that come between its header and its members.
struct BundleParts {
  std::vector<std::string> disableList;
  std::string image;             // an image payload when not empty
  bool imageFirst = true;        // the image payload before the disable list
};
std::string bundleOf(const TempDir& scratch, const std::string& name, uint32_t version,
                     const std::vector<SmallPackage>& members, const BundleParts& parts = {});

// Whether the path exists, symbolic links not followed.
bool exists(const std::string& path);

// The listing's heading: name in 16 columns, four blanks, Version in 13, a
// blank, Built in 20, Note in 40.
extern const std::string kHeading;

}  // namespace qvtest
