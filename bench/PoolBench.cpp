// Worker pool figures: how long until a job handed to a parked worker starts
// running, against how long until the body of a newly created thread starts.
#include "bench/BenchSupport.h"
#include "support/U_Thread.h"
#include <atomic>
#include <cstdio>
#include <vector>

namespace {

constexpr int Reps = 200;

// The counter at the moment the body started, and an event it sets then.
struct TStart {
  std::atomic<int64_t> At{0};
  HANDLE Started = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ~TStart() { CloseHandle(Started); }
  void Mark() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    At = t.QuadPart;
    SetEvent(Started);
  }
};

int64_t Counter() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

double CounterSeconds(int64_t ticks) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return static_cast<double>(ticks) / static_cast<double>(f.QuadPart);
}

// True once `n` workers are on the idle list and every one of them is
// suspended (a worker lists itself, then parks a little later).
bool WaitParked(TThreadManage &pool, size_t n) {
  for (int i = 0; i < 5000; ++i) {
    pool.IdleThreads.Lock.Lock();
    bool parked = pool.IdleThreads.Items.size() == n;
    for (TThreadBase *w : pool.IdleThreads.Items) parked = parked && w->Suspended;
    pool.IdleThreads.Lock.Unlock();
    if (parked) return true;
    Sleep(1);
  }
  return false;
}

DWORD WINAPI ThreadBody(void *arg) {
  static_cast<TStart *>(arg)->Mark();
  return 0;
}

} // namespace

int main() {
  const TStopwatch run;
  TThreadManage pool;
  TStart start;
  TThreadBase *worker = nullptr;
  auto job = [&start](volatile uint8_t &, TThreadBase *, int32_t) { start.Mark(); };
  // One job first, so that a worker exists and parks idle.
  if (pool.RunJob(worker, "bench", job, 0, false) != 0 || WaitForSingleObject(start.Started, 10000) != WAIT_OBJECT_0 ||
      !WaitParked(pool, 1)) {
    std::printf("the pool's first job did not run and park\n");
    return 1;
  }

  std::vector<double> tJob, tThread, ratios;
  for (int rep = 0; rep < Reps; ++rep) {
    // RunJob on the parked worker: from the call to the job's first line.
    int64_t t0 = Counter();
    if (pool.RunJob(worker, "bench", job, 0, false) != 0 || WaitForSingleObject(start.Started, 10000) != WAIT_OBJECT_0) {
      std::printf("a job did not start\n");
      return 1;
    }
    const double j = CounterSeconds(start.At - t0);
    // CreateThread: from the call to the thread body's first line.
    t0 = Counter();
    HANDLE h = CreateThread(nullptr, 0, &ThreadBody, &start, 0, nullptr);
    if (!h || WaitForSingleObject(start.Started, 10000) != WAIT_OBJECT_0) {
      std::printf("a thread did not start\n");
      return 1;
    }
    const double c = CounterSeconds(start.At - t0);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    tJob.push_back(j);
    tThread.push_back(c);
    ratios.push_back(c / j);
    // The next job goes to a parked worker again.
    if (!WaitParked(pool, 1)) {
      std::printf("the worker did not park again\n");
      return 1;
    }
  }
  std::printf("time from the call until the body runs, %d times each, in turn (us):\n", Reps);
  std::printf("  %-32s %9s %9s\n", "", "min", "median");
  std::printf("  %-32s %9.1f %9.1f\n", "RunJob on a parked worker", MinOf(tJob) * 1e6, MedianOf(tJob) * 1e6);
  std::printf("  %-32s %9.1f %9.1f\n", "CreateThread", MinOf(tThread) * 1e6, MedianOf(tThread) * 1e6);
  std::printf("  ratio CreateThread / RunJob per repetition: min %.2f, median %.2f (above 1.0: the pool is faster)\n",
              MinOf(ratios), MedianOf(ratios));
  std::printf("whole run: %.1f s\n", run.Seconds());
  return 0;
}
