// The server table, defence flags and auxiliary operations as the host sees
// them: every call goes through TMDvs.dll in the host's register convention.
#include "common/Check.h"
#include "hostkit/DebugCapture.h"
#include "hostkit/HostKit.h"
#include "support/U_Define.h"
#include "common/ServerRecord.h"
#include <gtest/gtest.h>
#include <cstring>
#include <list>
#include <string>
#include <vector>

namespace {
using namespace NHostKit;

constexpr int32_t ById = 0x40000000;

class Table : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(lib.Loaded()) << "TMDvs.dll: error " << GetLastError();
    ASSERT_TRUE(heap.Find()) << "the library published no shared heap";
    ASSERT_TRUE(NTest::Returned(lib.Create(&driver, 22, host.get())));
  }
  void TearDown() override {
    if (driver) Release(driver);
  }
  // The server key as the host passes it, a constant string and the port;
  // the string lives as long as the test.
  TArgs Key(const std::string &ip, int32_t port = 3000) {
    texts.emplace_back(ip);
    return TArgs().Str(texts.back().get()).Int(port);
  }
  // Position `pos`, which must return.
  TCallResult Call(int pos, const TArgs &a = TArgs()) {
    const TCallResult r = CallPosition(driver, pos, a);
    EXPECT_TRUE(NTest::Returned(r)) << "position " << pos;
    return r;
  }
  // Whether position `pos` answered True; either way the message says what it returned.
  ::testing::AssertionResult Answers(int pos, const TArgs &a) {
    const TCallResult r = Call(pos, a);
    return (r.al() ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << "position " << pos << " " << NTest::Outcome(r);
  }
  ::testing::AssertionResult Add(const TDvrInfo &d) { return Answers(37, TArgs().Ptr(&d)); }
  // A record query (111 on-line information, 121 login information) into `out`, filled with 0xEE first.
  ::testing::AssertionResult Info(int pos, const std::string &ip, int32_t port, TDvrInfo &out) {
    std::memset(&out, 0xEE, sizeof out);
    return Answers(pos, Key(ip, port).Ptr(&out));
  }
  std::string State(int pos, const std::string &ip) {
    char *state = heap.NewString("stale");
    Call(pos, Key(ip).Ptr(&state));
    std::string s = TSharedHeap::Text(state);
    heap.ReleaseString(state);
    return s;
  }

  TDriverLibrary lib;
  TSharedHeap heap;
  TConstString host{ExeDir() + "table_host"};
  std::list<TConstString> texts;
  void *driver = nullptr;
};

TEST_F(Table, AHostNameIsResolvedAndEitherTextFindsTheServer) {
  ASSERT_TRUE(Add(Server("localhost", 3000, 4)));
  TDvrInfo d;
  ASSERT_TRUE(Info(121, "127.0.0.1", 3000, d));
  EXPECT_EQ(d.DvrIP.Text(), "127.0.0.1");
  EXPECT_EQ(d.DvrDomain.Text(), "localhost");
  EXPECT_TRUE(Info(121, "localhost", 3000, d));
  EXPECT_FALSE(Info(121, "localhost", 3001, d));
  EXPECT_FALSE(Info(121, "LOCALHOST", 3000, d)) << "texts compare exactly";
}

TEST_F(Table, AKeyRegisteredIsRefusedAgainByEitherText) {
  ASSERT_TRUE(Add(Server("localhost", 3000, 4)));
  EXPECT_FALSE(Add(Server("localhost", 3000, 4)));
  EXPECT_FALSE(Add(Server("127.0.0.1", 3000, 4)));
}

TEST_F(Table, AnUnresolvableNameLeavesTheAddressEmpty) {
  ASSERT_TRUE(Add(Server("no-such-host.invalid", 3000, 1)));
  TDvrInfo d;
  ASSERT_TRUE(Info(121, "no-such-host.invalid", 3000, d));
  EXPECT_EQ(d.DvrIP.Text(), "");
  EXPECT_EQ(d.DvrDomain.Text(), "no-such-host.invalid");
}

TEST_F(Table, RegistrationSetsTheHostValuesAndClearsTheDeletedFlag) {
  TDvrInfo s = Server("10.0.0.1", 3000, 1);
  for (int32_t &v : s.HostValues) v = 0x33;
  s.Deleted = 1;
  ASSERT_TRUE(Add(s));
  TDvrInfo d;
  ASSERT_TRUE(Info(121, "10.0.0.1", 3000, d));
  EXPECT_EQ(std::vector<int32_t>(d.HostValues, d.HostValues + 5), (std::vector<int32_t>{-1, 0, 0, 0, 5}));
  EXPECT_EQ(d.Deleted, 0);
}

