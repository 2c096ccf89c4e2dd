// The host kit proves itself against callees whose behaviour is known.
#include "common/Check.h"
#include "hostkit/HostKit.h"
#include <gtest/gtest.h>

extern "C" {
void TmTestCallee0();
void TmTestCallee1();
void TmTestCallee3();
void TmTestCallee9();
void TmTestCallee11();
void TmTestPeek2();
void TmTestClobber();
}

namespace {
using namespace NHostKit;

const void *P(void (*f)()) { return reinterpret_cast<const void *>(f); }

TEST(HostKit, RegistersArriveAndPoppedBytesAreMeasured) {
  auto r = CallRaw(P(TmTestCallee0), 1, 20, 300, {});
  EXPECT_TRUE(NTest::Returned(r));
  EXPECT_EQ(r.eax, 321u);
  EXPECT_EQ(r.popped, 0u);
  r = CallRaw(P(TmTestCallee1), 1, 2, 3, {77});
  EXPECT_EQ(r.popped, 4u);
  EXPECT_EQ(r.edx, 77u);
  r = CallRaw(P(TmTestCallee9), 0, 0, 0, std::vector<uint32_t>(9, 5));
  EXPECT_EQ(r.popped, 36u);
  r = CallRaw(P(TmTestCallee11), 0, 0, 0, std::vector<uint32_t>(11, 5));
  EXPECT_EQ(r.popped, 44u);
}

TEST(HostKit, ACallTheHostCouldNotSurviveFailsNamingThePosition) {
  // Position 9 removes one word; position 10 loses every register it must keep.
  const void *table[11] = {};
  table[9] = P(TmTestCallee1);
  table[10] = P(TmTestClobber);
  const void *const *intf = table;
  auto fault = [&](int pos, const TArgs &a) -> std::string {
    try {
      CallPosition(&intf, pos, a);
    } catch (const TCallFault &e) {
      return e.what();
    }
    return "no fault";
  };
  EXPECT_EQ(fault(9, TArgs().Int(0).Int(0).Word(1).Word(2).Word(3)),
            "position 9: the entry removed 4 stack bytes where the host pushed 12");
  EXPECT_EQ(fault(10, TArgs()), "position 10: the entry did not keep EBX ESI EDI EBP");
  EXPECT_EQ(fault(9, TArgs().Int(0).Int(0).Word(1)), "no fault");
}

TEST(HostKit, StackWordsAreInDeclarationOrderLastNearestTheReturnAddress) {
  // Peek2 returns the word EAX slots above the return address.
  EXPECT_EQ(CallRaw(P(TmTestPeek2), 0, 0, 0, {111, 222}).eax, 222u);
  EXPECT_EQ(CallRaw(P(TmTestPeek2), 1, 0, 0, {111, 222}).eax, 111u);
}

TEST(HostKit, ArgsLayoutFollowsTheHostConvention) {
  TMethodPtr m{reinterpret_cast<const void *>(0x1111), reinterpret_cast<void *>(0x2222)};
  uint32_t edx, ecx;
  std::vector<uint32_t> w;
  // (index, callback): EDX index, ECX unused, method pointer on the stack.
  TArgs().Int(5).Method(m).Layout(edx, ecx, w);
  EXPECT_EQ(edx, 5u);
  EXPECT_EQ(w, (std::vector<uint32_t>{0x2222, 0x1111}));
  // (value, ignored, cb) keeps both registers; a 32-bit argument after a
  // method pointer may still take a register.
  w.clear();
  TArgs().Method(m).Int(9).Layout(edx, ecx, w);
  EXPECT_EQ(edx, 9u);
  EXPECT_EQ(w.size(), 2u);
  // (a, p, c, m1, m2, m3, m4, m5): 44 bytes.
  TArgs a;
  a.Str("x").Int(1).Int(2);
  for (int i = 0; i < 5; ++i) a.Method(m);
  EXPECT_EQ(a.StackBytes(), 44u);
}

void RaiseDriverStyle() {
  static const char cls[] = "EAbstractError", msg[] = "Abstract Error";
  const ULONG_PTR p[2] = {reinterpret_cast<ULONG_PTR>(cls), reinterpret_cast<ULONG_PTR>(msg)};
  RaiseException(DriverExceptionCode, EXCEPTION_NONCONTINUABLE, 2, p);
}

void Crash() { *static_cast<volatile int *>(nullptr) = 1; }

// The block's own address sits at FS:[0x18] (read directly: the header's
// NtCurrentTeb trips GCC's array-bounds warning).
NT_TIB *Tib() {
  NT_TIB *t;
  asm volatile("movl %%fs:0x18, %0" : "=r"(t));
  return t;
}

TEST(HostKit, CatchesANonContinuableStructuredException) {
  void *chain = Tib()->ExceptionList;
  const std::string raised = "raised E0544D44 EAbstractError \"Abstract Error\"";
  auto r = CallRaw(reinterpret_cast<const void *>(&RaiseDriverStyle), 0, 0, 0, {1, 2});
  EXPECT_EQ(NTest::Outcome(r), raised);
  EXPECT_EQ(r.params, 2u);
  EXPECT_EQ(Tib()->ExceptionList, chain) << "SEH chain not restored";
  // The process goes on normally, and again.
  EXPECT_EQ(NTest::Outcome(CallRaw(reinterpret_cast<const void *>(&RaiseDriverStyle), 0, 0, 0, {})), raised);
  EXPECT_EQ(CallRaw(P(TmTestCallee0), 1, 1, 1, {}).eax, 3u);
}

TEST(HostKit, CatchesAnAccessViolation) {
  // The system's exception: a code and no class.
  EXPECT_EQ(NTest::Outcome(CallRaw(reinterpret_cast<const void *>(&Crash), 0, 0, 0, {})), "raised C0000005");
}

TEST(HostKit, ThunksReceiveTheirArgumentsAndPopTheirStack) {
  THostCallbacks cb;
  std::pair<int32_t, bool> status;
  cb.status = [&](int32_t i, bool o, uint32_t) { status = {i, o}; };
  auto r = CallRaw(StatusThunk(), reinterpret_cast<uint32_t>(&cb), 42, 0xFFFFFF01u, {});
  EXPECT_EQ(status, std::make_pair(42, true));
  EXPECT_EQ(r.popped, 0u);
  CallRaw(StatusThunk(), reinterpret_cast<uint32_t>(&cb), 7, 0xFFFFFF00u, {});
  EXPECT_EQ(status, std::make_pair(7, false)) << "only the low byte counts";

  std::vector<int32_t> got;
  cb.hostFunction1 = [&](int32_t a, int32_t b, int32_t c, int32_t z1, int32_t z2) {
    got = {a, b, c, z1, z2};
    return 1234;
  };
  // C pushed first, then the two zeros: C lies farthest from the return address.
  r = CallRaw(HostFunction1Thunk(), reinterpret_cast<uint32_t>(&cb), 1, 2, {3, 4, 5});
  EXPECT_EQ(r.eax, 1234u);
  EXPECT_EQ(r.popped, 12u);
  EXPECT_EQ(got, (std::vector<int32_t>{1, 2, 3, 4, 5}));

  cb.hostFunction2 = [](int32_t a) { return a * 2; };
  r = CallRaw(HostFunction2Thunk(), reinterpret_cast<uint32_t>(&cb), static_cast<uint32_t>(-1), 0, {});
  EXPECT_EQ(r.i32(), -2);
  EXPECT_EQ(r.popped, 0u);

  const void *seen = nullptr;
  cb.frame = [&](const void *p) { seen = p; };
  int dummy;
  r = CallRaw(FrameThunk(), reinterpret_cast<uint32_t>(&cb), reinterpret_cast<uint32_t>(&dummy), 0, {});
  EXPECT_EQ(seen, &dummy);
  EXPECT_EQ(r.popped, 0u);
}

// A heap table of our own, published the way a Pascal host publishes it.
#define REG __attribute__((regparm(3)))
void *REG FakeGet(int32_t n) { return HeapAlloc(GetProcessHeap(), 0, n); }
int32_t REG FakeFree(void *p) { return HeapFree(GetProcessHeap(), 0, p) ? 0 : 1; }
void *REG FakeRealloc(void *p, int32_t n) { return HeapReAlloc(GetProcessHeap(), 0, p, n); }
void *REG FakeAlloc(int32_t n) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, n); }
const void *FakeTable[6] = {reinterpret_cast<const void *>(&FakeGet), reinterpret_cast<const void *>(&FakeFree),
                            reinterpret_cast<const void *>(&FakeRealloc), reinterpret_cast<const void *>(&FakeAlloc),
                            nullptr, nullptr};

