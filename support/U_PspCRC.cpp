// U_PspCRC.cpp - file checksums in 8192-byte blocks.
#include "support/U_PspCRC.h"
#include "support/WinHandle.h"
#include <array>

namespace {

template <typename T> constexpr std::array<T, 256> MakeTable(T reflectedPoly) {
  std::array<T, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    T c = static_cast<T>(i);
    for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<T>((c >> 1) ^ reflectedPoly) : static_cast<T>(c >> 1);
    t[i] = c;
  }
  return t;
}

constexpr auto Crc16Table = MakeTable<uint16_t>(0xA001);
constexpr auto Crc32Table = MakeTable<uint32_t>(0xEDB88320u);

// Lets the calling thread's pending window messages be handled between blocks.
void PumpMessages() {
  MSG m;
  while (::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&m);
    ::DispatchMessageA(&m);
  }
}

} // namespace

uint16_t TPSPCrc::UpdateCrc16(uint16_t crc, const uint8_t *data, size_t size) {
  for (size_t i = 0; i < size; ++i) crc = Crc16Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t TPSPCrc::UpdateCrc32(uint32_t crc, const uint8_t *data, size_t size) {
  for (size_t i = 0; i < size; ++i) crc = Crc32Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

void TPSPCrc::SetFilename(const std::string &name) {
  filename_ = name;
  if (InstantCRC) Calculate();
}

void TPSPCrc::Calculate() {
  if (!filename_.empty()) CalculateFile(filename_);
}

void TPSPCrc::CalculateFile(const std::string &name) {
  CRC16 = 0;
  CRC32 = 0;
  if (CRCType == ctCRC16) CRC16 = 0xFFFF;
  else CRC32 = 0xFFFFFFFFu;

  bool ok = false;
  {
    NWin::TUniqueFile f(::CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (f) {
      ok = true;
      for (;;) {
        LARGE_INTEGER size, pos, zero{};
        if (!::GetFileSizeEx(f.get(), &size) ||
            !::SetFilePointerEx(f.get(), zero, &pos, FILE_CURRENT)) {
          ok = false;
          break;
        }
        if (pos.QuadPart == size.QuadPart) break;
        DWORD got = 0;
        if (!::ReadFile(f.get(), buffer_, BlockSize, &got, nullptr)) {
          ok = false;
          break;
        }
        if (got == 0) break; // shrunk under us: what the loop saw is all there is
        if (CRCType == ctCRC16) CRC16 = UpdateCrc16(CRC16, buffer_, got);
        else CRC32 = UpdateCrc32(CRC32, buffer_, got);
        if (ProcessMessages) PumpMessages();
      }
    }
  }
  if (!ok) {
    CRC16 = 0;
    CRC32 = 0;
    if (OnError) OnError(this);
    return;
  }
  if (CRCType == ctCRC16) CRC16 = static_cast<uint16_t>(~CRC16);
  else CRC32 = ~CRC32;
  if (OnDone) OnDone(this);
}