TEST_F(Table, ByIdServersAreFoundOnlyThroughTheIdentity) {
  TDvrInfo s = Server("10.0.0.9", 3000, 2);
  s.ById = 1;
  s.DvrId = 77;
  ASSERT_TRUE(Add(s));
  TDvrInfo d;
  EXPECT_FALSE(Info(121, "10.0.0.9", 3000, d));
  ASSERT_TRUE(Info(121, "anything", ById | 77, d));
  EXPECT_EQ(d.DvrIP.Text(), "");
  EXPECT_EQ(d.DvrId, 77);
  EXPECT_FALSE(Add(s)) << "the identity is the key";
}

TEST_F(Table, OnLineQueriesAnswerOnlyForALoggedOnServer) {
  TDvrInfo on = Server("10.1.1.1", 3000, 2);
  on.LoginHandle = 5; // a host record's handle is taken over as it is
  on.DvrId = 77;
  ASSERT_TRUE(Add(on));
  ASSERT_TRUE(Add(Server("10.1.1.2", 3000, 2)));
  EXPECT_TRUE(Answers(107, Key("10.1.1.1")));
  EXPECT_FALSE(Answers(107, Key("10.1.1.2"))) << "not logged on";
  EXPECT_FALSE(Answers(107, Key("10.1.1.9"))) << "unknown";
  TDvrInfo out;
  ASSERT_TRUE(Info(111, "10.1.1.1", 3000, out));
  EXPECT_EQ(out.DvrIP.Text(), "10.1.1.1");
  EXPECT_EQ(out.DvrId, 77);
  EXPECT_FALSE(Info(111, "10.1.1.2", 3000, out)) << "not logged on";
  EXPECT_EQ(out.DvrId, static_cast<int32_t>(0xEEEEEEEE)) << "nothing copied";
  ASSERT_TRUE(Answers(38, Key("10.1.1.1")));
  EXPECT_FALSE(Answers(107, Key("10.1.1.1"))) << "deleted";
  EXPECT_FALSE(Info(111, "10.1.1.1", 3000, out)) << "deleted";
}

// (Registering a deleted server again reuses its record with fresh channel
// records: ConfigFileTest, in-process.)
TEST_F(Table, AChannelConfigComesBackUntilTheServerIsDeleted) {
  ASSERT_TRUE(Add(Server("10.0.0.1", 3000, 2)));
  std::vector<uint8_t> config(ChannelConfigSize, 0x5A), back(ChannelConfigSize);
  ASSERT_TRUE(Answers(105, Key("10.0.0.1").Int(1).Ptr(config.data())));
  ASSERT_TRUE(Answers(106, Key("10.0.0.1").Int(1).Ptr(back.data())));
  EXPECT_EQ(back, config);
  ASSERT_TRUE(Answers(38, Key("10.0.0.1")));
  EXPECT_FALSE(Answers(106, Key("10.0.0.1").Int(1).Ptr(back.data())));
}

TEST_F(Table, DeletionIsLoggedOnceAndDeletingAgainAnswersTrue) {
  ASSERT_TRUE(Add(Server("10.0.0.1", 3000, 2)));
  TDebugCapture capture;
  ASSERT_TRUE(Answers(38, Key("10.0.0.1")));
  EXPECT_TRUE(Answers(38, Key("10.0.0.1")));
  EXPECT_EQ(capture.Matching("ORVA_Device_DelDvr"),
            std::vector<std::string>{"ZQ>>TTarnwickDvr ORVA_Device_DelDvr IP: 10.0.0.1"});
  TDvrInfo d;
  EXPECT_FALSE(Info(121, "10.0.0.1", 3000, d));
}

TEST_F(Table, RemovalAnswersWhetherTheServerWasThere) {
  ASSERT_TRUE(Add(Server("10.0.0.2", 3000, 2)));
  EXPECT_TRUE(Answers(124, Key("10.0.0.2")));
  EXPECT_FALSE(Answers(124, Key("10.0.0.2")));
}

