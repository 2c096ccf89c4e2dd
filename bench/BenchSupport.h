// BenchSupport.h - what the benchmarks share: a driver object of the
// benchmark's own process, a stopwatch, the minimum and median of a series
// of measurements, and a temporary folder of the benchmark's own.
#pragma once
#include "entry/U_IDeviceDriverInterface.h"
#include "hostkit/HostKit.h"
#include "support/U_Define.h"
#include "support/U_HostTypes.h"
#include "support/U_MainThread.h"
#include "support/WinApi.h"
#include "tm_driver/U_ZEZov.h"
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

inline double NowSeconds() {
  static LARGE_INTEGER f = [] {
    LARGE_INTEGER x;
    QueryPerformanceFrequency(&x);
    return x;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

// Time since construction or the last Restart.
class TStopwatch {
public:
  void Restart() { start_ = NowSeconds(); }
  double Seconds() const { return NowSeconds() - start_; }

private:
  double start_ = NowSeconds();
};

inline double MinOf(const std::vector<double> &v) {
  return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

// The middle value (the mean of the two middle ones for an even count).
inline double MedianOf(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A folder of the benchmark's own under the system's temporary folder,
// removed with the files in it when the object goes.
class TTempFolder {
public:
  explicit TTempFolder(const std::string &name) {
    char base[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathA(sizeof base, base);
    std::string root = n > 0 && n < sizeof base ? std::string(base, n) : std::string(".\\");
    if (root.back() != '\\' && root.back() != '/') root += '\\';
    path_ = root + name + "-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TTempFolder() {
    WIN32_FIND_DATAA f;
    HANDLE h = FindFirstFileA((path_ + "\\*").c_str(), &f);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        if (!(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA(File(f.cFileName).c_str());
      } while (FindNextFileA(h, &f));
      FindClose(h);
    }
    RemoveDirectoryA(path_.c_str());
  }
  TTempFolder(const TTempFolder &) = delete;
  TTempFolder &operator=(const TTempFolder &) = delete;
  const std::string &Path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "\\" + name; }

private:
  std::string path_;
};

// A file's size from the file system, or -1.
inline int64_t FileBytes(const std::string &path) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a)) return -1;
  return (static_cast<int64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

// A TM driver object; release it with InterfaceRelease(d->DriverInterface()).
inline TTMDvs *MakeDriver(const std::string &hostDir, const TSdkTable *sdk = nullptr) {
  NMainThread::Init();
  NSharedHeap::Join();
  if (!PublicUnit) CreatePublicUnit();
  void *slot = nullptr;
  char *dir = NHostString::New(hostDir);
  auto *d = new TTMDvs(HostInterfaceTables(), TMDriverType, &slot, dir, sdk);
  NHostString::Release(dir);
  d->Release(); // the construction reference; the slot's stays
  return d;
}

inline TDvrInfo BenchServer(const std::string &ip, int32_t port, int32_t channels) {
  TDvrInfo s;
  std::memset(&s, 0, sizeof s);
  s.DvrIP.Assign(ip);
  s.Port = port;
  s.LoginHandle = -1;
  s.VideoNum = channels;
  s.DvrId = port;
  return s;
}
