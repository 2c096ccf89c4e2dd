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

TEST(Module, VersionResource) {
  const std::string path = ModulePath();
  DWORD dummy = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &dummy);
  ASSERT_GT(size, 0u);
  std::string buf(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, buf.data()));
  VS_FIXEDFILEINFO *fi = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueA(buf.data(), "\\", reinterpret_cast<void **>(&fi), &len));
  EXPECT_EQ(fi->dwFileVersionMS, 0x00060002u);
  EXPECT_EQ(fi->dwFileVersionLS, 0u);
  EXPECT_EQ(fi->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fi->dwProductVersionLS, 0u);
  struct TLangCp { WORD lang, cp; } *tr = nullptr;
  ASSERT_TRUE(VerQueryValueA(buf.data(), "\\VarFileInfo\\Translation",
                             reinterpret_cast<void **>(&tr), &len));
  ASSERT_GE(len, sizeof(TLangCp));
  EXPECT_EQ(tr->lang, 0x0804); // Chinese (PRC)
  EXPECT_EQ(tr->cp, 936);
  char *name = nullptr;
  ASSERT_TRUE(VerQueryValueA(buf.data(), "\\StringFileInfo\\080403A8\\ProductName",
                             reinterpret_cast<void **>(&name), &len));
  EXPECT_STREQ(name, "");
}

} // namespace
