#include "init/flow/startup.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <string>

#include "runtime/system.h"
#include "tests/support/sandbox.h"

using flow::InstallMode;
using qvtest::TempDir;
using qvtest::writeFile;

struct ModeCase {
  const char* name;
  std::vector<std::string> arguments;
  const char* typeFile;  // null: no /TYPE
  InstallMode mode;
};

TEST(Startup, ModeTable) {
  const ModeCase cases[] = {
      {"cdrom and a newline", {"init"}, "cdrom\n", InstallMode::CDROM},
      {"cdrom without a newline", {"init"}, "cdrom", InstallMode::CDROM},
      {"a blank after the word", {"init"}, "cdrom \n", InstallMode::UNKNOWN},
      {"capitals", {"init"}, "CDROM\n", InstallMode::UNKNOWN},
      {"net", {"init"}, "net\nsecond line\n", InstallMode::NETWORK},
      {"the hard-disk option wins over net", {"init", "-x", "-hdd-install"}, "net\n", InstallMode::HARD_DISK},
      {"only the exact option counts", {"init", "-hdd-installer"}, "", InstallMode::UNKNOWN},
      {"no /TYPE", {"init"}, nullptr, InstallMode::UNKNOWN},
  };
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.typeFile) writeFile(dir / "TYPE", c.typeFile);
    std::vector<char*> argv;
    for (const std::string& a : c.arguments) argv.push_back(const_cast<char*>(a.c_str()));
    EXPECT_EQ(flow::chooseMode(flow::hasHardDiskOption(int(argv.size()), argv.data()), flow::readInstallMode(dir / "TYPE")),
              c.mode);
  }
  TempDir dir;
  writeFile(dir / "TYPE", std::string(100, 'c') + "\n");
  EXPECT_EQ(flow::readInstallMode(dir / "TYPE"), std::string(79, 'c'));  // at most 79 characters
}

TEST(Startup, LauncherForksOnlyUnderAnInitName) {
  const pid_t self = getpid();
  EXPECT_EQ(flow::runLauncher("/sbin/installer-medium", [&] { return getpid() == self ? 5 : 6; }), 5);
  // Under an init name the work runs in a child; the launcher returns its raw wait status.
  int ran[2];
  ASSERT_EQ(pipe(ran), 0);
  const int status = flow::runLauncher("/init", [&] {
    const pid_t worker = getpid();
    ssize_t ignored = write(ran[1], &worker, sizeof worker);
    (void)ignored;
    return 3;
  });
  pid_t worker = 0;
  ASSERT_EQ(read(ran[0], &worker, sizeof worker), ssize_t(sizeof worker));
  EXPECT_NE(worker, self);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  close(ran[0]);
  close(ran[1]);
}

TEST(Startup, AsksBeforeRebootOnlyAfterACdromInstallOrAFailure) {
  struct Case {
    flow::InstallMode mode;
    bool installed;
    bool asks;
  } cases[] = {
      {flow::InstallMode::HARD_DISK, true, false}, {flow::InstallMode::HARD_DISK, false, true},
      {flow::InstallMode::NETWORK, true, false},   {flow::InstallMode::NETWORK, false, true},
      {flow::InstallMode::CDROM, true, true},      {flow::InstallMode::CDROM, false, true},
      {flow::InstallMode::UNKNOWN, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.mode) * 2 + c.installed);
    EXPECT_EQ(flow::asksBeforeReboot(c.mode, c.installed), c.asks);
  }
}

// An interrupt sent to the launcher (process 1 gets Ctrl-Alt-Delete) reaches
// the worker, which runs the installation it aborts.
TEST(Startup, LauncherForwardsInterruptsToTheWorker) {
  int ready[2], got[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(got), 0);
  fflush(nullptr);
  const pid_t launcher = fork();
  ASSERT_GE(launcher, 0);
  if (launcher == 0) {
    // What the launcher puts back once its worker is gone: a last resent
    // interrupt must not end it then.
    signal(SIGINT, SIG_IGN);
    const int status = flow::runLauncher("/init", [&] {
      static int acknowledge;
      acknowledge = got[1];
      vl::setSignal(SIGINT, [](int) {
        const char c = 'i';
        ssize_t ignored = write(acknowledge, &c, 1);
        (void)ignored;
        _exit(9);
      });
      const char c = 'r';
      ssize_t ignored = write(ready[1], &c, 1);
      (void)ignored;
      for (;;) pause();
      return 0;
    });
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 100);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);  // the worker waits for its interrupt
  // Sent until acknowledged: the launcher takes its worker's id just after the fork.
  for (;;) {
    kill(launcher, SIGINT);
    struct pollfd p = {got[0], POLLIN, 0};
    if (poll(&p, 1, 100) == 1) break;
  }
  ASSERT_EQ(read(got[0], &c, 1), 1);
  EXPECT_EQ(c, 'i');
  int status = 0;
  ASSERT_EQ(waitpid(launcher, &status, 0), launcher);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 9);  // the launcher lived on and returned the worker's status
  for (int fd : {ready[0], ready[1], got[0], got[1]}) close(fd);
}

// Once the final reboot sequence has begun, an interrupt changes nothing: the
// operator's prompt stays and ENTER reboots once. The handler runs as process
// 1 of its own PID and mount namespaces, with no input: should it not return
// at once, its unmounts stay private and its reboot ends only that namespace.
TEST(Startup, InterruptDuringTheFinalPromptIsIgnored) {
  int printed[2];
  ASSERT_EQ(pipe(printed), 0);
  fflush(nullptr);
  const pid_t outer = fork();
  ASSERT_GE(outer, 0);
  if (outer == 0) {
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) _exit(90);
    const pid_t inner = fork();
    if (inner == 0) {
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
      dup2(printed[1], 1);
      freopen("/dev/null", "r", stdin);
      flow::rebootPending = true;
      flow::onInterrupt(SIGINT);
      fflush(stdout);
      _exit(0);
    }
    int status = 0;
    waitpid(inner, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 91);
  }
  close(printed[1]);
  const std::string output = qvtest::readToEndAndClose(printed[0]);
  int status = 0;
  waitpid(outer, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(output, "");
}
