// The 156 positions as the host calls them: register convention through the
// host kit's own caller, exact stack bytes, and errors as structured exceptions.
#include "hostkit/HostKit.h"
#include <gtest/gtest.h>
#include <set>
#include <vector>

namespace {
using namespace NHostKit;

// Positions that no class implements.
std::set<int> Unsupported() {
  std::set<int> s;
  auto range = [&](int a, int b) {
    for (int i = a; i <= b; ++i) s.insert(i);
  };
  range(6, 13); range(15, 36); range(42, 57); range(60, 74); range(84, 84); range(87, 88);
  range(91, 91); range(96, 100); range(103, 104); range(113, 113); range(122, 123);
  range(125, 127); range(139, 142); range(145, 145);
  return s;
}

class Interface : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(lib.Loaded());
    auto r = lib.Create(&driver, 22, host.get());
    ASSERT_FALSE(r.raised) << r.className << ": " << r.message;
    ASSERT_NE(driver, nullptr);
  }
  void TearDown() override {
    if (driver) Release(driver);
  }
  ULONG Count() {
    AddRef(driver);
    return Release(driver);
  }
  TDriverLibrary lib;
  TConstString host{ExeDir() + "iface_host"};
  void *driver = nullptr;
};

TEST_F(Interface, EveryUnsupportedPositionRaisesTheAbstractErrorAndLeavesTheCount) {
  const auto positions = Unsupported();
  ASSERT_EQ(positions.size(), 83u);
  const ULONG before = Count();
  for (int pos : positions) {
    auto r = CallPosition(driver, pos, TArgs().Int(1).Int(2));
    EXPECT_TRUE(r.raised) << pos;
    EXPECT_EQ(r.code, DriverExceptionCode) << pos;
    EXPECT_EQ(r.className, "EAbstractError") << pos;
    EXPECT_EQ(r.message, "Abstract Error") << pos;
  }
  EXPECT_EQ(Count(), before);
}

TEST_F(Interface, ReservedPositionsPopTheirStackWordsAndAnswerZero) {
  // position -> 32-bit stack arguments after the register arguments
  const std::vector<std::pair<int, int>> reserved = {
      {129, 2}, {130, 1}, {131, 0}, {134, 2}, {135, 1}, {136, 3}, {138, 3},
      {147, 1}, {148, 1}, {149, 1}, {151, 3}, {152, 4}, {153, 9}, {154, 2}};
  for (auto [pos, words] : reserved) {
    TArgs a;
    a.Word(0x11).Word(0x22);
    for (int i = 0; i < words; ++i) a.Word(0x100 + i);
    auto r = CallPosition(driver, pos, a);
    ASSERT_FALSE(r.raised) << pos << " " << r.className;
    EXPECT_EQ(r.popped, static_cast<uint32_t>(words * 4)) << pos;
    EXPECT_EQ(r.eax, 0u) << pos;
  }
}

TEST_F(Interface, SetDvrCallbackPopsFortyFourBytes) {
  THostCallbacks cb;
  TArgs a;
  a.Str(nullptr).Int(8000).Int(0);
  for (int i = 0; i < 5; ++i) a.Method(cb.FrameMethod());
  ASSERT_EQ(a.StackBytes(), 44u);
  auto r = CallPosition(driver, 41, a);
  ASSERT_FALSE(r.raised) << r.className;
  EXPECT_EQ(r.popped, 44u);
  EXPECT_EQ(r.al(), 0);
}

TEST_F(Interface, Reserved39And40DoNothing) {
  auto r = CallPosition(driver, 39);
  ASSERT_FALSE(r.raised) << r.className;
  EXPECT_EQ(r.popped, 0u);
  r = CallPosition(driver, 40, TArgs().Str(nullptr).Int(1));
  ASSERT_FALSE(r.raised);
  EXPECT_EQ(r.popped, 0u);
}

TEST_F(Interface, PostDvrData) {
  const char data[] = "0123456789";
  // (address, port, data, size): data and size on the stack.
  auto r = CallPosition(driver, 90, TArgs().Str(nullptr).Int(0).Ptr(nullptr).Word(10));
  ASSERT_FALSE(r.raised) << r.className;
  EXPECT_EQ(r.popped, 8u);
  EXPECT_EQ(r.al(), 0) << "nil data";
  r = CallPosition(driver, 90, TArgs().Str(nullptr).Int(0).Ptr(data).Word(0));
  EXPECT_EQ(r.al(), 0) << "size 0";
  r = CallPosition(driver, 90, TArgs().Str(nullptr).Int(0).Ptr(data).Word(10));
  EXPECT_EQ(r.al(), 1);
  EXPECT_EQ(r.popped, 8u);
  r = CallPosition(driver, 90, TArgs().Str(nullptr).Int(0).Ptr(data).Word(4));
  EXPECT_EQ(r.al(), 1) << "a second copy replaces the first";
  // The posted message reaches the window on this (the loading) thread and
  // is passed to the default processing without harm.
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
}

TEST(InterfaceFactory, FactoryPopsTwelveBytesAndStoresIntoTheVariable) {
  TDriverLibrary lib;
  ASSERT_TRUE(lib.Loaded());
  TConstString host(ExeDir() + "iface_host");
  void *v = reinterpret_cast<void *>(0);
  auto r = lib.Create(&v, 22, host.get());
  ASSERT_FALSE(r.raised);
  EXPECT_EQ(r.popped, 12u);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(AddRef(v), 3u);
  Release(v);
  void *nil = v;
  r = lib.Create(&nil, 0x117, host.get());
  EXPECT_EQ(r.popped, 12u);
  EXPECT_EQ(nil, nullptr);
  // The variable's old reference was released: only the library's is left.
  EXPECT_EQ(AddRef(v), 2u);
  EXPECT_EQ(Release(v), 1u);
}

} // namespace
