/* A preload library for tests: pseudo-terminals with the modem lines of a
 * null-modem cable. The Linux tests of the port controls load it into their
 * test program, and the Wine harness into every Windows test program.
 *
 * A pty has no modem lines (TIOCMGET and its relatives fail with ENOTTY), so
 * here every pty end gets a model of them; every other request, and every
 * other device, goes to the C library untouched.
 *
 * 1. The cable. Each end (a slave, or a master) drives DTR and RTS with
 *    TIOCMBIS, TIOCMBIC and TIOCMSET, and may drive RI too (TIOCM_RNG),
 *    which no cable carries but a test must be able to ring. An end's inputs
 *    are its partner's outputs, crossed as a null-modem cable crosses them:
 *    CTS is the partner's RTS, DSR and DCD are the partner's DTR, RI is the
 *    partner's RI. TIOCMGET shows the end's own DTR and RTS and its inputs.
 *    An end no one has driven yet has DTR and RTS raised, as an open tty
 *    does. A slave's partner is its own master: a test opens the slave
 *    through the library and plays the far end on the master. The variable
 *    KAVREL_MODEM_SHIM_PAIRS="3:4,7:8" pairs slave 3 with slave 4 instead,
 *    for the Wine harness, which links two ptys back to back with socat and
 *    opens both slaves.
 *
 * 2. Counts and breaks. TIOCGICOUNT counts the changes of each input (cts,
 *    dsr, dcd, rng) and, in brk, the breaks the partner started. TIOCSBRK and
 *    TIOCCBRK start and end an end's break. As a convention of this model,
 *    an end's counts also carry, in reserved[0], how many milliseconds the
 *    partner's last finished break lasted and, in reserved[1], 1 while the
 *    partner holds a break.
 *
 * 3. Waits under Wine (only when KAVREL_MODEM_SHIM_END_WAITS_MS is set).
 *    Wine ends a pending WaitCommEvent only when an event comes or the mask
 *    changes: CancelIo and CancelIoEx do not reach it, as they do on
 *    Windows, so a thread that cancels its own wait would wait for it
 *    forever. Wine's driver polls the modem lines every millisecond while a
 *    wait is pending; after that many milliseconds of one wait's polling,
 *    one poll fails, and Wine ends that wait with ERROR_OPERATION_ABORTED,
 *    as a driver may. The waiting program sees a request that ended without
 *    events and asks again.
 *
 * 4. What a pty slave has written already sits in the peer's receive
 *    buffer, so tcflush(TCOFLUSH) on the slave would take back bytes a
 *    completed write has delivered (PurgeComm(PURGE_TXCLEAR) after a write).
 *    On a wire they are gone; here the output half of the flush is dropped.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>

enum {
  /* Polls further apart than this belong to different waits. */
  kPollGapMs = 20,
  kTrackedDescriptors = 4096,
  /* Ptys numbered beyond this have no model (their requests fail as a pty's
   * do). */
  kModelledPtys = 4096,
  kOutputs = TIOCM_DTR | TIOCM_RTS | TIOCM_RNG,
};

typedef int (*ioctl_function)(int, unsigned long, ...);
typedef int (*tcflush_function)(int, int);

static void* next_symbol(void** cache, const char* name) {
  void* found = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
  if (found == NULL) {
    found = dlsym(RTLD_NEXT, name);
    __atomic_store_n(cache, found, __ATOMIC_RELEASE);
  }
  return found;
}

static int real_ioctl(int fd, unsigned long request, void* argument) {
  static void* real;
  return ((ioctl_function)next_symbol(&real, "ioctl"))(fd, request, argument);
}

static long long now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* ---- Which pty end a descriptor is ---- */

/* Linux numbers the pty slaves with majors 136 to 143; every master is the
 * multiplexer /dev/ptmx (5:2) and tells its number through TIOCGPTN. */
static int is_pty_slave(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return 0;
  const unsigned int number = major(status.st_rdev);
  return number >= 136 && number <= 143;
}

/* The end's slot in the model: 2 * pty + 0 for a slave, + 1 for a master;
 * -1 for anything else. */
static int end_of(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return -1;
  const unsigned int number = major(status.st_rdev);
  int pty = -1;
  int master = 0;
  if (number >= 136 && number <= 143) {
    pty = (int)((number - 136) * 256 + minor(status.st_rdev));
  } else if (number == 5 && minor(status.st_rdev) == 2) {
    unsigned int index = 0;
    if (real_ioctl(fd, TIOCGPTN, &index) != 0) return -1;
    pty = (int)index;
    master = 1;
  }
  if (pty < 0 || pty >= kModelledPtys) return -1;
  return 2 * pty + master;
}

/* ---- The cable ---- */

struct end_state {
  int touched;  /* driven at least once; until then DTR and RTS are raised */
  int outputs;  /* TIOCM_DTR | TIOCM_RTS | TIOCM_RNG */
  int breaking; /* holds a break now */
  long long break_started;
  long long last_break_ms;
  struct serial_icounter_struct counts; /* changes of this end's inputs */
};

static pthread_mutex_t cable_mutex = PTHREAD_MUTEX_INITIALIZER;
static struct end_state ends[2 * kModelledPtys];
static int slave_pairs[kModelledPtys]; /* the paired slave + 1; 0 for none */
static pthread_once_t pairs_once = PTHREAD_ONCE_INIT;

