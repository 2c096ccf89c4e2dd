// U_MainThread.cpp
#include "support/U_MainThread.h"
#include "support/HiddenWindow.h"
#include "support/WinApi.h"
#include <windows.h>
#include <atomic>
#include <exception>
#include <memory>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace NMainThread {
namespace {

constexpr UINT WM_SYNC_CALL = WM_APP + 0x155;
constexpr char ClassName[] = "TMDvsSyncWindow";

// A call handed over. The caller may give up waiting, so the request lives on
// the heap and whoever moves it out of Pending first decides who runs it.
struct TRequest {
  enum : int { Pending, Claimed, Cancelled, Done };
  std::function<void()> fn;
  std::atomic<int> state{Pending};
  std::exception_ptr error;
  NWin::NSync::TEvent done; // set once the main thread has run it
};

std::atomic<DWORD> mainId{0};

LRESULT CALLBACK SyncProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_SYNC_CALL) {
    std::unique_ptr<std::shared_ptr<TRequest>> holder(reinterpret_cast<std::shared_ptr<TRequest> *>(lp));
    TRequest &r = **holder;
    int expected = TRequest::Pending;
    if (r.state.compare_exchange_strong(expected, TRequest::Claimed)) {
      try {
        r.fn();
      } catch (...) {
        r.error = std::current_exception();
      }
      r.state.store(TRequest::Done);
      r.done.Set();
    }
    return 0;
  }
  return ::DefWindowProcA(w, msg, wp, lp);
}

NWin::TWindowClass syncClass(ClassName, SyncProc);
NWin::THiddenWindow syncWindow;

} // namespace

void *ModuleInstance() { return &__ImageBase; }

void Init() {
  mainId.store(::GetCurrentThreadId());
  syncWindow.CreateMessageOnly(syncClass);
}

void Done(bool processTerminating) {
  if (processTerminating) {
    syncWindow.Abandon();
    return;
  }
  if (!syncWindow) return;
  if (syncWindow.OnOwnerThread()) {
    syncWindow.Destroy();
    syncClass.Unregister();
  } else {
    // Only its own thread may destroy it; nothing of ours runs when that
    // thread gets to the close request after this module is gone.
    syncWindow.HandBack();
  }
}

bool IsMain() {
  const DWORD id = mainId.load();
  return id == 0 || id == ::GetCurrentThreadId();
}

bool Synchronize(const std::function<void()> &fn, uint32_t timeoutMs) {
  if (IsMain() || !syncWindow.Handle()) {
    fn();
    return IsMain();
  }
  auto req = std::make_shared<TRequest>();
  req->fn = fn;
  auto *holder = new std::shared_ptr<TRequest>(req);
  DWORD_PTR result = 0;
  const LRESULT sent = ::SendMessageTimeoutA(syncWindow.Handle(), WM_SYNC_CALL, 0,
                                             reinterpret_cast<LPARAM>(holder), SMTO_BLOCK,
                                             timeoutMs, &result);
  if (!sent) {
    int expected = TRequest::Pending;
    if (req->state.compare_exchange_strong(expected, TRequest::Cancelled)) {
      // Not taken: the holder is freed by the main thread if the message is
      // ever delivered; it then finds the request cancelled.
      fn();
      return false;
    }
  }
  // Taken by the main thread: wait until it has finished the call.
  req->done.Wait();
  if (req->error) std::rethrow_exception(req->error);
  return true;
}

} // namespace NMainThread
