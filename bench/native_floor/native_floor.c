/* Native floors for the benchmark: what this machine allows without any of metronyx's machinery.
 *
 * start(callable, keep_thread_state=True) / stop() -> calls made: one native thread that calls a
 * Python callable in a loop, taking the interpreter lock around each call and nothing else. Two
 * variants:
 *
 *   keep_thread_state=True   one outer PyGILState_Ensure for the thread's life (its lock handed
 *                            back at once), so each inner Ensure/Release only switches the lock;
 *   keep_thread_state=False  no outer Ensure, so every Ensure creates a thread state and every
 *                            Release destroys it again.
 *
 * One loop at a time per process.
 *
 * sleep_start(interval, count, slack_ns=1, callable=None) / sleep_done() / sleep_finish() ->
 * (t0, stamps): on a new native thread with the given timer slack, reads CLOCK_MONOTONIC (t0) and
 * sleeps to the absolute deadlines t0 + k * interval (k = 1..count); `stamps` are the times it
 * woke. No interpreter lock is involved: this is the wake-up floor. With a callable, the thread
 * also keeps a thread state and calls it under the interpreter lock after each wake-up, the way a
 * periodic worker does: a runner that takes the lock whose origin is known. `sleep_start` returns at once, so the
 * caller's thread can be idle or busy meanwhile. The benchmark uses t0 only to check its own grid
 * estimator, which is otherwise given the stamps alone, as it is for every other runner.
 *
 * sleepers(threads, interval, count, slack_ns=1, callable=None, queue=False, spin_ahead=False,
 *          ask_main=False) ->
 * (list of ns, cpu ns): the same on `threads` threads at once, each with a grid of its own;
 * returns every wake-up's lateness and the CPU time all those threads used: the floor for many
 * periodic tasks. The options add a periodic worker's costs one at a time, so that the CPU per
 * call can be taken apart: the timer slack of the sleep; a call of `callable` under the
 * interpreter lock (the thread keeps a thread state for life); a queue that the threads pass
 * through one at a time while they ask for the lock, released once they hold it; in that queue, a
 * spin (25 us at most) until the thread ahead has ended its call and given the lock back; and a
 * pending call posted to the main thread before each call (at most one outstanding; it does
 * nothing).
 *
 * stalls(seconds, threshold_ns=100000) -> (list of ns, loops): the machine's own stalls. The
 * calling thread, its interpreter lock released, reads CLOCK_MONOTONIC in a loop for `seconds`
 * and returns every gap between two readings longer than `threshold_ns`: time in which a thread
 * that never sleeps did not run (the hypervisor or the kernel took its CPU). No sleeper can be on
 * time through such a gap, so a worst call as long as one is the machine's, not the runner's.
 *
 * A benchmark helper only; it is not part of the metronyx package. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <sys/prctl.h>
#include <time.h>

static pthread_t loop_thread;
static int loop_active = 0;            /* guarded by the interpreter lock */
static PyObject *loop_callable = NULL; /* strong reference while a loop runs */
static int loop_keep_state = 1;
static atomic_bool loop_running;
static unsigned long long loop_calls = 0; /* written by the loop thread, read after join */

static void *loop_body(void *unused) {
  (void)unused;
  PyGILState_STATE outer = PyGILState_UNLOCKED;
  if (loop_keep_state) {
    outer = PyGILState_Ensure();
    (void)PyEval_SaveThread();
  }
  unsigned long long calls = 0;
  while (atomic_load_explicit(&loop_running, memory_order_relaxed)) {
    PyGILState_STATE state = PyGILState_Ensure();
    PyObject *result = PyObject_CallNoArgs(loop_callable);
    if (result != NULL) {
      Py_DECREF(result);
    } else {
      PyErr_Clear();
    }
    PyGILState_Release(state);
    ++calls;
  }
  loop_calls = calls;
  if (loop_keep_state) {
    PyEval_RestoreThread(PyGILState_GetThisThreadState());
    PyGILState_Release(outer);
  }
  return NULL;
}

