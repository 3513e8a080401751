// The module's worker threads, their exit-time wait, the child's fresh locks after a fork, and
// the wall-clock bound on everything one host call waits for.
#pragma once

#include <algorithm>
#include <chrono>

#include "capi/py.hpp"

namespace rg {

// threading.Thread(target=target[, kwargs=kwargs], name=name, daemon=True), not started, from
// the module's `threading` as it is at the moment (a host may substitute it).
Ref daemon_thread(PyObject* target, PyObject* name, PyObject* kwargs = nullptr);

// After os.fork() a lock that a vanished thread held stays held: a hook run in the child
// re-creates the module's locks, and `_lock` and `_flush_lock` of every component tracked
// (weakly), as `logging` does for its handlers. Registered once per module, never at import.
int ensure_fork_hook();
int track_for_fork(PyObject* component);

// The seconds a wait on `timeout` may take: a non-negative number as given, a (connect, read)
// pair summed, anything else (None, say) `fallback`. Never raises.
double timeout_seconds(PyObject* timeout, double fallback);

// cleanup promises the host an end within about twice its flush timeout plus a second, whatever
// the server and the other instances sharing the store do: each wait on the way (the store
// lock, the usage POST) keeps its own bound or takes what is left of this one, if less.
class ThreadDeadline {
 public:
  using Clock = std::chrono::steady_clock;
  // A deadline `seconds` from now for this thread; an earlier one already set stays.
  explicit ThreadDeadline(double seconds) : previous_(current()) {
    const auto mine = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(seconds));
    current() = std::min(previous_, mine);
  }
  ~ThreadDeadline() { current() = previous_; }
  ThreadDeadline(const ThreadDeadline&) = delete;
  ThreadDeadline& operator=(const ThreadDeadline&) = delete;

  // `seconds`, or what is left of this thread's deadline when that is less; never below 0.
  static double clip(double seconds) {
    if (current() == Clock::time_point::max()) return seconds;
    const double left = std::chrono::duration<double>(current() - Clock::now()).count();
    return std::max(0.0, std::min(seconds, left));
  }

 private:
  static Clock::time_point& current() {
    static thread_local Clock::time_point deadline = Clock::time_point::max();
    return deadline;
  }
  Clock::time_point previous_;
};

}  // namespace rg
