// Child process of the simulator's unload tests: frees NVSDK.dll while its
// threads run. Exit code 0 = all well; others tell the failed step.
#include "common/Wait.h"
#include "common/Process.h"
#include "sim/SimControl.h"
#include <windows.h>
#include <atomic>
#include <cstring>
#include <string>

namespace {
std::atomic<int> g_packets{0};
std::atomic<int> g_messages{0};

void __stdcall OnPacket(uint32_t, int32_t, uint32_t, const void *, uint32_t, uint32_t, void *) { ++g_packets; }
int32_t __stdcall OnSlowMessage(int32_t, const void *) {
  Sleep(200);
  ++g_messages;
  return 0;
}

struct TSim {
  HMODULE m = nullptr;
  decltype(&SIM_AddServer) AddServer = nullptr;
  decltype(&SIM_SetStream) SetStream = nullptr;
  decltype(&SIM_InjectMessage) InjectMessage = nullptr;
  int32_t(__stdcall *Logon)(const char *, uint32_t, const char *, const char *, int32_t, int32_t *) = nullptr;
  int32_t(__stdcall *SetStreamFunc)(int32_t, void *, void *) = nullptr;
  int32_t(__stdcall *SetCallback)(int32_t, void *) = nullptr;
  int32_t(__stdcall *Open)(int32_t, const void *, int32_t *) = nullptr;
  int32_t(__stdcall *Close)(int32_t) = nullptr;
  template <class F> void Get(F &f, const char *n) { f = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(m, n))); }
  bool Load() {
    m = LoadLibraryA((NTest::ExeDir() + "NVSDK.dll").c_str());
    if (!m) return false;
    Get(AddServer, "SIM_AddServer");
    Get(SetStream, "SIM_SetStream");
    Get(InjectMessage, "SIM_InjectMessage");
    Get(Logon, "NVNET_LogonServer");
    Get(SetStreamFunc, "NVNET_SetStreamFunc");
    Get(SetCallback, "NVNET_SetCallback");
    Get(Open, "NVNET_OpenChannel");
    Get(Close, "NVNET_CloseChannel");
    return AddServer && SetStream && InjectMessage && Logon && SetStreamFunc && SetCallback && Open && Close;
  }
  int32_t Login() {
    int32_t h = 0;
    if (AddServer("127.0.0.1", 3000, "admin", "1234", 2, sbAccept) != 0) return -1;
    SetStream(0, 0, 3000, 3000, 0, 1);
    return Logon("127.0.0.1", 3000, "admin", "1234", 0, &h) == 0 ? h : -1;
  }
  int32_t OpenChannel(int32_t login, int32_t channel) {
    uint8_t req[28] = {};
    std::memcpy(req, &channel, 4);
    std::memcpy(req + 4, &channel, 4);
    int32_t h = 0;
    return Open(login, req, &h) == 0 ? h : -1;
  }
};

using NTest::WaitFor;

bool Loaded() { return GetModuleHandleA("NVSDK.dll") != nullptr; }

int Stream() {
  TSim s;
  if (!s.Load()) return 1;
  const int32_t h = s.Login();
  if (h < 0) return 2;
  s.SetStreamFunc(h, reinterpret_cast<void *>(&OnPacket), nullptr);
  if (s.OpenChannel(h, 0) <= 0) return 3;
  if (!WaitFor([] { return g_packets > 10; })) return 4;
  FreeLibrary(s.m);
  if (!Loaded()) return 5; // the stream thread keeps it
  const int n = g_packets;
  if (!WaitFor([&] { return g_packets > n + 10; })) return 6;
  return 0; // and the process ends while the stream runs
}

int Message() {
  TSim s;
  if (!s.Load()) return 1;
  const int32_t h = s.Login();
  if (h < 0) return 2;
  s.SetCallback(h, reinterpret_cast<void *>(&OnSlowMessage));
  if (s.InjectMessage(0, 0x10000004, 0) != 0) return 3;
  FreeLibrary(s.m);
  if (!Loaded()) return 4;
  if (!WaitFor([] { return g_messages == 1; })) return 5;
  if (!WaitFor([] { return !Loaded(); })) return 6; // the message thread let go
  return 0;
}

int Cycles() {
  const int threads = NTest::ThreadCount();
  for (int cycle = 0; cycle < 3; ++cycle) {
    TSim s;
    if (!s.Load()) return 10 + cycle;
    const int32_t h = s.Login();
    if (h != 100) return 20 + cycle; // fresh tables after each unload
    s.SetStreamFunc(h, reinterpret_cast<void *>(&OnPacket), nullptr);
    s.SetCallback(h, reinterpret_cast<void *>(&OnSlowMessage));
    const int32_t a = s.OpenChannel(h, 0), b = s.OpenChannel(h, 1);
    const int n = g_packets;
    if (!WaitFor([&] { return g_packets > n + 10; })) return 30 + cycle;
    if (s.InjectMessage(0, 0x10000009, 1) != 0) return 40 + cycle;
    if (s.Close(a) != 0 || s.Close(b) != 0) return 50 + cycle;
    FreeLibrary(s.m);
    if (!WaitFor([] { return !Loaded(); })) return 60 + cycle;
    if (!WaitFor([&] { return NTest::ThreadCount() <= threads; })) return 70 + cycle;
  }
  return 0;
}
} // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "stream") return Stream();
  if (mode == "message") return Message();
  if (mode == "cycles") return Cycles();
  return 99;
}
