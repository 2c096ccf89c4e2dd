// BenchSupport.h - a driver object of the benchmark's own process, and a
// stopwatch.
#pragma once
#include "entry/U_IDeviceDriverInterface.h"
#include "hostkit/HostKit.h"
#include "support/U_Define.h"
#include "support/U_HostTypes.h"
#include "support/U_MainThread.h"
#include "support/WinApi.h"
#include "tm_driver/U_ZEZov.h"
#include <windows.h>
#include <cstring>
#include <string>

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

// A TM driver object; release it with InterfaceRelease(d->DriverInterface()).
inline TTMDvs *MakeDriver(const std::string &hostDir) {
  NMainThread::Init();
  NSharedHeap::Join();
  if (!PublicUnit) CreatePublicUnit();
  void *slot = nullptr;
  char *dir = NHostString::New(hostDir);
  auto *d = new TTMDvs(TMDriverType, &slot, dir);
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
