// The server table, defence flags and auxiliary operations as the host sees
// them: every call goes through TMDvs.dll in the host's register convention.
#include "hostkit/DebugCapture.h"
#include "hostkit/HostKit.h"
#include "support/U_Define.h"
#include "tests/server_table/ServerRecord.h"
#include <gtest/gtest.h>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {
using namespace NHostKit;

constexpr int32_t ById = 0x40000000;

class Table : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(lib.Loaded());
    ASSERT_TRUE(heap.Find());
    auto r = lib.Create(&driver, 22, host.get());
    ASSERT_FALSE(r.raised) << r.className << ": " << r.message;
  }
  void TearDown() override {
    if (driver) Release(driver);
  }
  bool Add(const TDvrInfo &d) {
    auto r = CallPosition(driver, 37, TArgs().Ptr(&d));
    EXPECT_FALSE(r.raised) << r.className << ": " << r.message;
    return r.al() != 0;
  }
  bool Call3(int pos, const std::string &ip, int32_t port) {
    TConstString a(ip);
    auto r = CallPosition(driver, pos, TArgs().Str(a.get()).Int(port));
    EXPECT_FALSE(r.raised) << pos << " " << r.className << ": " << r.message;
    return r.al() != 0;
  }
  bool LoginInfo(const std::string &ip, int32_t port, TDvrInfo &out) {
    TConstString a(ip);
    std::memset(&out, 0xEE, sizeof out);
    auto r = CallPosition(driver, 121, TArgs().Str(a.get()).Int(port).Ptr(&out));
    EXPECT_FALSE(r.raised) << r.className;
    return r.al() != 0;
  }
  bool ChannelConfig(int pos, const std::string &ip, int32_t port, int32_t channel, void *block) {
    TConstString a(ip);
    auto r = CallPosition(driver, pos, TArgs().Str(a.get()).Int(port).Int(channel).Ptr(block));
    EXPECT_FALSE(r.raised) << r.className;
    return r.al() != 0;
  }
  bool Arm(int pos, const std::string &ip, int32_t port, int32_t channel) {
    TConstString a(ip);
    auto r = CallPosition(driver, pos, TArgs().Str(a.get()).Int(port).Int(channel));
    EXPECT_FALSE(r.raised) << r.className;
    return r.al() != 0;
  }
  std::string State(int pos, const std::string &ip, int32_t port) {
    TConstString a(ip);
    char *state = heap.NewString("stale");
    auto r = CallPosition(driver, pos, TArgs().Str(a.get()).Int(port).Ptr(&state));
    EXPECT_FALSE(r.raised) << r.className;
    std::string s = TSharedHeap::Text(state);
    heap.ReleaseString(state);
    return s;
  }

  TDriverLibrary lib;
  TSharedHeap heap;
  TConstString host{ExeDir() + "table_host"};
  void *driver = nullptr;
};

TEST_F(Table, HostNameIsResolvedAndEitherTextFindsTheServer) {
  ASSERT_TRUE(Add(Server("localhost", 3000, 4)));
  TDvrInfo d;
  ASSERT_TRUE(LoginInfo("127.0.0.1", 3000, d));
  EXPECT_EQ(d.DvrIP.Text(), "127.0.0.1");
  EXPECT_EQ(d.DvrDomain.Text(), "localhost");
  TDvrInfo other;
  EXPECT_FALSE(LoginInfo("localhost", 3001, other));
  EXPECT_FALSE(LoginInfo("LOCALHOST", 3000, other)) << "texts compare exactly";
  ASSERT_TRUE(LoginInfo("localhost", 3000, d));
  // Host values at 156..175, the deleted flag, the on-line byte.
  EXPECT_EQ(d.HostValues[0], -1);
  EXPECT_EQ(d.HostValues[1], 0);
  EXPECT_EQ(d.HostValues[4], 5);
  EXPECT_EQ(d.Deleted, 0);
  EXPECT_EQ(d.OnLine, 0);
  EXPECT_EQ(d.LoginHandle, -1);
  // The same key again is refused, by either text.
  EXPECT_FALSE(Add(Server("localhost", 3000, 4)));
  EXPECT_FALSE(Add(Server("127.0.0.1", 3000, 4)));
}

