// The configuration file byte for byte, damaged files, and the tables under
// concurrent registration — on driver objects made in this process.
#include "tests/server_table/InProcess.h"
#include <gtest/gtest.h>
#include <atomic>
#include <random>
#include <thread>

namespace {

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::vector<uint8_t> data;
  NWin::NFile::ReadAll(path, data);
  return data;
}
void WriteFile(const std::string &path, const std::vector<uint8_t> &data) {
  ASSERT_TRUE(NWin::NFile::WriteAll(path, data.data(), data.size()));
}
template <class T> void Put(std::vector<uint8_t> &d, const T &v) {
  const auto *p = reinterpret_cast<const uint8_t *>(&v);
  d.insert(d.end(), p, p + sizeof v);
}

TEST_F(InProcess, SavingNoServersWritesFourZeroBytes) {
  auto d = Make();
  ASSERT_TRUE(d->SaveDvrTable());
  EXPECT_EQ(ReadFile(d->ConfigFile), (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST_F(InProcess, SavedSettingsComeBackInANewRegistration) {
  const std::string file = ConfigPath("roundtrip.dat");
  {
    auto d = Make(file);
    ASSERT_TRUE(Add(*d, Server("10.1.1.1", 3000, 2)));
    ASSERT_TRUE(Add(*d, Server("10.1.1.2", 3001, 1, 0, 3)));
    TDvrInfo *r = d->DvrRecord(0);
    for (int k = 1; k < 5; ++k) r->HostValues[k] = 100 + k;
    std::memset(r->HostBlock, 0x3C, sizeof r->HostBlock);
    auto ch = d->Channels(0);
    std::memset((*ch)[1].ChannelConfig, 0x77, ChannelConfigSize);
    (*ch)[1].MotionDefense = 1; // not persisted
    ASSERT_TRUE(DelDvr(*d, "10.1.1.2", 3001));
    ASSERT_TRUE(d->SaveDvrTable());
    // 4 + N x 1304 + per server 4 + C x 546776; deleted servers included.
    EXPECT_EQ(ReadFile(file).size(), 4u + 2 * 1304 + (4 + 2 * 546776) + (4 + 3 * 546776));
  }
  auto d = Make(file);
  ASSERT_TRUE(d->LoadDvrTable());
  ASSERT_EQ(d->SavedDvrList.size(), 2u);
  EXPECT_EQ(d->SavedDvrList[1].Deleted, 1);
  ASSERT_TRUE(Add(*d, Server("10.1.1.1", 3000, 2)));
  const TDvrInfo *r = d->DvrRecord(0);
  EXPECT_EQ(r->HostValues[0], -1) << "offset 156 is never taken over";
  EXPECT_EQ(r->HostValues[1], 101);
  EXPECT_EQ(r->HostValues[4], 104);
  EXPECT_EQ(r->HostBlock[0], 0x3C);
  EXPECT_EQ(r->HostBlock[1023], 0x3C);
  auto ch = d->Channels(0);
  EXPECT_EQ((*ch)[1].ChannelConfig[0], 0x77);
  EXPECT_EQ((*ch)[1].ChannelConfig[ChannelConfigSize - 1], 0x77);
  EXPECT_EQ((*ch)[0].ChannelConfig[0], 0);
  EXPECT_EQ((*ch)[1].MotionDefense, 0);
  EXPECT_EQ((*ch)[1].ChannelHandle, -1);
  EXPECT_EQ((*ch)[1].HeaderPending, 1);
}

TEST_F(InProcess, FewerSavedChannelsThanVideoChannelsStopAtTheLastSaved) {
  const std::string file = ConfigPath("short.dat");
  TDvrInfo s = Server("10.1.1.1", 3000, 4);
  std::vector<uint8_t> data;
  Put(data, int32_t(1));
  Put(data, s);
  Put(data, int32_t(1));
  data.resize(data.size() + ChannelPersistSize, 0x21);
  WriteFile(file, data);
  auto d = Make(file);
  ASSERT_TRUE(d->LoadDvrTable());
  ASSERT_TRUE(Add(*d, Server("10.1.1.1", 3000, 4)));
  auto ch = d->Channels(0);
  EXPECT_EQ((*ch)[0].ChannelConfig[5], 0x21);
  EXPECT_EQ((*ch)[1].ChannelConfig[5], 0);
}

TEST_F(InProcess, TruncatedFileReadsWhatIsThere) {
  const std::string file = ConfigPath("cut.dat");
  std::vector<uint8_t> data;
  Put(data, int32_t(2));
  Put(data, Server("10.1.1.1", 3000, 1));
  Put(data, Server("10.1.1.2", 3000, 1));
  WriteFile(file, data); // ends before the first channel count
  auto d = Make(file);
  ASSERT_TRUE(d->LoadDvrTable());
  ASSERT_EQ(d->SavedDvrList.size(), 2u);
  EXPECT_EQ(d->SavedDvrList[1].DvrIP.Text(), "10.1.1.2");
  EXPECT_TRUE(d->SavedChannelTable[0].empty());
}

TEST_F(InProcess, CountsThatCannotFitRaiseTheFileError) {
  const std::string file = ConfigPath("bad.dat");
  for (int32_t n : {-1, 2, 0x7FFFFFFF}) {
    std::vector<uint8_t> data;
    Put(data, n);
    Put(data, Server("10.1.1.1", 3000, 1));
    WriteFile(file, data);
    auto d = Make(file);
    EXPECT_THROW(d->LoadDvrTable(), EInOutError) << n;
  }
  for (int32_t c : {2, 0x7FFFFFFF}) {
    std::vector<uint8_t> data;
    Put(data, int32_t(1));
    Put(data, Server("10.1.1.1", 3000, 1));
    Put(data, c);
    data.resize(data.size() + ChannelPersistSize);
    WriteFile(file, data);
    auto d = Make(file);
    EXPECT_THROW(d->LoadDvrTable(), EInOutError) << c;
  }
}

TEST_F(InProcess, RandomAndMutatedFilesLoadOrRaiseTheFileError) {
  const std::string file = ConfigPath("fuzz.dat");
  std::mt19937 rng(1234);
  // A valid little file to mutate: two servers, one channel block each.
  std::vector<uint8_t> valid;
  Put(valid, int32_t(2));
  Put(valid, Server("10.1.1.1", 3000, 1));
  Put(valid, Server("10.1.1.2", 3000, 1));
  for (int s = 0; s < 2; ++s) {
    Put(valid, int32_t(1));
    valid.resize(valid.size() + ChannelPersistSize, 0x11);
  }
  auto d = Make(file);
  int loaded = 0, rejected = 0;
  for (int round = 0; round < 60; ++round) {
    std::vector<uint8_t> data;
    if (round % 3 == 0) {
      data.resize(rng() % 4000);
      for (auto &b : data) b = static_cast<uint8_t>(rng());
    } else {
      data = valid;
      data.resize(rng() % (valid.size() + 1)); // cut anywhere
      for (int k = 0; k < 4; ++k) {
        // hit a count field or any byte
        const size_t counts[] = {0, 4 + 2 * 1304, 4 + 2 * 1304 + 4 + ChannelPersistSize};
        const size_t at = k < 2 ? counts[rng() % 3] + rng() % 4 : rng() % (data.size() + 1);
        if (at < data.size()) data[at] = static_cast<uint8_t>(rng());
      }
    }
    WriteFile(file, data);
    try {
      d->LoadDvrTable();
      ++loaded;
      EXPECT_EQ(d->SavedDvrList.size(), d->SavedChannelTable.size());
    } catch (const EInOutError &) {
      ++rejected;
    }
  }
  EXPECT_GT(loaded, 0);
  EXPECT_GT(rejected, 0);
}

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
    ASSERT_TRUE(ch);
    for (int c = 0; c < ch->Count; ++c) EXPECT_EQ((*ch)[c].DvrIndex, i);
  }
}

} // namespace

