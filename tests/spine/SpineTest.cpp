// The library as a host meets it: load, factory, reference counting through
// positions 0-2, the shared-heap window, destruction and unload cycles.
#include "hostkit/DebugCapture.h"
#include "common/Process.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <cstring>
#include <string>
#include <vector>

namespace {
using NTest::ExeDir;
using NTest::ThreadCount;

using TCreateDevice = void(__stdcall *)(void **, uint32_t, const char *);
using TQueryInterface = HRESULT(__stdcall *)(void *, const GUID *, void **);
using TRefFn = ULONG(__stdcall *)(void *);

const GUID IID_Driver = {0x5584A661, 0x2311, 0x44C1, {0x97, 0xB2, 0x10, 0x78, 0xE0, 0x23, 0x83, 0x79}};
const GUID IID_Unknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID IID_Other = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

// A constant host string (reference count -1): the driver must only read it.
struct TConstString {
  std::vector<char> block;
  explicit TConstString(const std::string &s) : block(8 + s.size() + 1, 0) {
    const int32_t rc = -1, len = static_cast<int32_t>(s.size());
    std::memcpy(block.data(), &rc, 4);
    std::memcpy(block.data() + 4, &len, 4);
    std::memcpy(block.data() + 8, s.data(), s.size());
  }
  const char *get() const { return block.data() + 8; }
};

ULONG AddRef(void *i) { return reinterpret_cast<TRefFn>((*static_cast<void ***>(i))[1])(i); }
ULONG Release(void *i) { return reinterpret_cast<TRefFn>((*static_cast<void ***>(i))[2])(i); }
HRESULT QueryInterface(void *i, const GUID &iid, void **out) {
  return reinterpret_cast<TQueryInterface>((*static_cast<void ***>(i))[0])(i, &iid, out);
}

struct TLibrary {
  HMODULE module = nullptr;
  TCreateDevice create = nullptr;
  TLibrary() {
    module = LoadLibraryA((ExeDir() + "TMDvs.dll").c_str());
    if (module) create = reinterpret_cast<TCreateDevice>(GetProcAddress(module, "ORVA_CreateDevice"));
  }
  ~TLibrary() { Unload(); }
  void Unload() {
    if (module) FreeLibrary(module);
    module = nullptr;
  }
};

std::string TempHostDir(const std::string &name) {
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  return std::string(tmp) + "tm_spine\\" + name;
}

class Spine : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_NE(lib.module, nullptr) << GetLastError();
    ASSERT_NE(lib.create, nullptr);
  }
  void *Create(uint32_t type, void *previous = nullptr) {
    void *v = previous;
    lib.create(&v, type, hostDir.get());
    return v;
  }
  TLibrary lib;
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
  for (uint32_t type : {0u, 46u, 47u, 200u}) {
    void *d = Create(22);
    ASSERT_NE(d, nullptr);
    AddRef(d); // our own extra reference, to watch the count: 3
    void *v = Create(type, d);
    EXPECT_EQ(v, nullptr) << type;
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
  NHostKit::TDebugCapture cap;
  EXPECT_EQ(Release(a), 0u); // the first object goes now
  EXPECT_EQ(cap.Matching("Destroy Start").size(), 1u);
  Release(b);
}

