/* Test stand-in for the installed system's loader: records that it ran, and where. */
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  int fd = open("/ruel-ran", O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return 1;
  (void)write(fd, argv[0], 4);
  (void)write(fd, "\n", 1);
  close(fd);
  return argc == 1 ? 0 : 2;
}
