// The configuration file byte for byte, damaged files, and the tables under
// concurrent registration — on driver objects made in this process.
#include "common/InProcess.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

namespace {

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::vector<uint8_t> data;
  NWin::NFile::ReadAll(path, data);
  return data;
}

// A configuration file put together field by field: the server count, the
// records, then per server a channel count and the channel blocks.
struct TFile {
  std::vector<uint8_t> bytes;
  template <class T> TFile &Put(const T &v) {
    const auto *p = reinterpret_cast<const uint8_t *>(&v);
    bytes.insert(bytes.end(), p, p + sizeof v);
    return *this;
  }
  TFile &Blocks(size_t n, uint8_t fill) {
    bytes.resize(bytes.size() + n * ChannelPersistSize, fill);
    return *this;
  }
};

class ConfigFile : public InProcess {
protected:
  // Writes `f` as the configuration file `path`.
  const std::string &Write(const TFile &f) {
    EXPECT_TRUE(NWin::NFile::WriteAll(path, f.bytes.data(), f.bytes.size())) << path;
    return path;
  }
  // A driver object whose configuration file holds `f`.
  TDriver Over(const TFile &f) { return Make(Write(f)); }
  const std::string path = ConfigPath("file.dat");
};

TEST_F(ConfigFile, SavingNoServersWritesFourZeroBytes) {
  auto d = Make();
  ASSERT_TRUE(d->SaveDvrTable()) << d->ConfigFile;
  EXPECT_EQ(ReadFile(d->ConfigFile), (std::vector<uint8_t>{0, 0, 0, 0}));
}

// Two servers saved with settings of the host's; the second one deleted.
class SavedTable : public InProcess {
protected:
  void SetUp() override {
    auto d = Make(file);
    ASSERT_TRUE(Add(*d, Server("10.1.1.1", 3000, 2)));
    ASSERT_TRUE(Add(*d, Server("10.1.1.2", 3001, 1, 0, 3)));
    TDvrInfo *r = d->DvrRecord(0);
    for (int k = 1; k < 5; ++k) r->HostValues[k] = 100 + k;
    std::memset(r->HostBlock, 0x3C, sizeof r->HostBlock);
    auto ch = d->Channels(0);
    std::memset((*ch)[1].ChannelConfig, 0x77, ChannelConfigSize);
    (*ch)[1].MotionDefense = 1; // not persisted
    DelDvr(*d, "10.1.1.2", 3001);
    ASSERT_TRUE(d->SaveDvrTable()) << file;
  }
  const std::string file = ConfigPath("saved.dat");
};

TEST_F(SavedTable, HoldsEveryRecordDeletedOnesIncludedWithTheirChannelBlocks) {
  // 4 + N x 1304 + per server 4 + C x 546776, C the largest of the three counts.
  EXPECT_EQ(ReadFile(file).size(), 4u + 2 * 1304 + (4 + 2 * 546776) + (4 + 3 * 546776));
  auto d = Make(file);
  ASSERT_TRUE(d->LoadDvrTable()) << file;
  ASSERT_EQ(d->SavedDvrList.size(), 2u);
  EXPECT_EQ(d->SavedDvrList[1].Deleted, 1);
}

TEST_F(SavedTable, SettingsComeBackInANewRegistration) {
  auto d = Make(file);
  ASSERT_TRUE(d->LoadDvrTable()) << file;
  ASSERT_TRUE(Add(*d, Server("10.1.1.1", 3000, 2)));
  const TDvrInfo *r = d->DvrRecord(0);
  EXPECT_EQ(std::vector<int32_t>(r->HostValues, r->HostValues + 5),
            (std::vector<int32_t>{-1, 101, 102, 103, 104})) << "offset 156 is never taken over";
  EXPECT_EQ(std::count(r->HostBlock, r->HostBlock + sizeof r->HostBlock, 0x3C), 1024);
  auto ch = d->Channels(0);
  EXPECT_EQ(std::count((*ch)[1].ChannelConfig, (*ch)[1].ChannelConfig + ChannelConfigSize, 0x77),
            static_cast<int>(ChannelConfigSize));
  EXPECT_EQ((*ch)[0].ChannelConfig[0], 0);
  EXPECT_EQ((*ch)[1].MotionDefense, 0);
  EXPECT_EQ((*ch)[1].ChannelHandle, -1);
  EXPECT_EQ((*ch)[1].HeaderPending, 1);
}

