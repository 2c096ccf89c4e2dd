// The driver module as the host finds it: loadable, exporting the factory by
// its plain name, and carrying its version resource.
#include "common/Process.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <string>

namespace {

std::string ModulePath() { return NTest::ExeDir() + "TMDvs.dll"; }

TEST(Module, ExportsTheFactoryByItsPlainName) {
  HMODULE m = LoadLibraryA(ModulePath().c_str());
  ASSERT_NE(m, nullptr) << "error " << GetLastError();
  EXPECT_NE(GetProcAddress(m, "ORVA_CreateDevice"), nullptr);
  EXPECT_EQ(GetProcAddress(m, "ORVA_CreateDevice@12"), nullptr);
  EXPECT_EQ(GetProcAddress(m, "_ORVA_CreateDevice@12"), nullptr);
  FreeLibrary(m);
}

TEST(Module, VersionResourceHoldsTheVersionsTheLanguageAndAnEmptyProductName) {
  const std::string path = ModulePath();
  DWORD dummy = 0;
  std::string buf(GetFileVersionInfoSizeA(path.c_str(), &dummy), '\0');
  ASSERT_NE(GetFileVersionInfoA(path.c_str(), 0, buf.size(), &buf[0]), FALSE) << "error " << GetLastError();
  UINT len = 0;
  // A value of the resource, or nil when it has none by that name.
  auto value = [&](const char *name) -> void * {
    void *p = nullptr;
    return VerQueryValueA(buf.data(), name, &p, &len) ? p : nullptr;
  };
  const auto *fi = static_cast<const VS_FIXEDFILEINFO *>(value("\\"));
  ASSERT_NE(fi, nullptr);
  EXPECT_EQ(fi->dwFileVersionMS, 0x00060002u);
  EXPECT_EQ(fi->dwFileVersionLS, 0u);
  EXPECT_EQ(fi->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fi->dwProductVersionLS, 0u);
  const auto *tr = static_cast<const WORD *>(value("\\VarFileInfo\\Translation"));
  ASSERT_NE(tr, nullptr);
  ASSERT_GE(len, 4u);
  EXPECT_EQ(tr[0], 0x0804); // Chinese (PRC)
  EXPECT_EQ(tr[1], 936);
  const auto *name = static_cast<const char *>(value("\\StringFileInfo\\080403A8\\ProductName"));
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "");
}

} // namespace
