#include "component/store_lock.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "defaults/constants.hpp"
#include "capi/module_scope.hpp"
#include "capi/values.hpp"
#include "threads/thread_deadline.hpp"

namespace rg {

namespace {

// The innermost store lock this thread holds (start-up's, while its first write runs).
thread_local StoreLock* t_held = nullptr;

constexpr const char* kSessionLockCapsule = "orlune.core.runtime_guard.session_lock";
constexpr const char* kSessionLockPrefix = "session-";
constexpr const char* kLockSuffix = ".lock";

// A forked child inherits the lock with the descriptor; only the process that took it removes
// the lock file, or a live parent's session would look abandoned to the other instances.
struct SessionLock {
  platform::FileLock lock;
  Ref path;  // fs_path
  long owner = platform::process_id();
};

void drop_session_lock(PyObject* capsule) {
  delete static_cast<SessionLock*>(PyCapsule_GetPointer(capsule, kSessionLockCapsule));
}

// A session id that is safe as part of a file name (uuid4 text always is).
bool plain_id(PyObject* id) {
  if (!PyUnicode_Check(id) || !PyUnicode_IS_ASCII(id)) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(id);
  const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(id));
  return n > 0 && n <= 64 && std::all_of(s, s + n, [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  c == '-' || c == '_';
         });
}

}  // namespace

Ref fs_path(PyObject* path) {
  // type(path).__fspath__(path) called here: os.fspath on 3.11 turns a MemoryError raised while
  // it binds that method into "TypeError: expected str, bytes or os.PathLike object".
  Ref text;
  if (!PyUnicode_Check(path) && !PyBytes_Check(path)) {
    Ref method;
    const int found = optional_attr(reinterpret_cast<PyObject*>(Py_TYPE(path)), S("__fspath__"), method);
    RG_CHECK_OK(found);
    // Not a path: the conversion below raises Python's TypeError.
    if (found) RG_CHECK(text = call(method, path));
  }
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(text ? text.get() : path, &encoded)) return {};
  return steal(encoded);
}

int raise_os_error(int error, PyObject* path) {
  RG_LET(name, steal(PyOS_FSPath(path)));
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
  return -1;
}

// The lock file goes with the lock, so the usage directory holds only the store. Removing it
// while still holding it is safe: whoever opened the old file finds, once it has the lock, that
// the name no longer leads there, and opens the name again (platform::try_lock).
StoreLock::~StoreLock() {
  if (!installed_) return;
  t_held = outer_;
  platform::remove_file(fs_name(path_));
  lock_.release();
}

int StoreLock::acquire(PyObject* store_path, bool required) {
  RG_LET(suffix, str(kLockSuffix));
  RG_LET(lock_path, call_method(store_path, S("with_suffix"), suffix));
  RG_CHECK(path_ = fs_path(lock_path.get()));
  if (t_held && PyBytes_GET_SIZE(t_held->path_.get()) == PyBytes_GET_SIZE(path_.get()) &&
      std::strcmp(fs_name(t_held->path_), fs_name(path_)) == 0)
    return 0;

  using namespace std::chrono;
  const auto deadline = steady_clock::now() + duration<double>(ThreadDeadline::clip(constants::kStoreLockWait));
  milliseconds pause(1);
  for (;;) {
    platform::LockAttempt attempt;
    int error = 0;
    {
      GilRelease nogil;
      attempt = platform::try_lock(fs_name(path_), lock_, &error);
      if (attempt == platform::LockAttempt::kBusy) std::this_thread::sleep_for(pause);
    }
    if (attempt == platform::LockAttempt::kHeld) {
      outer_ = t_held;
      t_held = this;
      installed_ = true;
      return 0;
    }
    if (attempt == platform::LockAttempt::kFailed) return 0;
    RG_CHECK_OK(PyErr_CheckSignals());
    if (steady_clock::now() >= deadline) return required ? raise_os_error(EWOULDBLOCK, lock_path.get()) : 0;
    pause = std::min(pause * 2, milliseconds(20));
  }
}

int hold_session_lock(PyObject* self) {
  RG_LET(id, attr(self, S("_current_id")));
  if (!plain_id(id.get())) return 0;
  RG_LET(name, steal(PyUnicode_FromFormat("%s%U%s", kSessionLockPrefix, id.get(), kLockSuffix)));
  RG_LET(store, G("_SESSIONS_FILE"));
  RG_LET(path, call_method(store, S("with_name"), name));
  SessionLock* held = new (std::nothrow) SessionLock;
  if (!held) {
    PyErr_NoMemory();
    return -1;
  }
  RG_LET(capsule, steal(PyCapsule_New(held, kSessionLockCapsule, drop_session_lock)));
  RG_CHECK(held->path = fs_path(path.get()));
  platform::LockAttempt attempt;
  {
    GilRelease nogil;
    int error = 0;
    attempt = platform::try_lock(fs_name(held->path), held->lock, &error);
  }
  RG_CHECK_OK(release_session_lock(self));  // a second initialize: the first lock goes
  if (attempt != platform::LockAttempt::kHeld) return 0;
  return PyObject_SetAttr(self, S("_session_lock"), capsule.get());
}

int release_session_lock(PyObject* self) {
  Ref capsule;
  const int found = optional_attr(self, S("_session_lock"), capsule);
  if (found <= 0) return found;
  if (!PyCapsule_IsValid(capsule.get(), kSessionLockCapsule)) return 0;
  auto* held = static_cast<SessionLock*>(PyCapsule_GetPointer(capsule.get(), kSessionLockCapsule));
  {
    GilRelease nogil;
    // While still locked: nobody sweeps it meanwhile. Closing a forked child's copy of the
    // descriptor leaves the parent's lock in place.
    if (held->owner == platform::process_id()) platform::remove_file(fs_name(held->path));
    held->lock.release();
  }
  return PyObject_SetAttr(self, S("_session_lock"), Py_None);
}

Ref live_session_ids() {
  RG_LET(live, steal(PySet_New(nullptr)));
  RG_LET(store, G("_SESSIONS_FILE"));
  RG_LET(dir, attr(store, S("parent")));
  RG_LET(pattern, steal(PyUnicode_FromFormat("%s*%s", kSessionLockPrefix, kLockSuffix)));
  Ref found = call_method(dir, S("glob"), pattern);
  Ref paths = found ? steal(PySequence_List(found.get())) : Ref();
  if (!paths) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return {};
    PyErr_Clear();  // an unreadable directory: nobody is known to be alive, as without locks
    return live;
  }
  const Py_ssize_t prefix = static_cast<Py_ssize_t>(strlen(kSessionLockPrefix));
  const Py_ssize_t suffix = static_cast<Py_ssize_t>(strlen(kLockSuffix));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths.get()); ++i) {
    PyObject* path = PyList_GET_ITEM(paths.get(), i);
    RG_LET(name, attr(path, S("name")));
    if (!PyUnicode_Check(name.get())) continue;
    RG_LET(where, fs_path(path));
    bool held;
    {
      GilRelease nogil;
      held = platform::lock_is_held(fs_name(where));
    }
    if (!held) continue;
    RG_LET(id, steal(PyUnicode_Substring(name.get(), prefix, PyUnicode_GET_LENGTH(name.get()) - suffix)));
    RG_CHECK_OK(PySet_Add(live.get(), id.get()));
  }
  return live;
}

}  // namespace rg
