// Stream path figures: frames of several sizes pushed as 1024-byte packets
// through the driver's stream callback into a host frame callback, against a
// plain memcpy of the same payload bytes and against a minimal reassembler
// without the driver (the practical ceiling), in alternating windows of one
// run. Every delivered byte is checked before anything is timed.
#include "bench/BenchSupport.h"
#include "support/U_HostCall.h"
#include "tm_driver/U_ZEZov_Define.h"
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr size_t HeaderBytes = sizeof(TNvPacketHeader);
constexpr size_t PacketStride = HeaderBytes + FragmentBytes;
// Bytes per timed window, and windows of each kind per frame size.
constexpr uint64_t WindowBytes = 64ull << 20;
constexpr int Rounds = 21;

// The byte at `offset` of frame number `frame`: differs between the
// fragments of a frame and between frames, so a fragment copied to the wrong
// place or a frame's bytes left from an earlier one do not go unnoticed.
uint8_t Expected(uint32_t frame, uint32_t offset) {
  uint32_t x = frame * 0x9E3779B1u ^ (offset + 1) * 0x85EBCA77u;
  x ^= x >> 15;
  x *= 0x2C1B3C6Du;
  x ^= x >> 12;
  return static_cast<uint8_t>(x);
}

// One frame as the SDK sends it: its packets one after another, PacketStride
// bytes apart.
struct TFrame {
  uint32_t Number = 0, Video = 0, Audio = 0;
  bool Key = true;
  int Count = 0;
  std::vector<uint8_t> Bytes;
  const uint8_t *Packet(int k) const { return Bytes.data() + k * PacketStride; }
  int32_t Payload(int k) const {
    const uint32_t left = Video + Audio - static_cast<uint32_t>(k) * FragmentBytes;
    return static_cast<int32_t>(left < static_cast<uint32_t>(FragmentBytes) ? left : FragmentBytes);
  }
};

TFrame MakeFrame(uint32_t number, uint32_t video, uint32_t audio, bool key) {
  TFrame f;
  f.Number = number;
  f.Video = video;
  f.Audio = audio;
  f.Key = key;
  const uint32_t total = video + audio;
  f.Count = static_cast<int>((total + FragmentBytes - 1) / FragmentBytes);
  f.Bytes.assign(f.Count * PacketStride, 0);
  for (int k = 0; k < f.Count; ++k) {
    TNvPacketHeader h{};
    h.Start = k == 0;
    h.PayloadBytes = f.Payload(k);
    h.VideoBytes = video;
    h.AudioBytes = static_cast<uint16_t>(audio);
    h.KeyFrame = key ? 1 : 0;
    h.Fragment = static_cast<uint8_t>(k);
    uint8_t *p = f.Bytes.data() + k * PacketStride;
    std::memcpy(p, &h, sizeof h);
    for (int32_t i = 0; i < h.PayloadBytes; ++i) p[HeaderBytes + i] = Expected(number, k * FragmentBytes + i);
  }
  return f;
}

// What the host's frame callback got.
struct TDelivery {
  uint8_t Type;
  std::vector<uint8_t> Bytes;
};

// The host's side: reads each frame's first and last byte, and in the check
// keeps a copy of every frame record's bytes.
struct THost {
  NHostKit::THostCallbacks Callbacks;
  TMethod Frame{};
  volatile uint32_t Sink = 0;
  uint64_t Delivered = 0;
  std::vector<TDelivery> *Capture = nullptr;

  THost() {
    Callbacks.frame = [this](const void *p) {
      TDvrFrameInfo fi;
      std::memcpy(&fi, p, sizeof fi);
      const auto *b = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(fi.Data));
      if (fi.FrameType == FrameHeader) return; // the stream's header record, before the first frame
      Sink = Sink + b[0] + b[fi.Length - 1];
      Delivered += static_cast<uint32_t>(fi.Length);
      if (Capture) Capture->push_back({fi.FrameType, std::vector<uint8_t>(b, b + fi.Length)});
    };
    Frame = {const_cast<void *>(Callbacks.FrameMethod().code), Callbacks.FrameMethod().data};
  }
};

// The practical ceiling: the least a reassembler must do per packet with the
// SDK calling it through a function pointer (header and bounds checks, the
// copy, the completion check) and per complete frame (the host's callback),
// with nothing of the driver around it.
struct TMiniChannel {
  uint8_t *Buffer;
  int64_t Size;
  TMethod Frame;
};

void MiniDeliver(const TMiniChannel &c, int32_t length, uint8_t type, const uint8_t *data) {
  TDvrFrameInfo info{};
  info.Length = length;
  info.FrameType = type;
  info.DriverType = TMDriverType;
  info.Data = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
  NHostCall::Frame(c.Frame, &info);
}

