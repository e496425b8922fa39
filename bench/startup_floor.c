/* The floor of a small run: the system calls that `remove` makes, in the same order and of the
 * same sizes, with no per-byte work and nothing but the C library. KEPT bytes go to "file.txt"
 * after the last block, and the read-back goes through a duplicate of the descriptor that wrote
 * them, as in `remove`: by sendfile into a character device, by pread and write into anything
 * else. Usage: startup_floor KEPT */
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kBlock = 128 * 1024 };
static unsigned char buffer[kBlock];
static const char kBanner[] = "\n\n\t********** Printing data from file.*********\t\n\n";
static const char kSummary[] =
    "\n\t....********quntity displaying*********.....\n No. of characters in file.. 0 ...\n"
    " No. of newlines in file..0 ...\n No. of tab's 0...\n No. of spaces 0...\n";

/* The floor ignores failures; the C library marks a write's result as not to be ignored. */
static ssize_t put(int fd, const void* bytes, size_t count) { return write(fd, bytes, count); }

static int open_cleared(const char* path, int flags) {
  int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  /* Digits by hand: strtoull would map pages of the C library that remove never touches. */
  size_t kept = 0;
  for (const char* digit = argv[1]; *digit >= '0' && *digit <= '9'; ++digit) {
    kept = kept * 10 + (size_t)(*digit - '0');
  }
  const size_t written = kept;
  struct stat status;
  for (int fd = 0; fd <= 2; ++fd) fcntl(fd, F_GETFD);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  fstat(1, &status);
  const int device_output = S_ISCHR(status.st_mode);
  if (S_ISREG(status.st_mode)) stat("file.txt", &status);
  (void)put(1, kBanner, sizeof kBanner - 1);
  int source = open_cleared("file.c", O_RDONLY);
  fstat(source, &status);
  stat("file.txt", &status);
  int result = open_cleared("file.txt", O_RDWR | O_CREAT);
  fstat(result, &status);
  flock(result, LOCK_EX | LOCK_NB);
  stat("file.c", &status);
  fstat(result, &status);
  if (status.st_size != 0 && ftruncate(result, 0) != 0) return 1;
  for (ssize_t got; (got = read(source, buffer, kBlock)) > 0;) (void)put(1, buffer, (size_t)got);
  for (size_t left = kept; left > 0;) {
    ssize_t done = write(result, buffer, left < kBlock ? left : kBlock);
    if (done <= 0) break;
    left -= (size_t)done;
  }
  (void)put(1, kSummary, sizeof kSummary - 1);
  close(source);
  (void)put(1, kBanner, sizeof kBanner - 1);
  int back = fcntl(result, F_DUPFD_CLOEXEC, 3);
  close(result);
  for (off_t offset = 0; offset < (off_t)written;) {
    ssize_t got;
    if (device_output) {
      off_t at = offset;
      got = sendfile(1, back, &at, written - offset);
    } else {
      got = pread(back, buffer, written - offset < kBlock ? written - offset : kBlock, offset);
      if (got > 0) (void)put(1, buffer, (size_t)got);
    }
    if (got <= 0) break;
    offset += got;
  }
  close(back);
  return 0;
}
