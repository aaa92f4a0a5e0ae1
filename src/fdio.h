// Small helpers over file descriptors, shared by the tools.
#ifndef FWVET_FDIO_H
#define FWVET_FDIO_H

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
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

// Makes a directory's entries durable (a new or renamed file in it); 0 or -1.
inline int sync_dir(const char *dir) {
  const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int r = fsync(fd);
  if (close(fd) != 0) r = -1;
  return r;
}

#endif
