// U_Thread.h - a pool of reusable worker threads. A job runs on an idle
// worker or a new one; when it returns the worker parks itself, suspended,
// up to MaxIdle idle workers; a worker beyond that ends and frees itself.
#pragma once
#include "support/U_Lock.h"
#include "support/WinHandle.h"
#include "support/WinApi.h"
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

class TThreadBase;
class TThreadManage;

// job(var Terminated, thread, Param): Terminated is the worker's own stop
// flag, which the job watches (and may set).
using TThreadJob = std::function<void(volatile uint8_t &terminated, TThreadBase *thread, int32_t param)>;

// The run-time's thread error: a thread system call failed.
class EThreadError : public std::runtime_error {
public:
  explicit EThreadError(const std::string &m) : std::runtime_error(m) {}
};

// A locked list of workers.
struct TThreadList {
  TLock Lock;
  std::vector<TThreadBase *> Items;
};

// Bisection in a list sorted by worker address (compared as signed 32-bit
// values): the worker's index, or where it would be inserted.
bool FindThread(const std::vector<TThreadBase *> &list, const TThreadBase *worker, int32_t &index);

class TThreadBase {
public:
  explicit TThreadBase(bool createSuspended);
  // Stopping, 10 ms, then the standard teardown: a started, unfinished thread
  // gets Terminated and is waited for.
  virtual ~TThreadBase();
  TThreadBase(const TThreadBase &) = delete;
  TThreadBase &operator=(const TThreadBase &) = delete;

  int32_t ResumeWorker();
  void SuspendWorker();
  void ReportError(const std::string &message, int32_t level);

  DWORD ThreadId() const { return threadId_; }
  HANDLE Handle() const { return handle_.get(); }
  bool Finished() const { return finished_.Wait(0); }
  // True when the thread finished within ms.
  bool WaitFinished(DWORD ms) const { return finished_.Wait(ms); }

  TThreadManage *Manage = nullptr;
  std::atomic<uint8_t> Stopping{0};
  TThreadJob Job;
  std::string LastError;
  int32_t Param = 0;
  std::string JobName;

  volatile uint8_t Terminated = 0;
  std::atomic<uint8_t> Suspended{0};
  std::atomic<bool> FreeOnTerminate{false};

protected:
  virtual void Execute();

private:
  friend class TThreadManage;
  static DWORD WINAPI ThreadProc(void *self);
  // Closed when the object goes, after the thread has ended or been let go.
  NWin::TUniqueHandle handle_;
  DWORD threadId_ = 0;
  std::atomic<bool> started_{false};
  // Set by the thread as its last touch of the object.
  NWin::NSync::TEvent finished_;
  // Set by the pool when it is torn down under the system loader lock: the
  // thread's end must then not be waited for through its handle.
  bool noHandleWait_ = false;
};

class TThreadManage {
public:
  TThreadManage();
  // Stops and frees every worker; waits for running jobs to return.
  ~TThreadManage();
  TThreadManage(const TThreadManage &) = delete;
  TThreadManage &operator=(const TThreadManage &) = delete;

  // 0 and thread = the worker carrying the job; -1 and nil when closing.
  int32_t RunJob(TThreadBase *&thread, const std::string &jobName, TThreadJob job, int32_t param,
                 bool leaveSuspended);

  // How the pool is torn down: from ordinary code, from the module's detach
  // notification (loader lock held), or at process exit.
  enum TTeardown { tdNormal, tdUnderLoaderLock, tdProcessExit };
  void SetTeardown(TTeardown t) { teardown_ = t; }

  const int32_t MaxIdle = 30;
  TThreadList IdleThreads;
  TThreadList AllThreads;
  std::atomic<uint8_t> Closing{0};

private:
  TTeardown teardown_ = tdNormal;
};