TEST_F(Table, ChannelRecordsFollowTheLargestCountAndChannelsAreBounded) {
  ASSERT_TRUE(Add(Server("10.0.0.1", 3000, 0, 0, 0)));
  ASSERT_TRUE(Add(Server("10.0.0.2", 3000, 1, 3, 2)));
  std::vector<uint8_t> block(ChannelConfigSize);
  EXPECT_FALSE(Answers(105, Key("10.0.0.1").Int(0).Ptr(block.data()))) << "no channel records at all";
  EXPECT_TRUE(Answers(105, Key("10.0.0.2").Int(2).Ptr(block.data())));
  EXPECT_FALSE(Answers(105, Key("10.0.0.2").Int(3).Ptr(block.data())));
  EXPECT_FALSE(Answers(106, Key("10.0.0.2").Int(-1).Ptr(block.data())));
  EXPECT_FALSE(Answers(106, Key("10.0.0.3").Int(0).Ptr(block.data()))) << "unknown server";
}

TEST_F(Table, OverlongAndUnterminatedTextsStayWithinTheirFields) {
  TDvrInfo s = Server("", 3000, 1);
  // A length byte beyond the capacity and no zero after the characters.
  s.DvrIP.Len = 255;
  std::memset(s.DvrIP.Chars, 'x', sizeof s.DvrIP.Chars);
  ASSERT_TRUE(Add(s));
  TDvrInfo d;
  const std::string forty(40, 'x');
  ASSERT_TRUE(Info(121, forty, 3000, d)) << "the name is read up to its capacity";
  EXPECT_EQ(d.DvrDomain.Text(), forty);
  EXPECT_EQ(d.DvrIP.Text(), "");
}

TEST_F(Table, ConfigFileOfThisDriverTypeIsADirectoryAndSavingRaisesTheFileError) {
  EXPECT_TRUE(NTest::Contains(NTest::Outcome(CallPosition(driver, 102)), "raised E0544D44 EInOutError"));
  EXPECT_FALSE(Answers(101, TArgs())) << "loading: a missing file is no error";
}

// ---------------------------------------------------------------- defence

TEST_F(Table, OnlyDisarmingReachesAServerThatIsNotLoggedOn) {
  ASSERT_TRUE(Add(Server("10.0.0.1", 3000, 4)));
  TDebugCapture capture;
  EXPECT_FALSE(Answers(75, Key("10.0.0.1").Int(0))) << "arming needs the server on line";
  EXPECT_TRUE(Answers(76, Key("10.0.0.1").Int(0))) << "disarming does not";
  EXPECT_FALSE(Answers(132, Key("10.0.0.1").Int(0)));
  EXPECT_TRUE(Answers(133, Key("10.0.0.1").Int(3)));
  EXPECT_FALSE(Answers(133, Key("10.0.0.1").Int(4))) << "beyond the channel records";
  EXPECT_FALSE(Answers(76, Key("10.0.0.1").Int(-1)));
  for (int pos : {77, 78, 79, 80, 81, 82}) EXPECT_FALSE(Answers(pos, Key("10.0.0.1").Int(0)));
  EXPECT_EQ(capture.Matching("zq>>ORVA_"), std::vector<std::string>{"zq>>ORVA_Device_StopDvrMotion: 0"});
}

TEST_F(Table, ADeletedServerIsOutOfReachOfDefenceThoughItsRecordRemains) {
  ASSERT_TRUE(Add(Server("10.0.0.1", 3000, 4)));
  ASSERT_TRUE(Answers(38, Key("10.0.0.1")));
  EXPECT_FALSE(Answers(76, Key("10.0.0.1").Int(0)));
  EXPECT_FALSE(Answers(133, Key("10.0.0.1").Int(0)));
}

TEST_F(Table, StatesOfServersThatAreNotOnLineAreEmpty) {
  ASSERT_TRUE(Add(Server("10.0.0.1", 3000, 4)));
  TDebugCapture capture;
  for (int pos : {114, 115, 116, 117, 118, 119, 120, 128}) EXPECT_EQ(State(pos, "10.0.0.1"), "") << pos;
  EXPECT_EQ(State(118, "10.9.9.9"), "");
  // Position 118 writes its first line, and no second one without a server.
  const std::string line = "ZQ>>ORVA_Device_GetDvrNetMotionDefenseState: DvrIP: ";
  EXPECT_EQ(capture.Matching(line), (std::vector<std::string>{line + "10.0.0.1", line + "10.9.9.9"}));
}

// ---------------------------------------------------------------- auxiliary

