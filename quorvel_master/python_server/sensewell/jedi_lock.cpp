// The process-wide jedi lock, served in arrival order, with each request's time budget: a
// watchdog interrupts a request past it, and at exit the holder is stopped before finalising.
#include "sensewell.h"

#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace sensewell {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double DEFAULT_BUDGET = 5.0;
// A request that swallowed its interruption is interrupted again this often.
constexpr auto REPEAT_INTERRUPT = std::chrono::milliseconds(200);
constexpr auto SHIELD_RETRY = std::chrono::milliseconds(2);
// How long the exit waits for the lock's holder to stop.
constexpr auto EXIT_DRAIN = std::chrono::seconds(3);

struct Armed {
  PyThreadState *thread;
  Clock::time_point due;
  bool fired;
};

// Everything in here is guarded by `mutex`, which is never held while the GIL is taken. Never
// destroyed: a condition variable destroyed at exit waits for its sleepers, the watchdog
// among them, for ever.
struct Shared {
  std::mutex mutex;
  std::condition_variable turn_changed;   // the lock was released or a waiter left
  std::condition_variable watch_changed;  // a budget was armed, or the exit began
  unsigned long owner = 0;                // thread holding the lock, 0 when free
  PyThreadState *owner_state = nullptr;   // and its thread state
  std::uint64_t owner_ticket = 0;         // and its ticket
  bool owner_yields = false;              // and whether it gives way to a request
  std::uint64_t next_ticket = 1;
  std::deque<std::uint64_t> waiting;        // tickets in arrival order
  std::map<std::uint64_t, Armed> armed;     // budgets of running requests, by ticket
  bool closing = false;                     // the interpreter is exiting: no new holder
  std::map<PyThreadState *, int> shielded;  // threads in an exchange no interruption may split
  Clock::time_point last_request{};         // when a request last let go of the lock
  // When the watchdog wakes next by itself; a budget running out later needs no wake-up.
  Clock::time_point watch_until = Clock::time_point::min();
};
Shared &shared = *new Shared();
std::mutex &mutex = shared.mutex;
std::condition_variable &turn_changed = shared.turn_changed;
std::condition_variable &watch_changed = shared.watch_changed;
unsigned long &owner = shared.owner;
PyThreadState *&owner_state = shared.owner_state;
std::uint64_t &owner_ticket = shared.owner_ticket;
bool &owner_yields = shared.owner_yields;
std::uint64_t &next_ticket = shared.next_ticket;
std::deque<std::uint64_t> &waiting = shared.waiting;
std::map<std::uint64_t, Armed> &armed = shared.armed;
bool &closing = shared.closing;
std::map<PyThreadState *, int> &shielded = shared.shielded;
Clock::time_point &last_request = shared.last_request;
Clock::time_point &watch_until = shared.watch_until;
int depth = 0;                      // touched by the holding thread only
bool watchdog_started = false;      // touched with the GIL held
bool exit_hook_registered = false;  // touched with the GIL held

// Made once, at the first bridge, and never freed.
PyObject *interruption = nullptr;

PyObject *interruption_type() {
  return interruption;
}

void make_interruption_type() {
  if (interruption != nullptr) return;
  // Not an Exception, so that jedi's `except Exception` handlers let it through.
  interruption = PyErr_NewExceptionWithDoc(
      "quorvel_master.python_server.sensewell.RequestInterrupted",
      "Raised in a language-service request that ran past its time budget.", PyExc_BaseException,
      nullptr);
  if (interruption == nullptr) throw py::error_already_set();
}

// The budget of the interrupted request that is unwinding on this thread, for its text.
thread_local double interrupted_after = 0;

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// Interrupts a request's thread, with the GIL held. PyThreadState_SetAsyncExc would pick the
// thread by its ident, which a thread just started by it still carries until it runs, and hit
// that one instead; the exception goes on the very thread state, and the pending call makes
// every thread look at its pending work, where the target finds it.
void interrupt(PyThreadState *target) {
  PyObject *old = target->async_exc;
  target->async_exc = Py_NewRef(interruption_type());
  Py_XDECREF(old);
  Py_AddPendingCall([](void *) { return 0; }, nullptr);
}

void clear_interruption(PyThreadState *target) {
  PyObject *old = target->async_exc;
  target->async_exc = nullptr;
  Py_XDECREF(old);
}