static PyObject *floor_start(PyObject *module, PyObject *args, PyObject *kwargs) {
  (void)module;
  static char *keywords[] = {"callable", "keep_thread_state", NULL};
  PyObject *callable = NULL;
  int keep = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p", keywords, &callable, &keep)) return NULL;
  if (loop_active) {
    PyErr_SetString(PyExc_RuntimeError, "a loop is already running");
    return NULL;
  }
  Py_INCREF(callable);
  loop_callable = callable;
  loop_keep_state = keep;
  loop_calls = 0;
  atomic_store(&loop_running, true);
  int rc = pthread_create(&loop_thread, NULL, loop_body, NULL);
  if (rc != 0) {
    Py_CLEAR(loop_callable);
    errno = rc;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  loop_active = 1;
  Py_RETURN_NONE;
}

static PyObject *floor_stop(PyObject *module, PyObject *unused) {
  (void)module;
  (void)unused;
  if (!loop_active) {
    PyErr_SetString(PyExc_RuntimeError, "no loop is running");
    return NULL;
  }
  atomic_store(&loop_running, false);
  Py_BEGIN_ALLOW_THREADS
  pthread_join(loop_thread, NULL);
  Py_END_ALLOW_THREADS
  loop_active = 0;
  Py_CLEAR(loop_callable);
  return PyLong_FromUnsignedLongLong(loop_calls);
}

/* ---- Wake-up floor ---- */

struct sleep_job {
  double interval;
  Py_ssize_t count;
  unsigned long slack_ns;
  long long t0;        /* the grid's origin, read by the sleeping thread before its first sleep */
  long long *stamps;   /* count entries: when wake-up k (from 1) happened, or NULL */
  long long *lateness; /* count entries: how late wake-up k was (used when stamps is NULL) */
  PyObject *callable;  /* or NULL: called under the interpreter lock after each wake-up */
  int queue;           /* pass through the shared queue while asking for the lock */
  int spin_ahead;      /* in the queue, spin (25 us at most) until the call ahead has ended */
  int ask_main;        /* post a pending call to the main thread before asking for the lock */
};

static pthread_mutex_t lock_queue = PTHREAD_MUTEX_INITIALIZER;
/* The call of the thread that came through the queue last and still holds the lock, or NULL. */
static _Atomic(const void *) call_ahead;

static atomic_bool main_request_outstanding;

static int main_request(void *unused) {
  (void)unused;
  atomic_store(&main_request_outstanding, false);
  return 0;
}

static long long monotonic_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void spin_pause(void) {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

static void spin_for_call_ahead(void) {
  if (!atomic_load(&call_ahead)) return;
  const long long deadline = monotonic_ns() + 25000;
  while (atomic_load(&call_ahead) && monotonic_ns() < deadline) {
    for (int i = 0; i < 16 && atomic_load(&call_ahead); ++i) spin_pause();
  }
}

static void *sleep_body(void *raw) {
  struct sleep_job *job = raw;
  (void)prctl(PR_SET_TIMERSLACK, job->slack_ns, 0UL, 0UL, 0UL);
  /* With a callable, the thread keeps a thread state for life and takes the lock around each
   * call, as a periodic worker does. */
  PyGILState_STATE outer = PyGILState_UNLOCKED;
  if (job->callable != NULL) {
    outer = PyGILState_Ensure();
    (void)PyEval_SaveThread();
  }
  const long long t0 = monotonic_ns();
  job->t0 = t0;
  for (Py_ssize_t k = 1; k <= job->count; ++k) {
    const long long deadline = t0 + (long long)((double)k * job->interval * 1e9 + 0.5);
    const struct timespec target = {(time_t)(deadline / 1000000000LL),
                                    (long)(deadline % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, NULL) == EINTR) {
    }
    const long long woke = monotonic_ns();
    if (job->stamps != NULL) {
      job->stamps[k - 1] = woke;
    } else {
      job->lateness[k - 1] = woke - deadline;
    }
    if (job->callable != NULL) {
      if (job->queue) pthread_mutex_lock(&lock_queue);
      if (job->spin_ahead) spin_for_call_ahead();
      if (job->ask_main && !atomic_exchange(&main_request_outstanding, true) &&
          Py_AddPendingCall(main_request, NULL) != 0) {
        atomic_store(&main_request_outstanding, false);
      }
      PyGILState_STATE state = PyGILState_Ensure();
      if (job->spin_ahead) atomic_store(&call_ahead, (const void *)&state);
      if (job->queue) pthread_mutex_unlock(&lock_queue);
      PyObject *result = PyObject_CallNoArgs(job->callable);
      if (result != NULL) {
        Py_DECREF(result);
      } else {
        PyErr_Clear();
      }
      PyGILState_Release(state);
      const void *mine = &state;
      if (job->spin_ahead) atomic_compare_exchange_strong(&call_ahead, &mine, NULL);
    }
  }
  if (job->callable != NULL) {
    PyEval_RestoreThread(PyGILState_GetThisThreadState());
    PyGILState_Release(outer);
  }
  return NULL;
}

/* One sleeper at a time: sleep_start returns at once, so that the caller can keep its thread idle
 * or busy meanwhile, and sleep_finish collects the wake-up times. */
static pthread_t sleep_thread;
static int sleep_active = 0; /* guarded by the interpreter lock */
static struct sleep_job sleep_current;
static atomic_bool sleep_over;

static void *sleep_start_body(void *raw) {
  sleep_body(raw);
  atomic_store(&sleep_over, true);
  return NULL;
}

static PyObject *floor_sleep_start(PyObject *module, PyObject *args, PyObject *kwargs) {
  (void)module;
  static char *keywords[] = {"interval", "count", "slack_ns", "callable", NULL};
  double interval = 0.0;
  Py_ssize_t count = 0;
  unsigned long slack_ns = 1UL;
  PyObject *callable = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "dn|kO", keywords, &interval, &count,
                                   &slack_ns, &callable)) {
    return NULL;
  }
  if (count < 0 || !(interval >= 0.0)) {
    PyErr_SetString(PyExc_ValueError, "count and interval must not be negative");
    return NULL;
  }
  if (sleep_active) {
    PyErr_SetString(PyExc_RuntimeError, "a sleeper is already running");
    return NULL;
  }
  long long *stamps = PyMem_RawCalloc((size_t)count + 1, sizeof(long long));
  if (stamps == NULL) return PyErr_NoMemory();
  sleep_current = (struct sleep_job){interval, count, slack_ns, 0, stamps, NULL, NULL, 0, 0, 0};
  if (callable != Py_None) sleep_current.callable = Py_NewRef(callable);
  atomic_store(&sleep_over, false);
  int rc = pthread_create(&sleep_thread, NULL, sleep_start_body, &sleep_current);
  if (rc != 0) {
    PyMem_RawFree(stamps);
    Py_CLEAR(sleep_current.callable);
    errno = rc;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  sleep_active = 1;
  Py_RETURN_NONE;
}

static PyObject *floor_sleep_done(PyObject *module, PyObject *unused) {
  (void)module;
  (void)unused;
  return PyBool_FromLong(atomic_load(&sleep_over));
}

static PyObject *floor_sleep_finish(PyObject *module, PyObject *unused) {
  (void)module;
  (void)unused;
  if (!sleep_active) {
    PyErr_SetString(PyExc_RuntimeError, "no sleeper was started");
    return NULL;
  }
  Py_BEGIN_ALLOW_THREADS
  pthread_join(sleep_thread, NULL);
  Py_END_ALLOW_THREADS
  sleep_active = 0;
  Py_CLEAR(sleep_current.callable);
  PyObject *stamps = PyList_New(sleep_current.count);
  for (Py_ssize_t k = 0; stamps != NULL && k < sleep_current.count; ++k) {
    PyObject *item = PyLong_FromLongLong(sleep_current.stamps[k]);
    if (item == NULL) {
      Py_CLEAR(stamps);
    } else {
      PyList_SET_ITEM(stamps, k, item);
    }
  }
  PyMem_RawFree(sleep_current.stamps);
  sleep_current.stamps = NULL;
  if (stamps == NULL) return NULL;
  return Py_BuildValue("(LN)", sleep_current.t0, stamps);
}

/* ---- Many sleepers ---- */

struct sleeper {
  pthread_t thread;
  struct sleep_job job; /* lateness: count entries of the shared array */
  long long cpu_ns;
};

static void *sleeper_body(void *raw) {
  struct sleeper *sleeper = raw;
  sleep_body(&sleeper->job);
  struct timespec cpu;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  sleeper->cpu_ns = (long long)cpu.tv_sec * 1000000000LL + cpu.tv_nsec;
  return NULL;
}

static PyObject *floor_sleepers(PyObject *module, PyObject *args, PyObject *kwargs) {
  (void)module;
  static char *keywords[] = {"threads", "interval",   "count",    "slack_ns", "callable",
                             "queue",   "spin_ahead", "ask_main", NULL};
  Py_ssize_t threads = 0, count = 0;
  double interval = 0.0;
  unsigned long slack_ns = 1UL;
  PyObject *callable = Py_None;
  int queue = 0, spin_ahead = 0, ask_main = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ndn|kOppp", keywords, &threads, &interval,
                                   &count, &slack_ns, &callable, &queue, &spin_ahead,
                                   &ask_main)) {
    return NULL;
  }
  if (threads <= 0 || count <= 0 || !(interval > 0.0)) {
    PyErr_SetString(PyExc_ValueError, "threads, interval and count must be positive");
    return NULL;
  }
  struct sleeper *jobs = PyMem_RawCalloc((size_t)threads, sizeof(struct sleeper));
  long long *lateness = PyMem_RawCalloc((size_t)(threads * count), sizeof(long long));
  if (jobs == NULL || lateness == NULL) {
    PyMem_RawFree(jobs);
    PyMem_RawFree(lateness);
    return PyErr_NoMemory();
  }
  Py_ssize_t started = 0;
  int rc = 0;
  Py_BEGIN_ALLOW_THREADS
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 64 * 1024);
  for (; started < threads; ++started) {
    jobs[started] = (struct sleeper){
        0,
        {interval, count, slack_ns, 0, NULL, lateness + started * count,
         callable == Py_None ? NULL : callable, queue, spin_ahead, ask_main},
        0};
    rc = pthread_create(&jobs[started].thread, &attributes, sleeper_body, &jobs[started]);
    if (rc != 0) break;
  }
  pthread_attr_destroy(&attributes);
  for (Py_ssize_t i = 0; i < started; ++i) pthread_join(jobs[i].thread, NULL);
  Py_END_ALLOW_THREADS
  PyObject *result = NULL;
  if (rc != 0) {
    errno = rc;
    PyErr_SetFromErrno(PyExc_OSError);
  } else {
    long long cpu_ns = 0;
    for (Py_ssize_t i = 0; i < threads; ++i) cpu_ns += jobs[i].cpu_ns;
    PyObject *list = PyList_New(threads * count);
    for (Py_ssize_t k = 0; list != NULL && k < threads * count; ++k) {
      PyObject *item = PyLong_FromLongLong(lateness[k]);
      if (item == NULL) Py_CLEAR(list);
      else PyList_SET_ITEM(list, k, item);
    }
    if (list != NULL) result = Py_BuildValue("(NL)", list, cpu_ns);
  }
  PyMem_RawFree(jobs);
  PyMem_RawFree(lateness);
  return result;
}