TEST_F(ConfigFile, FewerSavedChannelsThanVideoChannelsStopAtTheLastSaved) {
  auto d = Over(TFile().Put(int32_t(1)).Put(Server("10.1.1.1", 3000, 4)).Put(int32_t(1)).Blocks(1, 0x21));
  ASSERT_TRUE(d->LoadDvrTable()) << "a missing or empty file " << d->ConfigFile;
  ASSERT_TRUE(Add(*d, Server("10.1.1.1", 3000, 4)));
  auto ch = d->Channels(0);
  EXPECT_EQ((*ch)[0].ChannelConfig[5], 0x21);
  EXPECT_EQ((*ch)[1].ChannelConfig[5], 0);
}

TEST_F(ConfigFile, ATruncatedFileReadsWhatIsThere) {
  // It ends before the first channel count.
  auto d = Over(TFile().Put(int32_t(2)).Put(Server("10.1.1.1", 3000, 1)).Put(Server("10.1.1.2", 3000, 1)));
  ASSERT_TRUE(d->LoadDvrTable()) << "a missing or empty file " << d->ConfigFile;
  ASSERT_EQ(d->SavedDvrList.size(), 2u);
  EXPECT_EQ(d->SavedDvrList[1].DvrIP.Text(), "10.1.1.2");
  EXPECT_EQ(d->SavedChannelTable[0].Count, 0);
}

TEST_F(ConfigFile, CountsThatCannotFitRaiseTheFileError) {
  const TDvrInfo s = Server("10.1.1.1", 3000, 1);
  for (int32_t n : {-1, 2, 0x7FFFFFFF})
    EXPECT_THROW(Over(TFile().Put(n).Put(s))->LoadDvrTable(), EInOutError) << n << " servers";
  for (int32_t c : {2, 0x7FFFFFFF})
    EXPECT_THROW(Over(TFile().Put(int32_t(1)).Put(s).Put(c).Blocks(1, 0))->LoadDvrTable(), EInOutError)
        << c << " channels";
}

TEST_F(ConfigFile, RandomAndMutatedFilesLoadOrRaiseTheFileError) {
  std::mt19937 rng(1234);
  // A valid little file to mutate: two servers, one channel block each.
  TFile valid;
  valid.Put(int32_t(2)).Put(Server("10.1.1.1", 3000, 1)).Put(Server("10.1.1.2", 3000, 1));
  valid.Put(int32_t(1)).Blocks(1, 0x11).Put(int32_t(1)).Blocks(1, 0x11);
  const size_t counts[] = {0, 4 + 2 * 1304, 4 + 2 * 1304 + 4 + ChannelPersistSize};
  auto d = Make(path);
  int loaded = 0, rejected = 0;
  for (int round = 0; round < 60; ++round) {
    TFile f;
    if (round % 3 == 0) {
      f.bytes.resize(rng() % 4000);
      for (auto &b : f.bytes) b = static_cast<uint8_t>(rng());
    } else {
      f.bytes.assign(valid.bytes.begin(), valid.bytes.begin() + rng() % (valid.bytes.size() + 1)); // cut
      for (int k = 0; k < 4; ++k) { // hit a count field or any byte
        const size_t at = k < 2 ? counts[rng() % 3] + rng() % 4 : rng() % (f.bytes.size() + 1);
        if (at < f.bytes.size()) f.bytes[at] = static_cast<uint8_t>(rng());
      }
    }
    Write(f);
    try {
      d->LoadDvrTable();
      ++loaded;
      EXPECT_EQ(d->SavedDvrList.size(), d->SavedChannelTable.size()) << "round " << round;
    } catch (const EInOutError &) {
      ++rejected;
    }
  }
  EXPECT_GT(loaded, 0);
  EXPECT_GT(rejected, 0);
}

// ---------------------------------------------------------------- the tables

TEST_F(InProcess, ConcurrentRegistrationLookupsAndFlagsKeepTheTablesWhole) {
  auto d = Make();
  std::atomic<bool> stop{false};
  std::atomic<int> registrations{0}, lookups{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w)
    threads.emplace_back([&, w] {
      for (int round = 0; !stop; ++round) {
        const std::string ip = "10.2." + std::to_string(w) + "." + std::to_string(round % 8);
        if (Add(*d, Server(ip, 3000, 1 + round % 3))) ++registrations;
        DelDvr(*d, ip, 3000);
      }
    });
  for (int r = 0; r < 2; ++r)
    threads.emplace_back([&] {
      char *ip = NHostString::New("10.2.1.3");
      char *state = nullptr;
      while (!stop) {
        d->FindDvr("10.2.0.1", 3000, false, true);
        d->ORVA_Device_IsDvrOnLine(ip, 3000);
        d->SetDefense(76, TDeviceDriverBase::dfMotion, 0, ip, 3000, 0);
        d->GetDefenseState(118, TDeviceDriverBase::skMotion, ip, 3000, &state);
        for (int i = 0; i < d->DvrCount(); ++i) {
          auto ch = d->Channels(i);
          if (ch && ch->Count > 0) (*ch)[ch->Count - 1].AlarmInDefense = 1;
        }
        ++lookups;
      }
      NHostString::Release(state);
      NHostString::Release(ip);
    });
  NClock::Sleep(1500);
  stop = true;
  for (auto &t : threads) t.join();
  EXPECT_GT(registrations.load(), 10);
  EXPECT_GT(lookups.load(), 10);
  // Sixteen keys, each record once, each with its own array.
  EXPECT_EQ(d->DvrCount(), 16);
  for (int i = 0; i < d->DvrCount(); ++i) {
    auto ch = d->Channels(i);
    ASSERT_NE(ch.get(), nullptr) << "record " << i;
    for (int c = 0; c < ch->Count; ++c) EXPECT_EQ((*ch)[c].DvrIndex, i);
  }
}

