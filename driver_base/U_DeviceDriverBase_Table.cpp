// U_DeviceDriverBase_Table.cpp - the server table: lookup, registration and
// removal, the record and channel-configuration operations, and the
// configuration file that carries the table from one run to the next.
//
// Locking: TableLock guards the shape of DvrList and ChannelTable (growth,
// replacement of a server's channel array) and the registration of records.
// Readers walk the tables under the shared lock; nothing is called out of
// this unit while the lock is held, so it never nests.
#include "driver_base/U_DeviceDriverBase.h"
#include "support/U_DebugLog.h"
#include "support/U_Errors.h"
#include "support/U_HostTypes.h"
#include "support/WinApi.h"
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t ByIdBit = 0x40000000;

// The server key of the table: address against DvrIP or DvrDomain plus the
// port, or the identity when bit 30 of the port is set.
bool KeyMatches(const TDvrInfo &d, std::string_view address, int32_t port) {
  if (port & ByIdBit) return d.DvrId == (port & ~ByIdBit);
  if (d.Port != port) return false;
  const size_t ipLen = std::min<size_t>(d.DvrIP.Len, sizeof d.DvrIP.Chars);
  const size_t domainLen = std::min<size_t>(d.DvrDomain.Len, sizeof d.DvrDomain.Chars);
  return address == std::string_view(d.DvrIP.Chars, ipLen) ||
         address == std::string_view(d.DvrDomain.Chars, domainLen);
}

// The characters of a short string read up to the first zero byte, never
// beyond the capacity.
template <size_t N> std::string ZeroTerminated(const TShortString<N> &s) {
  const void *z = std::memchr(s.Chars, 0, N);
  return std::string(s.Chars, z ? static_cast<const char *>(z) - s.Chars : N);
}

int32_t MaxChannelCount(const TDvrInfo &d) {
  return std::max({d.VideoNum, d.AlarmInNum, d.AlarmOutNum});
}

uint8_t *Bytes(TDvrInfo &d) { return reinterpret_cast<uint8_t *>(&d); }
const uint8_t *Bytes(const TDvrInfo &d) { return reinterpret_cast<const uint8_t *>(&d); }
uint8_t *Persisted(TDvrChannelInfo &c) { return reinterpret_cast<uint8_t *>(&c) + ChannelPersistOffset; }

[[noreturn]] void RaiseFileError(const std::string &what, const std::string &path, uint32_t code) {
  throw EInOutError(what + " " + path, code);
}

} // namespace

// ---------------------------------------------------------------- channel arrays

TChannelArray::TChannelArray(int32_t dvrIndex, int32_t count) {
  if (count <= 0) return;
  Records = static_cast<TDvrChannelInfo *>(std::calloc(static_cast<size_t>(count), sizeof(TDvrChannelInfo)));
  if (!Records) throw EOutOfMemory();
  Count = count;
  for (int32_t c = 0; c < count; ++c) {
    TDvrChannelInfo &r = Records[c];
    r.DvrIndex = dvrIndex;
    r.ChannelNo = c;
    r.ChannelHandle = -1;
    r.Reserved12[0] = r.Reserved12[1] = r.Reserved12[2] = -1;
    r.HeaderPending = 1;
  }
}

TChannelArray::~TChannelArray() {
  for (int32_t c = 0; c < Count; ++c) std::free(Records[c].FrameBuffer);
  std::free(Records);
}

// ---------------------------------------------------------------- lookup

int32_t TDeviceDriverBase::FindDvr(std::string_view address, int32_t port, bool requireOnLine,
                                   bool requireNotDeleted) {
  TSharedGuard g(TableLock);
  for (size_t i = 0; i < DvrList.size(); ++i) {
    const TDvrInfo &d = *DvrList[i];
    if (!KeyMatches(d, address, port)) continue;
    // The first matching record decides, even when it fails a condition.
    if (requireOnLine && d.LoginHandle < MinLoginHandle) return -1;
    if (requireNotDeleted && d.Deleted != 0) return -1;
    return static_cast<int32_t>(i);
  }
  return -1;
}

int32_t TDeviceDriverBase::FindDvrByLoginHandle(int32_t handle) {
  TSharedGuard g(TableLock);
  for (size_t i = 0; i < DvrList.size(); ++i)
    if (DvrList[i]->LoginHandle == handle && DvrList[i]->Deleted == 0) return static_cast<int32_t>(i);
  return -1;
}

int32_t TDeviceDriverBase::DvrCount() {
  TSharedGuard g(TableLock);
  return static_cast<int32_t>(DvrList.size());
}

