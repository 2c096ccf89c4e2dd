// ChannelCheck.cpp
#include "host/ChannelCheck.h"
#include "sim/SimPattern.h"

namespace NDemo {

void TChannelCheck::Fault(const std::string &what) {
  ++c_.bad;
  if (firstFault_.empty()) firstFault_ = what;
}

bool TChannelCheck::OnFrame(const TDvrFrameInfo &f) {
  std::lock_guard<std::mutex> lock(m_);
  const auto *p = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(f.data));
  const int64_t badBefore = c_.bad;
  const std::string where = "channel " + std::to_string(shape_.channel) + ": ";
  if (f.driverType != 22) Fault(where + "driver type " + std::to_string(f.driverType));
  switch (f.frameType) {
  case 1:
    ++c_.header;
    if (f.length != 1) Fault(where + "header of length " + std::to_string(f.length));
    // A new open starts a new stream: the sequence may start anew.
    haveSeq_ = false;
    audioPending_ = false;
    break;
  case 2:
  case 4: {
    if (audioPending_) Fault(where + "frame " + std::to_string(lastSeq_) + " came without its audio part");
    ++c_.video;
    if (f.frameType == 2) ++c_.key;
    c_.bytes += f.length > 0 ? f.length : 0;
    uint32_t seq = 0;
    if (f.length < 16 || !p ||
        !SimCheckVideo(p, static_cast<size_t>(f.length), shape_.port, shape_.channel, &seq)) {
      Fault(where + "video frame of " + std::to_string(f.length) + " bytes does not match the pattern" +
            (haveSeq_ ? " (after frame " + std::to_string(lastSeq_) + ")" : ""));
      audioPending_ = false;
      break;
    }
    if (f.length < shape_.videoMin || f.length > shape_.videoMax)
      Fault(where + "frame " + std::to_string(seq) + " has " + std::to_string(f.length) + " video bytes");
    if (shape_.keyInterval > 0 &&
        (f.frameType == 2) != (seq % static_cast<uint32_t>(shape_.keyInterval) == 0))
      Fault(where + "frame " + std::to_string(seq) + (f.frameType == 2 ? " came as a key frame" : " came without the key-frame flag"));
    if (haveSeq_ && seq > lastSeq_ + 1) c_.gaps += seq - lastSeq_ - 1;
    haveSeq_ = true;
    lastSeq_ = seq;
    audioPending_ = shape_.audio > 0;
    break;
  }
  case 7:
    ++c_.audio;
    c_.bytes += f.length > 0 ? f.length : 0;
    // Audio follows the video part of its own frame.
    if (!audioPending_) {
      Fault(where + "audio without the video part of its frame");
    } else if (f.length != shape_.audio || !p ||
               !SimCheckAudio(p, static_cast<size_t>(f.length), shape_.port, shape_.channel, lastSeq_)) {
      Fault(where + "audio of frame " + std::to_string(lastSeq_) + " (" + std::to_string(f.length) +
            " bytes) does not match the pattern");
    }
    audioPending_ = false;
    break;
  default:
    Fault(where + "frame type " + std::to_string(f.frameType));
  }
  return c_.bad == badBefore;
}

TChannelCounts TChannelCheck::Counts() const {
  std::lock_guard<std::mutex> lock(m_);
  return c_;
}

std::string TChannelCheck::FirstFault() const {
  std::lock_guard<std::mutex> lock(m_);
  return firstFault_;
}

} // namespace NDemo