static void read_pairs(void) {
  const char* text = getenv("KAVREL_MODEM_SHIM_PAIRS");
  while (text != NULL && *text != '\0') {
    char* rest = NULL;
    const long first = strtol(text, &rest, 10);
    if (rest == text || *rest != ':') break;
    text = rest + 1;
    const long second = strtol(text, &rest, 10);
    if (rest == text) break;
    if (first >= 0 && first < kModelledPtys && second >= 0 && second < kModelledPtys) {
      slave_pairs[first] = (int)second + 1;
      slave_pairs[second] = (int)first + 1;
    }
    text = *rest == ',' ? rest + 1 : rest;
  }
}

static int partner_of(int end) {
  pthread_once(&pairs_once, read_pairs);
  const int pty = end / 2;
  if (end % 2 == 0 && slave_pairs[pty] != 0) return 2 * (slave_pairs[pty] - 1);
  return end % 2 == 0 ? end + 1 : end - 1;
}

/* With cable_mutex held. */
static struct end_state* state_of(int end) {
  struct end_state* state = &ends[end];
  if (!state->touched) {
    state->touched = 1;
    state->outputs = TIOCM_DTR | TIOCM_RTS;
  }
  return state;
}

static int inputs_from(const struct end_state* partner) {
  int inputs = 0;
  if (partner->outputs & TIOCM_RTS) inputs |= TIOCM_CTS;
  if (partner->outputs & TIOCM_DTR) inputs |= TIOCM_DSR | TIOCM_CAR;
  if (partner->outputs & TIOCM_RNG) inputs |= TIOCM_RNG;
  return inputs;
}

/* With cable_mutex held: end drives outputs now; the partner counts what
 * changed on its inputs. */
static void drive(int end, int outputs) {
  struct end_state* state = state_of(end);
  struct end_state* partner = state_of(partner_of(end));
  const int changed = (state->outputs ^ outputs) & kOutputs;
  state->outputs = outputs & kOutputs;
  if (changed & TIOCM_RTS) partner->counts.cts++;
  if (changed & TIOCM_DTR) {
    partner->counts.dsr++;
    partner->counts.dcd++;
  }
  if (changed & TIOCM_RNG) partner->counts.rng++;
}

static void drive_break(int end, int on) {
  struct end_state* state = state_of(end);
  if (on && !state->breaking) {
    state->breaking = 1;
    state->break_started = now_ms();
    state_of(partner_of(end))->counts.brk++;
  } else if (!on && state->breaking) {
    state->breaking = 0;
    state->last_break_ms = now_ms() - state->break_started;
  }
}

/* ---- Waits under Wine ---- */

/* Per descriptor: when the current run of polls began and when the last one
 * came. */
static pthread_mutex_t polls_mutex = PTHREAD_MUTEX_INITIALIZER;
static long long poll_run_start[kTrackedDescriptors];
static long long poll_last[kTrackedDescriptors];

/* True when this poll should fail so that the pending wait ends. */
static int wait_has_run_out(int fd) {
  const char* limit_text = getenv("KAVREL_MODEM_SHIM_END_WAITS_MS");
  if (limit_text == NULL || fd < 0 || fd >= kTrackedDescriptors) return 0;
  const long long limit = atoll(limit_text);
  if (limit <= 0) return 0;
  const long long now = now_ms();
  int run_out = 0;
  pthread_mutex_lock(&polls_mutex);
  if (now - poll_last[fd] > kPollGapMs) poll_run_start[fd] = now;
  poll_last[fd] = now;
  if (now - poll_run_start[fd] >= limit) {
    run_out = 1;
    poll_last[fd] = 0; /* the next poll belongs to a new wait */
  }
  pthread_mutex_unlock(&polls_mutex);
  return run_out;
}

/* ---- The requests ---- */

static int modelled_request(unsigned long request) {
  return request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET ||
         request == TIOCGICOUNT || request == TIOCSBRK || request == TIOCCBRK;
}

static int answer(int fd, int end, unsigned long request, void* argument) {
  const int needs_argument = request != TIOCSBRK && request != TIOCCBRK;
  if (needs_argument && argument == NULL) {
    errno = EFAULT;
    return -1;
  }
  if (request == TIOCMGET && end % 2 == 0 && wait_has_run_out(fd)) {
    errno = EIO;
    return -1;
  }
  pthread_mutex_lock(&cable_mutex);
  struct end_state* state = state_of(end);
  const struct end_state* partner = state_of(partner_of(end));
  switch (request) {
    case TIOCMGET:
      *(int*)argument = (state->outputs & (TIOCM_DTR | TIOCM_RTS)) | inputs_from(partner);
      break;
    case TIOCMBIS:
      drive(end, state->outputs | *(const int*)argument);
      break;
    case TIOCMBIC:
      drive(end, state->outputs & ~*(const int*)argument);
      break;
    case TIOCMSET:
      drive(end, *(const int*)argument);
      break;
    case TIOCGICOUNT: {
      struct serial_icounter_struct* counts = argument;
      *counts = state->counts;
      counts->reserved[0] = (int)partner->last_break_ms;
      counts->reserved[1] = partner->breaking;
      break;
    }
    case TIOCSBRK:
    case TIOCCBRK:
      drive_break(end, request == TIOCSBRK);
      break;
  }
  pthread_mutex_unlock(&cable_mutex);
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);

  if (modelled_request(request)) {
    const int end = end_of(fd);
    if (end >= 0) return answer(fd, end, request, argument);
  }
  return real_ioctl(fd, request, argument);
}

int tcflush(int fd, int queue) {
  static void* real;
  const tcflush_function next = (tcflush_function)next_symbol(&real, "tcflush");
  if ((queue == TCOFLUSH || queue == TCIOFLUSH) && is_pty_slave(fd)) {
    return queue == TCIOFLUSH ? next(fd, TCIFLUSH) : 0;
  }
  return next(fd, queue);
}
