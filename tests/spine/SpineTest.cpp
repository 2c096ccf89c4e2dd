// The library as a host meets it: load, factory, reference counting through
// positions 0-2, the shared-heap window, destruction and unload cycles.
#include "hostkit/DebugCapture.h"
#include "hostkit/HostKit.h"
#include "common/Process.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>
#include <string>
#include <vector>

namespace {
using namespace NHostKit;

const GUID IID_Driver = {0x5584A661, 0x2311, 0x44C1, {0x97, 0xB2, 0x10, 0x78, 0xE0, 0x23, 0x83, 0x79}};
const GUID IID_Unknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID IID_Other = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

std::string TempHostDir(const std::string &name) {
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  return std::string(tmp) + "tm_spine\\" + name;
}

class Spine : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(lib.Loaded()) << "TMDvs.dll: error " << GetLastError(); }
  // The factory's answer for `type`, with `previous` in the variable.
  void *Create(uint32_t type, void *previous = nullptr) {
    void *v = previous;
    EXPECT_EQ(lib.Create(&v, type, hostDir.get()).popped, 12u) << "type " << type;
    return v;
  }
  TDriverLibrary lib;
  TConstString hostDir{TempHostDir("host")};
};

TEST_F(Spine, Type22GivesAnInterfaceWithTwoReferences) {
  void *d = Create(22);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(AddRef(d), 3u);
  EXPECT_EQ(Release(d), 2u);
  // Releasing the host's reference leaves the library's: the object lives on.
  EXPECT_EQ(Release(d), 1u);
}

TEST_F(Spine, OnlyTheLowByteOfTheTypeCounts) {
  void *d = Create(0x116);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(AddRef(d), 3u);
  Release(d);
  Release(d);
}

TEST_F(Spine, TypesNotServedGiveNilAndReleaseThePreviousReference) {
  for (uint32_t type : {0u, 46u, 47u, 200u, 0x117u}) {
    void *d = Create(22);
    ASSERT_NE(d, nullptr);
    AddRef(d); // our own extra reference, to watch the count: 3
    EXPECT_EQ(Create(type, d), nullptr) << type;
    // The variable's reference went: table and ours remain.
    EXPECT_EQ(AddRef(d), 3u) << type;
    Release(d);
    Release(d);
  }
}

TEST_F(Spine, SecondObjectReplacesTheTableEntry) {
  void *a = Create(22);
  void *b = Create(22);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  // The table let go of the first: only the host's reference is left.
  EXPECT_EQ(AddRef(a), 2u);
  EXPECT_EQ(Release(a), 1u);
  EXPECT_EQ(AddRef(b), 3u);
  Release(b);
  TDebugCapture cap;
  EXPECT_EQ(Release(a), 0u); // the first object goes now
  EXPECT_EQ(cap.Matching("Destroy Start"), std::vector<std::string>{"ZQ>>TtarnwickDvr Destroy Start"});
  Release(b);
}

TEST_F(Spine, QueryInterfaceGivesTheTwoInterfacesOfOneObjectAndNoOther) {
  void *d = Create(22);
  ASSERT_NE(d, nullptr);
  void *same = nullptr, *unknown = nullptr, *other = reinterpret_cast<void *>(1);
  EXPECT_EQ(QueryInterface(d, IID_Driver, &same), S_OK);
  EXPECT_EQ(same, d);
  EXPECT_EQ(QueryInterface(d, IID_Unknown, &unknown), S_OK);
  ASSERT_NE(unknown, nullptr);
  EXPECT_NE(unknown, d);
  EXPECT_EQ(QueryInterface(d, IID_Other, &other), static_cast<HRESULT>(0x80004002));
  EXPECT_EQ(other, nullptr);
  // Both pointers count on the one object: table + host + 2 queries.
  EXPECT_EQ(AddRef(unknown), 5u);
  EXPECT_EQ(Release(unknown), 4u);
  // The basic interface answers for the driver interface too.
  void *back = nullptr;
  EXPECT_EQ(QueryInterface(unknown, IID_Driver, &back), S_OK);
  EXPECT_EQ(back, d);
  Release(back);
  Release(unknown);
  Release(same);
  EXPECT_EQ(Release(d), 1u);
}

TEST_F(Spine, ConstructionCreatesTheHostDirectoryWithItsParents) {
  for (const char *p : {"nested\\a\\b", "nested\\a", "nested"}) RemoveDirectoryA(TempHostDir(p).c_str());
  const std::string dir = TempHostDir("nested\\a\\b");
  TConstString s(dir);
  void *v = nullptr;
  lib.Create(&v, 22, s.get());
  ASSERT_NE(v, nullptr);
  const DWORD a = GetFileAttributesA(dir.c_str());
  ASSERT_NE(a, INVALID_FILE_ATTRIBUTES) << dir;
  EXPECT_EQ(a & FILE_ATTRIBUTE_DIRECTORY, DWORD(FILE_ATTRIBUTE_DIRECTORY)) << dir;
  Release(v);
}