// The watchdog's thread: sleeps without the GIL until the next budget runs out, then
// interrupts that request. It holds no Python object, so it can be parked at exit anywhere.
void watch(py::args) {
  PyThreadState *saved = PyEval_SaveThread();
  for (;;) {
    std::vector<PyThreadState *> due;
    {
      std::unique_lock<std::mutex> hold(mutex);
      auto next = Clock::time_point::max();
      auto now = Clock::now();
      for (auto &[ticket, entry] : armed) {
        if (entry.due <= now && shielded.count(entry.thread)) {
          entry.due = now + SHIELD_RETRY;  // after the exchange
        } else if (entry.due <= now) {
          due.push_back(entry.thread);
        }
        next = std::min(next, entry.due);
      }
      if (due.empty()) {
        watch_until = next;
        if (next == Clock::time_point::max()) {
          watch_changed.wait(hold);
        } else {
          watch_changed.wait_until(hold, next);
        }
        continue;
      }
    }
    park_on_exit([&] { PyEval_RestoreThread(saved); });
    {
      // Decided again now that the GIL is held: a request that ended meanwhile is left alone,
      // and one that entered a shielded exchange while the GIL was being taken (the shield is
      // entered with the GIL held) is interrupted after it.
      std::lock_guard<std::mutex> hold(mutex);
      auto now = Clock::now();
      for (auto &[ticket, entry] : armed) {
        if (entry.due > now || std::find(due.begin(), due.end(), entry.thread) == due.end()) {
          continue;
        }
        if (shielded.count(entry.thread)) {
          entry.due = now + SHIELD_RETRY;
          continue;
        }
        interrupt(entry.thread);
        entry.fired = true;
        entry.due = now + REPEAT_INTERRUPT;
      }
    }
    saved = PyEval_SaveThread();
  }
}

void start_watchdog() {
  if (watchdog_started) return;
  watchdog_started = true;
  py::cpp_function target(&watch, py::name("_watch_requests"));
  py::object thread =
      call_parked(global("threading").attr("Thread"), py::tuple(),
                  py::dict(py::arg("target") = target, py::arg("name") = "LSP-request-watchdog",
                           py::arg("daemon") = true));
  call_parked(thread.attr("start"), py::tuple());
}

// At exit, before the interpreter finalises: no thread may start jedi any more, waiters give
// up, and the holder is interrupted and waited for, so that no thread is inside jedi, reading
// its results, when the interpreter stops the daemon threads.
void drain_at_exit(py::args) {
  std::vector<PyThreadState *> running;
  {
    std::lock_guard<std::mutex> hold(mutex);
    closing = true;
    if (owner != 0) running.push_back(owner_state);
  }
  turn_changed.notify_all();
  watch_changed.notify_all();
  auto until = Clock::now() + EXIT_DRAIN;
  while (!running.empty() && Clock::now() < until) {
    {
      // The holder's thread state lives while it holds the lock.
      std::lock_guard<std::mutex> hold(mutex);
      if (owner != 0 && !shielded.count(owner_state)) interrupt(owner_state);
    }
    PyThreadState *saved = PyEval_SaveThread();
    {
      std::unique_lock<std::mutex> hold(mutex);
      turn_changed.wait_for(hold, std::chrono::milliseconds(50), [] { return owner == 0; });
      running.clear();
      if (owner != 0) running.push_back(owner_state);
    }
    PyEval_RestoreThread(saved);
  }
  {
    // A holder that did not stop in time keeps no interruption it may reach much later.
    std::lock_guard<std::mutex> hold(mutex);
    if (owner != 0) clear_interruption(owner_state);
  }
  remove_live_directories();
}

void register_exit_drain() {
  if (exit_hook_registered) return;
  exit_hook_registered = true;
  py::cpp_function hook(&drain_at_exit, py::name("_stop_jedi_at_exit"));
  call_parked(py::module_::import("atexit").attr("register"), py::make_tuple(hook));
}

// The bridge's budget in seconds: its request_timeout attribute, 5 when it has none;
// None, 0 or less means no budget.
double budget_of(py::handle self) {
  py::object value = py::getattr(self, "request_timeout", py::float_(DEFAULT_BUDGET));
  if (value.is_none()) return 0;
  double seconds = PyFloat_AsDouble(value.ptr());
  if (seconds == -1 && PyErr_Occurred()) throw py::error_already_set();
  return seconds > 0 ? seconds : 0;
}

[[noreturn]] void give_up(double budget) {
  if (budget <= 0) raise_error(PyExc_TimeoutError, "the interpreter is shutting down");
  raise_error(PyExc_TimeoutError,
              "gave up after waiting " + seconds_text(budget) +
                  " s for another language-service request to finish (request_timeout)");
}

}  // namespace

