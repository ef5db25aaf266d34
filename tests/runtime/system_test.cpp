// The system-call layer: owned descriptors, whole reads and writes through
// pipes (short and interrupted transfers), and waiting for a child.
#include "runtime/system.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>

namespace {

bool isOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }

// Whether the process sleeps (in a blocking call), as /proc tells.
bool sleeping(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

}  // namespace

TEST(System, OwnedDescriptor) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  {
    vl::Fd a(ends[0]);
    vl::Fd b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), ends[0]);
  }
  EXPECT_FALSE(isOpen(ends[0]));  // closed with its owner
  vl::Fd c(ends[1]);
  const int released = c.release();
  EXPECT_FALSE(c.valid());
  EXPECT_TRUE(isOpen(released));  // given away, not closed
  EXPECT_TRUE(c.reset(released));
  EXPECT_TRUE(c.reset());
  EXPECT_FALSE(isOpen(released));
}

// More than a pipe holds, written whole while a slow reader takes it in small
// pieces (short writes), then read whole across a read interrupted by a signal.
TEST(System, WholeTransfersThroughPipes) {
  const std::string bytes(1 << 20, 'q');
  int data[2];
  ASSERT_EQ(pipe(data), 0);
  const pid_t parent = getpid();
  // A handler without SA_RESTART: a blocked read returns with EINTR.
  vl::setSignal(SIGUSR1, [](int) {}, 0);
  fflush(nullptr);
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    close(data[0]);
    if (!vl::writeAll(data[1], bytes.data(), bytes.size() / 2)) _exit(1);
    // Once the reader waits for the rest, interrupt it, then send the rest.
    while (!sleeping(parent)) usleep(1000);
    kill(parent, SIGUSR1);
    _exit(vl::writeAll(data[1], bytes.data() + bytes.size() / 2, bytes.size() / 2) ? 0 : 1);
  }
  close(data[1]);
  std::string got(bytes.size() + 10, '\0');
  EXPECT_EQ(vl::readFull(data[0], got.data(), got.size()), ssize_t(bytes.size()));  // fewer only at the end
  got.resize(bytes.size());
  EXPECT_EQ(got, bytes);
  const int status = vl::waitChild(writer);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(data[0]);
  signal(SIGUSR1, SIG_DFL);
}

TEST(System, WaitChildAndFailures) {
  fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(3);
  const int status = vl::waitChild(child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(vl::waitChild(child), -1);  // reaped already
  EXPECT_FALSE(vl::writeAll(-1, "x", 1));
  EXPECT_EQ(errno, EBADF);
}