TDvrInfo *TDeviceDriverBase::DvrRecord(int32_t index) {
  TSharedGuard g(TableLock);
  return index >= 0 && static_cast<size_t>(index) < DvrList.size() ? DvrList[index].get() : nullptr;
}

TChannelArrayRef TDeviceDriverBase::Channels(int32_t index) {
  TSharedGuard g(TableLock);
  return index >= 0 && static_cast<size_t>(index) < ChannelTable.size() ? ChannelTable[index] : nullptr;
}

// ---------------------------------------------------------------- registration

bool TDeviceDriverBase::ORVA_Device_AddDvr(const TDvrInfo *info) {
  if (!info) return false;
  // 1: a private copy; the host's record is never changed.
  TDvrInfo copy;
  std::memcpy(&copy, info, sizeof copy);
  // 2: resolution of the address as the host gave it.
  std::string resolved;
  if (copy.ById == 0) {
    const std::string given = ZeroTerminated(copy.DvrIP);
    resolved = PublicUnit ? PublicUnit->ResolveHost(given) : given;
    if (resolved != given) {
      std::memset(&copy.DvrDomain, 0, sizeof copy.DvrDomain);
      copy.DvrDomain.Assign(given);
    }
  }
  // 3
  const int32_t key = copy.ById ? (copy.DvrId | ByIdBit) : copy.Port;
  const std::string hostAddress = copy.DvrIP.Text();

  // 8 (allocation first, outside the lock: a 16-channel server needs 8.8 MB)
  auto fresh = std::make_shared<TChannelArray>(-1, MaxChannelCount(copy));

  // A deleted record about to be reused may still have a live login (a
  // removal does not end it): end it first, so that no old callback reaches
  // the new record's channels.
  {
    const int32_t old = FindDvr(hostAddress, key, false, false);
    if (old >= 0 && DvrRecord(old)->Deleted != 0) EndServer(old);
  }

  TExclusiveGuard g(TableLock);
  // 4: the first record with this key decides.
  int32_t i = -1;
  for (size_t k = 0; k < DvrList.size(); ++k)
    if (KeyMatches(*DvrList[k], hostAddress, key)) {
      i = static_cast<int32_t>(k);
      break;
    }
  if (i >= 0 && DvrList[i]->Deleted == 0) return false;
  if (i < 0) {
    DvrList.push_back(std::make_unique<TDvrInfo>());
    std::memset(DvrList.back().get(), 0, sizeof(TDvrInfo));
    ChannelTable.push_back(std::make_shared<TChannelArray>(-1, 0));
    i = static_cast<int32_t>(DvrList.size() - 1);
  }

  // 5-7: build the record completely, then put it in place in one copy, so a
  // reader never sees it half-written.
  TDvrInfo r;
  std::memcpy(&r, &copy, sizeof r);
  std::memset(&r.DvrIP, 0, sizeof r.DvrIP);
  r.DvrIP.Assign(resolved);
  r.Deleted = 0;
  std::memset(r.HostValues, 0, sizeof r.HostValues);
  r.HostValues[0] = -1; // offset 156
  r.HostValues[4] = 5;  // offset 172

  // 8: the channel records get their index.
  for (int32_t c = 0; c < fresh->Count; ++c) (*fresh)[c].DvrIndex = i;

  // 9: settings saved by an earlier run.
  const int32_t savedKey = r.ById ? (r.DvrId | ByIdBit) : r.Port;
  const std::string savedAddress = r.DvrIP.Text();
  for (size_t f = 0; f < SavedDvrList.size(); ++f) {
    const TDvrInfo &s = SavedDvrList[f];
    if (!KeyMatches(s, savedAddress, savedKey)) continue;
    std::memcpy(Bytes(r) + 160, Bytes(s) + 160, 16);
    std::memcpy(r.HostBlock, s.HostBlock, sizeof r.HostBlock);
    const TSavedChannels *saved = f < SavedChannelTable.size() ? &SavedChannelTable[f] : nullptr;
    for (int32_t c = 0; saved && c < r.VideoNum && c < s.VideoNum; ++c) {
      // A file not written by this driver may hold fewer records: stop there.
      if (c >= saved->Count || c >= fresh->Count) break;
      std::memcpy(Persisted((*fresh)[c]), saved->Persisted(c), ChannelPersistSize);
    }
    break;
  }

  std::memcpy(DvrList[i].get(), &r, sizeof r);
  // The array being replaced stays alive for whoever still holds a reference
  // (an ended session whose callbacks may not all have left).
  ChannelTable[i] = std::move(fresh);

  // 10: the first status callback is kept.
  if (!StatusCallback.Assigned()) StatusCallback = copy.StatusCallback;
  return true;
}

