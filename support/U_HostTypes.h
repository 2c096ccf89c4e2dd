// U_HostTypes.h - the host run-time's shared heap, and the counted strings
// and dynamic arrays that cross the interface in its layout.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The six memory functions of the process-wide shared heap, in the host's
// register convention (arguments in EAX, EDX).
#define HOST_REGISTER __attribute__((regparm(3)))
struct TSharedHeapTable {
  void *(HOST_REGISTER *GetMem)(int32_t size);
  int32_t(HOST_REGISTER *FreeMem)(void *p);
  void *(HOST_REGISTER *ReallocMem)(void *p, int32_t size);
  void *(HOST_REGISTER *AllocMem)(int32_t size);
  uint32_t(HOST_REGISTER *RegisterExpectedMemoryLeak)(void *p);
  uint32_t(HOST_REGISTER *UnregisterExpectedMemoryLeak)(void *p);
};

namespace NSharedHeap {

// Joins the heap of the process: adopts the table published in the user data
// of the hidden "STATIC" window "<pid as 8 hex digits>_PID_FastMM_BE", or
// creates that window and publishes this module's own table. Called once, on
// the loading thread.
void Join();
// Destroys the window if this module created it (on the thread that created
// it; at process exit nothing is done).
void Leave(bool processTerminating);
// The window title for a process id.
std::string WindowTitle(uint32_t processId);

void *Get(size_t size);     // nil when no block can be had
void Free(void *p);
void *AllocZeroed(size_t size);

} // namespace NSharedHeap

// A host string: pointer to the first character or nil; int32 length at -4,
// int32 reference count at -8 (-1 = constant), a NUL after the text.
namespace NHostString {

// The text of a host string (nil is empty).
std::string Text(const char *s);
inline int32_t Length(const char *s) { return s ? reinterpret_cast<const int32_t *>(s)[-1] : 0; }
// The text of a host string in place (nil is empty).
inline std::string_view View(const char *s) {
  const int32_t n = Length(s);
  return n > 0 ? std::string_view(s, static_cast<size_t>(n)) : std::string_view();
}
// A new string with reference count 1 from the shared heap (nil for empty).
// Throws EOutOfMemory when no block can be had.
char *New(std::string_view text);
// Drops one reference the way the host's run-time does: a constant is never
// touched, a count that reaches 0 frees the block.
void Release(char *s);
// Stores a new string into the caller's variable and releases what it held.
void Assign(char **var, std::string_view text);

// A host string for the length of a call that takes one.
class TTemporary {
public:
  explicit TTemporary(std::string_view text) : s_(New(text)) {}
  ~TTemporary() { Release(s_); }
  TTemporary(const TTemporary &) = delete;
  TTemporary &operator=(const TTemporary &) = delete;
  const char *get() const { return s_; }

private:
  char *s_;
};

} // namespace NHostString

// A host dynamic array: pointer to the first element or nil; int32 element
// count at -4, int32 reference count at -8.
namespace NHostArray {

inline int32_t Length(const void *a) { return a ? static_cast<const int32_t *>(a)[-1] : 0; }
// A zeroed array of count elements (nil for 0). Throws EOutOfMemory.
void *New(int32_t count, size_t elementSize);
void Release(void *a);
// Stores a new array into the caller's variable, releasing its old value.
void Assign(void **var, void *array);

} // namespace NHostArray
