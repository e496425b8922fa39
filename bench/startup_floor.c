/* The floor of a small run: the system calls that `remove` makes, in the same order and of the
 * same sizes, with no per-byte work and nothing but the C library. KEPT bytes go to "file.txt"
 * in each block's place. Usage: startup_floor KEPT */
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kBlock = 128 * 1024 };
static unsigned char buffer[kBlock];
static const char kBanner[] = "\n\n\t********** Printing data from file.*********\t\n\n";
static const char kSummary[] =
    "\n\t....********quntity displaying*********.....\n No. of characters in file.. 0 ...\n"
    " No. of newlines in file..0 ...\n No. of tab's 0...\n No. of spaces 0...\n";

static int open_cleared(const char* path, int flags) {
  int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  size_t kept = strtoull(argv[1], NULL, 10);
  const size_t written = kept;
  struct stat status;
  for (int fd = 0; fd <= 2; ++fd) fcntl(fd, F_GETFD);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  write(1, kBanner, sizeof kBanner - 1);
  int source = open_cleared("file.c", O_RDONLY);
  fstat(1, &status);
  fstat(source, &status);
  int result = open_cleared("file.txt", O_WRONLY | O_CREAT);
  fstat(result, &status);
  flock(result, LOCK_EX);
  ftruncate(result, 0);
  for (ssize_t got; (got = read(source, buffer, kBlock)) > 0;) {
    size_t part = kept < (size_t)got ? kept : (size_t)got;
    write(result, buffer, part);
    kept -= part;
    write(1, buffer, (size_t)got);
  }
  write(1, kSummary, sizeof kSummary - 1);
  close(source);
  write(1, kBanner, sizeof kBanner - 1);
  int lock = fcntl(result, F_DUPFD_CLOEXEC, 3);
  close(result);
  int back = open_cleared("file.txt", O_RDONLY);
  for (size_t left = written; left > 0;) {
    ssize_t got = read(back, buffer, left < kBlock ? left : kBlock);
    if (got <= 0) break;
    write(1, buffer, (size_t)got);
    left -= (size_t)got;
  }
  close(back);
  close(lock);
  return 0;
}