bool TDeviceDriverBase::ORVA_Device_DelDvr(const char *address, int32_t port) {
  const std::string_view a = NHostString::View(address);
  const int32_t i = FindDvr(a, port, false, true);
  if (i < 0) return true;
  DebugLine("ZQ>>TTarnwickDvr ORVA_Device_DelDvr IP: " + std::string(a));
  CloseServer(i, true);
  DvrRecord(i)->Deleted = 1;
  return true;
}

void TDeviceDriverBase::CloseServer(int32_t index, bool logOut) {
  const TDvrInfo *d = DvrRecord(index);
  if (!d) return;
  // ORVA_Device_CloseDvr takes a host string: give it the record's address as one.
  const NHostString::TTemporary ip(d->DvrIP.Text());
  ORVA_Device_CloseDvr(ip.get(), d->Port, logOut);
}

void TDeviceDriverBase::EndServer(int32_t) {}

bool TDeviceDriverBase::ORVA_Device_RemoveDvr(const char *address, int32_t port) {
  const int32_t i = FindDvr(NHostString::View(address), port, false, true);
  if (i < 0) return false;
  const bool result = ORVA_Device_Reserved40(address, port);
  DvrRecord(i)->Deleted = 1;
  return result;
}

// ---------------------------------------------------------------- record access

bool TDeviceDriverBase::ORVA_Device_GetDvrInfo(const char *address, int32_t port, TDvrInfo *info) {
  const int32_t i = FindDvr(NHostString::View(address), port, true, true);
  if (i < 0 || !info) return false;
  std::memcpy(info, DvrRecord(i), sizeof *info);
  return true;
}

bool TDeviceDriverBase::ORVA_Device_GetDvrLoginInfo(const char *address, int32_t port, TDvrInfo *info) {
  const std::string a(NHostString::View(address));
  DebugLine("ZQ>>ORVA_Device_GetDvrLoginInfo IP:" + a + " Port:" + std::to_string(port));
  const int32_t i = FindDvr(a, port, false, true);
  if (i < 0) return false;
  TDvrInfo *d = DvrRecord(i);
  d->OnLine = d->LoginHandle >= MinLoginHandle ? 1 : 0;
  DebugLine("ZQ>>ORVA_Device_GetDvrLoginInfo IP:" + a + " Port:" + std::to_string(port) +
            " OnLine:" + std::to_string(d->OnLine));
  if (!info) return false;
  std::memcpy(info, d, sizeof *info);
  return true;
}

bool TDeviceDriverBase::ORVA_Device_IsDvrOnLine(const char *address, int32_t port) {
  return FindDvr(NHostString::View(address), port, true, true) != -1;
}

bool TDeviceDriverBase::ORVA_Device_SetDvrChannelConfig(const char *address, int32_t port,
                                                        int32_t channel, const void *config) {
  const int32_t i = FindDvr(NHostString::View(address), port, false, true);
  if (i < 0 || !config) return false;
  const TChannelArrayRef channels = Channels(i);
  if (!channels || !channels->Has(channel)) return false;
  std::memcpy((*channels)[channel].ChannelConfig, config, ChannelConfigSize);
  return true;
}

bool TDeviceDriverBase::ORVA_Device_GetDvrChannelConfig(const char *address, int32_t port,
                                                        int32_t channel, void *config) {
  const int32_t i = FindDvr(NHostString::View(address), port, false, true);
  if (i < 0 || !config) return false;
  const TChannelArrayRef channels = Channels(i);
  if (!channels || !channels->Has(channel)) return false;
  std::memcpy(config, (*channels)[channel].ChannelConfig, ChannelConfigSize);
  return true;
}

// ---------------------------------------------------------------- configuration file

bool TDeviceDriverBase::ORVA_Device_LoadDvrTable() { return LoadDvrTable(); }
bool TDeviceDriverBase::ORVA_Device_SaveDvrTable() { return SaveDvrTable(); }

