// The demo host's frame check: frames made by the simulator's own pattern
// pass; a changed byte, a frame of another channel or server, a wrong
// key-frame flag, a size outside the stream shape, or audio that does not
// follow its video part each count as a failed frame.
#include "host/ChannelCheck.h"
#include "sim/SimPattern.h"
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>

namespace {
using namespace NDemo;

constexpr uint32_t Port = 3004, Channel = 2;

const TStreamShape kShape{
    .port = Port, .channel = Channel, .videoMin = 100, .videoMax = 3000, .audio = 40, .keyInterval = 5};

struct TFrame {
  std::vector<uint8_t> video, audio;
};

TFrame Make(uint32_t seq, size_t videoBytes = 1500, size_t audioBytes = 40, uint32_t port = Port,
            uint32_t channel = Channel) {
  TFrame f{std::vector<uint8_t>(videoBytes), std::vector<uint8_t>(audioBytes)};
  SimFillVideo(f.video.data(), videoBytes, port, channel, seq);
  SimFillAudio(f.audio.data(), audioBytes, port, channel, seq);
  return f;
}

TDvrFrameInfo Info(uint8_t type, const std::vector<uint8_t> &data) {
  return {static_cast<int32_t>(data.size()), type, 22, 45000.5, reinterpret_cast<uint32_t>(data.data())};
}

// Hands over a frame as the driver does: video, then its audio part.
bool Deliver(TChannelCheck &c, const TFrame &f, bool key) {
  bool ok = c.OnFrame(Info(key ? 2 : 4, f.video));
  if (!f.audio.empty()) ok = c.OnFrame(Info(7, f.audio)) && ok;
  return ok;
}

// The one-byte header a channel starts with after each open.
bool Header(TChannelCheck &c) { return c.OnFrame(Info(1, std::vector<uint8_t>(1))); }

std::string Text(const TChannelCounts &n) {
  return "header " + std::to_string(n.header) + ", video " + std::to_string(n.video) + ", key " +
         std::to_string(n.key) + ", audio " + std::to_string(n.audio) + ", bytes " + std::to_string(n.bytes) +
         ", bad " + std::to_string(n.bad) + ", gaps " + std::to_string(n.gaps);
}

TEST(ChannelCheck, AStreamAsSentPassesAndIsCounted) {
  TChannelCheck c(kShape);
  EXPECT_TRUE(Header(c)) << c.FirstFault();
  for (uint32_t seq = 0; seq < 12; ++seq)
    EXPECT_TRUE(Deliver(c, Make(seq, 100 + seq * 200), seq % 5 == 0)) << c.FirstFault();
  EXPECT_EQ(Text(c.Counts()), "header 1, video 12, key 3, audio 12, bytes " +
                                  std::to_string(12 * 100 + 200 * 66 + 12 * 40) + ", bad 0, gaps 0");
}

// Frame 1 (no key frame due), changed so, handed over as the driver does.
std::function<void(TChannelCheck &)> Changed(void (*change)(TFrame &)) {
  return [change](TChannelCheck &c) {
    TFrame f = Make(1);
    change(f);
    Deliver(c, f, false);
  };
}

TEST(ChannelCheck, EveryKindOfDamageFailsTheFrame) {
  const std::pair<const char *, std::function<void(TChannelCheck &)>> cases[] = {
      {"one changed byte at the end", Changed([](TFrame &f) { f.video.back() ^= 1; })},
      {"a changed byte in the head", Changed([](TFrame &f) { f.video[9] ^= 0x80; })},
      {"the frame of another channel", Changed([](TFrame &f) { f = Make(1, 1500, 40, Port, Channel + 1); })},
      {"the frame of another server", Changed([](TFrame &f) { f = Make(1, 1500, 40, Port + 1); })},
      {"a video frame shorter than its head", [](TChannelCheck &c) {
         auto video = Make(1).video;
         video.resize(15);
         c.OnFrame(Info(4, video));
       }},
      {"a key frame where none is due", [](TChannelCheck &c) { Deliver(c, Make(1), true); }},
      {"no key-frame flag where one is due", [](TChannelCheck &c) { Deliver(c, Make(5), false); }},
      {"more video bytes than the stream has", Changed([](TFrame &f) { f = Make(1, 3001); })},
      {"a changed audio byte", Changed([](TFrame &f) { f.audio[39] ^= 4; })},
      {"the audio part of another frame", Changed([](TFrame &f) { f.audio = Make(2).audio; })},
      {"audio shorter than the stream has", Changed([](TFrame &f) { f.audio.resize(20); })},
      {"audio without its video part", [](TChannelCheck &c) { c.OnFrame(Info(7, Make(1).audio)); }},
      {"a video frame whose audio part never came", [](TChannelCheck &c) {
         c.OnFrame(Info(4, Make(1).video));
         c.OnFrame(Info(4, Make(2).video));
       }},
      {"a header of more than one byte", [](TChannelCheck &c) { c.OnFrame(Info(1, std::vector<uint8_t>(2))); }},
      {"an unknown frame type", [](TChannelCheck &c) { c.OnFrame(Info(3, Make(1).video)); }},
      {"another driver type", [](TChannelCheck &c) {
         const TFrame f = Make(1);
         TDvrFrameInfo i = Info(4, f.video);
         i.driverType = 21;
         c.OnFrame(i);
         c.OnFrame(Info(7, f.audio));
       }},
  };
  for (const auto &[what, feed] : cases) {
    TChannelCheck c(kShape);
    ASSERT_TRUE(Deliver(c, Make(0), true)) << what << ": " << c.FirstFault();
    feed(c);
    EXPECT_GE(c.Counts().bad, 1) << what;
    // The first fault is what stays to be reported.
    EXPECT_EQ(c.FirstFault().rfind("channel 2: ", 0), 0u) << what << ": " << c.FirstFault();
  }
}

TEST(ChannelCheck, LostFramesAreCountedAsGapsAndAHeaderStartsAFreshSequence) {
  TChannelCheck c(kShape);
  for (uint32_t seq : {0, 3, 4}) EXPECT_TRUE(Deliver(c, Make(seq), seq == 0)) << c.FirstFault();
  EXPECT_EQ(c.Counts().gaps, 2);
  // A new open: the stream may begin again anywhere.
  EXPECT_TRUE(Header(c)) << c.FirstFault();
  EXPECT_TRUE(Deliver(c, Make(20), true)) << c.FirstFault();
  EXPECT_EQ(c.Counts().gaps, 2);
  EXPECT_EQ(c.Counts().bad, 0);
}

TEST(ChannelCheck, WithoutAudioNoAudioIsAwaited) {
  auto shape = kShape;
  shape.audio = 0;
  shape.keyInterval = 0; // the flag is not checked
  TChannelCheck c(shape);
  EXPECT_TRUE(c.OnFrame(Info(2, Make(1, 500, 0).video))) << c.FirstFault();
  EXPECT_TRUE(c.OnFrame(Info(2, Make(2, 500, 0).video))) << c.FirstFault();
  EXPECT_FALSE(c.OnFrame(Info(7, Make(2).audio))) << "audio accepted in a stream without audio";
  EXPECT_EQ(c.Counts().bad, 1);
}

} // namespace