void shield_compiled_subprocess();

void prepare_jedi_lock() {
  make_interruption_type();
  register_exit_drain();
  shield_compiled_subprocess();
  watch_parses();
}

void check_budget(py::handle self) {
  budget_of(self);
}

JediLock::JediLock(const Request &req) : budget_(budget_of(req.self)) {
  start_watchdog();
  acquire(true);
  settle(req.self);
  // The budget runs from here: the settling above is the bridge's upkeep, not the request's.
  arm();
}

JediLock::JediLock(Background background, py::handle self)
    : yields_(background.yields), background_(true) {
  acquire(false);
  settle(self);
}

void JediLock::settle(py::handle self) {
  if (!held_) return;  // re-entered: the outer holder settled
  // The lock is held but the destructor will not run if the constructor throws.
  try {
    settle_parse_cache(self);
  } catch (...) {
    release();
    throw;
  }
}

void JediLock::acquire(bool timed) {
  unsigned long me = PyThread_get_thread_ident();
  std::unique_lock<std::mutex> hold(mutex);
  if (owner == me) {
    ++depth;
    return;
  }
  if (closing) {
    hold.unlock();
    give_up(0);
  }
  ticket_ = next_ticket++;
  waiting.push_back(ticket_);
  auto mine = [&] { return closing || (owner == 0 && waiting.front() == ticket_); };
  if (!mine()) {
    // Background work that yields is stopped by the watchdog, which knows when it may be.
    bool preempt = timed && owner_yields && !armed.count(owner_ticket);
    if (preempt) armed[owner_ticket] = Armed{owner_state, Clock::now(), false};
    // Another thread is inside jedi: wait without the GIL so it can finish. The GIL is taken
    // back after the mutex is let go, never while holding it.
    hold.unlock();
    if (preempt) watch_changed.notify_all();
    PyThreadState *saved = PyEval_SaveThread();
    hold.lock();
    bool turn = true;
    if (timed && budget_ > 0) {
      auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(budget_));
      turn = turn_changed.wait_until(hold, until, mine);
    } else {
      turn_changed.wait(hold, mine);
    }
    (void)turn;
    hold.unlock();
    park_on_exit([&] { PyEval_RestoreThread(saved); });
    hold.lock();
  }
  if (!(owner == 0 && waiting.front() == ticket_) || closing) {
    bool was_closing = closing;
    std::erase(waiting, ticket_);
    hold.unlock();
    turn_changed.notify_all();
    give_up(was_closing ? 0 : budget_);
  }
  waiting.pop_front();
  owner = me;
  owner_state = PyThreadState_Get();
  owner_ticket = ticket_;
  owner_yields = yields_;
  depth = 1;
  held_ = true;
}

void JediLock::arm() {
  if (!held_ || budget_ <= 0) return;
  auto due = Clock::now() +
             std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(budget_));
  bool sooner;
  {
    std::lock_guard<std::mutex> hold(mutex);
    armed[ticket_] = Armed{owner_state, due, false};
    sooner = due < watch_until;
  }
  // Waking the watchdog for every request would cost each one a context switch; it wakes at
  // an earlier due anyway, finds this budget and sleeps until it.
  if (sooner) watch_changed.notify_all();
}

JediLock::~JediLock() {
  release();
}

void JediLock::release() {
  if (!held_) {
    std::lock_guard<std::mutex> hold(mutex);
    --depth;
    return;
  }
  held_ = false;
  bool fired = false, exiting = false;
  {
    std::lock_guard<std::mutex> hold(mutex);
    auto entry = armed.find(ticket_);
    if (entry != armed.end()) {
      fired = entry->second.fired;
      armed.erase(entry);
    }
    owner = 0;
    owner_state = nullptr;
    owner_ticket = 0;
    owner_yields = false;
    depth = 0;
    exiting = closing;
    if (!background_) last_request = Clock::now();
  }
  turn_changed.notify_all();
  if (fired) {
    interrupted_after = budget_;
    parse_cache_interrupted();
  }
  // An interruption not yet delivered must not surface in the caller's code; only a thread
  // that holds the GIL (not one stopped by the exit) may clear it.
  if ((fired || exiting) && PyGILState_Check()) clear_interruption(PyThreadState_Get());
}

bool is_interruption(const py::error_already_set &e) {
  return e.matches(interruption_type());
}

