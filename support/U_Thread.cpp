// U_Thread.cpp - worker threads and their pool.
#include "support/U_Thread.h"
#include "support/Clock.h"
#include "support/U_DebugLog.h"
#include "support/U_MainThread.h"
#include "support/WinApi.h"
#include <algorithm>

namespace {

// "线程执行错:" in code page 936.
constexpr char JobErrorPrefix[] = "\xCF\xDF\xB3\xCC\xD6\xB4\xD0\xD0\xB4\xED:";

// The consistency checks raise and catch on the spot; only the beep shows.
void Check(bool ok, const char *what) {
  try {
    if (!ok) throw std::runtime_error(what);
  } catch (const std::exception &) {
    NWin::NSystem::Beep();
  }
}

std::string SystemMessage(DWORD e) { return "System error " + std::to_string(e); }

bool InOurModule(uintptr_t ip) {
  const auto *base = static_cast<const uint8_t *>(NMainThread::ModuleInstance());
  const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
  const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
  return ip >= reinterpret_cast<uintptr_t>(base) &&
         ip < reinterpret_cast<uintptr_t>(base) + nt->OptionalHeader.SizeOfImage;
}

// Under the loader lock a thread cannot finish ending (its detach
// notifications need that lock), so its handle is never signalled there.
// Instead wait until it has set its finished flag and its instruction pointer
// has left this module: from then on it runs system code only, and the
// module may go.
void WaitLeftModule(TThreadBase *w) {
  w->WaitFinished(10000);
  for (int i = 0; i < 1000; ++i) {
    if (NWin::NThread::Suspend(w->Handle()) == static_cast<DWORD>(-1)) return; // gone
    const uintptr_t ip = NWin::NThread::InstructionPointer(w->Handle());
    NWin::NThread::Resume(w->Handle());
    if (ip && !InOurModule(ip)) return;
    NClock::Sleep(1);
  }
}

} // namespace

bool FindThread(const std::vector<TThreadBase *> &list, const TThreadBase *worker, int32_t &index) {
  int32_t lo = 0, hi = static_cast<int32_t>(list.size()) - 1;
  bool found = false;
  const auto key = static_cast<int32_t>(reinterpret_cast<uintptr_t>(worker));
  while (lo <= hi) {
    const int32_t mid = static_cast<int32_t>((static_cast<uint32_t>(lo) + static_cast<uint32_t>(hi)) >> 1);
    const auto at = static_cast<int32_t>(reinterpret_cast<uintptr_t>(list[mid]));
    if (at < key) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (at == key) {
        found = true;
        lo = mid;
      }
    }
  }
  index = lo;
  return found;
}

// --- TThreadBase

TThreadBase::TThreadBase(bool createSuspended) {
  handle_.reset(NWin::NThread::CreateSuspended(&TThreadBase::ThreadProc, this, &threadId_));
  if (!handle_) throw EThreadError(SystemMessage(NWin::NSystem::LastError()));
  if (!createSuspended) {
    started_ = true;
    NWin::NThread::Resume(handle_.get());
  }
}

TThreadBase::~TThreadBase() {
  Stopping = 1;
  NClock::Sleep(10);
  if (started_ && !Finished()) {
    Terminated = 1;
    if (noHandleWait_) WaitLeftModule(this);
    else NWin::NThread::Wait(handle_.get(), INFINITE);
  } else if (!started_ && !noHandleWait_) {
    // Never run: let it start only to find Stopping and end.
    NWin::NThread::Resume(handle_.get());
    NWin::NThread::Wait(handle_.get(), INFINITE);
  }
  handle_.reset();
}

DWORD WINAPI TThreadBase::ThreadProc(void *p) {
  auto *self = static_cast<TThreadBase *>(p);
  self->started_ = true;
  try {
    self->Execute();
  } catch (...) {
    // Not the run-time's exception class: the thread ends.
  }
  if (self->FreeOnTerminate) {
    self->finished_.Set();
    delete self;
  } else {
    self->finished_.Set(); // the last touch of the object
  }
  return 0;
}

void TThreadBase::ReportError(const std::string &message, int32_t level) {
  const std::string text = std::to_string(threadId_) + "|" + message + " f(" +
                           std::to_string(NWin::NSystem::ThreadId()) + ")";
  LastError = text;
  WriteDebugLog(text, level);
}

int32_t TThreadBase::ResumeWorker() {
  auto r = static_cast<int32_t>(NWin::NThread::Resume(handle_.get()));
  if (r == 0) {
    const uint32_t e = NWin::NSystem::LastError();
    if (e == 183 || e == 203) {
      r = 1;
    } else {
      CONTEXT ctx;
      if (!NWin::NThread::ReadContext(handle_.get(), ctx)) r = 1;
    }
  }
  if (r < 0) throw EThreadError(SystemMessage(NWin::NSystem::LastError()));
  if (r == 1) {
    started_ = true;
    Suspended = 0;
  }
  return r;
}

void TThreadBase::SuspendWorker() {
  const uint8_t old = Suspended.load();
  Suspended = 1;
  if (NWin::NThread::Suspend(::GetCurrentThread()) == static_cast<DWORD>(-1)) {
    Suspended = old;
    throw EThreadError(SystemMessage(NWin::NSystem::LastError()));
  }
}