TEST_F(Spine, UnloadDestroysAnObjectTheHostReleasedWithItsLinesInOrder) {
  void *d = Create(22);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Release(d), 1u);
  TDebugCapture cap;
  lib.Unload();
  const std::vector<std::string> expected = {
      "ZQ>>TtarnwickDvr Destroy Start", "ZQ>>TtarnwickDvr Destroy end0",
      "ZQ>>TtarnwickDvr Destroy end1",  "ZQ>>TtarnwickDvr End2",
      "ZQ>>TtarnwickDvr Destroy1 End3", "ZQ>>TtarnwickDvr Destroy1 End4",
      "ZQ>>TtarnwickDvr Destroy1 End5"};
  EXPECT_EQ(cap.Matching("ZQ>>TtarnwickDvr"), expected);
}

struct TReleaseJob {
  void *intf;
  ULONG result;
};

DWORD WINAPI ReleaseOnWorker(void *p) {
  auto *j = static_cast<TReleaseJob *>(p);
  j->result = Release(j->intf);
  return 0;
}

TEST_F(Spine, LastReleaseOnAWorkerWhileTheMainThreadWaitsForIt) {
  void *d = Create(22);
  ASSERT_NE(d, nullptr);
  // A second object takes the table's reference: the host's is the first one's last.
  void *other = Create(22);
  ASSERT_NE(other, nullptr);
  TReleaseJob job{d, 99};
  HANDLE h = CreateThread(nullptr, 0, ReleaseOnWorker, &job, 0, nullptr);
  // The main thread blocks without pumping messages, as a console host would.
  EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0) << "destruction deadlocked";
  CloseHandle(h);
  EXPECT_EQ(job.result, 0u);
  Release(other);
}

TEST(SpineLoad, BannerAndSharedHeapWindow) {
  const std::string title = TSharedHeap::WindowTitle();
  TDebugCapture cap;
  {
    TDriverLibrary lib;
    ASSERT_TRUE(lib.Loaded()) << "TMDvs.dll: error " << GetLastError();
    HWND w = FindWindowA("STATIC", title.c_str());
    ASSERT_NE(w, nullptr) << "the library publishes the shared heap";
    EXPECT_NE(GetWindowLongA(w, GWL_USERDATA), 0);
    EXPECT_EQ(GetWindowLongA(w, GWL_STYLE) & WS_VISIBLE, 0);
  }
  // The window goes with the library that made it.
  EXPECT_EQ(FindWindowA("STATIC", title.c_str()), nullptr);
  std::vector<std::string> banners; // the stamped lines, without their stamps
  for (const auto &l : cap.Matching("| zq>>")) banners.push_back(l.substr(l.find("| ") + 2));
  EXPECT_EQ(banners, std::vector<std::string>{"zq>>" + std::string(43, 'd') + std::string(51, '-')});
}

TEST(SpineLoad, AdoptsAnExistingSharedHeapWindow) {
  const std::string title = TSharedHeap::WindowTitle();
  static const void *fakeTable[6] = {};
  HWND mine = CreateWindowExA(0, "STATIC", title.c_str(), 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(mine, nullptr);
  SetWindowLongA(mine, GWL_USERDATA, reinterpret_cast<LONG>(fakeTable));
  {
    TDriverLibrary lib;
    ASSERT_TRUE(lib.Loaded()) << "TMDvs.dll: error " << GetLastError();
    // No second window: the library joined the one there was.
    EXPECT_EQ(FindWindowA("STATIC", title.c_str()), mine);
    EXPECT_EQ(FindWindowExA(nullptr, mine, "STATIC", title.c_str()), nullptr);
  }
  EXPECT_EQ(FindWindowA("STATIC", title.c_str()), mine) << "a window the library did not make stays";
  EXPECT_EQ(GetWindowLongA(mine, GWL_USERDATA), reinterpret_cast<LONG>(fakeTable));
  DestroyWindow(mine);
}

DWORD HandleCount() {
  DWORD n = 0;
  GetProcessHandleCount(GetCurrentProcess(), &n);
  return n;
}

SIZE_T PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX pmc{};
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&pmc), sizeof pmc);
  return pmc.PrivateUsage;
}

TEST(SpineLoad, RepeatedLoadCreateReleaseUnloadDoesNotGrow) {
  const TConstString dir(TempHostDir("cycles"));
  auto cycle = [&] {
    TDriverLibrary lib;
    void *d = nullptr;
    lib.Create(&d, 22, dir.get());
    if (d) Release(d);
  };
  for (int i = 0; i < 3; ++i) cycle(); // warm up the loader's own caches
  const int threads = NTest::ThreadCount();
  const DWORD handles = HandleCount();
  const SIZE_T bytes = PrivateBytes();
  for (int i = 0; i < 30; ++i) cycle();
  EXPECT_LE(NTest::ThreadCount(), threads);
  EXPECT_LE(HandleCount(), handles + 2);
  EXPECT_LT(PrivateBytes(), bytes + 2 * 1024 * 1024) << "grew by " << (PrivateBytes() - bytes);
}

TEST(SpineProcess, ExitWhileTheHostHoldsAReference) {
  EXPECT_EQ(NTest::Describe(NTest::RunChild("spine_child.exe", "hold")), "exit 7");
}

} // namespace
