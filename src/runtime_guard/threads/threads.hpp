// Worker threads, their exit-time wait, fresh locks in a forked child, and per-call wait bounds.
#pragma once

#include <algorithm>
#include <chrono>

#include "capi/guard.hpp"

namespace rg {
// threading.Thread(target=target[, kwargs=kwargs], name=name, daemon=True), not started.
Ref daemon_thread(PyObject* target, PyObject* name, PyObject* kwargs = nullptr);

// After os.fork() a lock a vanished thread held stays held: a child hook re-creates the
// module's locks and `_lock`/`_flush_lock` of every (weakly) tracked component. Not at import.
int ensure_fork_hook();
int track_for_fork(PyObject* component);

// A wait's seconds: a number, a (connect, read) pair summed, else `fallback`; never raises.
double timeout_seconds(PyObject* timeout, double fallback);

// cleanup ends within about twice its flush timeout plus a second, whatever the server and the
// other instances do: each wait on the way keeps its own bound or what is left of this, if less.
class ThreadDeadline {
 public:
  using Clock = std::chrono::steady_clock;
  // `seconds` from now for this thread; an earlier one already set stays.
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
