// Cross-process named mutex over open-file-description (OFD) locks on a small
// file per name in a per-user directory.
//
// Each handle opens the file itself, so two handles in one process are as
// separate as two processes. Byte 0 carries the handle count: every open
// handle holds a shared lock on it, so "already existed" means a shared lock
// was held by someone else when an exclusive one was tried. Byte 1 carries
// ownership: an exclusive lock on it while owned. The data byte at offset 1
// is 1 exactly while owned, so an owner that went away without releasing
// (its process died, or it closed the handle) leaves 1 behind, and the next
// owner reports the mutex abandoned.
//
// The files are never removed: an unlink could race with a process that is
// just locking the old file, and they are tiny.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/clock.h"
#include "platform/named_mutex.h"
#include "platform/thread.h"

namespace platform {

struct NamedMutex::State {
  int fd = -1;
  std::mutex mutex;  // guards owner and count between threads of this process
  std::thread::id owner;
  uint32_t count = 0;
};

namespace {

constexpr off_t kReferenceByte = 0;
constexpr off_t kOwnerByte = 1;

bool Lock(int fd, off_t byte, short type, bool wait) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  for (;;) {
    if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool Busy() { return errno == EAGAIN || errno == EACCES; }

// The directory of this user's lock files, created private on first use.
bool LockDirectory(char* path, size_t size) {
  uid_t uid = getuid();
  int n = std::snprintf(path, size, "/tmp/q7730-mutex-%lu", static_cast<unsigned long>(uid));
  if (n < 0 || static_cast<size_t>(n) >= size) return false;
  if (mkdir(path, 0700) != 0 && errno != EEXIST) return false;
  // Refuse a directory that someone else planted (or a link to one).
  struct stat info;
  if (lstat(path, &info) != 0) return false;
  return S_ISDIR(info.st_mode) && info.st_uid == uid && (info.st_mode & 0077) == 0;
}

// A file name for any name: a readable prefix of the name's safe
// characters, its length and a 64-bit FNV-1a hash of all its bytes.
void LockFileName(const char* name, char* out, size_t size) {
  uint64_t hash = 14695981039346656037ull;
  size_t length = 0;
  for (const char* p = name; *p != '\0'; ++p, ++length) {
    hash ^= static_cast<unsigned char>(*p);
    hash *= 1099511628211ull;
  }
  char prefix[33];
  size_t used = 0;
  for (const char* p = name; *p != '\0' && used < sizeof prefix - 1; ++p) {
    char c = *p;
    bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '_' || c == '.';
    // A leading dot would hide the file; keep every prefix visible.
    prefix[used] = (safe && !(used == 0 && c == '.')) ? c : '_';
    ++used;
  }
  prefix[used] = '\0';
  std::snprintf(out, size, "%s-%zx-%016llx.lock", prefix, length,
                static_cast<unsigned long long>(hash));
}

// Opens and takes the handle's shared reference lock; reports whether
// another handle already held one.
int OpenLockFile(const char* name, bool* created) {
  char directory[64];
  if (!LockDirectory(directory, sizeof directory)) return -1;
  char file[96];
  LockFileName(name, file, sizeof file);
  char path[sizeof directory + sizeof file + 1];
  std::snprintf(path, sizeof path, "%s/%s", directory, file);
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  if (Lock(fd, kReferenceByte, F_WRLCK, false)) {
    // No other handle. A fresh mutex is not owned, whatever an abandoned
    // earlier generation left in the data byte.
    *created = true;
    return fd;
  }
  if (Busy() && Lock(fd, kReferenceByte, F_RDLCK, true)) {
    *created = false;
    return fd;
  }
  close(fd);
  return -1;
}

bool WriteOwned(int fd, unsigned char value) {
  return pwrite(fd, &value, 1, kOwnerByte) == 1;
}

bool WasAbandoned(int fd) {
  unsigned char value = 0;
  return pread(fd, &value, 1, kOwnerByte) == 1 && value != 0;
}

}  // namespace

NamedMutex::NamedMutex() : state_(nullptr) {}

NamedMutex::~NamedMutex() { Close(); }

bool NamedMutex::Create(const char* name, bool initialOwner, bool* alreadyExisted) {
  if (alreadyExisted) *alreadyExisted = false;
  Close();
  if (name == nullptr) return false;
  auto* state = new (std::nothrow) State;
  if (state == nullptr) return false;
  bool created = false;
  state->fd = OpenLockFile(name, &created);
  if (state->fd < 0) {
    delete state;
    return false;
  }
  if (created) {
    // Still holding the exclusive reference lock: no other handle can exist
    // until it is turned into a shared one, so taking ownership here is
    // atomic with the creation.
    bool ok = WriteOwned(state->fd, 0);
    if (ok && initialOwner) {
      ok = Lock(state->fd, kOwnerByte, F_WRLCK, false) && WriteOwned(state->fd, 1);
      state->owner = std::this_thread::get_id();
      state->count = 1;
    }
    // Converting a held lock to shared never waits.
    if (!ok || !Lock(state->fd, kReferenceByte, F_RDLCK, false)) {
      close(state->fd);
      delete state;
      return false;
    }
  }
  if (alreadyExisted) *alreadyExisted = !created;
  state_ = state;
  return true;
}

NamedMutex::WaitResult NamedMutex::Wait(uint32_t timeoutMs) {
  if (state_ == nullptr) return WaitResult::Failed;
  State& state = *state_;
  const std::thread::id self = std::this_thread::get_id();
  const uint32_t start = SystemTickCount();
  uint32_t pause = 2;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(state.mutex);
      if (state.count > 0 && state.owner == self) {
        ++state.count;
        return WaitResult::Obtained;
      }
      // Another thread owning through this handle holds the file lock for
      // the whole description, so it must be waited for here, not in fcntl.
      if (state.count == 0) {
        if (Lock(state.fd, kOwnerByte, F_WRLCK, false)) {
          bool abandoned = WasAbandoned(state.fd);
          if (!WriteOwned(state.fd, 1)) {
            Lock(state.fd, kOwnerByte, F_UNLCK, false);
            return WaitResult::Failed;
          }
          state.owner = self;
          state.count = 1;
          return abandoned ? WaitResult::Abandoned : WaitResult::Obtained;
        }
        if (!Busy()) return WaitResult::Failed;
      }
    }
    // Measured on the system clock: a virtual test clock must not stretch or
    // shrink a wait between processes.
    uint32_t waited = SystemTickCount() - start;
    if (timeoutMs != kInfinite && waited >= timeoutMs) return WaitResult::TimedOut;
    uint32_t nap = pause;
    if (timeoutMs != kInfinite && timeoutMs - waited < nap) nap = timeoutMs - waited;
    SystemSleepMs(nap);
    if (pause < 10) pause += 2;
  }
}

bool NamedMutex::Release() {
  if (state_ == nullptr) return false;
  std::lock_guard<std::mutex> hold(state_->mutex);
  if (state_->count == 0 || state_->owner != std::this_thread::get_id()) return false;
  if (--state_->count > 0) return true;
  state_->owner = std::thread::id();
  // Cleared before unlocking, so a kill in between leaves a clean mutex;
  // should the write fail, the next owner is told it was abandoned.
  WriteOwned(state_->fd, 0);
  Lock(state_->fd, kOwnerByte, F_UNLCK, false);
  return true;
}

void NamedMutex::Close() {
  if (state_ == nullptr) return;
  // Closing drops both locks; an ownership byte left at 1 marks the mutex
  // abandoned for the next owner.
  close(state_->fd);
  delete state_;
  state_ = nullptr;
}

bool NamedMutex::IsOpen() const { return state_ != nullptr; }

}  // namespace platform