TEST_F(Spine, QueryInterface) {
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
  const std::string dir = TempHostDir("nested\\a\\b");
  RemoveDirectoryA(dir.c_str());
  TConstString s(dir);
  void *v = nullptr;
  lib.create(&v, 22, s.get());
  ASSERT_NE(v, nullptr);
  const DWORD a = GetFileAttributesA(dir.c_str());
  EXPECT_NE(a, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(a & FILE_ATTRIBUTE_DIRECTORY);
  Release(v);
}

TEST_F(Spine, UnloadDestroysAnObjectTheHostReleasedWithItsLinesInOrder) {
  void *d = Create(22);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Release(d), 1u);
  NHostKit::TDebugCapture cap;
  lib.Unload();
  const std::vector<std::string> expected = {
      "ZQ>>TtarnwickDvr Destroy Start", "ZQ>>TtarnwickDvr Destroy end0",
      "ZQ>>TtarnwickDvr Destroy end1",  "ZQ>>TtarnwickDvr End2",
      "ZQ>>TtarnwickDvr Destroy1 End3", "ZQ>>TtarnwickDvr Destroy1 End4",
      "ZQ>>TtarnwickDvr Destroy1 End5"};
  std::vector<std::string> seen;
  for (const auto &l : cap.Lines())
    if (l.rfind("ZQ>>TtarnwickDvr", 0) == 0) seen.push_back(l);
  EXPECT_EQ(seen, expected);
}

TEST(SpineLoad, BannerAndSharedHeapWindow) {
  char title[64];
  sprintf(title, "%08lX_PID_FastMM_BE", GetCurrentProcessId());
  NHostKit::TDebugCapture cap;
  {
    TLibrary lib;
    ASSERT_NE(lib.module, nullptr);
    HWND w = FindWindowA("STATIC", title);
    ASSERT_NE(w, nullptr) << "the library publishes the shared heap";
    EXPECT_NE(GetWindowLongA(w, GWL_USERDATA), 0);
    EXPECT_FALSE(IsWindowVisible(w));
  }
  // The window goes with the library that made it.
  EXPECT_EQ(FindWindowA("STATIC", title), nullptr);
  auto banner = cap.Matching("| zq>>");
  ASSERT_EQ(banner.size(), 1u);
  EXPECT_EQ(banner[0].substr(banner[0].find("| ") + 2),
            "zq>>" + std::string(43, 'd') + std::string(51, '-'));
}

TEST(SpineLoad, AdoptsAnExistingSharedHeapWindow) {
  char title[64];
  sprintf(title, "%08lX_PID_FastMM_BE", GetCurrentProcessId());
  static const void *fakeTable[6] = {};
  HWND mine = CreateWindowExA(0, "STATIC", title, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(mine, nullptr);
  SetWindowLongA(mine, GWL_USERDATA, reinterpret_cast<LONG>(fakeTable));
  {
    TLibrary lib;
    ASSERT_NE(lib.module, nullptr);
    // No second window: the library joined the one there was.
    EXPECT_EQ(FindWindowExA(nullptr, mine, "STATIC", title), nullptr);
    EXPECT_EQ(FindWindowA("STATIC", title), mine);
  }
  EXPECT_TRUE(IsWindow(mine)) << "the library must not destroy a window it did not make";
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
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&pmc),
                       sizeof pmc);
  return pmc.PrivateUsage;
}

void Cycle(const TConstString &dir) {
  TLibrary lib;
  void *d = nullptr;
  lib.create(&d, 22, dir.get());
  if (d) Release(d);
}

TEST(SpineLoad, RepeatedLoadCreateReleaseUnloadDoesNotGrow) {
  TConstString dir(TempHostDir("cycles"));
  for (int i = 0; i < 3; ++i) Cycle(dir); // warm up the loader's own caches
  const int threads = ThreadCount();
  const DWORD handles = HandleCount();
  const SIZE_T bytes = PrivateBytes();
  for (int i = 0; i < 30; ++i) Cycle(dir);
  EXPECT_LE(ThreadCount(), threads);
  EXPECT_LE(HandleCount(), handles + 2);
  EXPECT_LT(PrivateBytes(), bytes + 2 * 1024 * 1024) << "grew by " << (PrivateBytes() - bytes);
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
  // Drop the table's reference by creating nothing over it: a nil type
  // replaces nothing, so release the table's through a second object.
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

TEST(SpineProcess, ExitWhileTheHostHoldsAReference) {
  EXPECT_EQ(NTest::Describe(NTest::RunChild("spine_child.exe", "hold")), "exit 7");
}

} // namespace
