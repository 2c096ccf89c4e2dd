// The 156 positions as the host calls them, driven by the host kit's own
// caller against an object whose operations only record: each supported
// entry removes exactly the stack bytes of U_InterfacePositions.h, keeps the
// host's registers and hands its arguments on in order; every other position
// raises the abstract-method error. (CallPosition throws when an entry
// removes other bytes than were pushed or changes EBX, ESI, EDI or EBP.)
#include "common/Check.h"
#include "hostkit/HostKit.h"
#include "entry/U_IDeviceDriverInterface.h"
#include "tm_driver/U_ZEZov.h"
#include <gtest/gtest.h>
#include <cstring>
#include <vector>

namespace {
using namespace NHostKit;

struct TRecorder : TTMDvs {
  static void *slot;
  TRecorder() : TTMDvs(HostInterfaceTables(), 0, &slot, nullptr) { // type 0: no window
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    ConfigFile = std::string(tmp) + "tm_entry_stack.cfg"; // for positions 101 and 102
  }
  std::vector<uint32_t> seen;
  void Note(std::initializer_list<uint32_t> v) { seen.assign(v); }
  static uint32_t U(const void *p) { return reinterpret_cast<uint32_t>(p); }
  static uint32_t M(const TMethod &m) { return U(m.Code) ^ U(m.Data); }

