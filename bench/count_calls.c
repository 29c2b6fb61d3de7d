// Counts, for a whole run of a program, the monotonic clock reads and mutex locks it makes
// through the C library, and prints both at exit: the two kinds of work of an exchange that
// system-call counts do not show. Not built with the project; see docs/performance.md.
//   gcc -O2 -shared -fPIC bench/count_calls.c -o /tmp/count_calls.so -ldl
//   LD_PRELOAD=/tmp/count_calls.so build-bench/bin/bench_roundtrip 2000 0 "TComPort (purge"
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <time.h>

static atomic_long clockReads, mutexLocks;

int clock_gettime(clockid_t id, struct timespec* ts) {
  static int (*real)(clockid_t, struct timespec*);
  if (!real) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  if (id == CLOCK_MONOTONIC) atomic_fetch_add(&clockReads, 1);
  return real(id, ts);
}

int pthread_mutex_lock(pthread_mutex_t* m) {
  static int (*real)(pthread_mutex_t*);
  if (!real) real = (int (*)(pthread_mutex_t*))dlsym(RTLD_NEXT, "pthread_mutex_lock");
  atomic_fetch_add(&mutexLocks, 1);
  return real(m);
}

__attribute__((destructor)) static void Report(void) {
  fprintf(stderr, "calls: clock reads %ld, mutex locks %ld\n", (long)clockReads, (long)mutexLocks);
}
