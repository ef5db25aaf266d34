#include "init/flow/install_pipe.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "pkg/byte_stream.h"
#include "pkg/install.h"
#include "pkg/package_parse.h"
#include "pkg/package_set.h"

namespace flow {

pid_t installChildPid = -1;

namespace {

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

}  // namespace

void runInstallChild(const disk::PackageStateSet& states, bool image, bool quiet) {
  pkg::FdSource input(0);
  if (chdir("/") != 0) {
    perror("chdir");
    pkg::drain(input);  // the sender must not meet a broken pipe
    return;
  }
  pkg::PackageSet set;
  set.quiet = quiet;
  if (image) {
    pkg::installImage(set, input, states);
  } else {
    installDirect(set, input);
  }
}

FILE* openInstallPipe(const disk::PackageStateSet& states, bool image, bool quiet) {
  if (installChildPid != -1) return nullptr;
  int ends[2];
  if (pipe(ends) != 0) return nullptr;
  // What the parent has buffered must not be written twice.
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(ends[0]);
    close(ends[1]);
    return nullptr;
  }
  if (pid == 0) {
    dup2(ends[0], 0);
    // Every inherited descriptor, not only 3 to 15: a write end of this pipe
    // kept open here would keep the child waiting for input for ever.
    closeDescriptorsAbove2();
    runInstallChild(states, image, quiet);
    fflush(nullptr);
    _exit(0);
  }
  close(ends[0]);
  FILE* stream = fdopen(ends[1], "w");
  if (!stream) {
    // A child nobody will feed or reap: end it now.
    close(ends[1]);
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
  }
  // Unbuffered: a record that cannot be written (the child refused the
  // package and is gone) fails at that record, not later at close.
  setvbuf(stream, nullptr, _IONBF, 0);
  installChildPid = pid;
  return stream;
}

int closeInstallPipe(FILE* pipe) {
  if (installChildPid == -1) return -1;
  const pid_t pid = installChildPid;
  installChildPid = -1;
  if (fclose(pipe) != 0) return -1;
  int status = 0;
  for (;;) {
    if (waitpid(pid, &status, 0) >= 0) return status;
    if (errno != EINTR) return -1;
  }
}

}  // namespace flow