TEST_F(Table, OnLineQueriesAnswerOnlyForALoggedOnServer) {
  TDvrInfo on = Server("10.1.1.1", 3000, 2);
  on.LoginHandle = 5; // a host record's handle is taken over as it is
  on.DvrId = 77;
  ASSERT_TRUE(Add(on));
  ASSERT_TRUE(Add(Server("10.1.1.2", 3000, 2)));
  EXPECT_TRUE(Call3(107, "10.1.1.1", 3000)) << "107 of a logged-on server";
  EXPECT_FALSE(Call3(107, "10.1.1.2", 3000)) << "107 of a server not logged on";
  EXPECT_FALSE(Call3(107, "10.1.1.9", 3000)) << "107 of an unknown server";
  auto info = [&](const std::string &ip, TDvrInfo &out) {
    TConstString a(ip);
    std::memset(&out, 0xEE, sizeof out);
    return CallPosition(driver, 111, TArgs().Str(a.get()).Int(3000).Ptr(&out)).al() != 0;
  };
  TDvrInfo out;
  ASSERT_TRUE(info("10.1.1.1", out));
  EXPECT_EQ(out.DvrIP.Text(), "10.1.1.1");
  EXPECT_EQ(out.DvrId, 77);
  EXPECT_EQ(out.LoginHandle, 5);
  EXPECT_EQ(out.VideoNum, 2);
  EXPECT_FALSE(info("10.1.1.2", out)) << "111 of a server not logged on";
  EXPECT_EQ(out.DvrId, static_cast<int32_t>(0xEEEEEEEE)) << "nothing copied";
  ASSERT_TRUE(Call3(38, "10.1.1.1", 3000));
  EXPECT_FALSE(Call3(107, "10.1.1.1", 3000)) << "107 after deletion";
  EXPECT_FALSE(info("10.1.1.1", out)) << "111 after deletion";
}

TEST_F(Table, UnresolvableNameLeavesTheAddressEmpty) {
  ASSERT_TRUE(Add(Server("no-such-host.invalid", 3000, 1)));
  TDvrInfo d;
  ASSERT_TRUE(LoginInfo("no-such-host.invalid", 3000, d));
  EXPECT_EQ(d.DvrIP.Text(), "");
  EXPECT_EQ(d.DvrDomain.Text(), "no-such-host.invalid");
}

TEST_F(Table, ByIdServersAreFoundOnlyThroughTheIdentity) {
  TDvrInfo s = Server("10.0.0.9", 3000, 2);
  s.ById = 1;
  s.DvrId = 77;
  ASSERT_TRUE(Add(s));
  TDvrInfo d;
  EXPECT_FALSE(LoginInfo("10.0.0.9", 3000, d));
  ASSERT_TRUE(LoginInfo("anything", ById | 77, d));
  EXPECT_EQ(d.DvrIP.Text(), "");
  EXPECT_EQ(d.DvrId, 77);
  EXPECT_FALSE(Add(s)) << "the identity is the key";
}

TEST_F(Table, DeleteThenRegisterReusesTheRecordWithFreshChannels) {
  ASSERT_TRUE(Add(Server("10.0.0.1", 3000, 2)));
  ASSERT_TRUE(Add(Server("10.0.0.2", 3000, 2)));
  std::vector<uint8_t> config(ChannelConfigSize, 0x5A), back(ChannelConfigSize);
  ASSERT_TRUE(ChannelConfig(105, "10.0.0.1", 3000, 1, config.data()));
  ASSERT_TRUE(ChannelConfig(106, "10.0.0.1", 3000, 1, back.data()));
  EXPECT_EQ(back, config);

  TDebugCapture capture;
  ASSERT_TRUE(Call3(38, "10.0.0.1", 3000));
  capture.Sync();
  EXPECT_EQ(capture.Matching("ORVA_Device_DelDvr").size(), 1u);
  TDvrInfo d;
  EXPECT_FALSE(LoginInfo("10.0.0.1", 3000, d));
  EXPECT_FALSE(ChannelConfig(106, "10.0.0.1", 3000, 1, back.data()));
  // Deleting again: True, and nothing written.
  capture.Clear();
  EXPECT_TRUE(Call3(38, "10.0.0.1", 3000));
  capture.Sync();
  EXPECT_TRUE(capture.Matching("ORVA_Device_DelDvr").empty());

  // Registered again: the same first record (found before the second), and
  // the channel records start over.
  ASSERT_TRUE(Add(Server("10.0.0.1", 3000, 2)));
  ASSERT_TRUE(ChannelConfig(106, "10.0.0.1", 3000, 1, back.data()));
  EXPECT_EQ(back, std::vector<uint8_t>(ChannelConfigSize, 0));
  ASSERT_TRUE(LoginInfo("10.0.0.1", 3000, d));
  EXPECT_EQ(d.Deleted, 0);
  // Removal through position 124 reports what position 40 answers.
  EXPECT_TRUE(Call3(124, "10.0.0.2", 3000));
  EXPECT_FALSE(Call3(124, "10.0.0.2", 3000));
}

