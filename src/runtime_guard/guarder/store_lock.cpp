// Processes sharing one store: the store lock around each write, a session lock per component.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <thread>

#include "capi/scope.hpp"
#include "capi/call.hpp"
#include "helpers/constants.hpp"
#include "guarder/guarder.hpp"
#include "threads/threads.hpp"

namespace rg {
namespace {
// The innermost store lock this thread holds (start-up's, while its first write runs).
thread_local StoreLock* t_held = nullptr;

constexpr const char* kSessionLockCapsule = "orlune.core.runtime_guard.session_lock";
constexpr char kSessionLockPrefix[] = "session-";
constexpr char kLockSuffix[] = ".lock";

// A forked child inherits the lock with the descriptor; only the process that took it removes
// the lock file, or a live parent's session would look abandoned to the other instances.
struct SessionLock {
  platform::FileLock lock;
  Bytes path;
  Ref owner;  // os.getpid() when taken
};

void drop_session_lock(PyObject* capsule) {
  delete static_cast<SessionLock*>(PyCapsule_GetPointer(capsule, kSessionLockCapsule));
}

// os.unlink(path), whatever it raises: lock files are tidied, not needed.
void remove_quietly(PyObject* path) {
  ErrorStash keep;
  Ref os = G("os");
  Ref removed = os ? call_method(os, S("unlink"), path) : Ref();
  PyErr_Clear();
}

// A session id that is safe as part of a file name (uuid4 text always is).
bool plain_id(PyObject* id) {
  Str text = Str::probe(id);
  if (!text || !text.is_ascii() || text.size() == 0 || text.size() > 64) return false;
  const std::string_view s(static_cast<const char*>(text.data()), static_cast<std::size_t>(text.size()));
  return s.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_") == s.npos;
}
}  // namespace

Ref fs_text(PyObject* path) {
  // type(path).__fspath__(path) called here: os.fspath on 3.11 turns a MemoryError raised while
  // it binds that method into "TypeError: expected str, bytes or os.PathLike object".
  if (PyUnicode_Check(path) || PyBytes_Check(path)) return borrow(path);
  Ref method;
  const Answer found = lookup_attr(reinterpret_cast<PyObject*>(Py_TYPE(path)), S("__fspath__"), method);
  if (found == Answer::kFailed) return failed;
  return found == Answer::kYes ? call(method, path) : borrow(path);  // not a path: its user raises TypeError
}

Bytes fs_path(PyObject* path) {
  RG_LET(text, fs_text(path));
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(text.get(), &encoded)) return {};
  return Bytes::of(steal(encoded));
}

int raise_os_error(int error, PyObject* path) {
  RG_LET(name, steal(PyOS_FSPath(path)));
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
  return -1;
}

// The lock file goes with the lock, removed while still held: whoever opened the old file
// finds, once it has the lock, that the name leads elsewhere, and opens it again.
StoreLock::~StoreLock() {
  if (!installed_) return;
  t_held = outer_;
  remove_quietly(path_.get());
  lock_.release();
}

int StoreLock::acquire(PyObject* store_path, bool required) {
  RG_LET(suffix, str(kLockSuffix));
  RG_LET(lock_path, call_method(store_path, S("with_suffix"), suffix));
  RG_CHECK(path_ = fs_path(lock_path.get()));
  if (t_held && std::string_view(t_held->path_.data()) == path_.data()) return 0;
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + duration<double>(ThreadDeadline::clip(constants::kStoreLockWait));
  for (milliseconds pause(1);; pause = std::min(pause * 2, milliseconds(20))) {
    platform::LockAttempt attempt;
    {
      GilRelease nogil;
      attempt = platform::try_lock(path_.data(), lock_);
      if (attempt == platform::LockAttempt::kBusy) std::this_thread::sleep_for(pause);
    }
    if (attempt == platform::LockAttempt::kHeld) {
      outer_ = std::exchange(t_held, this);
      installed_ = true;
      return 0;
    }
    if (attempt == platform::LockAttempt::kFailed) return 0;
    RG_CHECK_OK(PyErr_CheckSignals());
    if (steady_clock::now() >= deadline) return required ? raise_os_error(EWOULDBLOCK, lock_path.get()) : 0;
  }
}

