// HiddenWindow.h - the module's hidden windows: a window class of its own,
// registered once and withdrawn at unload, and the owner of one window that
// only its own thread may destroy.
#pragma once
#include <windows.h>

namespace NWin {

// A window class of this module. A class left registered once the module is
// gone would point at a window procedure that no longer exists.
class TWindowClass {
public:
  constexpr TWindowClass(const char *name, WNDPROC proc) : name_(name), proc_(proc) {}
  TWindowClass(const TWindowClass &) = delete;
  TWindowClass &operator=(const TWindowClass &) = delete;
  // Registers the class unless this owner already has; true when it did.
  bool Register();
  // Withdraws the class, whoever registered it; while a window of it exists
  // it stays registered.
  void Unregister();
  bool Registered() const { return atom_ != 0; }
  const char *Name() const { return name_; }

private:
  const char *name_;
  WNDPROC proc_;
  ATOM atom_ = 0;
};

// One hidden window, owned by the thread that created it: only that thread
// may destroy it. Another thread hands it back instead: the window's thread
// closes it whenever it next dispatches, and for a window of this module's
// class through the default procedure, so that nothing of the module runs
// then. The destructor does what Destroy does; at process exit, Abandon.
class THiddenWindow {
public:
  THiddenWindow() = default;
  ~THiddenWindow() { Destroy(); }
  THiddenWindow(const THiddenWindow &) = delete;
  THiddenWindow &operator=(const THiddenWindow &) = delete;

  // A message-only window of one of this module's classes, registering the
  // class first when it is not; a window held before is destroyed first.
  bool CreateMessageOnly(TWindowClass &windowClass);
  // A top-level window of a system class (whose procedure is the system's).
  bool CreateSystem(const char *className, const char *title);

  HWND Handle() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  DWORD OwnerThread() const { return ownerThread_; }
  bool OnOwnerThread() const { return ::GetCurrentThreadId() == ownerThread_; }
  void SetUserData(LONG_PTR value) const { ::SetWindowLongPtrA(handle_, GWLP_USERDATA, value); }

  // Destroys the window when called on its thread: true when it is gone.
  bool DestroyIfOwner();
  // Hands the window back to its thread (see above) and forgets it.
  void HandBack();
  // Destroyed on its thread, handed back on any other.
  void Destroy() {
    if (!DestroyIfOwner()) HandBack();
  }
  // Forgets the window without touching it: it goes with the process.
  void Abandon() { handle_ = nullptr; }

private:
  HWND handle_ = nullptr;
  DWORD ownerThread_ = 0;
  bool moduleProcedure_ = false;
};

} // namespace NWin