TEST_F(Table, ChannelRecordsFollowTheLargestCountAndChannelsAreBounded) {
  ASSERT_TRUE(Add(Server("10.0.0.1", 3000, 0, 0, 0)));
  ASSERT_TRUE(Add(Server("10.0.0.2", 3000, 1, 3, 2)));
  std::vector<uint8_t> block(ChannelConfigSize);
  EXPECT_FALSE(ChannelConfig(105, "10.0.0.1", 3000, 0, block.data())) << "no channel records at all";
  EXPECT_TRUE(ChannelConfig(105, "10.0.0.2", 3000, 2, block.data()));
  EXPECT_FALSE(ChannelConfig(105, "10.0.0.2", 3000, 3, block.data()));
  EXPECT_FALSE(ChannelConfig(106, "10.0.0.2", 3000, -1, block.data()));
  EXPECT_FALSE(ChannelConfig(106, "10.0.0.3", 3000, 0, block.data()));
}

TEST_F(Table, OverlongAndUnterminatedTextsStayWithinTheirFields) {
  TDvrInfo s = Server("", 3000, 1);
  // A length byte beyond the capacity and no zero after the characters.
  s.DvrIP.Len = 255;
  std::memset(s.DvrIP.Chars, 'x', sizeof s.DvrIP.Chars);
  ASSERT_TRUE(Add(s));
  TDvrInfo d;
  const std::string forty(40, 'x');
  ASSERT_TRUE(LoginInfo(forty, 3000, d)) << "the name is read up to its capacity";
  EXPECT_EQ(d.DvrDomain.Text(), forty);
  EXPECT_EQ(d.DvrIP.Text(), "");
}

TEST_F(Table, ConfigFileOfThisDriverTypeIsADirectoryAndSavingRaisesTheFileError) {
  auto r = CallPosition(driver, 102);
  EXPECT_TRUE(r.raised);
  EXPECT_EQ(r.code, DriverExceptionCode);
  EXPECT_EQ(r.className, "EInOutError");
  r = CallPosition(driver, 101);
  EXPECT_FALSE(r.raised) << "a missing file is no error";
  EXPECT_EQ(r.al(), 0);
}

// ---------------------------------------------------------------- defence

TEST_F(Table, DefenceOfAServerThatIsNotLoggedOn) {
  ASSERT_TRUE(Add(Server("10.0.0.1", 3000, 4)));
  TDebugCapture capture;
  EXPECT_FALSE(Arm(75, "10.0.0.1", 3000, 0)) << "arming needs the server on line";
  EXPECT_TRUE(Arm(76, "10.0.0.1", 3000, 0)) << "disarming does not";
  EXPECT_FALSE(Arm(132, "10.0.0.1", 3000, 0));
  EXPECT_TRUE(Arm(133, "10.0.0.1", 3000, 3));
  EXPECT_FALSE(Arm(133, "10.0.0.1", 3000, 4)) << "beyond the channel records";
  EXPECT_FALSE(Arm(76, "10.0.0.1", 3000, -1));
  for (int pos : {77, 78, 79, 80, 81, 82}) EXPECT_FALSE(Arm(pos, "10.0.0.1", 3000, 0)) << pos;
  capture.Sync();
  const auto lines = capture.Matching("zq>>ORVA_Device_");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "zq>>ORVA_Device_StopDvrMotion: 0");
  // Deleted servers are out of reach even though their records remain.
  ASSERT_TRUE(Call3(38, "10.0.0.1", 3000));
  EXPECT_FALSE(Arm(76, "10.0.0.1", 3000, 0));
  EXPECT_FALSE(Arm(133, "10.0.0.1", 3000, 0));
}

TEST_F(Table, StatesOfServersThatAreNotOnLineAreEmpty) {
  ASSERT_TRUE(Add(Server("10.0.0.1", 3000, 4)));
  TDebugCapture capture;
  for (int pos : {114, 115, 116, 117, 118, 119, 120, 128}) EXPECT_EQ(State(pos, "10.0.0.1", 3000), "") << pos;
  EXPECT_EQ(State(118, "10.9.9.9", 3000), "");
  capture.Sync();
  // Position 118 writes its first line, and no second one without a server.
  EXPECT_EQ(capture.Matching("ZQ>>ORVA_Device_GetDvrNetMotionDefenseState: DvrIP: 10.0.0.1").size(), 1u);
}

// ---------------------------------------------------------------- auxiliary

TEST_F(Table, CallbackSlotsAndAuxiliaryCallbacks) {
  THostCallbacks cb;
  auto r = CallPosition(driver, 4, TArgs().Int(1).Method(cb.StatusMethod()));
  EXPECT_FALSE(r.raised);
  EXPECT_EQ(r.eax, 0u);
  r = CallPosition(driver, 4, TArgs().Int(1001).Method(cb.StatusMethod()));
  EXPECT_FALSE(r.raised) << "an index outside the table is ignored";
  EXPECT_EQ(r.eax, 0u);
  r = CallPosition(driver, 5, TArgs().Int(-7));
  EXPECT_FALSE(r.raised);
  r = CallPosition(driver, 83, TArgs().Int(41).Method(cb.StatusMethod()));
  EXPECT_EQ(r.i32(), 41);
  r = CallPosition(driver, 137, TArgs().Int(-3).Method(cb.FrameMethod()));
  EXPECT_EQ(r.i32(), -3);
  r = CallPosition(driver, 14, TArgs().Method(cb.FrameMethod()));
  EXPECT_EQ(r.eax, 0u);
}

