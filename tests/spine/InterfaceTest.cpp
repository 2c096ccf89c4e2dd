// The driver the factory makes, called as the host calls it (the positions'
// stack bytes and errors: EntryStackTest).
#include "hostkit/HostKit.h"
#include <gtest/gtest.h>
#include <vector>

namespace {
using namespace NHostKit;

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
  TDriverLibrary lib;
  TConstString host{ExeDir() + "iface_host"};
  void *driver = nullptr;
};

TEST_F(Interface, PostDvrData) {
  const char data[] = "0123456789";
  // (address, port, data, size): data and size on the stack.
  auto r = CallPosition(driver, 90, TArgs().Str(nullptr).Int(0).Ptr(nullptr).Word(10));
  ASSERT_FALSE(r.raised) << r.className;
  EXPECT_EQ(r.al(), 0) << "nil data";
  r = CallPosition(driver, 90, TArgs().Str(nullptr).Int(0).Ptr(data).Word(0));
  EXPECT_EQ(r.al(), 0) << "size 0";
  r = CallPosition(driver, 90, TArgs().Str(nullptr).Int(0).Ptr(data).Word(10));
  EXPECT_EQ(r.al(), 1);
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
