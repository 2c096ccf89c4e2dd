// U_PspCRC.h - TPSPCrc: CRC-16/USB or CRC-32/ISO-HDLC over a whole file.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

enum TCRCType { ctCRC16 = 0, ctCRC32 = 1 };

class TPSPCrc {
public:
  using TNotifyEvent = std::function<void(TPSPCrc *sender)>;
  using TOnProgress = std::function<void(TPSPCrc *sender, int position)>;

  explicit TPSPCrc(void *owner = nullptr) {}

  const std::string &Filename() const { return filename_; }
  // Stores the name; computes at once when InstantCRC is set.
  void SetFilename(const std::string &name);

  bool InstantCRC = false;
  TCRCType CRCType = ctCRC32;
  uint16_t CRC16 = 0;
  uint32_t CRC32 = 0;
  bool ProcessMessages = false;
  TNotifyEvent OnError;
  TNotifyEvent OnDone;
  TOnProgress OnProgress; // declared; never raised

  void Calculate();
  void CalculateFile(const std::string &name);

  // One step of the table-driven checksums, for any run of bytes.
  static uint16_t UpdateCrc16(uint16_t crc, const uint8_t *data, size_t size);
  static uint32_t UpdateCrc32(uint32_t crc, const uint8_t *data, size_t size);

private:
  static constexpr size_t BlockSize = 8192;
  std::string filename_;
  uint8_t buffer_[BlockSize];
};
