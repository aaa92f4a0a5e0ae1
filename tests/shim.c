/* Preloaded into fwvet by the end-to-end tests.
 *
 *   FWVET_SHIM_FILE    the upgrade file to act on
 *   FWVET_SHIM_ACTION  what to do: vanish, tiny, huge, grow, shrink, alter,
 *                      replace (rename another file over it), TERM or KILL
 *                      (the signal to fwvet itself), nounlink (its
 *                      deletion fails with EACCES), twin (the hex bytes
 *                      of FWVET_SHIM_DATA written over the payload's start),
 *                      or early (as early at boot where /tmp cannot make
 *                      unnamed files: no O_TMPFILE, no random source, the
 *                      clock at 0 and pid 1, so that names are predictable),
 *                      short (each read, pread and write of a file moves
 *                      one byte less than asked, where it asks for more
 *                      than one) or eintr (every other one is interrupted
 *                      before it moves anything); standard streams aside
 *   FWVET_SHIM_AT      when: "close1", right after the upgrade file is first
 *                      closed (the end of the check), "open2", as it is
 *                      opened the second time (just before the copy), "write1" or "write2", at the copy's first or second
 *                      write, or "fsync1", at the first fsync (the copy done)
 *   FWVET_SHIM_LOG     a file that fsync, renameat, unlink and sync are
 *                      logged to; files in /tmp other than /tmp itself and
 *                      the staging file are logged as "/tmp/(new)"
 */
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int opens, writes, fsyncs, first_fd = -1;
static int busy; /* in the shim's own calls, which the hooks let through */

static void *real(const char *name) { return dlsym(RTLD_NEXT, name); }

static int is(const char *var, const char *value) {
  const char *v = getenv(var);
  return v != NULL && strcmp(v, value) == 0;
}

static void act_on(const char *at);
static void act(const char *at) {
  busy++;
  act_on(at);
  busy--;
}

static void act_on(const char *at) {
  const char *file = getenv("FWVET_SHIM_FILE");
  struct stat64 st;
  if (!is("FWVET_SHIM_AT", at) || file == NULL || stat64(file, &st) != 0) return;
  int fd = open64(file, O_WRONLY | O_APPEND);
  if (fd < 0) abort();
  int ok = 1;
  if (is("FWVET_SHIM_ACTION", "TERM")) kill(getpid(), SIGTERM);
  if (is("FWVET_SHIM_ACTION", "KILL")) kill(getpid(), SIGKILL);
  if (is("FWVET_SHIM_ACTION", "replace")) {
    char other[PATH_MAX];
    snprintf(other, sizeof other, "%s.other", file);
    int ofd = open64(other, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ok = ofd >= 0 && write(ofd, "replaced", 8) == 8 && close(ofd) == 0 && rename(other, file) == 0;
  }
  if (is("FWVET_SHIM_ACTION", "vanish")) ok = unlink(file) == 0;
  if (is("FWVET_SHIM_ACTION", "tiny")) ok = ftruncate64(fd, 100) == 0;
  if (is("FWVET_SHIM_ACTION", "huge")) ok = ftruncate64(fd, (1LL << 31) + 128) == 0;
  if (is("FWVET_SHIM_ACTION", "shrink")) ok = ftruncate64(fd, st.st_size - 1) == 0;
  if (is("FWVET_SHIM_ACTION", "grow")) ok = write(fd, "+", 1) == 1;
  if (is("FWVET_SHIM_ACTION", "alter")) {
    unsigned char c = 0;
    int rfd = open64(file, O_RDWR);
    ok = rfd >= 0 && pread64(rfd, &c, 1, st.st_size - 1) == 1;
    c ^= 1;
    ok = ok && pwrite64(rfd, &c, 1, st.st_size - 1) == 1 && close(rfd) == 0;
  }
  const char *hex = getenv("FWVET_SHIM_DATA");
  if (is("FWVET_SHIM_ACTION", "twin") && hex != NULL) {
    int rfd = open64(file, O_RDWR);
    for (off_t off = 128; ok && hex[0] && hex[1]; hex += 2, off++) {
      unsigned char c = (unsigned char)strtoul((char[]){hex[0], hex[1], 0}, NULL, 16);
      ok = rfd >= 0 && pwrite64(rfd, &c, 1, off) == 1;
    }
    ok = ok && close(rfd) == 0;
  }
  if (close(fd) != 0 || !ok) abort();
}

static void log_call(const char *what, const char *arg) {
  const char *log = getenv("FWVET_SHIM_LOG");
  if (log == NULL) return;
  busy++;
  int fd = open64(log, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0 || dprintf(fd, "%s %s\n", what, arg) < 0 || close(fd) != 0) abort();
  busy--;
}

/* The openings of the upgrade file, counted; fwvet calls open64 where
 * off_t has 32 bits, open elsewhere. */
static int opened(const char *name, const char *path, int flags, va_list ap) {
  const char *file = getenv("FWVET_SHIM_FILE");
  const int mine = !busy && file != NULL && strcmp(path, file) == 0;
  if (mine && ++opens == 2) act("open2");
  int (*f)(const char *, int, ...) = (int (*)(const char *, int, ...))real(name);
  int fd = f(path, flags, va_arg(ap, int));
  if (mine && opens == 1) first_fd = fd;
  return fd;
}

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = opened("open", path, flags, ap);
  va_end(ap);
  return fd;
}

