// WinHandle.h - one small owner template for every kind of Win32 handle.
#pragma once
#include <windows.h>
#include <utility>

namespace NWin {

// Owns one handle. Traits::Close releases it and Traits::Invalid() is the
// value that means "none". Move-only, like std::unique_ptr.
template <typename T, typename Traits>
class TUniqueAny {
  static T Invalid() { return Traits::Invalid(); }

public:
  TUniqueAny() = default;
  explicit TUniqueAny(T h) : h_(h) {}
  ~TUniqueAny() { reset(); }
  TUniqueAny(const TUniqueAny &) = delete;
  TUniqueAny &operator=(const TUniqueAny &) = delete;
  TUniqueAny(TUniqueAny &&o) noexcept : h_(o.release()) {}
  TUniqueAny &operator=(TUniqueAny &&o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  T get() const { return h_; }
  explicit operator bool() const { return h_ != Invalid(); }
  T release() { return std::exchange(h_, Invalid()); }
  void reset(T h = Traits::Invalid()) {
    T old = std::exchange(h_, h);
    if (old != Invalid()) Traits::Close(old);
  }

private:
  T h_ = Traits::Invalid();
};

struct THandleTraits {
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};
// CreateFile reports failure as INVALID_HANDLE_VALUE, not as nil.
struct TFileTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};

using TUniqueHandle = TUniqueAny<HANDLE, THandleTraits>;
using TUniqueFile = TUniqueAny<HANDLE, TFileTraits>;

} // namespace NWin
