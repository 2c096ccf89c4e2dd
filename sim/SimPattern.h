// SimPattern.h - the contents of the simulated servers' frames, so that a
// receiver can check every byte it was handed.
//
// Video part of frame `seq` of channel `channel` of the server on `port`:
// bytes 0..15 (when the frame has that many) are the little-endian words
// kSimMagic, port, channel, seq; every byte k after that is
// SimVideoByte(port, channel, seq, k). The audio part holds
// SimAudioByte(port, channel, seq, k) at each of its bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr uint32_t kSimMagic = 0x534D4654; // "TFMS"

inline uint8_t SimVideoByte(uint32_t port, uint32_t channel, uint32_t seq, uint32_t k) {
  uint32_t x = (k * 2654435761u) ^ (seq * 40503u) ^ (channel << 20) ^ (port << 8);
  return static_cast<uint8_t>(x ^ (x >> 13) ^ (x >> 24));
}
inline uint8_t SimAudioByte(uint32_t port, uint32_t channel, uint32_t seq, uint32_t k) {
  return static_cast<uint8_t>(SimVideoByte(port, channel, seq, k) ^ 0xA5);
}

inline void SimFillVideo(uint8_t *dst, size_t len, uint32_t port, uint32_t channel, uint32_t seq) {
  const uint32_t head[4] = {kSimMagic, port, channel, seq};
  size_t k = 0;
  for (; k < len && k < 16; ++k) dst[k] = reinterpret_cast<const uint8_t *>(head)[k];
  for (; k < len; ++k) dst[k] = SimVideoByte(port, channel, seq, static_cast<uint32_t>(k));
}
inline void SimFillAudio(uint8_t *dst, size_t len, uint32_t port, uint32_t channel, uint32_t seq) {
  for (size_t k = 0; k < len; ++k) dst[k] = SimAudioByte(port, channel, seq, static_cast<uint32_t>(k));
}

// Checks a delivered video part of at least 16 bytes: the head tells the
// frame; returns true when every byte is as sent, and the frame's sequence.
inline bool SimCheckVideo(const uint8_t *p, size_t len, uint32_t port, uint32_t channel,
                          uint32_t *seqOut) {
  if (len < 16) return false;
  uint32_t head[4];
  std::memcpy(head, p, 16);
  if (head[0] != kSimMagic || head[1] != port || head[2] != channel) return false;
  for (size_t k = 16; k < len; ++k)
    if (p[k] != SimVideoByte(port, channel, head[3], static_cast<uint32_t>(k))) return false;
  if (seqOut) *seqOut = head[3];
  return true;
}
inline bool SimCheckAudio(const uint8_t *p, size_t len, uint32_t port, uint32_t channel, uint32_t seq) {
  for (size_t k = 0; k < len; ++k)
    if (p[k] != SimAudioByte(port, channel, seq, static_cast<uint32_t>(k))) return false;
  return true;
}
