/* A library that the end-to-end fault tests (test_faults.py) preload into k_graft, to stand in
   for another process acting on the files while the tool runs. At the first end of data the tool
   reads from a file (the system's tables in /proc aside), that of a.mo's count, it runs the
   shell command KG_AT_FIRST_END, between the count and the merge; so KG_AT_REWIND at the first
   rewind, KG_AT_WRITE at the first write of the output, KG_AT_COPY at the first copy inside the
   system and KG_AT_SEEK at the first seek past a section, each holding that call until the
   command is done. The KG_FAIL_READth read after the first rewind fails with EIO; a copy inside
   the system is refused with errno KG_COPY_ERRNO; just before the tool opens the file named
   KG_SWAP (for KG_SWAP_WRITE: opens it for writing), a symbolic link to KG_SWAP_TO (/dev/zero)
   takes its place; the first open of the file named KG_INTERRUPT fails with EINTR, as one that
   a signal interrupts; each copy and seek is noted in the file KG_CALL_LOG. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/vfs.h>
#include <unistd.h>
#define NEXT(name, ...) ((ssize_t (*)(__VA_ARGS__))dlsym(RTLD_NEXT, name))
static int ends, rewound;
static void run(const char *event) {
  char *command = getenv(event);
  if (command && (command = strdup(command)) && !unsetenv(event) && !unsetenv("LD_PRELOAD"))
    system(command);
}
static void note(const char *call) {
  FILE *log = getenv("KG_CALL_LOG") ? fopen(getenv("KG_CALL_LOG"), "a") : NULL;
  if (log) fprintf(log, "%s\n", call), fclose(log);
}
ssize_t read(int fd, void *buf, size_t n) {
  struct statfs system;
  if (fstatfs(fd, &system) == 0 && system.f_type == 0x9fa0)  /* PROC_SUPER_MAGIC */
    return NEXT("read", int, void *, size_t)(fd, buf, n);
  const char *fail = getenv("KG_FAIL_READ");
  if (rewound && fail && rewound++ == atoi(fail)) return errno = EIO, -1;
  ssize_t got = NEXT("read", int, void *, size_t)(fd, buf, n);
  if (got == 0 && !ends++) run("KG_AT_FIRST_END");
  return got;
}
ssize_t write(int fd, const void *buf, size_t n) {
  if (fd > 2 && rewound) run("KG_AT_WRITE");
  return NEXT("write", int, const void *, size_t)(fd, buf, n);
}
off64_t lseek64(int fd, off64_t at, int whence) {  /* the tool has 64-bit offsets */
  if (!rewound && at == 0 && whence == SEEK_SET) rewound = 1, run("KG_AT_REWIND");
  if (at != 0) note("seek"), run("KG_AT_SEEK");
  return NEXT("lseek64", int, off64_t, int)(fd, at, whence);
}
ssize_t copy_file_range(int in, off_t *at, int out, off_t *to, size_t n, unsigned flags) {
  note("copy");
  run("KG_AT_COPY");
  if (getenv("KG_COPY_ERRNO")) return errno = atoi(getenv("KG_COPY_ERRNO")), -1;
  return NEXT("copy_file_range", int, off_t *, int, off_t *, size_t, unsigned)(in, at, out, to,
                                                                               n, flags);
}
int open64(const char *name, int flags, ...) {  /* the tool always gives a mode */
  va_list rest;
  va_start(rest, flags);
  mode_t mode = va_arg(rest, mode_t);
  va_end(rest);
  const char *interrupt = getenv("KG_INTERRUPT");
  if (interrupt && !strcmp(name, interrupt) && !unsetenv("KG_INTERRUPT")) return errno = EINTR, -1;
  const char *swap = getenv((flags & O_ACCMODE) == O_RDONLY ? "KG_SWAP" : "KG_SWAP_WRITE");
  if (swap && !strcmp(name, swap) && !unlink(name))
    symlink(getenv("KG_SWAP_TO") ? getenv("KG_SWAP_TO") : "/dev/zero", name);
  return ((int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open64"))(name, flags, mode);
}
