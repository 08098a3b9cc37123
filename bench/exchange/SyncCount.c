/* Counts a process's syncs for the exchange benchmark: loaded with
   LD_PRELOAD into the receive run and into every tool of the reference, it
   passes fsync, fdatasync, syncfs and sync on to the C library and, at exit,
   appends how many there were to the file $TRELVO_SYNC_LOG. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static atomic_long syncs;

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

int fsync(int fd) {
  static __typeof__(&fsync) next;
  if (!next) next = NEXT(fsync);
  atomic_fetch_add(&syncs, 1);
  return next(fd);
}

int fdatasync(int fd) {
  static __typeof__(&fdatasync) next;
  if (!next) next = NEXT(fdatasync);
  atomic_fetch_add(&syncs, 1);
  return next(fd);
}

int syncfs(int fd) {
  static __typeof__(&syncfs) next;
  if (!next) next = NEXT(syncfs);
  atomic_fetch_add(&syncs, 1);
  return next(fd);
}

void sync(void) {
  static __typeof__(&sync) next;
  if (!next) next = NEXT(sync);
  atomic_fetch_add(&syncs, 1);
  next();
}

__attribute__((destructor)) static void report(void) {
  const char* file = getenv("TRELVO_SYNC_LOG");
  if (!file || !*file) return;
  int fd = open(file, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0) return;
  dprintf(fd, "%ld\n", (long)atomic_load(&syncs));
  close(fd);
}