int hold_session_lock(PyObject* self) {
  RG_LET(id, attr(self, S("_current_id")));
  if (!plain_id(id.get())) return 0;
  RG_LET(name, steal(PyUnicode_FromFormat("%s%U%s", kSessionLockPrefix, id.get(), kLockSuffix)));
  RG_LET(store, G("_SESSIONS_FILE"));
  RG_LET(path, call_method(store, S("with_name"), name));
  SessionLock* held = new (std::nothrow) SessionLock;
  if (!held) return PyErr_NoMemory(), -1;
  RG_LET(capsule, steal(PyCapsule_New(held, kSessionLockCapsule, drop_session_lock)));
  RG_CHECK(held->path = fs_path(path.get()));
  RG_LET(os, G("os"));
  RG_CHECK(held->owner = call_method(os, S("getpid")));
  const platform::LockAttempt attempt = [&] {
    GilRelease nogil;
    return platform::try_lock(held->path.data(), held->lock);
  }();
  RG_CHECK_OK(release_session_lock(self));  // a second initialize: the first lock goes
  if (attempt != platform::LockAttempt::kHeld) return 0;
  return PyObject_SetAttr(self, S("_session_lock"), capsule.get());
}

int release_session_lock(PyObject* self) {
  Ref capsule;
  const Answer found = lookup_attr(self, S("_session_lock"), capsule);
  if (found != Answer::kYes) return found == Answer::kFailed ? -1 : 0;
  if (!PyCapsule_IsValid(capsule.get(), kSessionLockCapsule)) return 0;
  auto* held = static_cast<SessionLock*>(PyCapsule_GetPointer(capsule.get(), kSessionLockCapsule));
  // Removed while still locked: nobody sweeps it meanwhile. A forked child closing its copy of
  // the descriptor leaves the parent's lock in place.
  RG_LET(os, G("os"));
  RG_LET(pid, call_method(os, S("getpid")));
  const int mine = PyObject_RichCompareBool(pid.get(), held->owner.get(), Py_EQ);
  RG_CHECK_OK(mine);
  if (mine) remove_quietly(held->path.get());
  held->lock.release();
  return PyObject_SetAttr(self, S("_session_lock"), Py_None);
}

Ref live_session_ids() {
  RG_LET(live, steal(PySet_New(nullptr)));
  RG_LET(store, G("_SESSIONS_FILE"));
  RG_LET(dir, attr(store, S("parent")));
  RG_LET(pattern, steal(PyUnicode_FromFormat("%s*%s", kSessionLockPrefix, kLockSuffix)));
  Ref found = call_method(dir, S("glob"), pattern);
  List paths = List::fresh(found ? PySequence_List(found.get()) : nullptr);
  if (!paths) return unreadable() ? std::move(live) : Ref();  // nobody known alive, as unlocked
  for (Py_ssize_t i = 0; i < paths.size(); ++i) {
    Str name = Str::probe(attr(paths.at(i), S("name")).get());
    if (!name && PyErr_Occurred()) return {};
    if (!name) continue;
    Bytes where = fs_path(paths.at(i));
    RG_CHECK(where);
    const bool held = [&] {
      GilRelease nogil;
      return platform::lock_is_held(where.data());
    }();
    if (!held) continue;
    const auto prefix = static_cast<Py_ssize_t>(sizeof kSessionLockPrefix - 1);
    RG_LET(id, steal(PyUnicode_Substring(name.get(), prefix, name.size() - Py_ssize_t{sizeof kLockSuffix - 1})));
    RG_CHECK_OK(PySet_Add(live.get(), id.get()));
  }
  return live;
}
}  // namespace rg
