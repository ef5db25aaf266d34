#include "init/flow/install_child.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "pkg/install.h"
#include "pkg/package_parse.h"
#include "pkg/package_set.h"

namespace flow {

namespace {

bool childRunning = false;  // one install child at a time, process-wide

void closeDescriptorsAbove2() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
  const long most = sysconf(_SC_OPEN_MAX);
  for (long fd = 3; fd < (most > 0 ? most : 1024); ++fd) close(int(fd));
}

void installDirect(pkg::PackageSet& set, pkg::ByteSource& input) {
  set.openRepository(set.quiet, pkg::DEFAULT_ARCHITECTURE);
  pkg::Transaction t;
  pkg::PartReader reader;
  pkg::PackageRecord record;
  bool ok = reader.open(input, true) && reader.nextPart({pkg::PART_HEADER, pkg::PART_FILES, pkg::PART_SIGNATURE}) ==
                                            pkg::PART_HEADER &&
            pkg::parseHeaderParts(record, reader) && pkg::installPayload(set, record, t, reader, true);
  pkg::drain(input);
  if (ok) {
    t.commit();
  } else {
    t.cancel();
  }
}

// Owns the package file it reads.
class FileSource final : public pkg::ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd), in_(fd) {}
  ssize_t read(void* buffer, size_t n) override { return in_.read(buffer, n); }

 private:
  vl::Fd fd_;
  pkg::FdSource in_;
};

}  // namespace

void runInstallChild(const pkg::PackageStates& states, ChildMode mode, bool quiet) {
  pkg::FdSource input(0);
  if (chdir("/") != 0) {
    vl::reportFailure("chdir");
    pkg::drain(input);  // the sender must not meet a broken pipe
    return;
  }
  pkg::PackageSet set;
  set.quiet = quiet;
  if (mode == ChildMode::IMAGE)
    pkg::installImage(set, input, states);
  else
    installDirect(set, input);
}

bool InstallChild::start(const pkg::PackageStates& states, ChildMode mode, bool quiet) {
  if (childRunning || running()) return false;
  int ends[2];
  // Close-on-exec: no program started later (the post-install step) holds a
  // write end that would keep a child waiting for input.
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  vl::Fd readEnd(ends[0]), writeEnd(ends[1]);
  // A pipe of a mebibyte: the flow runs far ahead whenever it gets the
  // processor, so the child, which hashes and inflates, never waits for its
  // next record while the disk's writeback has the other one (with the 64 KiB
  // default the child on an ext3 image ran at 0.85 of the floor, now 1.05).
  // Only a hint: a smaller pipe still works.
  (void)fcntl(ends[1], F_SETPIPE_SZ, INSTALL_PIPE_CAPACITY);
  fflush(nullptr);  // what the parent has buffered must not be written twice
  // An interrupt is for init's flow, never for a child reading a package: it
  // is held back until the child has its default action.
  sigset_t interrupt, previous;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  sigprocmask(SIG_BLOCK, &interrupt, &previous);
  const pid_t pid = fork();
  if (pid == 0) {
    vl::setSignal(SIGINT, SIG_DFL);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    dup2(ends[0], 0);
    // Every inherited descriptor, not only 3 to 15: a write end of this pipe
    // kept open here would keep the child waiting for input for ever.
    closeDescriptorsAbove2();
    runInstallChild(states, mode, quiet);
    fflush(nullptr);
    _exit(0);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) return false;
  pid_ = pid;
  input_ = std::move(writeEnd);
  childRunning = true;
  return true;
}

bool InstallChild::send(const void* data, size_t n) { return running() && vl::writeAll(input_.get(), data, n); }

int InstallChild::finish() {
  if (!running()) return -1;
  const pid_t pid = pid_;
  pid_ = -1;
  childRunning = false;
  const bool closed = input_.reset();  // the child sees the end of its input
  const int status = vl::waitChild(pid);
  return closed ? status : -1;
}

bool installPackages(const pkg::PackageStates& states, size_t count,
                     const std::function<std::unique_ptr<pkg::ByteSource>(size_t)>& source,
                     const InstallMessages& messages, const std::function<void(size_t)>& done) {
  for (size_t i = 0; i < count; ++i) {
    InstallChild child;
    if (!child.start(states, ChildMode::IMAGE, false)) {
      puts(messages.cannotStart);
      return false;
    }
    std::unique_ptr<pkg::ByteSource> bytes = source(i);
    char record[INSTALL_RECORD_SIZE];
    for (;;) {
      const ssize_t n = bytes ? bytes->read(record, sizeof record) : -1;
      if (n < 0) {
        (void)child.finish();
        puts(messages.sourceFailed);
        return false;
      }
      if (n == 0) break;
      if (!child.send(record, size_t(n))) {
        puts("");
        (void)child.finish();
        return false;
      }
    }
    (void)child.finish();
    if (done) done(i);
  }
  return true;
}

std::unique_ptr<pkg::ByteSource> openPackageFile(const std::string& path) {
  return packageFileSource(vl::Fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)));
}

std::unique_ptr<pkg::ByteSource> packageFileSource(vl::Fd file) {
  if (!file.valid()) return nullptr;
  return std::make_unique<FileSource>(file.release());
}

}  // namespace flow