namespace {

std::string State(TTMDvs &d, TDeviceDriverBase::TStateKind kind, int position, const char *ip) {
  char *state = nullptr;
  d.GetDefenseState(position, kind, ip, 3000, &state);
  std::string s = NHostString::Text(state);
  NHostString::Release(state);
  return s;
}

TEST_F(InProcess, DeleteAndRegisterAgainReusesTheIndexWithFreshChannels) {
  auto d = Make();
  ASSERT_TRUE(Add(*d, Server("10.4.0.1", 3000, 2)));
  ASSERT_TRUE(Add(*d, Server("10.4.0.2", 3000, 2)));
  auto before = d->Channels(0);
  std::memset((*before)[1].ChannelConfig, 0x5A, 16);
  ASSERT_TRUE(DelDvr(*d, "10.4.0.1", 3000));
  EXPECT_EQ(d->FindDvr("10.4.0.1", 3000, false, true), -1);
  EXPECT_EQ(d->FindDvr("10.4.0.1", 3000, false, false), 0) << "the record stays";
  EXPECT_TRUE(DelDvr(*d, "10.4.0.1", 3000)) << "deleting again is no error";
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

TEST_F(InProcess, DefenceStatesFollowTheSmallerCountOfALoggedOnServer) {
  auto d = Make();
  ASSERT_TRUE(Add(*d, Server("10.4.0.1", 3000, 16, 4, 4)));
  char *ip = NHostString::New("10.4.0.1");
  TDvrInfo *r = d->DvrRecord(0);
  r->LoginHandle = 7; // as the worker leaves a server it logged on
  r->DevVideoNum = 8;
  r->DevAlarmInNum = 0;
  r->DevAlarmOutNum = 0;
  EXPECT_TRUE(d->SetDefense(75, TDeviceDriverBase::dfMotion, 1, ip, 3000, 3));
  EXPECT_TRUE(d->SetDefense(81, TDeviceDriverBase::dfVideo, 1, ip, 3000, 0));
  EXPECT_TRUE(d->SetDefense(77, TDeviceDriverBase::dfAlarmIn, 1, ip, 3000, 1));
  EXPECT_FALSE(d->SetDefense(80, TDeviceDriverBase::dfAlarmOut, 0, ip, 3000, 0)) << "no reported outputs";
  EXPECT_FALSE(d->SetDefense(75, TDeviceDriverBase::dfMotion, 1, ip, 3000, 16)) << "beyond the records";
  EXPECT_EQ(State(*d, TDeviceDriverBase::skMotion, 118, ip), "00010000");
  EXPECT_EQ(State(*d, TDeviceDriverBase::skVideo, 128, ip), "10000000");
  EXPECT_EQ(State(*d, TDeviceDriverBase::skAlarmIn, 119, ip), "");
  EXPECT_EQ(State(*d, TDeviceDriverBase::skAlarmOut, 120, ip), "");
  EXPECT_EQ(State(*d, TDeviceDriverBase::skEmpty, 114, ip), "");
  EXPECT_TRUE(d->SetDefense(76, TDeviceDriverBase::dfMotion, 0, ip, 3000, 3));
  EXPECT_EQ(State(*d, TDeviceDriverBase::skMotion, 118, ip), "00000000");
  // Logged off: arming refused, disarming allowed, states empty.
  r->LoginHandle = -1;
  EXPECT_FALSE(d->SetDefense(132, TDeviceDriverBase::dfChannel, 1, ip, 3000, 0));
  EXPECT_TRUE(d->SetDefense(133, TDeviceDriverBase::dfChannel, 0, ip, 3000, 0));
  EXPECT_EQ(State(*d, TDeviceDriverBase::skMotion, 118, ip), "");
  NHostString::Release(ip);
}

} // namespace
