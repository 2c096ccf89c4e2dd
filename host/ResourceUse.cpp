// ResourceUse.cpp - this process's memory, handle and thread counts (ResourceUse.h).
#include "host/ResourceUse.h"
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <algorithm>
#include <cstddef>
#include <vector>

namespace NDemo {

namespace {

// NtQuerySystemInformation's list of every handle in the system.
constexpr ULONG SystemHandleInformation = 16;
constexpr LONG StatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct THandleEntry {
  USHORT ownerPid; // the owner's id, cut to 16 bits
  USHORT creatorBackTraceIndex;
  UCHAR objectType;
  UCHAR attributes;
  USHORT value;
  PVOID object;
  ULONG access;
};
struct THandleList {
  ULONG count;
  THandleEntry entries[1];
};

// This process's handles in the system's list; 0 when it cannot be had.
int64_t HandlesListed() {
  using TQuery = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);
  static const auto query = reinterpret_cast<TQuery>(
      reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return 0;
  std::vector<unsigned char> buf(64 * 1024);
  for (int i = 0; i < 12; ++i) {
    ULONG need = 0;
    const LONG st = query(SystemHandleInformation, buf.data(), static_cast<ULONG>(buf.size()), &need);
    if (st == StatusInfoLengthMismatch) {
      buf.resize(std::max<size_t>(buf.size() * 2, need + 4096));
      continue;
    }
    if (st != 0) return 0;
    const auto *list = reinterpret_cast<const THandleList *>(buf.data());
    const size_t fits = (buf.size() - offsetof(THandleList, entries)) / sizeof(THandleEntry);
    const USHORT self = static_cast<USHORT>(GetCurrentProcessId());
    int64_t n = 0;
    for (ULONG k = 0; k < list->count && k < fits; ++k) n += list->entries[k].ownerPid == self;
    return n;
  }
  return 0;
}

int64_t Threads() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 e{};
  e.dwSize = sizeof e;
  const DWORD self = GetCurrentProcessId();
  int64_t n = 0;
  for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e)) n += e.th32OwnerProcessID == self;
  CloseHandle(snap);
  return n;
}

} // namespace

TResourceSample SampleResources(double t) {
  TResourceSample x;
  x.t = t;
  PROCESS_MEMORY_COUNTERS_EX m{};
  m.cb = sizeof m;
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&m), sizeof m))
    x.privateBytes = static_cast<int64_t>(m.PrivateUsage ? m.PrivateUsage : m.PagefileUsage);
  DWORD handles = 0;
  x.handles = GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0 ? handles : HandlesListed();
  x.threads = Threads();
  return x;
}

} // namespace NDemo