TEST_F(Table, CallbackSettersAnswerZeroOrTheValueTheyWereGiven) {
  THostCallbacks cb;
  EXPECT_EQ(Call(4, TArgs().Int(1).Method(cb.StatusMethod())).eax, 0u);
  EXPECT_EQ(Call(4, TArgs().Int(1001).Method(cb.StatusMethod())).eax, 0u) << "an index outside the table";
  EXPECT_EQ(Call(5, TArgs().Int(-7)).eax, 0u);
  EXPECT_EQ(Call(83, TArgs().Int(41).Method(cb.StatusMethod())).i32(), 41);
  EXPECT_EQ(Call(137, TArgs().Int(-3).Method(cb.FrameMethod())).i32(), -3);
  EXPECT_EQ(Call(14, TArgs().Method(cb.FrameMethod())).eax, 0u);
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
  EXPECT_EQ(Call(94).i32(), -1) << "nothing given yet";
  EXPECT_EQ(Call(93, TArgs().Int(1).Int(2).Int(3)).i32(), -1);
  EXPECT_EQ(Call(92, TArgs().Int(7).NilMethod().Method(first.HostFunction2Method())).i32(), 7);
  Call(92, TArgs().Int(8).Method(second.HostFunction1Method()).Method(second.HostFunction2Method()));
  EXPECT_EQ(Call(93, TArgs().Int(11).Int(22).Int(33)).i32(), 99);
  EXPECT_EQ(got, (std::vector<int32_t>{11, 22, 33, 0, 0}));
  EXPECT_EQ(Call(94).i32(), -10) << "the first function 2 stays, called with -1";
}

TEST_F(Table, FileListsEndInTheSearchsAbstractError) {
  void *list = nullptr, *buffer = reinterpret_cast<void *>(0x1234);
  int32_t size = 77;
  TArgs a;
  a.Word(1).Word(2).Word(3).Byte(4).Word(5).Word(6).Word(7).Word(8);
  const std::string raised = "raised E0544D44 EAbstractError \"Abstract Error\"";
  EXPECT_EQ(NTest::Outcome(CallPosition(driver, 85, TArgs(a).Ptr(&list))), raised);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(NTest::Outcome(CallPosition(driver, 86, a.Ptr(&buffer).Ptr(&size))), raised);
  EXPECT_EQ(size, 77);
}

TEST_F(Table, PostedDataIsCopiedWhenThereIsSome) {
  const char data[] = "0123456789";
  // (address, port, data, size): data and size on the stack.
  EXPECT_FALSE(Answers(90, TArgs().Str(nullptr).Int(0).Ptr(nullptr).Word(10))) << "nil data";
  EXPECT_FALSE(Answers(90, TArgs().Str(nullptr).Int(0).Ptr(data).Word(0))) << "size 0";
  EXPECT_TRUE(Answers(90, TArgs().Str(nullptr).Int(0).Ptr(data).Word(10)));
  EXPECT_TRUE(Answers(90, TArgs().Str(nullptr).Int(0).Ptr(data).Word(4))) << "a second copy replaces one";
  // The posted message reaches the window on this (the loading) thread and
  // is passed to the default processing without harm.
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
}

TEST_F(Table, ByteOptionsDropTheIndexTopBitAndKeepOnlyFourEntries) {
  EXPECT_EQ(Call(143, TArgs().Byte(0x81).Byte(0x42)).al(), 1);
  EXPECT_EQ(Call(144, TArgs().Byte(1)).al(), 0x42);
  EXPECT_EQ(Call(144, TArgs().Byte(0x81)).al(), 0x42);
  EXPECT_EQ(Call(143, TArgs().Byte(9).Byte(0x17)).al(), 1);
  EXPECT_EQ(Call(144, TArgs().Byte(9)).al(), 0);
}

TEST_F(Table, FreeBufferAnswersTrueWhetherOrNotItFrees) {
  void *block = heap.GetMem(64);
  EXPECT_TRUE(Answers(95, TArgs().Ptr(block).Word(64).Bool(false)));
  EXPECT_TRUE(Answers(95, TArgs().Ptr(block).Word(64).Bool(true)));
  EXPECT_TRUE(Answers(95, TArgs().Ptr(nullptr).Word(64).Bool(true)));
}

TEST_F(Table, HostSettingsAreTakenAndTheAuxiliaryValueIsZero) {
  int32_t value = 5;
  Call(89, TArgs().Word(1).Word(2).Word(3).Ptr(&value));
  EXPECT_EQ(value, 0);
  const int32_t params[3] = {1, 2, 3};
  EXPECT_TRUE(Answers(112, TArgs().Ptr(params)));
  EXPECT_TRUE(Answers(146, TArgs().Word(1).Word(2).Word(0x11111111).Word(0x22222222)));
  for (int32_t delay : {-30000, INT32_MIN, 0}) EXPECT_EQ(Call(150, TArgs().Word(0).Ptr(&delay)).eax, 0u);
  Call(155, TArgs().Int(12));
}

} // namespace