/* ---- The machine's own stalls ---- */

static PyObject *floor_stalls(PyObject *module, PyObject *args, PyObject *kwargs) {
  (void)module;
  static char *keywords[] = {"seconds", "threshold_ns", NULL};
  double seconds = 0.0;
  long long threshold_ns = 100000;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "d|L", keywords, &seconds, &threshold_ns)) {
    return NULL;
  }
  if (!(seconds >= 0.0) || seconds > 3600.0 || threshold_ns <= 0) {
    PyErr_SetString(PyExc_ValueError, "seconds must be in [0, 3600] and threshold_ns positive");
    return NULL;
  }
  /* A gap is at least threshold_ns long, so there are at most seconds / threshold_ns of them. */
  const size_t capacity = (size_t)(seconds * 1e9 / (double)threshold_ns) + 1;
  long long *gaps = PyMem_RawMalloc(capacity * sizeof(long long));
  if (gaps == NULL) return PyErr_NoMemory();
  size_t found = 0;
  unsigned long long loops = 0;
  Py_BEGIN_ALLOW_THREADS
  const long long end = monotonic_ns() + (long long)(seconds * 1e9);
  long long previous = monotonic_ns();
  for (;;) {
    const long long now = monotonic_ns();
    if (now - previous > threshold_ns && found < capacity) gaps[found++] = now - previous;
    previous = now;
    ++loops;
    if (now >= end) break;
  }
  Py_END_ALLOW_THREADS
  PyObject *list = PyList_New((Py_ssize_t)found);
  for (size_t k = 0; list != NULL && k < found; ++k) {
    PyObject *item = PyLong_FromLongLong(gaps[k]);
    if (item == NULL) Py_CLEAR(list);
    else PyList_SET_ITEM(list, (Py_ssize_t)k, item);
  }
  PyMem_RawFree(gaps);
  if (list == NULL) return NULL;
  return Py_BuildValue("(NK)", list, loops);
}

