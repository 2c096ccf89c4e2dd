// ChannelCheck.h - what the demo host learns from the frames of one live
// channel: counts, and a check of every byte against the simulator's pattern
// (sim/SimPattern.h), of the frame type against the key-frame interval and of
// the sizes against the server's stream shape.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>

namespace NDemo {

// The record the driver hands to a frame callback (18 bytes, packed).
#pragma pack(push, 1)
struct TDvrFrameInfo {
  int32_t length;
  uint8_t frameType; // 1 header, 2 key frame, 4 other video, 7 audio
  uint8_t driverType;
  double time;
  uint32_t data;
};
#pragma pack(pop)
static_assert(sizeof(TDvrFrameInfo) == 18);

struct TStreamShape {
  uint32_t port = 0, channel = 0;
  int32_t videoMin = 16, videoMax = 1 << 20;
  int32_t audio = 0;
  int32_t keyInterval = 0; // 0: the key-frame flag is not checked
};

struct TChannelCounts {
  int64_t video = 0, key = 0, header = 0, audio = 0, bytes = 0;
  int64_t bad = 0;  // frames that failed a check
  int64_t gaps = 0; // video frames missing between two received ones
};

// Fed from the SDK's threads; read from any thread.
class TChannelCheck {
public:
  explicit TChannelCheck(const TStreamShape &shape) : shape_(shape) {}
  // Checks one delivered frame; false when it failed.
  bool OnFrame(const TDvrFrameInfo &f);
  TChannelCounts Counts() const;
  // What the first failed frame showed; empty while none failed.
  std::string FirstFault() const;

private:
  void Fault(const std::string &what);
  TStreamShape shape_;
  mutable std::mutex m_;
  TChannelCounts c_;
  bool haveSeq_ = false;
  bool audioPending_ = false; // a video frame was seen and its audio not yet
  uint32_t lastSeq_ = 0;
  std::string firstFault_;
};

} // namespace NDemo
