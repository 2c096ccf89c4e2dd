// HiddenWindow.cpp - window class and hidden window owner.
#include "support/HiddenWindow.h"
#include "support/U_MainThread.h"

namespace NWin {

namespace {
HINSTANCE Module() { return static_cast<HINSTANCE>(NMainThread::ModuleInstance()); }
} // namespace

bool TWindowClass::Register() {
  if (atom_) return false;
  WNDCLASSA wc{};
  wc.lpfnWndProc = proc_;
  wc.hInstance = Module();
  wc.lpszClassName = name_;
  atom_ = ::RegisterClassA(&wc);
  return atom_ != 0;
}

void TWindowClass::Unregister() {
  if (::UnregisterClassA(name_, Module())) atom_ = 0;
}

bool THiddenWindow::CreateMessageOnly(TWindowClass &windowClass) {
  Destroy();
  // A class this owner did not register may still be there from before (the
  // window is then made with it).
  windowClass.Register();
  handle_ = ::CreateWindowExA(0, windowClass.Name(), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              Module(), nullptr);
  ownerThread_ = ::GetCurrentThreadId();
  moduleProcedure_ = true;
  return handle_ != nullptr;
}

bool THiddenWindow::CreateSystem(const char *className, const char *title) {
  Destroy();
  handle_ = ::CreateWindowExA(0, className, title, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ownerThread_ = ::GetCurrentThreadId();
  moduleProcedure_ = false;
  return handle_ != nullptr;
}

bool THiddenWindow::DestroyIfOwner() {
  if (!handle_ || !OnOwnerThread()) return false;
  if (!::DestroyWindow(handle_)) return false;
  handle_ = nullptr;
  return true;
}

void THiddenWindow::HandBack() {
  HWND w = handle_;
  handle_ = nullptr;
  if (!w || !::IsWindow(w)) return;
  if (moduleProcedure_) ::SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&::DefWindowProcA));
  ::PostMessageA(w, WM_CLOSE, 0, 0);
}

} // namespace NWin