void TThreadBase::Execute() {
  while (!Terminated && !Stopping) {
    if (Job) {
      try {
        Job(Terminated, this, Param);
      } catch (const std::exception &e) {
        ReportError(JobErrorPrefix + JobName + "|" + e.what() + " :" + LastError, 1);
      }
    }
    Job = nullptr;
    Param = 0;
    JobName.clear();
    TThreadManage *m = Manage;
    m->AllThreads.Lock.Lock();
    m->IdleThreads.Lock.Lock();
    if (Stopping) {
      m->IdleThreads.Lock.Unlock();
      m->AllThreads.Lock.Unlock();
      return;
    }
    int32_t idx;
    Check(FindThread(m->AllThreads.Items, this, idx), "freeeee");
    if (static_cast<int32_t>(m->IdleThreads.Items.size()) < m->MaxIdle) {
      m->IdleThreads.Items.push_back(this);
      m->IdleThreads.Lock.Unlock();
      m->AllThreads.Lock.Unlock();
      NClock::Sleep(10);
      SuspendWorker();
      continue;
    }
    auto &idle = m->IdleThreads.Items;
    Check(std::find(idle.begin(), idle.end(), this) == idle.end(), "dfdf");
    if (FindThread(m->AllThreads.Items, this, idx)) m->AllThreads.Items.erase(m->AllThreads.Items.begin() + idx);
    FreeOnTerminate = true;
    m->IdleThreads.Lock.Unlock();
    m->AllThreads.Lock.Unlock();
    return;
  }
  TThreadManage *m = Manage;
  m->AllThreads.Lock.Lock();
  int32_t idx;
  if (FindThread(m->AllThreads.Items, this, idx)) {
    m->AllThreads.Items.erase(m->AllThreads.Items.begin() + idx);
    Stopping = 1;
    FreeOnTerminate = true;
  }
  m->AllThreads.Lock.Unlock();
}

// --- TThreadManage

TThreadManage::TThreadManage() = default;

int32_t TThreadManage::RunJob(TThreadBase *&thread, const std::string &jobName, TThreadJob job,
                              int32_t param, bool leaveSuspended) {
  thread = nullptr;
  AllThreads.Lock.Lock();
  IdleThreads.Lock.Lock();
  if (Closing) {
    IdleThreads.Lock.Unlock();
    AllThreads.Lock.Unlock();
    return -1;
  }
  TThreadBase *w = nullptr;
  try {
    if (!IdleThreads.Items.empty()) {
      w = IdleThreads.Items.back();
      IdleThreads.Items.pop_back();
    } else {
      w = new TThreadBase(true);
      w->Manage = this;
      w->Suspended = 1; // created suspended
      int32_t idx;
      FindThread(AllThreads.Items, w, idx);
      AllThreads.Items.insert(AllThreads.Items.begin() + idx, w);
    }
  } catch (...) {
    IdleThreads.Lock.Unlock();
    AllThreads.Lock.Unlock();
    throw;
  }
  IdleThreads.Lock.Unlock();
  AllThreads.Lock.Unlock();

  while (!w->Suspended) {
    if (Closing) {
      AllThreads.Lock.Lock();
      int32_t idx;
      if (FindThread(AllThreads.Items, w, idx)) AllThreads.Items.erase(AllThreads.Items.begin() + idx);
      AllThreads.Lock.Unlock();
      return -1;
    }
    NClock::Sleep(2);
  }
  w->Job = std::move(job);
  w->Param = param;
  w->JobName = jobName;
  if (w->Suspended) w->Terminated = 0;
  Check(w->Suspended != 0, "Suspended!!");
  if (!leaveSuspended) {
    while (w->ResumeWorker() != 1) NClock::Sleep(2);
  }
  thread = w;
  return 0;
}

TThreadManage::~TThreadManage() {
  if (teardown_ == tdProcessExit) return; // the workers are gone with the process
  std::vector<TThreadBase *> busy, idle;
  AllThreads.Lock.Lock();
  IdleThreads.Lock.Lock();
  Closing = 1;
  for (TThreadBase *w : AllThreads.Items) {
    int32_t idx;
    FindThread(busy, w, idx);
    busy.insert(busy.begin() + idx, w);
    w->Stopping = 1;
    w->noHandleWait_ = teardown_ == tdUnderLoaderLock;
  }
  for (TThreadBase *w : IdleThreads.Items) {
    idle.push_back(w);
    busy.erase(std::remove(busy.begin(), busy.end(), w), busy.end());
  }
  IdleThreads.Items.clear();
  AllThreads.Items.clear();
  IdleThreads.Lock.Unlock();
  AllThreads.Lock.Unlock();

  // A running job sees Terminated and returns; its worker then finds
  // Stopping and ends. Its object is ours: it left the list above.
  for (TThreadBase *w : busy) delete w;
  for (TThreadBase *w : idle) {
    for (int i = 0; i < 5000 && !w->Suspended; ++i) NClock::Sleep(2);
    w->Stopping = 1;
    for (int i = 0; i < 5000; ++i) {
      int32_t r = 0;
      try {
        r = w->ResumeWorker();
      } catch (const EThreadError &) {
        break; // the thread is gone
      }
      if (r == 1) break;
      NClock::Sleep(2);
    }
    NClock::Sleep(1);
    delete w;
  }
}