int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = opened("open64", path, flags, ap);
  va_end(ap);
  return fd;
}

int close(int fd) {
  int (*f)(int) = (int (*)(int))real("close");
  int r = f(fd);
  if (!busy && fd == first_fd) {
    first_fd = -1;
    act("close1");
  }
  return r;
}

/* A transfer that Linux may legally cut short or interrupt: -1 for EINTR,
 * else 0, with n perhaps made smaller. */
static int cut(int fd, size_t *n) {
  static int interrupted;
  if (busy || fd <= 2) return 0;
  if (is("FWVET_SHIM_ACTION", "eintr") && (interrupted ^= 1)) return errno = EINTR, -1;
  if (is("FWVET_SHIM_ACTION", "short") && *n > 1) --*n;
  return 0;
}

ssize_t write(int fd, const void *buf, size_t n) {
  if (!busy) act(++writes == 1 ? "write1" : writes == 2 ? "write2" : "");
  if (cut(fd, &n) != 0) return -1;
  ssize_t (*f)(int, const void *, size_t) = (ssize_t(*)(int, const void *, size_t))real("write");
  return f(fd, buf, n);
}

ssize_t read(int fd, void *buf, size_t n) {
  if (cut(fd, &n) != 0) return -1;
  return ((ssize_t(*)(int, void *, size_t))real("read"))(fd, buf, n);
}

/* pread64 where off_t has 32 bits, pread elsewhere. */
ssize_t pread(int fd, void *buf, size_t n, off_t at) {
  if (cut(fd, &n) != 0) return -1;
  return ((ssize_t(*)(int, void *, size_t, off_t))real("pread"))(fd, buf, n, at);
}

ssize_t pread64(int fd, void *buf, size_t n, off64_t at) {
  if (cut(fd, &n) != 0) return -1;
  return ((ssize_t(*)(int, void *, size_t, off64_t))real("pread64"))(fd, buf, n, at);
}

int fsync(int fd) {
  char link[64], target[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  target[n < 0 ? 0 : n] = '\0';
  if (strncmp(target, "/tmp/", 5) == 0 && strcmp(target, "/tmp/flsbfile.tar.gz") != 0) strcpy(target, "/tmp/(new)");
  log_call("fsync", target);
  if (++fsyncs == 1) act("fsync1");
  int (*f)(int) = (int (*)(int))real("fsync");
  return f(fd);
}

int renameat(int olddir, const char *from, int newdir, const char *to) {
  log_call("rename", to);
  int (*f)(int, const char *, int, const char *) = (int (*)(int, const char *, int, const char *))real("renameat");
  return f(olddir, from, newdir, to);
}

int unlink(const char *path) {
  log_call("unlink", path);
  const char *file = getenv("FWVET_SHIM_FILE");
  if (is("FWVET_SHIM_ACTION", "nounlink") && file != NULL && strcmp(path, file) == 0) {
    errno = EACCES;
    return -1;
  }
  int (*f)(const char *) = (int (*)(const char *))real("unlink");
  return f(path);
}

void sync(void) {
  log_call("sync", "");
  void (*f)(void) = (void (*)(void))real("sync");
  f();
}

static int tmpfile_refused(int flags) { return (flags & O_TMPFILE) == O_TMPFILE && is("FWVET_SHIM_ACTION", "early"); }

/* openat64 where off_t has 32 bits, openat elsewhere. */
#define OPENAT(name)                                                                    \
  int name(int dir, const char *path, int flags, ...) {                                 \
    va_list ap;                                                                         \
    va_start(ap, flags);                                                                \
    int mode = va_arg(ap, int);                                                         \
    va_end(ap);                                                                         \
    if (tmpfile_refused(flags)) return errno = EOPNOTSUPP, -1;                          \
    return ((int (*)(int, const char *, int, ...))real(#name))(dir, path, flags, mode); \
  }
OPENAT(openat)
OPENAT(openat64)

ssize_t getrandom(void *buf, size_t n, unsigned flags) {
  if (is("FWVET_SHIM_ACTION", "early")) return errno = ENOSYS, -1;
  return ((ssize_t(*)(void *, size_t, unsigned))real("getrandom"))(buf, n, flags);
}

int clock_gettime(clockid_t clock, struct timespec *ts) {
  if (is("FWVET_SHIM_ACTION", "early")) return ts->tv_sec = 0, ts->tv_nsec = 0, 0;
  return ((int (*)(clockid_t, struct timespec *))real("clock_gettime"))(clock, ts);
}

pid_t getpid(void) { return is("FWVET_SHIM_ACTION", "early") ? 1 : ((pid_t(*)(void))real("getpid"))(); }