// Calls `function`, a part of jedi's or parso's that no interruption may split. jedi's
// subprocess for compiled modules answers each request in order: an exchange split by an
// interruption would leave its answer to be read by the next one, so an interruption already
// pending is raised before the exchange (`raise_pending`) and a new one waits until it is
// over. In a finaliser an interruption would only be printed and lost, and parso's loading of
// a pickle turns the collector off and on around it: there a pending one is held back until
// the call is done.
py::object call_shielded(py::handle function, bool raise_pending, const py::args &args,
                         const py::kwargs &kwargs) {
  PyThreadState *me = PyThreadState_Get();
  PyObject *held_back = nullptr;
  {
    std::lock_guard<std::mutex> hold(mutex);
    if (me->async_exc != nullptr &&
        PyErr_GivenExceptionMatches(me->async_exc, interruption_type())) {
      if (raise_pending) {
        clear_interruption(me);
        PyErr_SetNone(interruption_type());
        throw py::error_already_set();
      }
      held_back = std::exchange(me->async_exc, nullptr);
    }
    ++shielded[me];
  }
  struct Unshield {
    PyThreadState *state;
    PyObject *held_back;
    ~Unshield() {
      std::lock_guard<std::mutex> hold(mutex);
      if (--shielded[state] == 0) shielded.erase(state);
      if (held_back == nullptr) return;
      if (state->async_exc == nullptr) {
        state->async_exc = held_back;
        Py_AddPendingCall([](void *) { return 0; }, nullptr);
      } else {
        Py_DECREF(held_back);
      }
    }
  } unshield{me, held_back};
  return call_parked(function, args, kwargs);
}

namespace {

// The originals of the methods shielded below are kept on their classes.
py::object shielded_send(py::args args, py::kwargs kwargs) {
  note_exchange(args, kwargs);
  return call_shielded(py::type::handle_of(args[0]).attr("_original_send"), true, args, kwargs);
}

py::object shielded_del(py::args args, py::kwargs kwargs) {
  return call_shielded(py::type::handle_of(args[0]).attr("_original_del"), false, args, kwargs);
}

}  // namespace

void shield_compiled_subprocess() {
  py::module_ subprocess = py::module_::import("jedi.inference.compiled.subprocess");
  py::object exchanges = subprocess.attr("CompiledSubprocess");
  if (py::dict(exchanges.attr("__dict__")).contains("_original_send")) return;
  exchanges.attr("_original_send") = exchanges.attr("__dict__")["_send"];
  exchanges.attr("_send") = method("_send", &shielded_send, "CompiledSubprocess._send, shielded.");
  // Its finaliser queues the deletion of an inference state for the next exchange.
  py::object inference = subprocess.attr("InferenceStateSubprocess");
  inference.attr("_original_del") = inference.attr("__dict__")["__del__"];
  inference.attr("__del__") =
      method("__del__", &shielded_del, "InferenceStateSubprocess.__del__, shielded.");
}

bool JediLock::awaited() {
  std::lock_guard<std::mutex> hold(mutex);
  return !waiting.empty();
}

void JediLock::let_waiters_in() {
  if (!awaited()) return;
  // The lock is served in arrival order, so a waiter already goes first; without the GIL
  // until it has the lock (or a short while has passed), it also gets to run.
  PyThreadState *saved = PyEval_SaveThread();
  {
    std::unique_lock<std::mutex> hold(mutex);
    turn_changed.wait_for(hold, std::chrono::milliseconds(50),
                          [] { return waiting.empty() || owner != 0; });
  }
  park_on_exit([&] { PyEval_RestoreThread(saved); });
}

void JediLock::wait_for_quiet(std::chrono::milliseconds quiet) {
  PyThreadState *saved = PyEval_SaveThread();
  {
    std::unique_lock<std::mutex> hold(mutex);
    while (!closing) {
      auto now = Clock::now();
      bool busy = owner != 0 || !waiting.empty();
      if (!busy && now >= last_request + quiet) break;
      turn_changed.wait_until(hold, busy ? now + quiet : last_request + quiet);
    }
  }
  park_on_exit([&] { PyEval_RestoreThread(saved); });
}

bool exiting() {
  std::lock_guard<std::mutex> hold(mutex);
  return closing;
}

bool interruption_raised() {
  return PyErr_ExceptionMatches(interruption_type()) != 0;
}

std::string interruption_text() {
  return "stopped after " + seconds_text(interrupted_after) +
         " s: the request ran past its time budget (request_timeout)";
}

}  // namespace sensewell
