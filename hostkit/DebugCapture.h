// DebugCapture.h - receives debugger output the way a debug-output viewer
// does (the DBWIN protocol), so tests can assert the exact lines written.
#pragma once
#include "support/WinHandle.h"
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

namespace NHostKit {

// While it lives, every OutputDebugStringA line of this process is kept, in
// the order the system delivered it. Only one capture can run per machine
// session at a time (the section and events are global names).
class TDebugCapture {
public:
  TDebugCapture();
  ~TDebugCapture();
  TDebugCapture(const TDebugCapture &) = delete;
  TDebugCapture &operator=(const TDebugCapture &) = delete;

  bool Active() const { return static_cast<bool>(thread_); }

  // Returns once every line written before the call has been received.
  void Sync();
  // All lines so far (after Sync).
  std::vector<std::string> Lines();
  // Lines so far that contain the given text.
  std::vector<std::string> Matching(const std::string &part);
  // Forgets what was received.
  void Clear();
  // Hands over the lines received so far and forgets them, without waiting:
  // a reader that drains the capture now and then (the demo host's log) sees
  // every line exactly once. Sync() first to include everything written
  // (on the same thread: a marker taken away would keep Sync waiting).
  std::vector<std::string> Take();
  // Waits, up to the timeout, until some line contains the text.
  bool WaitFor(const std::string &part, DWORD timeoutMs);
  // Waits until the predicate over all lines holds.
  bool WaitUntil(const std::function<bool(const std::vector<std::string> &)> &pred, DWORD timeoutMs);

private:
  static DWORD WINAPI ThreadMain(void *self);
  void Run();

  struct TViewTraits {
    static void *Invalid() { return nullptr; }
    static void Close(void *p) { ::UnmapViewOfFile(p); }
  };
  // Declared in the order they are made: the view goes before its section.
  NWin::TUniqueHandle mapping_, bufferReady_, dataReady_, stop_, started_;
  NWin::TUniqueAny<void *, TViewTraits> view_;
  NWin::TUniqueHandle thread_;
  CRITICAL_SECTION cs_;
  CONDITION_VARIABLE cv_;
  std::vector<std::string> lines_;
  unsigned syncCounter_ = 0;
};

// The bytes of a text, as hex pairs, for messages that show what was seen.
std::string Hex(const std::string &s);

} // namespace NHostKit
