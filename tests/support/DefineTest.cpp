// Shared definitions: tables, family sets and record layouts the host relies on.
#include "support/U_Define.h"
#include <gtest/gtest.h>

namespace {

TEST(Define, Row22Tables) {
  EXPECT_STREQ(TypeTableText(DriverSystemDirs, 22), "\\System\\ZEZov\\");
  EXPECT_STREQ(TypeTableText(DriverConfigFiles, 22), "");
  EXPECT_STREQ(TypeTableText(DriverConfigFiles, 0), "");
  EXPECT_STREQ(TypeTableText(DriverSystemDirs, 46), "");
  EXPECT_STREQ(TypeTableText(DriverSystemDirs, 200), "");
  // "图敏视频服务器" in GBK.
  EXPECT_EQ(std::string(TypeTableText(DriverTypeNames, 22)),
            "\xCD\xBC\xC3\xF4\xCA\xD3\xC6\xB5\xB7\xFE\xCE\xF1\xC6\xF7");
}

TEST(Define, OfflineTickIsTheUnalignedWordAt1294) {
  TDvrInfo d{};
  SetOfflineTick(d, 0xA1B2C3D4u);
  const auto *b = reinterpret_cast<const uint8_t *>(&d);
  EXPECT_EQ(b[1294], 0xD4);
  EXPECT_EQ(b[1297], 0xA1);
  EXPECT_EQ(GetOfflineTick(d), 0xA1B2C3D4u);
}

TEST(Define, ShortStringCutsToCapacity) {
  TDvrInfo d{};
  d.DvrIP.Assign(std::string(60, 'x'));
  EXPECT_EQ(d.DvrIP.Len, 40);
  EXPECT_EQ(d.DvrIP.Text(), std::string(40, 'x'));
  d.UserName.Len = 200; // a length byte that lies
  EXPECT_EQ(d.UserName.Text().size(), 15u);
}

} // namespace
