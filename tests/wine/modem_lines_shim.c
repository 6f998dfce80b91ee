/* A preload library of the Wine test harness: what Wine's serial driver
 * needs of a pty to behave like a COM port on a null-modem cable.
 *
 * The harness wires two COM ports back to back through pseudo-terminals.
 * Three things differ between a pty and a UART, and each is answered here
 * for pty slaves only; every other request, and every other device, goes to
 * the C library untouched.
 *
 * 1. A pty has no modem lines: TIOCMGET and its relatives fail with ENOTTY,
 *    and Wine's driver then gives a pending WaitCommEvent up within about
 *    2 ms. Here they succeed, with the peer's lines present.
 *
 * 2. Wine ends a pending WaitCommEvent only when an event comes or the mask
 *    changes: CancelIo and CancelIoEx do not reach it, as they do on
 *    Windows, so a thread that cancels its own wait would wait for it
 *    forever. Wine's driver polls the modem lines every millisecond while a
 *    wait is pending; after kWaitLimitMs of one wait's polling, one poll
 *    fails, and Wine ends that wait with ERROR_OPERATION_ABORTED, as a
 *    driver may. The waiting program sees a request that ended without
 *    events and asks again.
 *
 * 3. What a pty slave has written already sits in the peer's receive
 *    buffer, so tcflush(TCOFLUSH) on the slave would take back bytes a
 *    completed write has delivered (PurgeComm(PURGE_TXCLEAR) after a write).
 *    On a wire they are gone; here the output half of the flush is dropped.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>

enum {
  kWaitLimitMs = 100,
  /* Polls further apart than this belong to different waits. */
  kPollGapMs = 20,
  kTrackedDescriptors = 4096,
};

typedef int (*ioctl_function)(int, unsigned long, ...);
typedef int (*tcflush_function)(int, int);

/* Linux numbers the pty slaves with majors 136 to 143. */
static int is_pty_slave(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return 0;
  const unsigned int number = major(status.st_rdev);
  return number >= 136 && number <= 143;
}

static void* next_symbol(void** cache, const char* name) {
  void* found = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
  if (found == NULL) {
    found = dlsym(RTLD_NEXT, name);
    __atomic_store_n(cache, found, __ATOMIC_RELEASE);
  }
  return found;
}

static long long now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Per descriptor: when the current run of polls began and when the last one
 * came. */
static pthread_mutex_t polls_mutex = PTHREAD_MUTEX_INITIALIZER;
static long long poll_run_start[kTrackedDescriptors];
static long long poll_last[kTrackedDescriptors];

/* True when this poll should fail so that the pending wait ends. */
static int wait_has_run_out(int fd) {
  if (fd < 0 || fd >= kTrackedDescriptors) return 0;
  const long long now = now_ms();
  int run_out = 0;
  pthread_mutex_lock(&polls_mutex);
  if (now - poll_last[fd] > kPollGapMs) poll_run_start[fd] = now;
  poll_last[fd] = now;
  if (now - poll_run_start[fd] >= kWaitLimitMs) {
    run_out = 1;
    poll_last[fd] = 0; /* the next poll belongs to a new wait */
  }
  pthread_mutex_unlock(&polls_mutex);
  return run_out;
}

int ioctl(int fd, unsigned long request, ...) {
  static void* real;
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);

  const int is_modem_request =
      request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
  if (is_modem_request && is_pty_slave(fd)) {
    if (argument == NULL) {
      errno = EFAULT;
      return -1;
    }
    if (request == TIOCMGET) {
      if (wait_has_run_out(fd)) {
        errno = EIO;
        return -1;
      }
      *(int*)argument = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
    }
    return 0;
  }
  return ((ioctl_function)next_symbol(&real, "ioctl"))(fd, request, argument);
}

int tcflush(int fd, int queue) {
  static void* real;
  const tcflush_function next = (tcflush_function)next_symbol(&real, "tcflush");
  if ((queue == TCOFLUSH || queue == TCIOFLUSH) && is_pty_slave(fd)) {
    return queue == TCIOFLUSH ? next(fd, TCIFLUSH) : 0;
  }
  return next(fd, queue);
}
