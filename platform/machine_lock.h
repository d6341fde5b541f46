// A lock that one process of the whole machine holds at a time, by name: a
// named mutex.
#pragma once

#include <memory>
#include <string>

namespace hotfix {

enum class LockResult {
  kAcquired,
  kAbandoned,  // acquired; its last holder ended without releasing it
  kTaken,      // another process holds it
  kFailed,     // it could not be made or tested; the last-error value says why
};

// Released when destroyed, on the thread that acquired it.
class HeldLock {
 public:
  virtual ~HeldLock() = default;
};

class MachineLocks {
 public:
  virtual ~MachineLocks() = default;
  // CreateMutexW without asking for ownership, then WaitForSingleObject
  // without waiting. A mutex of that name that this user may not open is
  // held by another process as well (kTaken). lock receives the held lock
  // for kAcquired and kAbandoned and stays empty otherwise.
  virtual LockResult TryAcquire(const std::u16string& name, std::unique_ptr<HeldLock>& lock) = 0;
};

}  // namespace hotfix
