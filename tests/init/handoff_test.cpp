#include "init/disk/handoff.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/process.h"
#include "tests/support/sandbox.h"

using qvtest::readFile;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

const bool kEmulated = qvtest::runsEmulated();

struct HandoffCase {
  const char* name;
  bool script;
  std::string arguments;  // as the stand-in recorded them
};

}  // namespace

// /flash is a separate mount (a host directory bound there), so that what the
// hand-off left can be read after it unmounted it.
TEST(Handoff, FinishInstall) {
  if (kEmulated) GTEST_SKIP() << "the stand-in programs are 32-bit, which this kernel cannot run";
  const HandoffCase cases[] = {
      {"no post-install script: the loader", false, "/bin/ruel\nruel\n"},
      {"the post-install script, through bash", true, "/bin/bash\n-c\n/etc/rc.d/rc.postinstall\n"},
  };
  for (const HandoffCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root, flash;
    qvtest::makeDirs(root / "flash");
    qvtest::makeDirs(root / "dev");
    for (const char* program : {"bin/ruel", "bin/bash"}) {
      writeFile(flash / program, readFile(QV_RUEL));
      chmod((flash / program).c_str(), 0755);
    }
    qvtest::makeDirs(flash / "rw");
    writeFile(flash / "rw/REBOOT", "old content");
    if (c.script) writeFile(flash / "etc/rc.d/rc.postinstall", "#!/bin/bash\n");
    writeFile(root / "dev/null", "");
    qvtest::RootOptions options;
    options.beforeChroot = [&] {
      return mount(flash.path().c_str(), (root / "flash").c_str(), nullptr, MS_BIND, nullptr) == 0;
    };
    EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
      disk::logDevicePath = "/console.log";
      writeFile("/console.log", "");
      disk::finishInstall();
      // Unmounted: the bound directory is no longer seen at /flash.
      EXPECT_FALSE(std::filesystem::exists("/flash/rw"));
      return true;
    }, options));
    EXPECT_EQ(readFile(flash / "ruel-ran"), c.arguments);
    EXPECT_EQ(readFile(flash / "rw/REBOOT"), "");            // left, and empty
    EXPECT_EQ(readFile(root / "console.log"), "probe ran\n");  // the program's output on the log device
  }
}

TEST(Handoff, RunInTargetStatuses) {
  TempDir root;
  qvtest::makeDirs(root / "flash");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    disk::logDevicePath = "/dev/null";
    int status = disk::runInTarget("/bin/missing", {});
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);  // cannot be executed
    return true;
  }));
}