  int32_t ORVA_Device_Init() override { Note({3}); return 7; }
  bool ORVA_Device_Shutdown() override { Note({110}); return true; }
  void SearchDvrFiles(const uint32_t[8], void **) override {} // position 84: finds nothing
  int32_t ORVA_Device_SetCallback(int32_t i, TMethod cb) override { Note({uint32_t(i), M(cb)}); return 0; }
  bool ORVA_Device_SetDvrCallback(const char *a, int32_t p, int32_t c, const TMethod cbs[5]) override {
    Note({U(a), uint32_t(p), uint32_t(c), M(cbs[0]), M(cbs[4])});
    return false;
  }
  int32_t ORVA_Device_StartDvrCapture(const char *a, int32_t p, int32_t c) override { Note({U(a), uint32_t(p), uint32_t(c)}); return 0; }
  bool SetDefense(int pos, TDefenseFlag f, int32_t v, const char *a, int32_t p, int32_t c) override {
    Note({uint32_t(pos), uint32_t(f), uint32_t(v), U(a), uint32_t(p), uint32_t(c)});
    return true;
  }
  int32_t ORVA_Device_SetHostFunctions(int32_t v, TMethod f1, TMethod f2) override { Note({uint32_t(v), M(f1), M(f2)}); return v; }
  int32_t ORVA_Device_CallHostFunction1(int32_t a, int32_t b, int32_t c) override { Note({uint32_t(a), uint32_t(b), uint32_t(c)}); return 5; }
  bool ORVA_Device_FreeBuffer(void *b, uint32_t s, bool f) override { Note({U(b), s, f}); return true; }
  bool ORVA_Device_SetDvrChannelConfig(const char *a, int32_t p, int32_t c, const void *cfg) override { Note({U(a), uint32_t(p), uint32_t(c), U(cfg)}); return true; }
  bool ORVA_Device_CloseDvr(const char *a, int32_t p, bool l) override { Note({U(a), uint32_t(p), l}); return false; }
  bool ORVA_Device_CloseDvrChannel(const char *a, int32_t p, int32_t c, bool k) override { Note({U(a), uint32_t(p), uint32_t(c), k}); return true; }
  void GetDefenseState(int pos, TStateKind k, const char *a, int32_t p, char **s) override { Note({uint32_t(pos), uint32_t(k), U(a), uint32_t(p), U(s)}); }
  void ORVA_Device_GetAuxValue(int32_t *v) override { Note({U(v)}); }
  int32_t ORVA_Device_ListDvrFilesToBuffer(const uint32_t a[8], void **b, int32_t *s) override {
    Note({a[0], a[2], a[7], U(b), U(s)});
    return -1;
  }
};
void *TRecorder::slot = nullptr;

const char *A = reinterpret_cast<const char *>(0xA0A0);

class EntryStack : public ::testing::Test {
protected:
  void SetUp() override { rec = new TRecorder; }
  void TearDown() override { InterfaceAssign(&TRecorder::slot, nullptr); }
  void *I() { return rec->DriverInterface(); }
  // What the operation behind `pos` was handed; the call's result stays in `last`.
  std::vector<uint32_t> Seen(int pos, const TArgs &a = TArgs()) {
    rec->seen.clear();
    last = CallPosition(I(), pos, a);
    return rec->seen;
  }
  using V = std::vector<uint32_t>;
  TRecorder *rec;
  TCallResult last;
  TMethodPtr m1{reinterpret_cast<const void *>(0x1001), reinterpret_cast<void *>(0x10)};
  TMethodPtr m5{reinterpret_cast<const void *>(0x5005), reinterpret_cast<void *>(0x50)};
  static uint32_t U(const void *p) { return reinterpret_cast<uint32_t>(p); }
  static uint32_t X(const TMethodPtr &m) { return U(m.code) ^ U(m.data); }
};

TEST_F(EntryStack, ArgumentsArriveInOrderAndResultsComeBack) {
  EXPECT_EQ(Seen(3), V{3});
  EXPECT_EQ(last.eax, 7u);
  EXPECT_EQ(Seen(4, TArgs().Int(9).Method(m1)), (V{9, X(m1)}));
  TArgs a41;
  a41.Str(A).Int(8000).Int(3).Method(m1).NilMethod().NilMethod().NilMethod().Method(m5);
  EXPECT_EQ(Seen(41, a41), (V{0xA0A0, 8000, 3, X(m1), X(m5)}));
  EXPECT_EQ(last.al(), 0);
  EXPECT_EQ(Seen(58, TArgs().Str(A).Int(1).Int(2)), (V{0xA0A0, 1, 2}));
  EXPECT_EQ(Seen(80, TArgs().Str(A).Int(1).Int(2)), (V{80, TDeviceDriverBase::dfAlarmOut, 0, 0xA0A0, 1, 2}));
  EXPECT_EQ(last.al(), 1);
  EXPECT_EQ(Seen(92, TArgs().Int(4).Word(0).Method(m1).Method(m5)), (V{4, X(m1), X(m5)}));
  EXPECT_EQ(last.eax, 4u);
  EXPECT_EQ(Seen(93, TArgs().Int(1).Int(2).Int(3)), (V{1, 2, 3}));
  EXPECT_EQ(Seen(95, TArgs().Ptr(A).Word(10).Bool(true)), (V{0xA0A0, 10, 1})) << "a Boolean's low byte";
  EXPECT_EQ(Seen(105, TArgs().Str(A).Int(1).Int(2).Ptr(A + 0x20)), (V{0xA0A0, 1, 2, 0xA0C0}));
  EXPECT_EQ(Seen(108, TArgs().Str(A).Int(1).Bool(false)), (V{0xA0A0, 1, 0}));
  EXPECT_EQ(Seen(109, TArgs().Str(A).Int(1).Int(5).Bool(true)), (V{0xA0A0, 1, 5, 1}));
  char *state = nullptr;
  EXPECT_EQ(Seen(118, TArgs().Str(A).Int(1).Ptr(&state)),
            (V{118, TDeviceDriverBase::skMotion, 0xA0A0, 1, U(&state)}));
  int32_t v = 0;
  EXPECT_EQ(Seen(89, TArgs().Word(1).Word(2).Word(3).Ptr(&v)), V{U(&v)});
  void *buf = nullptr;
  int32_t size = 0;
  TArgs a86;
  for (uint32_t i = 1; i <= 8; ++i) a86.Word(i);
  EXPECT_EQ(Seen(86, a86.Ptr(&buf).Ptr(&size)), (V{1, 3, 8, U(&buf), U(&size)}));
}

TEST_F(EntryStack, EveryPositionRaisesOrRemovesItsListedBytesAndKeepsTheHostsRegisters) {
  const GUID other = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
  void *out = nullptr;
  const uint32_t intf = reinterpret_cast<uint32_t>(I());
  const std::vector<std::vector<uint32_t>> stdcallArgs = {
      {intf, reinterpret_cast<uint32_t>(&other), reinterpret_cast<uint32_t>(&out)}, {intf}, {intf}};
  // The object's count, as a reference taken and given back reports it.
  auto refs = [&] { return rec->AddRef(), rec->Release(); };
  const int32_t count = refs();
  for (int pos = 0; pos < InterfacePositions; ++pos) {
    const TPositionInfo *info = FindPosition(pos);
    TCallResult r;
    if (pos < 3) {
      r = CallStd(HostInterfaceTables().Driver[pos], stdcallArgs[pos]);
      EXPECT_EQ(r.popped, uint32_t(info->StackBytes)) << info->Name;
      EXPECT_EQ(r.clobbered, "") << info->Name;
    } else if (!info) {
      r = CallPosition(I(), pos, TArgs().Int(1).Int(2));
      EXPECT_EQ(NTest::Outcome(r), "raised E0544D44 EAbstractError \"Abstract Error\"") << "position " << pos;
    } else {
      TArgs a;
      for (int w = 0; w < 2 + info->StackBytes / 4; ++w) a.Word(0); // two registers, then the stack
      EXPECT_NO_THROW(r = CallPosition(I(), pos, a)) << info->Name;
      EXPECT_TRUE(NTest::Returned(r)) << info->Name;
    }
    if (info && pos > 40 && std::strstr(info->Name, "Reserved")) {
      EXPECT_EQ(r.eax, 0u) << info->Name;
    }
    EXPECT_EQ(refs(), count + (pos == 1)) << "position " << pos;
  }
  DeleteFileA(rec->ConfigFile.c_str());
}

} // namespace
