// U_HostTypes.cpp - shared heap and host strings.
#include "support/U_HostTypes.h"
#include "support/U_Errors.h"
#include "support/HiddenWindow.h"
#include <windows.h>
#include <cstdio>
#include <cstring>

namespace NSharedHeap {
namespace {

// This module's own heap is the process heap: it is thread-safe and outlives
// the module, so blocks handed to the host stay valid whoever frees them.
void *HOST_REGISTER OwnGetMem(int32_t size) {
  return size > 0 ? ::HeapAlloc(::GetProcessHeap(), 0, static_cast<SIZE_T>(size)) : nullptr;
}
int32_t HOST_REGISTER OwnFreeMem(void *p) {
  if (!p) return 0;
  return ::HeapFree(::GetProcessHeap(), 0, p) ? 0 : 1;
}
void *HOST_REGISTER OwnReallocMem(void *p, int32_t size) {
  if (!p) return OwnGetMem(size);
  if (size <= 0) {
    OwnFreeMem(p);
    return nullptr;
  }
  return ::HeapReAlloc(::GetProcessHeap(), 0, p, static_cast<SIZE_T>(size));
}
void *HOST_REGISTER OwnAllocMem(int32_t size) {
  return size > 0 ? ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(size))
                  : nullptr;
}
uint32_t HOST_REGISTER OwnRegisterLeak(void *) { return 1; }
uint32_t HOST_REGISTER OwnUnregisterLeak(void *) { return 1; }

const TSharedHeapTable ownTable = {OwnGetMem,   OwnFreeMem,      OwnReallocMem,
                                   OwnAllocMem, OwnRegisterLeak, OwnUnregisterLeak};
const TSharedHeapTable *table = &ownTable;
NWin::THiddenWindow window;

} // namespace

std::string WindowTitle(uint32_t processId) {
  char t[40];
  std::snprintf(t, sizeof t, "%08lX_PID_FastMM_BE", static_cast<unsigned long>(processId));
  return t;
}

void Join() {
  const std::string title = WindowTitle(::GetCurrentProcessId());
  if (HWND w = ::FindWindowA("STATIC", title.c_str())) {
    if (auto *t = reinterpret_cast<const TSharedHeapTable *>(::GetWindowLongA(w, GWL_USERDATA))) {
      table = t;
      return;
    }
  }
  if (window.CreateSystem("STATIC", title.c_str()))
    window.SetUserData(reinterpret_cast<LONG_PTR>(&ownTable));
}

void Leave(bool processTerminating) {
  if (processTerminating) {
    window.Abandon();
    return;
  }
  if (!window) return;
  // Withdraw the table first, so nobody adopts it from a window on its way out.
  window.SetUserData(0);
  window.Destroy();
}


void *Get(size_t size) {
  if (size == 0 || size > 0x7FFFFFF0u) return nullptr;
  return table->GetMem(static_cast<int32_t>(size));
}
void Free(void *p) {
  if (p) table->FreeMem(p);
}
void *AllocZeroed(size_t size) {
  if (size == 0 || size > 0x7FFFFFF0u) return nullptr;
  return table->AllocMem(static_cast<int32_t>(size));
}

} // namespace NSharedHeap

namespace {
struct TRecHeader {
  int32_t RefCount;
  int32_t Length;
};
TRecHeader *HeaderOf(const void *p) {
  return reinterpret_cast<TRecHeader *>(const_cast<char *>(static_cast<const char *>(p)) - 8);
}
void ReleaseBlock(void *p) {
  if (!p) return;
  TRecHeader *h = HeaderOf(p);
  if (h->RefCount < 0) return; // constant
  if (::InterlockedDecrement(reinterpret_cast<volatile LONG *>(&h->RefCount)) == 0)
    NSharedHeap::Free(h);
}
} // namespace

namespace NHostString {

std::string Text(const char *s) { return s ? std::string(s, static_cast<size_t>(Length(s))) : std::string(); }

char *New(std::string_view text) {
  if (text.empty()) return nullptr;
  auto *h = static_cast<TRecHeader *>(NSharedHeap::Get(sizeof(TRecHeader) + text.size() + 1));
  if (!h) throw EOutOfMemory();
  h->RefCount = 1;
  h->Length = static_cast<int32_t>(text.size());
  char *s = reinterpret_cast<char *>(h + 1);
  std::memcpy(s, text.data(), text.size());
  s[text.size()] = 0;
  return s;
}

void Release(char *s) { ReleaseBlock(s); }

void Assign(char **var, std::string_view text) {
  char *fresh = New(text);
  char *old = *var;
  *var = fresh;
  Release(old);
}

} // namespace NHostString

namespace NHostArray {

void *New(int32_t count, size_t elementSize) {
  if (count <= 0) return nullptr;
  const uint64_t bytes = uint64_t(count) * elementSize + sizeof(TRecHeader);
  if (bytes > 0x7FFFFFF0u) throw EOutOfMemory();
  auto *h = static_cast<TRecHeader *>(NSharedHeap::AllocZeroed(static_cast<size_t>(bytes)));
  if (!h) throw EOutOfMemory();
  h->RefCount = 1;
  h->Length = count;
  return h + 1;
}

void Release(void *a) { ReleaseBlock(a); }

void Assign(void **var, void *array) {
  void *old = *var;
  *var = array;
  Release(old);
}

} // namespace NHostArray
