// Child process of the simulator's unload tests: frees NVSDK.dll while its
// threads run. Exit code 0 = all well; others tell the failed step.
#include "SdkApi.h"
#include "common/Wait.h"
#include <atomic>
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

using NTest::WaitFor;

bool Loaded() { return GetModuleHandleA("NVSDK.dll") != nullptr; }

// Loads the library and logs on to a streaming server of two channels: the
// login, or -1.
int32_t Start(TSdk &s) {
  if (!s.Load() || s.AddServer("127.0.0.1", 3000, "admin", "1234", 2, sbAccept) != 0) return -1;
  s.SetStream(0, 0, 3000, 3000, 0, 1);
  return s.Logon();
}

int Stream() {
  TSdk s;
  const int32_t h = Start(s);
  if (h < 0) return 1;
  s.SetStreamFunc(h, &OnPacket, nullptr);
  if (s.Open(h, 0) <= 0) return 3;
  if (!WaitFor([] { return g_packets > 10; })) return 4;
  FreeLibrary(s.module);
  if (!Loaded()) return 5; // the stream thread keeps it
  const int n = g_packets;
  if (!WaitFor([&] { return g_packets > n + 10; })) return 6;
  return 0; // and the process ends while the stream runs
}

int Message() {
  TSdk s;
  const int32_t h = Start(s);
  if (h < 0) return 1;
  s.SetCallback(h, &OnSlowMessage);
  if (s.InjectMessage(0, 0x10000004, 0) != 0) return 3;
  FreeLibrary(s.module);
  if (!Loaded()) return 4;
  if (!WaitFor([] { return g_messages == 1; })) return 5;
  if (!WaitFor([] { return !Loaded(); })) return 6; // the message thread let go
  return 0;
}

int Cycles() {
  const int threads = NTest::ThreadCount();
  for (int cycle = 0; cycle < 3; ++cycle) {
    TSdk s;
    const int32_t h = Start(s);
    if (h != 100) return 20 + cycle; // fresh tables after each unload
    s.SetStreamFunc(h, &OnPacket, nullptr);
    s.SetCallback(h, &OnSlowMessage);
    const int32_t a = s.Open(h, 0), b = s.Open(h, 1);
    const int n = g_packets;
    if (!WaitFor([&] { return g_packets > n + 10; })) return 30 + cycle;
    if (s.InjectMessage(0, 0x10000009, 1) != 0) return 40 + cycle;
    if (s.CloseChannel(a) != 0 || s.CloseChannel(b) != 0) return 50 + cycle;
    FreeLibrary(s.module);
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
