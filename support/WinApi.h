// WinApi.h - thin wrappers over the Win32 calls the driver makes. Each is a
// one-line call that reports failure through its result; callers decide what
// a failure means. Nothing here throws.
#pragma once
#include "support/WinHandle.h"
#include <windows.h>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace NWin {

namespace NDebug {
inline void Output(const char *text) { ::OutputDebugStringA(text); }
inline void Output(const std::string &text) { ::OutputDebugStringA(text.c_str()); }
} // namespace NDebug

namespace NSystem {
inline uint32_t ProcessId() { return ::GetCurrentProcessId(); }
inline uint32_t ThreadId() { return ::GetCurrentThreadId(); }
inline uint32_t LastError() { return ::GetLastError(); }
inline void Beep() { ::MessageBeep(0); }
// Enables one privilege in the process token; true when the last error is 0 after.
bool EnablePrivilege(const char *name);
// LoadCursorFromFileA: an icon or cursor from a file, or nil.
inline void *LoadCursorFile(const char *path) { return ::LoadCursorFromFileA(path); }
inline void DestroyCursorHandle(void *cursor) {
  if (cursor) ::DestroyCursor(static_cast<HCURSOR>(cursor));
}
// The locale's time separator (":" on an ordinary system).
std::string TimeSeparator();
// Local date and time in the locale's short date and long time formats.
std::string FormatShortDateLongTime(const SYSTEMTIME &t);
} // namespace NSystem

namespace NFile {
bool FileExists(const std::string &path);
bool DirectoryExists(const std::string &path);
// Creates the directory and every missing parent; true when it exists after.
bool ForceDirectories(const std::string &path);
// Whole-file read and write. Both return false on failure and leave the
// system error code in *error when given.
bool ReadAll(const std::string &path, std::vector<uint8_t> &data, uint32_t *error = nullptr);
bool WriteAll(const std::string &path, const void *data, size_t size, uint32_t *error = nullptr);

// Sequential access to a file too large to hold in memory twice.
class TSequentialFile {
public:
  TSequentialFile() = default;
  TSequentialFile(const TSequentialFile &) = delete;
  TSequentialFile &operator=(const TSequentialFile &) = delete;
  // Both leave the system error code in *error on failure.
  bool OpenRead(const std::string &path, uint32_t *error = nullptr) { return Open(path, false, error); }
  bool Create(const std::string &path, uint32_t *error = nullptr) { return Open(path, true, error); }
  int64_t Size() const;
  // Reads up to size bytes into data and their number into got: fewer only at
  // the end of the file, which is no error. False on a read error, with the
  // system error code in *error when given (got holds what came before it).
  bool Read(void *data, size_t size, size_t &got, uint32_t *error = nullptr);
  bool Write(const void *data, size_t size, uint32_t *error = nullptr);
  // Moves to byte `at` from the start.
  bool Seek(int64_t at);
  void Close();

private:
  bool Open(const std::string &path, bool write, uint32_t *error);
  TUniqueFile handle_;
};
} // namespace NFile

namespace NThread {
// A thread created suspended; nil on failure.
HANDLE CreateSuspended(LPTHREAD_START_ROUTINE proc, void *arg, DWORD *id);
inline DWORD Resume(HANDLE h) { return ::ResumeThread(h); }
inline DWORD Suspend(HANDLE h) { return ::SuspendThread(h); }
inline bool Wait(HANDLE h, DWORD ms) { return ::WaitForSingleObject(h, ms) == WAIT_OBJECT_0; }
// Full context (flags 0x10007); false when it cannot be read.
bool ReadContext(HANDLE h, CONTEXT &ctx);
// The instruction pointer of a suspended thread, or 0.
uintptr_t InstructionPointer(HANDLE h);
} // namespace NThread

namespace NSocket {
// The sockets library, started (version 2.0) and stopped once per call.
bool Startup();
void Cleanup();
// The first IPv4 address of a host name, in network order.
bool FirstAddress(const char *name, uint8_t out[4]);
// How often Startup has been called (so tests can tell whether a path
// touched the sockets library), and a failure switch for tests.
uint32_t StartupCount();
void FailStartupForTests(bool fail);
} // namespace NSocket

namespace NModule {
inline HMODULE Load(const char *path) { return ::LoadLibraryA(path); }
inline bool Free(HMODULE m) { return ::FreeLibrary(m) != FALSE; }
inline FARPROC Proc(HMODULE m, const char *name) { return ::GetProcAddress(m, name); }

// One reference on a loaded module, freed exactly once: by Reset or by the
// owner's end. Loading again while one is held takes no second reference.
class TModuleRef {
public:
  TModuleRef() = default;
  ~TModuleRef() { Reset(); }
  TModuleRef(const TModuleRef &) = delete;
  TModuleRef &operator=(const TModuleRef &) = delete;
  // The module held, or the one loaded from path (nil when it cannot be).
  HMODULE Load(const char *path) {
    if (!module_) module_ = ::LoadLibraryA(path);
    return module_;
  }
  HMODULE Get() const { return module_; }
  // Takes over a reference the caller holds (one already held is freed).
  void Adopt(HMODULE m) {
    Reset();
    module_ = m;
  }
  // Gives the reference up without freeing it (the module stays loaded).
  HMODULE Release() { return std::exchange(module_, nullptr); }
  void Reset() {
    if (HMODULE m = Release()) ::FreeLibrary(m);
  }

private:
  HMODULE module_ = nullptr;
};
} // namespace NModule

namespace NSync {
// Makes every other processor's pending writes visible and orders them
// before what this thread reads next: the reclaiming half of an asymmetric
// fence whose other half is a plain store and a compiler barrier.
inline void FlushOtherWrites() { ::FlushProcessWriteBuffers(); }

// A manual-reset event.
class TEvent {
public:
  explicit TEvent(bool set = false) : h_(::CreateEventA(nullptr, TRUE, set ? TRUE : FALSE, nullptr)) {}
  void Set() { ::SetEvent(h_.get()); }
  void Reset() { ::ResetEvent(h_.get()); }
  // True when set within ms (INFINITE waits for good).
  bool Wait(DWORD ms = INFINITE) const { return ::WaitForSingleObject(h_.get(), ms) == WAIT_OBJECT_0; }
  HANDLE Handle() const { return h_.get(); }

private:
  TUniqueHandle h_;
};
} // namespace NSync

} // namespace NWin