void NV_CALL MiniStream(uint32_t, int32_t, uint32_t, const void *packet, uint32_t, uint32_t, void *userData) {
  auto &c = *static_cast<TMiniChannel *>(userData);
  const auto *p = static_cast<const uint8_t *>(packet);
  TNvPacketHeader h;
  std::memcpy(&h, p, sizeof h);
  const int64_t total = static_cast<int64_t>(h.VideoBytes) + h.AudioBytes;
  const int64_t offset = static_cast<int64_t>(h.Fragment) * FragmentBytes;
  if (total > c.Size || h.PayloadBytes < 0 || h.PayloadBytes > FragmentBytes || offset + h.PayloadBytes > total)
    return;
  std::memcpy(c.Buffer + offset, p + HeaderBytes, static_cast<size_t>(h.PayloadBytes));
  if (offset + h.PayloadBytes != total) return;
  if (h.VideoBytes > 0) MiniDeliver(c, static_cast<int32_t>(h.VideoBytes), h.KeyFrame ? FrameKey : FrameVideo, c.Buffer);
  if (h.AudioBytes > 0) MiniDeliver(c, h.AudioBytes, FrameAudio, c.Buffer + h.VideoBytes);
}

// A stream callback and its user data, called as the SDK calls it.
struct TReceiver {
  const char *Name;
  TNvStreamCallback Callback;
  void *UserData;
};

void Push(const TReceiver &r, const TFrame &f) {
  // Through a volatile copy, so the call stays a call through a pointer.
  TNvStreamCallback volatile callback = r.Callback;
  for (int k = 0; k < f.Count; ++k) callback(0, 0, 0, f.Packet(k), 0, 0, r.UserData);
}

// Pushes frames of `size` bytes, some video only and some with audio after
// the video (across a fragment boundary), each with bytes of its own, and
// compares every delivered byte with what was sent. False, with the first
// difference printed, when anything differs.
bool CheckFrames(const TReceiver &r, THost &host, uint32_t size) {
  constexpr uint32_t AudioBytes = 1500;
  std::vector<TFrame> frames;
  for (uint32_t i = 0; i < 6; ++i) {
    const uint32_t audio = i % 2 ? AudioBytes : 0;
    frames.push_back(MakeFrame(size * 16 + i, size - audio, audio, i % 3 != 1));
  }
  std::vector<TDelivery> got;
  host.Capture = &got;
  for (const TFrame &f : frames) Push(r, f);
  host.Capture = nullptr;
  size_t d = 0;
  for (const TFrame &f : frames) {
    struct {
      uint8_t type;
      uint32_t from, length;
    } parts[2] = {{f.Key ? FrameKey : FrameVideo, 0, f.Video}, {FrameAudio, f.Video, f.Audio}};
    for (const auto &part : parts) {
      if (part.length == 0) continue;
      if (d >= got.size()) {
        std::printf("%s, %u-byte frames: frame %u: %u bytes of type %u never delivered\n", r.Name, size, f.Number,
                    part.length, part.type);
        return false;
      }
      const TDelivery &g = got[d++];
      if (g.Type != part.type || g.Bytes.size() != part.length) {
        std::printf("%s, %u-byte frames: frame %u: delivered %zu bytes of type %u, sent %u of type %u\n", r.Name,
                    size, f.Number, g.Bytes.size(), g.Type, part.length, part.type);
        return false;
      }
      for (uint32_t i = 0; i < part.length; ++i)
        if (g.Bytes[i] != Expected(f.Number, part.from + i)) {
          std::printf("%s, %u-byte frames: frame %u: byte %u of the frame (fragment %u) is %u, sent %u\n", r.Name,
                      size, f.Number, part.from + i, (part.from + i) / FragmentBytes, g.Bytes[i],
                      Expected(f.Number, part.from + i));
          return false;
        }
    }
  }
  if (d != got.size()) {
    std::printf("%s, %u-byte frames: %zu frame records delivered beyond the %zu sent\n", r.Name, size,
                got.size() - d, d);
    return false;
  }
  return true;
}

// Seconds for `frames` frames through a receiver; exits when frames are lost.
double TimeReceiver(const TReceiver &r, THost &host, const TFrame &f, int frames) {
  host.Delivered = 0;
  const TStopwatch w;
  for (int i = 0; i < frames; ++i) Push(r, f);
  const double t = w.Seconds();
  if (host.Delivered != static_cast<uint64_t>(frames) * f.Video) {
    std::printf("%s: %llu of %llu bytes delivered while timing\n", r.Name,
                static_cast<unsigned long long>(host.Delivered),
                static_cast<unsigned long long>(frames) * f.Video);
    std::exit(1);
  }
  return t;
}

