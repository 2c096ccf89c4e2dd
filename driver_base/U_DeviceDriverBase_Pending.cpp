// U_DeviceDriverBase_Pending.cpp - operations of the driver base whose
// behaviour is not built yet. Each raises ENotBuilt (never EAbstractError, so
// it cannot pass for an unsupported position); each moves to its own unit
// when it is built.
#include "driver_base/U_DeviceDriverBase.h"
#include "support/U_Errors.h"
#include "support/WinApi.h"
#include <cstdlib>

TChannelArray::TChannelArray(int32_t dvrIndex, int32_t count) {
  if (count <= 0) return;
  Records = static_cast<TDvrChannelInfo *>(std::calloc(static_cast<size_t>(count), sizeof(TDvrChannelInfo)));
  if (!Records) throw EOutOfMemory();
  Count = count;
  for (int32_t c = 0; c < count; ++c) {
    Records[c].DvrIndex = dvrIndex;
    Records[c].ChannelNo = c;
  }
}
TChannelArray::~TChannelArray() { std::free(Records); }

int32_t TDeviceDriverBase::DvrCount() {
  AcquireSRWLockShared(&TableLock);
  const auto n = static_cast<int32_t>(DvrList.size());
  ReleaseSRWLockShared(&TableLock);
  return n;
}

bool TDeviceDriverBase::LoadDvrTable() {
  if (!NWin::NFile::FileExists(ConfigFile)) return false;
  throw ENotBuilt("LoadDvrTable");
}

#define NOT_BUILT(sig, name) sig { throw ENotBuilt(name); }
NOT_BUILT(int32_t TDeviceDriverBase::ORVA_Device_SetCallback(int32_t, TMethod), "ORVA_Device_SetCallback")
NOT_BUILT(int32_t TDeviceDriverBase::ORVA_Device_ClearCallback(int32_t), "ORVA_Device_ClearCallback")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_AddDvr(const TDvrInfo *), "ORVA_Device_AddDvr")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_DelDvr(const char *, int32_t), "ORVA_Device_DelDvr")
NOT_BUILT(bool TDeviceDriverBase::SetDefense(int, TDefenseFlag, int32_t, const char *, int32_t, int32_t), "SetDefense")
NOT_BUILT(int32_t TDeviceDriverBase::ORVA_Device_SetAuxCallback2(int32_t, TMethod), "ORVA_Device_SetAuxCallback2")
NOT_BUILT(int32_t TDeviceDriverBase::ORVA_Device_SetAuxCallback3(int32_t, TMethod), "ORVA_Device_SetAuxCallback3")
NOT_BUILT(int32_t TDeviceDriverBase::ORVA_Device_ListDvrFiles(const uint32_t[8], void **), "ORVA_Device_ListDvrFiles")
NOT_BUILT(int32_t TDeviceDriverBase::ORVA_Device_ListDvrFilesToBuffer(const uint32_t[8], void **, int32_t *), "ORVA_Device_ListDvrFilesToBuffer")
NOT_BUILT(void TDeviceDriverBase::ORVA_Device_GetAuxValue(int32_t *), "ORVA_Device_GetAuxValue")
NOT_BUILT(int32_t TDeviceDriverBase::ORVA_Device_SetHostFunctions(int32_t, TMethod, TMethod), "ORVA_Device_SetHostFunctions")
NOT_BUILT(int32_t TDeviceDriverBase::ORVA_Device_CallHostFunction1(int32_t, int32_t, int32_t), "ORVA_Device_CallHostFunction1")
NOT_BUILT(int32_t TDeviceDriverBase::ORVA_Device_CallHostFunction2(), "ORVA_Device_CallHostFunction2")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_FreeBuffer(void *, uint32_t, bool), "ORVA_Device_FreeBuffer")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_SetDvrChannelConfig(const char *, int32_t, int32_t, const void *), "ORVA_Device_SetDvrChannelConfig")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_GetDvrChannelConfig(const char *, int32_t, int32_t, void *), "ORVA_Device_GetDvrChannelConfig")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_IsDvrOnLine(const char *, int32_t), "ORVA_Device_IsDvrOnLine")
NOT_BUILT(void TDeviceDriverBase::GetDefenseState(int, TStateKind, const char *, int32_t, char **), "GetDefenseState")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_RemoveDvr(const char *, int32_t), "ORVA_Device_RemoveDvr")
// The reserved positions do nothing and answer 0.
int32_t TDeviceDriverBase::ORVA_Device_Reserved(int) { return 0; }
NOT_BUILT(int32_t TDeviceDriverBase::SetExtraCallback(int32_t, TMethod), "SetExtraCallback")
NOT_BUILT(int32_t TDeviceDriverBase::ClearExtraCallback(int32_t), "ClearExtraCallback")
NOT_BUILT(int32_t TDeviceDriverBase::ORVA_Device_SetAuxCallback1(TMethod), "ORVA_Device_SetAuxCallback1")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_LoadDvrTable(), "ORVA_Device_LoadDvrTable")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_SaveDvrTable(), "ORVA_Device_SaveDvrTable")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_GetDvrInfo(const char *, int32_t, TDvrInfo *), "ORVA_Device_GetDvrInfo")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_SetDriverParams(const int32_t *), "ORVA_Device_SetDriverParams")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_GetDvrLoginInfo(const char *, int32_t, TDvrInfo *), "ORVA_Device_GetDvrLoginInfo")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_SetByteOption(uint8_t, uint8_t), "ORVA_Device_SetByteOption")
NOT_BUILT(uint8_t TDeviceDriverBase::ORVA_Device_GetByteOption(uint8_t), "ORVA_Device_GetByteOption")
NOT_BUILT(bool TDeviceDriverBase::ORVA_Device_SetHostParams(uint64_t), "ORVA_Device_SetHostParams")
NOT_BUILT(int32_t TDeviceDriverBase::ORVA_Device_SetOfflineReportDelay(const int32_t *), "ORVA_Device_SetOfflineReportDelay")
NOT_BUILT(void TDeviceDriverBase::ORVA_Device_SetHostValue(int32_t), "ORVA_Device_SetHostValue")
NOT_BUILT(int32_t TDeviceDriverBase::FindDvr(std::string_view, int32_t, bool, bool), "FindDvr")
NOT_BUILT(int32_t TDeviceDriverBase::FindDvrByLoginHandle(int32_t), "FindDvrByLoginHandle")
NOT_BUILT(bool TDeviceDriverBase::SaveDvrTable(), "SaveDvrTable")
NOT_BUILT(TDvrInfo *TDeviceDriverBase::DvrRecord(int32_t), "DvrRecord")
NOT_BUILT(TChannelArrayRef TDeviceDriverBase::Channels(int32_t), "Channels")
NOT_BUILT(TChannelArrayRef TDeviceDriverBase::ChannelsForUserData(const void *), "ChannelsForUserData")
