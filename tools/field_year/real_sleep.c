/* Preloaded in front of libfaketime in the field-year sandbox: the fake
 * clock moves only the time of day that programs read, while every wait
 * (sleeps, polls, selects) goes straight to the kernel and lasts as long as
 * asked. libfaketime's own wrappers of these calls fail with EINVAL or
 * return at once after its time was moved. */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

int nanosleep(const struct timespec* wanted, struct timespec* left) {
  return (int)syscall(SYS_nanosleep, wanted, left);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* wanted,
                    struct timespec* left) {
  long result = syscall(SYS_clock_nanosleep, clock, flags, wanted, left);
  if (result == -1) return errno; /* clock_nanosleep returns the error itself */
  return 0;
}

unsigned int sleep(unsigned int seconds) {
  struct timespec wanted = {seconds, 0};
  struct timespec left = {0, 0};
  if (nanosleep(&wanted, &left) == 0) return 0;
  return (unsigned int)left.tv_sec;
}

int usleep(useconds_t micros) {
  struct timespec wanted = {micros / 1000000, (long)(micros % 1000000) * 1000};
  return nanosleep(&wanted, NULL);
}

int poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  struct timespec timeout = {timeout_ms / 1000, (long)(timeout_ms % 1000) * 1000000};
  return (int)syscall(SYS_ppoll, fds, count, timeout_ms < 0 ? NULL : &timeout, NULL, (size_t)8);
}

int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* timeout, const sigset_t* mask) {
  return (int)syscall(SYS_ppoll, fds, count, timeout, mask, (size_t)8);
}

int select(int count, fd_set* reads, fd_set* writes, fd_set* errors, struct timeval* timeout) {
  return (int)syscall(SYS_select, count, reads, writes, errors, timeout);
}

int pselect(int count, fd_set* reads, fd_set* writes, fd_set* errors,
            const struct timespec* timeout, const sigset_t* mask) {
  struct {
    const sigset_t* mask;
    size_t size;
  } with_mask = {mask, 8};
  return (int)syscall(SYS_pselect6, count, reads, writes, errors, timeout, &with_mask);
}

int epoll_wait(int epoll, struct epoll_event* events, int count, int timeout_ms) {
  return (int)syscall(SYS_epoll_pwait, epoll, events, count, timeout_ms, NULL, (size_t)8);
}

int epoll_pwait(int epoll, struct epoll_event* events, int count, int timeout_ms,
                const sigset_t* mask) {
  return (int)syscall(SYS_epoll_pwait, epoll, events, count, timeout_ms, mask, (size_t)8);
}
