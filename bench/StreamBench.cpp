// Stream path figures: frames of several sizes pushed through the driver's
// stream callback into a host frame callback, next to a plain memcpy of the
// same payload bytes in the same run.
#include "bench/BenchSupport.h"
#include "tm_driver/U_ZEZov_Define.h"
#include <cstdio>
#include <vector>

namespace {

// The packets of one frame of `total` video bytes, as the SDK sends them.
std::vector<std::vector<uint8_t>> Packets(uint32_t total) {
  std::vector<std::vector<uint8_t>> out;
  for (uint32_t f = 0; f * 1024 < total; ++f) {
    const int32_t payload = static_cast<int32_t>(total - f * 1024 < 1024 ? total - f * 1024 : 1024);
    std::vector<uint8_t> p(sizeof(TNvPacketHeader) + payload);
    TNvPacketHeader h{};
    h.Start = f == 0;
    h.PayloadBytes = payload;
    h.VideoBytes = total;
    h.KeyFrame = 1;
    h.Fragment = static_cast<uint8_t>(f);
    std::memcpy(p.data(), &h, sizeof h);
    for (int32_t k = 0; k < payload; ++k) p[sizeof h + k] = static_cast<uint8_t>(k * 7 + f);
    out.push_back(std::move(p));
  }
  return out;
}

} // namespace

int main() {
  TTMDvs *d = MakeDriver(NHostKit::ExeDir() + "bench_host");
  TDvrInfo s = BenchServer("10.7.0.1", 3000, 1);
  d->ORVA_Device_AddDvr(&s);
  TChannelArrayRef ch = d->Channels(0);
  // A login as the worker makes it; the session is the stream callback's user data.
  void *userData = d->BeginSession(0, 42);
  // The host's callback reads the frame's first and last byte.
  volatile uint32_t sink = 0;
  uint64_t delivered = 0;
  NHostKit::THostCallbacks host;
  host.frame = [&](const void *p) {
    TDvrFrameInfo fi;
    std::memcpy(&fi, p, sizeof fi);
    const auto *b = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(fi.Data));
    sink = sink + b[0] + b[fi.Length - 1];
    delivered += fi.Length;
  };
  TMethod m[5] = {};
  m[0] = {const_cast<void *>(host.FrameMethod().code), host.FrameMethod().data};
  char *ip = NHostString::New("10.7.0.1");
  d->ORVA_Device_SetDvrCallback(ip, 3000, 0, m);
  (*ch)[0].HeaderPending = 0;

  std::printf("%-9s %12s %12s %8s\n", "frame", "driver MB/s", "memcpy MB/s", "ratio");
  // 512 KiB needs fragment indices beyond 255, which the packet's one-byte
  // index cannot carry: 255 KiB is the largest frame the layout expresses.
  for (uint32_t kib : {4u, 64u, 255u}) {
    const uint32_t total = kib * 1024;
    const auto packets = Packets(total);
    const uint64_t bytesPerRound = 64ull << 20; // 64 MiB per measurement
    const int frames = static_cast<int>(bytesPerRound / total);
    std::vector<uint8_t> target(total);
    double best = 1e9, bestCopy = 1e9;
    for (int rep = 0; rep < 3; ++rep) {
      delivered = 0;
      double t0 = NowSeconds();
      for (int f = 0; f < frames; ++f)
        for (const auto &p : packets) TTMDvs::StreamCallback(0, 0, 0, p.data(), 0, 0, userData);
      best = std::min(best, NowSeconds() - t0);
      if (delivered != static_cast<uint64_t>(frames) * total) std::printf("  (lost frames!)\n");
      t0 = NowSeconds();
      for (int f = 0; f < frames; ++f)
        for (size_t k = 0; k < packets.size(); ++k)
          std::memcpy(target.data() + k * 1024, packets[k].data() + sizeof(TNvPacketHeader),
                      packets[k].size() - sizeof(TNvPacketHeader));
      sink = sink + target[total - 1];
      bestCopy = std::min(bestCopy, NowSeconds() - t0);
    }
    const double mb = static_cast<double>(frames) * total / 1e6;
    std::printf("%4u KiB  %12.0f %12.0f %8.2f\n", kib, mb / best, mb / bestCopy, bestCopy / best);
  }
  NHostString::Release(ip);
  InterfaceRelease(d->DriverInterface());
  return 0;
}