static PyMethodDef floor_methods[] = {
    {"start", (PyCFunction)(void (*)(void))floor_start, METH_VARARGS | METH_KEYWORDS,
     "start(callable, keep_thread_state=True)\n--\n\nStart the loop on a new native thread."},
    {"stop", floor_stop, METH_NOARGS,
     "stop()\n--\n\nStop the loop, wait for its thread and return the number of calls made."},
    {"sleep_start", (PyCFunction)(void (*)(void))floor_sleep_start, METH_VARARGS | METH_KEYWORDS,
     "sleep_start(interval, count, slack_ns=1, callable=None)\n--\n\nStart a native thread "
     "that sleeps to the absolute deadlines t0 + k * interval, k = 1..count (and calls `callable` "
     "under the interpreter lock after each wake-up)."},
    {"sleep_done", floor_sleep_done, METH_NOARGS,
     "sleep_done()\n--\n\nWhether the sleeper has made its last wake-up."},
    {"sleep_finish", floor_sleep_finish, METH_NOARGS,
     "sleep_finish()\n--\n\nWait for the sleeper; return (t0, wake-up times), in ns."},
    {"sleepers", (PyCFunction)(void (*)(void))floor_sleepers, METH_VARARGS | METH_KEYWORDS,
     "sleepers(threads, interval, count, slack_ns=1, callable=None, queue=False, spin_ahead=False, "
     "ask_main=False)"
     "\n--\n\nWake-up lateness in ns of count absolute-deadline sleeps on each of `threads` "
     "native threads, and the CPU ns they used; the options add a worker's costs one by one."},
    {"stalls", (PyCFunction)(void (*)(void))floor_stalls, METH_VARARGS | METH_KEYWORDS,
     "stalls(seconds, threshold_ns=100000)\n--\n\nRead the clock in a loop for `seconds`, the "
     "interpreter lock released; return (the gaps longer than `threshold_ns`, in ns, loops)."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    "native_floor",
    "Benchmark helper: native floors for per-call overhead and wake-up lateness.",
    -1,
    floor_methods,
    NULL,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit_native_floor(void) { return PyModule_Create(&floor_module); }
