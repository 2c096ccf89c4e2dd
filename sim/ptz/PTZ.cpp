// PTZ.cpp - PTZ.dll of our own: a small library of pan-tilt-zoom protocols.
// The driver only loads it and looks up its three exports; hosts and tests
// may call them. All stdcall, exported undecorated:
//
//   int32 GetPtzProtocolCount()
//     number of protocols (3).
//   int32 GetPtzInfoFromIndex(int32 index, char* name, int32 size)
//     copies the protocol's name, zero-terminated and cut to size, into name;
//     returns the full name length, or -1 for an index outside 0..count-1.
//   int32 TransformToCommand(int32 protocol, int32 address, int32 action,
//                            int32 speed, uint8* out, int32 size)
//     writes the 7-byte command for a camera at address (0..255): byte 0 is
//     0xA0 + protocol, then address, action (kPtz* below), speed (0..63),
//     two zero bytes, and the sum of bytes 1..5 modulo 256. Returns 7, or -1
//     for an unknown protocol or action, an out-of-range address or speed,
//     or an out buffer smaller than 7 bytes.
#include <cstdint>
#include <cstring>

namespace {
const char *const kProtocols[] = {"TM-Serial-A", "TM-Serial-B", "TM-Generic"};
constexpr int32_t kProtocolCount = 3;
constexpr int32_t kCommandBytes = 7;
// Actions.
constexpr int32_t kPtzStop = 0, kPtzLast = 10; // stop, up, down, left, right, zoom in/out, focus near/far, iris open/close
} // namespace

extern "C" {

int32_t __stdcall GetPtzProtocolCount() { return kProtocolCount; }

int32_t __stdcall GetPtzInfoFromIndex(int32_t index, char *name, int32_t size) {
  if (index < 0 || index >= kProtocolCount) return -1;
  const int32_t len = static_cast<int32_t>(std::strlen(kProtocols[index]));
  if (name && size > 0) {
    const int32_t n = len < size - 1 ? len : size - 1;
    std::memcpy(name, kProtocols[index], n);
    name[n] = 0;
  }
  return len;
}

int32_t __stdcall TransformToCommand(int32_t protocol, int32_t address, int32_t action, int32_t speed,
                                     uint8_t *out, int32_t size) {
  if (protocol < 0 || protocol >= kProtocolCount || address < 0 || address > 255 || action < kPtzStop ||
      action > kPtzLast || speed < 0 || speed > 63 || !out || size < kCommandBytes)
    return -1;
  const uint8_t cmd[kCommandBytes - 1] = {static_cast<uint8_t>(0xA0 + protocol), static_cast<uint8_t>(address),
                                          static_cast<uint8_t>(action), static_cast<uint8_t>(speed), 0, 0};
  std::memcpy(out, cmd, sizeof cmd);
  uint8_t sum = 0;
  for (int i = 1; i <= 5; ++i) sum = static_cast<uint8_t>(sum + cmd[i]);
  out[6] = sum;
  return kCommandBytes;
}

} // extern "C"
