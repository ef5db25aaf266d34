/* Test stand-in for the installed system's programs (/bin/ruel, /bin/bash):
   records its arguments, one per line, and says on standard output that it ran. */
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  int fd = open("/ruel-ran", O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return 1;
  for (int i = 0; i < argc; ++i) {
    (void)write(fd, argv[i], strlen(argv[i]));
    (void)write(fd, "\n", 1);
  }
  close(fd);
  (void)write(1, "probe ran\n", 10);
  return 0;
}