bool TDeviceDriverBase::LoadDvrTable() {
  // 1-2
  if (!NWin::NFile::FileExists(ConfigFile)) return false;
  NWin::NFile::TSequentialFile file;
  uint32_t error = 0;
  if (!file.OpenRead(ConfigFile, &error)) RaiseFileError("Cannot open", ConfigFile, error);
  const int64_t size = file.Size();
  if (size < 0) RaiseFileError("Cannot read", ConfigFile, NWin::NSystem::LastError());
  if (size == 0) return false;
  int64_t left = size;
  // Reading past the end gives fewer bytes; a read that fails is the file error.
  auto read = [&](void *p, size_t n) {
    size_t got = 0;
    if (!file.Read(p, n, got, &error)) RaiseFileError("Cannot read", ConfigFile, error);
    left -= static_cast<int64_t>(got);
    return got;
  };
  // A count is believed only when what it announces fits in the bytes that
  // follow; anything else is a damaged or foreign file.
  auto checkCount = [&](int32_t count, int64_t pieceSize, const char *what) {
    if (count < 0 || count * pieceSize > left)
      throw EInOutError(std::string("Corrupt configuration file ") + ConfigFile + ": " + what + " " +
                            std::to_string(count),
                        ERROR_FILE_CORRUPT);
  };

  // A first walk over the counts alone: a damaged count raises before any
  // saved list has changed.
  int32_t n = 0;
  read(&n, 4);
  checkCount(n, sizeof(TDvrInfo), "server count");
  {
    int64_t at = 4 + static_cast<int64_t>(n) * static_cast<int64_t>(sizeof(TDvrInfo));
    left = size - at;
    for (int32_t i = 0; i < n && left >= 4; ++i) {
      int32_t c = 0;
      if (!file.Seek(at)) RaiseFileError("Cannot read", ConfigFile, NWin::NSystem::LastError());
      read(&c, 4);
      at += 4;
      if (c <= 0) continue;
      checkCount(c, ChannelPersistSize, "channel count");
      at += static_cast<int64_t>(c) * ChannelPersistSize;
      left = size - at;
    }
    if (!file.Seek(4)) RaiseFileError("Cannot read", ConfigFile, NWin::NSystem::LastError());
    left = size - 4;
  }
  // 3: the server count (a file shorter than 4 bytes leaves it 0).
  TExclusiveGuard g(TableLock);
  SavedDvrList.resize(static_cast<size_t>(n));
  SavedChannelTable.resize(static_cast<size_t>(n));
  // 4: the server records, as one block.
  if (n > 0) read(SavedDvrList.data(), sizeof(TDvrInfo) * static_cast<size_t>(n));
  // 5: per server its channel blocks.
  for (int32_t i = 0; i < n; ++i) {
    int32_t c = 0;
    if (read(&c, 4) < 4) break; // the file ends here: the rest stays as it was
    if (c <= 0) continue;
    checkCount(c, ChannelPersistSize, "channel count");
    // The server's channel records in one block, read in one piece.
    auto &saved = SavedChannelTable[i];
    const size_t bytes = static_cast<size_t>(c) * ChannelPersistSize;
    if (saved.Count == c && saved.Block) {
      // As many records as before: read over them where they are (bytes
      // the file does not hold stay as they were).
      read(saved.Block.get(), bytes);
      continue;
    }
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[bytes]);
    if (!block) throw EOutOfMemory();
    const size_t got = read(block.get(), bytes);
    if (got < bytes) {
      // Bytes the file does not hold stay as they were: the server's earlier
      // saved records where it had them, zero beyond.
      const size_t kept = std::min(bytes, saved.size() * ChannelPersistSize);
      if (got < kept) std::memcpy(block.get() + got, saved.Block.get() + got, kept - got);
      const size_t from = std::max(got, kept);
      std::memset(block.get() + from, 0, bytes - from);
    }
    saved.Block = std::move(block);
    saved.Count = c;
  }
  return true;
}

bool TDeviceDriverBase::SaveDvrTable() {
  NWin::NFile::TSequentialFile file;
  uint32_t error = 0;
  if (!file.Create(ConfigFile, &error)) RaiseFileError("Cannot create", ConfigFile, error);
  auto write = [&](const void *p, size_t n) {
    if (!file.Write(p, n, &error)) RaiseFileError("Cannot write", ConfigFile, error);
  };
  TSharedGuard g(TableLock);
  // 1-2: the count, then every record as it stands, deleted ones included.
  const int32_t n = static_cast<int32_t>(DvrList.size());
  write(&n, 4);
  for (const auto &d : DvrList) write(d.get(), sizeof(TDvrInfo));
  // 3: per server its channel records' persisted range.
  for (const auto &channels : ChannelTable) {
    const int32_t c = channels ? channels->Count : 0;
    write(&c, 4);
    for (int32_t j = 0; j < c; ++j) write(Persisted((*channels)[j]), ChannelPersistSize);
  }
  return true;
}
