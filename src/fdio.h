// Small helpers over file descriptors, shared by the tools.
#ifndef FWVET_FDIO_H
#define FWVET_FDIO_H

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

// Writes all len bytes, across partial writes and interruptions; 0 or -1.
inline int write_all(int fd, const unsigned char *p, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

// Reads len bytes at offset off, across short reads and interruptions, or
// fewer where the file ends first; the count read, or -1.
inline ssize_t pread_full(int fd, unsigned char *p, size_t len, off_t off) {
  size_t got = 0;
  while (got < len) {
    const ssize_t n = pread(fd, p + got, len - got, off + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// Writes prefix and 16 lower-case hex digits to name: a name for a temporary
// that another user cannot guess in advance; whether it is new, O_EXCL or
// linkat tells.
inline void fresh_name(char *name, const char *prefix) {
  static unsigned char counter;
  unsigned char b[8];
  if (getrandom(b, sizeof b, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof b)) {
    // No entropy yet at boot, or an old kernel: the name need only be new.
    struct timespec ts = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint32_t t = static_cast<uint32_t>(ts.tv_nsec) ^ static_cast<uint32_t>(ts.tv_sec) << 30;
    const uint32_t pid = static_cast<uint32_t>(getpid());
    memcpy(b, &t, 4);
    memcpy(b + 4, &pid, 4);
  }
  b[7] = static_cast<unsigned char>(b[7] ^ ++counter);
  const size_t len = strlen(prefix);
  memcpy(name, prefix, len);
  for (size_t k = 0; k < sizeof b; k++) {
    name[len + 2 * k] = "0123456789abcdef"[b[k] >> 4];
    name[len + 2 * k + 1] = "0123456789abcdef"[b[k] & 15];
  }
  name[len + 2 * sizeof b] = '\0';
}

// Gives the unnamed file fd (O_TMPFILE) the new name name in dirfd. Only a
// privileged caller may link a descriptor directly (before Linux 6.10);
// others go through its /proc entry. 0 or -1 with errno.
inline int link_unnamed(int fd, int dirfd, const char *name) {
  if (linkat(fd, "", dirfd, name, AT_EMPTY_PATH) == 0) return 0;
  if (errno != ENOENT) return -1;
  char proc[32] = "/proc/self/fd/";
  size_t end = sizeof "/proc/self/fd/";  // one past the last digit
  for (unsigned v = static_cast<unsigned>(fd); v >= 10; v /= 10) end++;
  for (unsigned v = static_cast<unsigned>(fd), at = static_cast<unsigned>(end); at-- > sizeof "/proc/self/fd/" - 1; v /= 10)
    proc[at] = static_cast<char>('0' + v % 10);
  return linkat(AT_FDCWD, proc, dirfd, name, AT_SYMLINK_FOLLOW);
}

// Makes a directory's entries durable (a new or renamed file in it); 0 or -1.
inline int sync_dir(const char *dir) {
  const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int r = fsync(fd);
  if (close(fd) != 0) r = -1;
  return r;
}

#endif
