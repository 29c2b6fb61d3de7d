// Counts, for a whole run of a program, the monotonic clock reads and mutex locks it makes
// through the C library, and prints both at exit: the two kinds of work of an exchange that
// system-call counts do not show. Not built with the project; see docs/performance.md.
//   gcc -O2 -shared -fPIC bench/count_calls.c -o /tmp/count_calls.so -ldl
//   LD_PRELOAD=/tmp/count_calls.so build-bench/bin/bench_roundtrip 2000 0 "TComPort (purge"
//
// It also times how soon a caller goes to sleep for its reply: from the end of a write to a
// terminal to the start of the same thread's next poll, ppoll, select or pselect. The later
// it sleeps, the likelier the kernel wakes it on the other CPU. And the way back: from the end
// of that wait to the start of the next such write, the work between a reply and the next
// request (taking the reply, a purge, the write's own set-up). Kept per contender of
// bench_roundtrip (whose block runs is told through bench_probe_contender), and printed in
// the order of the contenders' lines. Run the round trip with 0 time-out reads for it.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

static atomic_long clockReads, mutexLocks;

static int (*realClock)(clockid_t, struct timespec*);

int clock_gettime(clockid_t id, struct timespec* ts) {
  if (!realClock)
    realClock = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  if (id == CLOCK_MONOTONIC) atomic_fetch_add(&clockReads, 1);
  return realClock(id, ts);
}

int pthread_mutex_lock(pthread_mutex_t* m) {
  static int (*real)(pthread_mutex_t*);
  if (!real) real = (int (*)(pthread_mutex_t*))dlsym(RTLD_NEXT, "pthread_mutex_lock");
  atomic_fetch_add(&mutexLocks, 1);
  return real(m);
}

enum { kContenders = 32, kBuckets = 1000, kBucketNs = 10 };  // the last bucket: 10 us or more
static atomic_long gaps[kContenders][kBuckets], backs[kContenders][kBuckets];
static __thread int contender = -1;
static __thread long wroteAt;  // ns; 0 unless the thread's last such call was a terminal write
static __thread long wokeAt;   // ns; 0 unless it was a wait that followed one

void bench_probe_contender(int index) {
  contender = index;
  wroteAt = wokeAt = 0;
}

static void Count(atomic_long* h, long ns) {
  long b = ns / kBucketNs;
  if (b < 0) b = 0;
  if (b >= kBuckets) b = kBuckets - 1;
  atomic_fetch_add(&h[b], 1);
}

static long NowNs(void) {
  struct timespec ts;
  if (!realClock)
    realClock = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  realClock(CLOCK_MONOTONIC_RAW, &ts);
  return ts.tv_sec * 1000000000L + ts.tv_nsec;
}

ssize_t write(int fd, const void* buf, size_t n) {
  static ssize_t (*real)(int, const void*, size_t);
  if (!real) real = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  int tty = 0;
  if (contender >= 0 && contender < kContenders) {
    const int saved = errno;
    tty = isatty(fd);
    errno = saved;
    if (tty && wokeAt != 0) Count(backs[contender], NowNs() - wokeAt);
    wokeAt = 0;
  }
  const ssize_t r = real(fd, buf, n);
  if (tty && r > 0) wroteAt = NowNs();
  return r;
}

// Returns whether the wait follows a terminal write, for WaitEnded.
static int WaitStarts(void) {
  if (wroteAt == 0) return 0;
  Count(gaps[contender], NowNs() - wroteAt);
  wroteAt = 0;
  return 1;
}

// Passes the wait's result through, its errno untouched.
static int WaitEnded(int timed, int r) {
  if (timed) {
    const int saved = errno;
    wokeAt = NowNs();
    errno = saved;
  }
  return r;
}

int poll(struct pollfd* fds, nfds_t n, int timeout) {
  static int (*real)(struct pollfd*, nfds_t, int);
  if (!real) real = (int (*)(struct pollfd*, nfds_t, int))dlsym(RTLD_NEXT, "poll");
  const int timed = WaitStarts();  // before the wait, whatever order arguments go in
  return WaitEnded(timed, real(fds, n, timeout));
}

int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* t, const sigset_t* mask) {
  static int (*real)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);
  if (!real)
    real = (int (*)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*))dlsym(
        RTLD_NEXT, "ppoll");
  const int timed = WaitStarts();  // before the wait, whatever order arguments go in
  return WaitEnded(timed, real(fds, n, t, mask));
}

int select(int n, fd_set* r, fd_set* w, fd_set* e, struct timeval* t) {
  static int (*real)(int, fd_set*, fd_set*, fd_set*, struct timeval*);
  if (!real)
    real = (int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*))dlsym(RTLD_NEXT, "select");
  const int timed = WaitStarts();  // before the wait, whatever order arguments go in
  return WaitEnded(timed, real(n, r, w, e, t));
}

int pselect(int n, fd_set* r, fd_set* w, fd_set* e, const struct timespec* t, const sigset_t* m) {
  static int (*real)(int, fd_set*, fd_set*, fd_set*, const struct timespec*, const sigset_t*);
  if (!real)
    real = (int (*)(int, fd_set*, fd_set*, fd_set*, const struct timespec*, const sigset_t*))dlsym(
        RTLD_NEXT, "pselect");
  const int timed = WaitStarts();  // before the wait, whatever order arguments go in
  return WaitEnded(timed, real(n, r, w, e, t, m));
}

static long Total(const atomic_long* h) {
  long total = 0;
  for (int b = 0; b < kBuckets; ++b) total += h[b];
  return total;
}

static long Percentile(const atomic_long* h, long total, double p) {
  long seen = 0;
  for (int b = 0; b < kBuckets; ++b) {
    seen += h[b];
    if (seen * 1.0 >= p * total) return (long)b * kBucketNs + kBucketNs / 2;
  }
  return (long)kBuckets * kBucketNs;
}

__attribute__((destructor)) static void Report(void) {
  fprintf(stderr, "calls: clock reads %ld, mutex locks %ld\n", (long)clockReads, (long)mutexLocks);
  for (int c = 0; c < kContenders; ++c) {
    const long to = Total(gaps[c]), back = Total(backs[c]);
    if (to == 0) continue;
    fprintf(stderr,
            "contender %2d: write to wait (%ld) ns p10 %5ld median %5ld p90 %5ld | wait to write "
            "(%ld) ns p10 %5ld median %5ld p90 %5ld\n",
            c, to, Percentile(gaps[c], to, 0.1), Percentile(gaps[c], to, 0.5),
            Percentile(gaps[c], to, 0.9), back, Percentile(backs[c], back, 0.1),
            Percentile(backs[c], back, 0.5), Percentile(backs[c], back, 0.9));
  }
}
