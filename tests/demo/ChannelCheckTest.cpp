// The demo host's frame check: frames made by the simulator's own pattern
// pass; a changed byte, a frame of another channel or server, a wrong
// key-frame flag, a size outside the stream shape, or audio that does not
// follow its video part each count as a failed frame.
#include "host/ChannelCheck.h"
#include "sim/SimPattern.h"
#include <gtest/gtest.h>
#include <functional>
#include <vector>

namespace {
using namespace NDemo;

constexpr uint32_t Port = 3004, Channel = 2;

TStreamShape Shape() {
  TStreamShape s;
  s.port = Port;
  s.channel = Channel;
  s.videoMin = 100;
  s.videoMax = 3000;
  s.audio = 40;
  s.keyInterval = 5;
  return s;
}

struct TFrame {
  std::vector<uint8_t> video, audio;
  uint32_t seq;
};

TFrame Make(uint32_t seq, size_t videoBytes = 1500, size_t audioBytes = 40, uint32_t port = Port,
            uint32_t channel = Channel) {
  TFrame f{std::vector<uint8_t>(videoBytes), std::vector<uint8_t>(audioBytes), seq};
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

TEST(ChannelCheck, AStreamAsSentPassesAndIsCounted) {
  TChannelCheck c(Shape());
  const std::vector<uint8_t> packet(28, 0);
  EXPECT_TRUE(c.OnFrame({1, 1, 22, 45000.5, reinterpret_cast<uint32_t>(packet.data())}));
  for (uint32_t seq = 0; seq < 12; ++seq) EXPECT_TRUE(Deliver(c, Make(seq, 100 + seq * 200), seq % 5 == 0)) << seq;
  const auto n = c.Counts();
  EXPECT_EQ(n.header, 1);
  EXPECT_EQ(n.video, 12);
  EXPECT_EQ(n.key, 3);
  EXPECT_EQ(n.audio, 12);
  EXPECT_EQ(n.bytes, 12 * 100 + 200 * 66 + 12 * 40);
  EXPECT_EQ(n.bad, 0);
  EXPECT_EQ(n.gaps, 0);
  EXPECT_EQ(c.FirstFault(), "");
}

TEST(ChannelCheck, EveryKindOfDamageFailsTheFrame) {
  struct TCase {
    const char *what;
    std::function<void(TChannelCheck &)> feed;
  };
  const TCase cases[] = {
      {"one changed byte at the end", [](TChannelCheck &c) {
         auto f = Make(1);
         f.video.back() ^= 1;
         Deliver(c, f, false);
       }},
      {"a changed byte in the head", [](TChannelCheck &c) {
         auto f = Make(1);
         f.video[9] ^= 0x80;
         Deliver(c, f, false);
       }},
      {"the frame of another channel", [](TChannelCheck &c) { Deliver(c, Make(1, 1500, 40, Port, Channel + 1), false); }},
      {"the frame of another server", [](TChannelCheck &c) { Deliver(c, Make(1, 1500, 40, Port + 1), false); }},
      {"a video frame shorter than its head", [](TChannelCheck &c) {
         auto f = Make(1);
         f.video.resize(15);
         c.OnFrame(Info(4, f.video));
       }},
      {"a key frame where none is due", [](TChannelCheck &c) { Deliver(c, Make(1), true); }},
      {"no key-frame flag where one is due", [](TChannelCheck &c) { Deliver(c, Make(5), false); }},
      {"more video bytes than the stream has", [](TChannelCheck &c) { Deliver(c, Make(1, 3001), false); }},
      {"a changed audio byte", [](TChannelCheck &c) {
         auto f = Make(1);
         f.audio[39] ^= 4;
         Deliver(c, f, false);
       }},
      {"the audio part of another frame", [](TChannelCheck &c) {
         auto f = Make(1);
         f.audio = Make(2).audio;
         Deliver(c, f, false);
       }},
      {"audio shorter than the stream has", [](TChannelCheck &c) {
         auto f = Make(1);
         f.audio.resize(20);
         Deliver(c, f, false);
       }},
      {"audio without its video part", [](TChannelCheck &c) { c.OnFrame(Info(7, Make(1).audio)); }},
      {"a video frame whose audio part never came", [](TChannelCheck &c) {
         c.OnFrame(Info(4, Make(1).video));
         c.OnFrame(Info(4, Make(2).video));
       }},
      {"a header of more than one byte", [](TChannelCheck &c) {
         const std::vector<uint8_t> two(2);
         c.OnFrame(Info(1, two));
       }},
      {"an unknown frame type", [](TChannelCheck &c) { c.OnFrame(Info(3, Make(1).video)); }},
      {"another driver type", [](TChannelCheck &c) {
         auto f = Make(1);
         auto i = Info(4, f.video);
         i.driverType = 21;
         c.OnFrame(i);
         c.OnFrame(Info(7, f.audio));
       }},
  };
  for (const auto &k : cases) {
    TChannelCheck c(Shape());
    ASSERT_TRUE(Deliver(c, Make(0), true)) << k.what;
    k.feed(c);
    EXPECT_GE(c.Counts().bad, 1) << k.what;
    EXPECT_NE(c.FirstFault(), "") << k.what;
    // The first fault is what stays to be reported.
    EXPECT_EQ(c.FirstFault().rfind("channel 2: ", 0), 0u) << c.FirstFault();
  }
}

TEST(ChannelCheck, LostFramesAreCountedAsGapsAndAHeaderStartsAFreshSequence) {
  TChannelCheck c(Shape());
  EXPECT_TRUE(Deliver(c, Make(0), true));
  EXPECT_TRUE(Deliver(c, Make(3), false));
  EXPECT_TRUE(Deliver(c, Make(4), false));
  EXPECT_EQ(c.Counts().gaps, 2);
  // A new open: the stream may begin again anywhere.
  const std::vector<uint8_t> packet(28, 0);
  EXPECT_TRUE(c.OnFrame({1, 1, 22, 45000.5, reinterpret_cast<uint32_t>(packet.data())}));
  EXPECT_TRUE(Deliver(c, Make(20), true));
  EXPECT_EQ(c.Counts().gaps, 2);
  EXPECT_EQ(c.Counts().bad, 0);
}

TEST(ChannelCheck, WithoutAudioNoAudioIsAwaited) {
  auto shape = Shape();
  shape.audio = 0;
  shape.keyInterval = 0; // the flag is not checked
  TChannelCheck c(shape);
  EXPECT_TRUE(c.OnFrame(Info(2, Make(1, 500, 0).video)));
  EXPECT_TRUE(c.OnFrame(Info(2, Make(2, 500, 0).video)));
  EXPECT_FALSE(c.OnFrame(Info(7, Make(2).audio)));
  EXPECT_EQ(c.Counts().bad, 1);
}

} // namespace