TEST_F(Table, HostFunctionsAreKeptOnceAndCalledInTheRegisterConvention) {
  THostCallbacks first, second;
  std::vector<int32_t> got;
  first.hostFunction2 = [&](int32_t a) { return a * 10; };
  second.hostFunction1 = [&](int32_t a, int32_t b, int32_t c, int32_t z1, int32_t z2) {
    got = {a, b, c, z1, z2};
    return 99;
  };
  second.hostFunction2 = [&](int32_t) { return 5; };
  EXPECT_EQ(CallPosition(driver, 94).i32(), -1) << "nothing given yet";
  EXPECT_EQ(CallPosition(driver, 93, TArgs().Int(1).Int(2).Int(3)).i32(), -1);
  auto r = CallPosition(driver, 92, TArgs().Int(7).NilMethod().Method(first.HostFunction2Method()));
  EXPECT_EQ(r.i32(), 7);
  CallPosition(driver, 92, TArgs().Int(8).Method(second.HostFunction1Method()).Method(second.HostFunction2Method()));
  r = CallPosition(driver, 93, TArgs().Int(11).Int(22).Int(33));
  EXPECT_EQ(r.i32(), 99);
  EXPECT_EQ(got, (std::vector<int32_t>{11, 22, 33, 0, 0}));
  EXPECT_EQ(CallPosition(driver, 94).i32(), -10) << "the first function 2 stays, called with -1";
}

TEST_F(Table, FileListsEndInTheSearchsAbstractError) {
  void *list = nullptr;
  TArgs a;
  a.Word(1).Word(2).Word(3).Byte(4).Word(5).Word(6).Word(7).Word(8).Ptr(&list);
  auto r = CallPosition(driver, 85, a);
  EXPECT_TRUE(r.raised);
  EXPECT_EQ(r.className, "EAbstractError");
  EXPECT_EQ(list, nullptr);
  void *buffer = reinterpret_cast<void *>(0x1234);
  int32_t size = 77;
  TArgs b;
  b.Word(1).Word(2).Word(3).Byte(4).Word(5).Word(6).Word(7).Word(8).Ptr(&buffer).Ptr(&size);
  r = CallPosition(driver, 86, b);
  EXPECT_EQ(r.className, "EAbstractError");
  EXPECT_EQ(size, 77);
}

TEST_F(Table, SettingsAndOptions) {
  // Byte options: the index loses its top bit; beyond the four entries nothing.
  EXPECT_EQ(CallPosition(driver, 143, TArgs().Byte(0x81).Byte(0x42)).al(), 1);
  EXPECT_EQ(CallPosition(driver, 144, TArgs().Byte(1)).al(), 0x42);
  EXPECT_EQ(CallPosition(driver, 144, TArgs().Byte(0x81)).al(), 0x42);
  EXPECT_EQ(CallPosition(driver, 143, TArgs().Byte(9).Byte(0x17)).al(), 1);
  EXPECT_EQ(CallPosition(driver, 144, TArgs().Byte(9)).al(), 0);
  // Free buffer: True in every case, frees only when asked.
  void *block = heap.GetMem(64);
  EXPECT_EQ(CallPosition(driver, 95, TArgs().Ptr(block).Word(64).Bool(false)).al(), 1);
  EXPECT_EQ(CallPosition(driver, 95, TArgs().Ptr(block).Word(64).Bool(true)).al(), 1);
  EXPECT_EQ(CallPosition(driver, 95, TArgs().Ptr(nullptr).Word(64).Bool(true)).al(), 1);
  // The auxiliary value, driver parameters, host parameters and value.
  int32_t value = 5;
  auto r = CallPosition(driver, 89, TArgs().Word(1).Word(2).Word(3).Ptr(&value));
  EXPECT_EQ(value, 0);
  const int32_t params[3] = {1, 2, 3};
  EXPECT_EQ(CallPosition(driver, 112, TArgs().Ptr(params)).al(), 1);
  r = CallPosition(driver, 146, TArgs().Word(1).Word(2).Word(0x11111111).Word(0x22222222));
  EXPECT_EQ(r.al(), 1);
  for (int32_t delay : {-30000, INT32_MIN, 0}) {
    r = CallPosition(driver, 150, TArgs().Word(0).Ptr(&delay));
    EXPECT_FALSE(r.raised);
  }
  r = CallPosition(driver, 155, TArgs().Int(12));
  EXPECT_FALSE(r.raised);
}

} // namespace
