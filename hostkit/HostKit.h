// HostKit.h - plays the host towards TMDvs.dll: loads it, calls any position
// of the interface in the host's register convention through a hand-written
// assembly caller, builds host method pointers and host strings on the
// shared heap, and catches the driver's structured exception.
#pragma once
#include <windows.h>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace NHostKit {

constexpr DWORD DriverExceptionCode = 0xE0544D44;

struct TCallResult {
  uint32_t eax = 0, edx = 0;
  uint32_t popped = 0;  // bytes the callee removed from the stack
  std::string clobbered; // which of EBX ESI EDI EBP the callee changed, or empty
  bool raised = false;  // an exception left the call
  uint32_t code = 0;    // its code
  uint32_t params = 0;  // its number of parameters
  std::string className, message; // for the driver's exception
  uint8_t al() const { return static_cast<uint8_t>(eax & 0xFF); }
  int32_t i32() const { return static_cast<int32_t>(eax); }
};

// EAX, EDX, ECX as given; words pushed in order (words[0] first).
TCallResult CallRaw(const void *entry, uint32_t eax, uint32_t edx, uint32_t ecx,
                    const std::vector<uint32_t> &words);
// stdcall: args in declaration order (pushed right to left).
TCallResult CallStd(const void *entry, const std::vector<uint32_t> &args);

// A host method pointer: code, then the object.
struct TMethodPtr {
  const void *code = nullptr;
  void *data = nullptr;
};

// The arguments of one call, in declaration order; Call distributes them
// as the host does (32-bit ones into EDX, ECX while free; method pointers
// always on the stack). Unused registers carry garbage.
class TArgs {
public:
  TArgs &Int(int32_t v) { return Add(static_cast<uint32_t>(v), false); }
  TArgs &Word(uint32_t v) { return Add(v, false); }
  TArgs &Ptr(const void *p) { return Add(reinterpret_cast<uint32_t>(p), false); }
  TArgs &Str(const char *s) { return Ptr(s); }
  // A Boolean or byte: only the low 8 bits are meaningful; the rest is garbage.
  TArgs &Bool(bool b) { return Add(0xA5C3E700u | (b ? 1u : 0u), false); }
  TArgs &Byte(uint8_t b) { return Add(0x5A3C7E00u | b, false); }
  TArgs &Method(const TMethodPtr &m) {
    items_.push_back({reinterpret_cast<uint32_t>(m.code), true, reinterpret_cast<uint32_t>(m.data)});
    return *this;
  }
  TArgs &NilMethod() { return Method(TMethodPtr{}); }
  // The register and stack words the host would produce.
  void Layout(uint32_t &edx, uint32_t &ecx, std::vector<uint32_t> &words) const;
  // Bytes these arguments take on the stack.
  uint32_t StackBytes() const;

private:
  struct TItem {
    uint32_t value;
    bool method;
    uint32_t data;
  };
  TArgs &Add(uint32_t v, bool m) {
    items_.push_back({v, m, 0});
    return *this;
  }
  std::vector<TItem> items_;
};

// A call that a host could not survive: the callee removed other stack bytes
// than were pushed, or changed a register it must keep.
struct TCallFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Calls position pos (3..155) of an interface in the register convention.
// Throws TCallFault, naming the position, when the call returned with the
// stack or the callee-saved registers not as the host left them.
TCallResult CallPosition(void *intf, int pos, const TArgs &args = TArgs());
// Positions 0..2.
HRESULT QueryInterface(void *intf, const GUID &iid, void **out);
ULONG AddRef(void *intf);
ULONG Release(void *intf);

// Host objects whose methods the driver calls back.
struct THostCallbacks {
  std::function<void(int32_t dvrId, bool onLine, uint32_t rawEcx)> status;
  std::function<void(const void *frameInfo)> frame;
  std::function<int32_t(int32_t a, int32_t b, int32_t c, int32_t z1, int32_t z2)> hostFunction1;
  std::function<int32_t(int32_t a)> hostFunction2;
  TMethodPtr StatusMethod();
  TMethodPtr FrameMethod();
  TMethodPtr HostFunction1Method();
  TMethodPtr HostFunction2Method();
};
// The thunks themselves, for calling them as the driver would.
const void *StatusThunk();
const void *FrameThunk();
const void *HostFunction1Thunk();
const void *HostFunction2Thunk();

// The process's shared heap as a Pascal host sees it: found through the
// hidden "STATIC" window "<pid:8 hex>_PID_FastMM_BE"; its six functions are
// called in the register convention.
class TSharedHeap {
public:
  static std::string WindowTitle();
  // Finds the published table; false when there is none.
  bool Find();
  const void *const *Table() const { return table_; }
  void *GetMem(int32_t size);
  int32_t FreeMem(void *p);
  void *AllocMem(int32_t size);
  void *ReallocMem(void *p, int32_t size);

  // Host strings in the run-time's layout.
  char *NewString(const std::string &text); // reference count 1; nil for empty
  static std::string Text(const char *s);
  static int32_t RefCount(const char *s);
  // Drops one reference as the run-time does (constants untouched, free at 0).
  void ReleaseString(char *&s);

private:
  const void *const *table_ = nullptr;
};

// A constant host string (count -1) in the caller's memory.
class TConstString {
public:
  explicit TConstString(const std::string &s);
  const char *get() const { return block_.data() + 8; }

private:
  std::vector<char> block_;
};

// TMDvs.dll from the test program's folder, and its factory.
class TDriverLibrary {
public:
  TDriverLibrary();
  ~TDriverLibrary();
  bool Loaded() const { return module_ != nullptr; }
  HMODULE Module() const { return module_; }
  // ORVA_CreateDevice(&var, type, hostDir) through the stdcall caller.
  TCallResult Create(void **var, uint32_t type, const char *hostDir);
  void Unload();

private:
  HMODULE module_ = nullptr;
  const void *create_ = nullptr;
};

std::string ExeDir();

} // namespace NHostKit
