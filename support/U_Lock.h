// U_Lock.h - TLock, the library's re-entrant lock that remembers its owner,
// and TSharedLock, a reader-writer lock.
#pragma once
#include <windows.h>
#include <atomic>
#include <cstdint>

// A critical section (recursive: the owner may enter again). Lock/Unlock
// also keep OwnerThreadId, a diagnostic aid that nothing decides on.
class TLock {
public:
  TLock() { ::InitializeCriticalSection(&cs_); }
  virtual ~TLock() { ::DeleteCriticalSection(&cs_); }
  TLock(const TLock &) = delete;
  TLock &operator=(const TLock &) = delete;

  virtual void Acquire() { ::EnterCriticalSection(&cs_); }
  virtual void Release() { ::LeaveCriticalSection(&cs_); }

  // Records the owner only once the section is held, and clears it before
  // leaving, so the field is only ever written by the holder.
  void Lock() {
    Acquire();
    OwnerThreadId.store(::GetCurrentThreadId(), std::memory_order_relaxed);
  }
  void Unlock() {
    OwnerThreadId.store(0, std::memory_order_relaxed);
    Release();
  }

  std::atomic<uint32_t> OwnerThreadId{0};

private:
  CRITICAL_SECTION cs_;
};

// Lock ... Unlock on every way out of a scope.
class TLockGuard {
public:
  explicit TLockGuard(TLock &l) : l_(l) { l_.Lock(); }
  ~TLockGuard() { l_.Unlock(); }
  TLockGuard(const TLockGuard &) = delete;
  TLockGuard &operator=(const TLockGuard &) = delete;

private:
  TLock &l_;
};

// A slim reader-writer lock (not re-entrant): many readers or one writer.
class TSharedLock {
public:
  TSharedLock() = default;
  TSharedLock(const TSharedLock &) = delete;
  TSharedLock &operator=(const TSharedLock &) = delete;

  void LockShared() { ::AcquireSRWLockShared(&l_); }
  void UnlockShared() { ::ReleaseSRWLockShared(&l_); }
  void LockExclusive() { ::AcquireSRWLockExclusive(&l_); }
  void UnlockExclusive() { ::ReleaseSRWLockExclusive(&l_); }

private:
  SRWLOCK l_ = SRWLOCK_INIT;
};

// Shared for the life of a scope.
class TSharedGuard {
public:
  explicit TSharedGuard(TSharedLock &l) : l_(l) { l_.LockShared(); }
  ~TSharedGuard() { l_.UnlockShared(); }
  TSharedGuard(const TSharedGuard &) = delete;
  TSharedGuard &operator=(const TSharedGuard &) = delete;

private:
  TSharedLock &l_;
};

// Exclusive for the life of a scope.
class TExclusiveGuard {
public:
  explicit TExclusiveGuard(TSharedLock &l) : l_(l) { l_.LockExclusive(); }
  ~TExclusiveGuard() { l_.UnlockExclusive(); }
  TExclusiveGuard(const TExclusiveGuard &) = delete;
  TExclusiveGuard &operator=(const TExclusiveGuard &) = delete;

private:
  TSharedLock &l_;
};