TEST_F(InProcess, DeleteAndRegisterAgainReusesTheIndexWithFreshChannels) {
  auto d = Make();
  ASSERT_TRUE(Add(*d, Server("10.4.0.1", 3000, 2)));
  ASSERT_TRUE(Add(*d, Server("10.4.0.2", 3000, 2)));
  auto before = d->Channels(0);
  std::memset((*before)[1].ChannelConfig, 0x5A, 16);
  DelDvr(*d, "10.4.0.1", 3000);
  EXPECT_EQ(d->FindDvr("10.4.0.1", 3000, false, true), -1);
  EXPECT_EQ(d->FindDvr("10.4.0.1", 3000, false, false), 0) << "the record stays";
  ASSERT_TRUE(Add(*d, Server("10.4.0.1", 3000, 3)));
  EXPECT_EQ(d->DvrCount(), 2) << "no new record";
  EXPECT_EQ(d->FindDvr("10.4.0.1", 3000, false, true), 0);
  auto after = d->Channels(0);
  ASSERT_NE(after.get(), before.get());
  EXPECT_EQ(after->Count, 3);
  EXPECT_EQ((*after)[1].ChannelConfig[0], 0);
  EXPECT_EQ((*after)[2].DvrIndex, 0);
  EXPECT_EQ((*before)[1].ChannelConfig[0], 0x5A) << "the old array lives while it is held";
}

std::string State(TTMDvs &d, TDeviceDriverBase::TStateKind kind, int position, const char *ip) {
  char *state = nullptr;
  d.GetDefenseState(position, kind, ip, 3000, &state);
  std::string s = NHostString::Text(state);
  NHostString::Release(state);
  return s;
}

// (A server not logged on: ServerTableTest.)
TEST_F(InProcess, DefenceStatesFollowTheSmallerCountOfALoggedOnServer) {
  auto d = Make();
  ASSERT_TRUE(Add(*d, Server("10.4.0.1", 3000, 16, 4, 4)));
  char *ip = NHostString::New("10.4.0.1");
  TDvrInfo *r = d->DvrRecord(0);
  r->LoginHandle = 7; // as the worker leaves a server it logged on
  r->DevVideoNum = 8;
  r->DevAlarmInNum = 0;
  r->DevAlarmOutNum = 0;
  using B = TDeviceDriverBase;
  // Arming needs a channel record (16 here); only position 80 asks the reported count too.
  EXPECT_TRUE(d->SetDefense(75, B::dfMotion, 1, ip, 3000, 3)) << "motion, channel 3";
  EXPECT_TRUE(d->SetDefense(81, B::dfVideo, 1, ip, 3000, 0)) << "video, channel 0";
  EXPECT_TRUE(d->SetDefense(77, B::dfAlarmIn, 1, ip, 3000, 1)) << "input 1, though none reported";
  EXPECT_FALSE(d->SetDefense(80, B::dfAlarmOut, 0, ip, 3000, 0)) << "no reported outputs";
  EXPECT_FALSE(d->SetDefense(75, B::dfMotion, 1, ip, 3000, 16)) << "beyond the records";
  EXPECT_EQ(State(*d, B::skMotion, 118, ip), "00010000");
  EXPECT_EQ(State(*d, B::skVideo, 128, ip), "10000000");
  EXPECT_EQ(State(*d, B::skAlarmIn, 119, ip), "");
  EXPECT_EQ(State(*d, B::skAlarmOut, 120, ip), "");
  EXPECT_EQ(State(*d, B::skEmpty, 114, ip), "");
  EXPECT_TRUE(d->SetDefense(76, B::dfMotion, 0, ip, 3000, 3)) << "disarming channel 3";
  EXPECT_EQ(State(*d, B::skMotion, 118, ip), "00000000");
  NHostString::Release(ip);
}

} // namespace