// Seconds for `frames` frames copied packet by packet into a frame buffer.
double TimeMemcpy(THost &host, const TFrame &f, int frames, std::vector<uint8_t> &target) {
  const TStopwatch w;
  for (int i = 0; i < frames; ++i) {
    for (int k = 0; k < f.Count; ++k)
      std::memcpy(target.data() + k * FragmentBytes, f.Packet(k) + HeaderBytes, static_cast<size_t>(f.Payload(k)));
    host.Sink = host.Sink + target[0] + target[f.Video - 1];
  }
  return w.Seconds();
}

} // namespace

// The one SDK function the bench needs: it keeps the user data the driver
// attaches with the stream callback, as the SDK would.
void *AttachedUserData = nullptr;
int32_t NV_CALL KeepStreamFunc(int32_t, TNvStreamCallback, void *userData) {
  AttachedUserData = userData;
  return 0;
}

int main() {
  const TStopwatch run;
  const TTempFolder folder("stream_bench");
  TSdkTable sdk;
  sdk.Functions[sfSetStreamFunc] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&KeepStreamFunc));
  TTMDvs *d = MakeDriver(folder.Path(), &sdk);
  TDvrInfo s = BenchServer("10.7.0.1", 3000, 1);
  d->ORVA_Device_AddDvr(&s);
  // A login as the worker makes it; the session is the stream callback's user data.
  d->BeginSession(0, 42);
  void *session = AttachedUserData;
  THost host;
  TMethod m[5] = {host.Frame};
  char *ip = NHostString::New("10.7.0.1");
  d->ORVA_Device_SetDvrCallback(ip, 3000, 0, m);
  NHostString::Release(ip);

  std::vector<uint8_t> miniBuffer(MaxFrameBytes);
  TMiniChannel mini{miniBuffer.data(), MaxFrameBytes, host.Frame};
  const TReceiver driver{"driver", &TTMDvs::StreamCallback, session};
  const TReceiver ceiling{"minimal reassembler", &MiniStream, &mini};
  if (!session) {
    std::printf("no session for the bench's server\n");
    return 1;
  }

  // 256 fragments of 1024 bytes, the most a one-byte fragment index counts,
  // make the largest frame.
  const uint32_t sizes[] = {4u << 10, 64u << 10, 256u << 10};
  for (uint32_t size : sizes)
    for (const TReceiver *r : {&driver, &ceiling})
      if (!CheckFrames(*r, host, size)) return 1;
  std::printf("every byte of every delivered frame checked (4, 64 and 256 KiB; video, and video with audio)\n\n");

  std::printf("windows of %llu MiB, %d rounds of memcpy, driver and minimal reassembler in turn;\n",
              static_cast<unsigned long long>(WindowBytes >> 20), Rounds);
  std::printf("ratio = memcpy time / time of the path, per round (1.0 = memory speed)\n\n");
  std::printf("%-8s %-20s %10s %10s %10s\n", "frame", "path", "MB/s", "min ratio", "med ratio");
  std::vector<uint8_t> target(MaxFrameBytes);
  for (uint32_t size : sizes) {
    const TFrame f = MakeFrame(size, size, 0, true);
    const int frames = static_cast<int>(WindowBytes / size);
    std::vector<double> tCopy, tDriver, tMini, rDriver, rMini;
    for (int round = 0; round < Rounds; ++round) {
      double c, dr, mi;
      // The order turns every round, so a drift in the machine's speed does
      // not always fall on the same path.
      if (round % 2 == 0) {
        c = TimeMemcpy(host, f, frames, target);
        dr = TimeReceiver(driver, host, f, frames);
        mi = TimeReceiver(ceiling, host, f, frames);
      } else {
        mi = TimeReceiver(ceiling, host, f, frames);
        dr = TimeReceiver(driver, host, f, frames);
        c = TimeMemcpy(host, f, frames, target);
      }
      tCopy.push_back(c);
      tDriver.push_back(dr);
      tMini.push_back(mi);
      rDriver.push_back(c / dr);
      rMini.push_back(c / mi);
    }
    const double mb = static_cast<double>(frames) * size / 1e6;
    std::printf("%4u KiB %-20s %10.0f\n", size >> 10, "memcpy", mb / MedianOf(tCopy));
    std::printf("%8s %-20s %10.0f %10.2f %10.2f\n", "", "driver", mb / MedianOf(tDriver), MinOf(rDriver),
                MedianOf(rDriver));
    std::printf("%8s %-20s %10.0f %10.2f %10.2f   (practical ceiling)\n", "", "minimal reassembler",
                mb / MedianOf(tMini), MinOf(rMini), MedianOf(rMini));
  }
  std::printf("(MB/s from the median window; 1 MB = 10^6 bytes)\n");
  InterfaceRelease(d->DriverInterface());
  std::printf("whole run: %.1f s\n", run.Seconds());
  return 0;
}