TEST(HostKit, StringsAndBlocksOnTheSharedHeap) {
  HWND w = CreateWindowExA(0, "STATIC", TSharedHeap::WindowTitle().c_str(), 0, 0, 0, 0, 0, nullptr,
                           nullptr, nullptr, nullptr);
  ASSERT_NE(w, nullptr) << "error " << GetLastError();
  SetWindowLongA(w, GWL_USERDATA, reinterpret_cast<LONG>(FakeTable));
  TSharedHeap heap;
  ASSERT_TRUE(heap.Find()) << "window \"" << TSharedHeap::WindowTitle() << "\" not found";
  char *s = heap.NewString("10.0.0.1");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(TSharedHeap::Text(s), "10.0.0.1");
  EXPECT_EQ(TSharedHeap::RefCount(s), 1);
  EXPECT_EQ(s[8], 0);
  EXPECT_EQ(heap.NewString(""), nullptr);
  heap.ReleaseString(s);
  EXPECT_EQ(s, nullptr);
  void *z = heap.AllocMem(16);
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(static_cast<int *>(z)[3], 0);
  EXPECT_EQ(heap.FreeMem(z), 0);
  TConstString c("abc");
  char *cs = const_cast<char *>(c.get());
  heap.ReleaseString(cs); // a constant is never touched
  EXPECT_EQ(TSharedHeap::RefCount(c.get()), -1);
  DestroyWindow(w);
}

} // namespace
