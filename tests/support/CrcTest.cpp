// Reading files: TPSPCrc's published check values, empty and missing files,
// events; the sequential file's end and read errors.
#include "support/U_PspCRC.h"
#include "support/WinApi.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <cstdio>

namespace {

std::string TempFile(const std::string &name, const std::string &content) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  std::string path = std::string(dir) + name;
  FILE *f = fopen(path.c_str(), "wb");
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
  return path;
}

// A calculator that counts its events.
struct TCounted : TPSPCrc {
  int done = 0, error = 0;
  TCounted() {
    OnDone = [this](TPSPCrc *) { ++done; };
    OnError = [this](TPSPCrc *) { ++error; };
  }
};

TEST(Crc, CheckValuesOf123456789) {
  const std::string path = TempFile("tm_crc_check.txt", "123456789");
  TCounted c;
  c.CRCType = ctCRC16;
  c.CalculateFile(path);
  EXPECT_EQ(c.CRC16, 0xB4C8);
  EXPECT_EQ(c.CRC32, 0u);
  c.CRCType = ctCRC32;
  c.CalculateFile(path);
  EXPECT_EQ(c.CRC32, 0xCBF43926u);
  EXPECT_EQ(c.CRC16, 0u);
  EXPECT_EQ(c.done, 2);
  EXPECT_EQ(c.error, 0);
}

TEST(Crc, EmptyFileGivesZeroAndDone) {
  const std::string path = TempFile("tm_crc_empty.txt", "");
  for (TCRCType t : {ctCRC16, ctCRC32}) {
    TCounted c;
    c.CRCType = t;
    c.CRC16 = 7;
    c.CRC32 = 7;
    c.CalculateFile(path);
    EXPECT_EQ(c.CRC16 + c.CRC32, 0u) << "type " << t;
    EXPECT_EQ(c.done, 1);
  }
}

TEST(Crc, MissingFileRaisesOnErrorAndReturns) {
  TCounted c;
  c.CalculateFile("C:\\no\\such\\dir\\file.bin");
  EXPECT_EQ(c.error, 1);
  EXPECT_EQ(c.done, 0);
  EXPECT_EQ(c.CRC16 + c.CRC32, 0u);
}

TEST(Crc, FileLargerThanOneBlockMatchesTheInMemoryChecksum) {
  std::string content;
  for (int i = 0; i < 20000; ++i) content.push_back(static_cast<char>(i * 31 + (i >> 7)));
  const auto *bytes = reinterpret_cast<const uint8_t *>(content.data());
  TPSPCrc c;
  c.CalculateFile(TempFile("tm_crc_big.bin", content));
  const uint32_t expect = ~TPSPCrc::UpdateCrc32(0xFFFFFFFFu, bytes, content.size());
  EXPECT_EQ(c.CRC32, expect);
  // Split updates agree with one pass: blocks carry the state across.
  const uint32_t first = TPSPCrc::UpdateCrc32(0xFFFFFFFFu, bytes, 8192);
  EXPECT_EQ(~TPSPCrc::UpdateCrc32(first, bytes + 8192, content.size() - 8192), expect);
}

TEST(Crc, FilenameComputesOnlyWithInstantCrc) {
  const std::string path = TempFile("tm_crc_instant.txt", "123456789");
  TCounted c;
  c.Calculate(); // empty name: nothing at all
  EXPECT_EQ(c.done + c.error, 0);
  c.SetFilename(path);
  EXPECT_EQ(c.done, 0);
  EXPECT_EQ(c.CRC32, 0u);
  c.InstantCRC = true;
  c.SetFilename(path);
  EXPECT_EQ(c.done, 1);
  EXPECT_EQ(c.CRC32, 0xCBF43926u);
}

// The end of the file is no error; a read that fails (here: on a handle
// opened for writing only) is one, with the system's code.
TEST(SequentialFile, ReadingPastTheEndIsNoErrorAFailedReadIs) {
  const std::string path = TempFile("tm_sequential.bin", "abc");
  char buf[8] = {};
  size_t got = 99;
  uint32_t error = 0;
  NWin::NFile::TSequentialFile f;
  ASSERT_TRUE(f.OpenRead(path)) << path;
  EXPECT_TRUE(f.Read(buf, sizeof buf, got, &error)) << "error " << error;
  EXPECT_EQ(std::string(buf, got), "abc");
  ASSERT_TRUE(f.Create(path)) << path;
  EXPECT_FALSE(f.Read(buf, sizeof buf, got, &error)) << got << " bytes read";
  EXPECT_EQ(error, uint32_t(ERROR_ACCESS_DENIED));
  f.Close();
  DeleteFileA(path.c_str());
}

} // namespace
