// U_DeviceDriverBase_Aux.cpp - the host operations that need no device:
// callback slots and auxiliary callbacks, the two host functions, the file
// list conversion, settings the host hands over, and the reserved positions.
#include "driver_base/U_DeviceDriverBase.h"
#include "support/U_Errors.h"
#include "support/U_HostCall.h"
#include "support/U_HostTypes.h"
#include <cstring>

namespace {

bool SlotIndexValid(int32_t index, int32_t last) { return index >= 1 && index <= last; }

// The host's file-list entry built from one search result.
void BuildEntry(TDvrFileEntry &e, const TDvrFileInfo &f, uint8_t kind) {
  std::memset(&e, 0, sizeof e);
  const uint8_t len = f.FileName.Len <= sizeof f.FileName.Chars ? f.FileName.Len : sizeof f.FileName.Chars;
  e.FileName.Len = len;
  std::memcpy(e.FileName.Chars, f.FileName.Chars, len);
  e.StartTime = f.StartTime;
  e.EndTime = f.EndTime;
  e.Kind = kind;
  e.Value = f.Value;
}

// Releases the working array however the search ends.
struct TWorkingArray {
  void *Items = nullptr;
  ~TWorkingArray() { NHostArray::Release(Items); }
  int32_t Count() const { return NHostArray::Length(Items); }
  const TDvrFileInfo *At(int32_t i) const { return static_cast<const TDvrFileInfo *>(Items) + i; }
};

} // namespace

// --- callback slots

int32_t TDeviceDriverBase::ORVA_Device_SetCallback(int32_t index, TMethod callback) {
  if (SlotIndexValid(index, 1000)) CallbackSlots[index] = callback;
  return 0;
}
int32_t TDeviceDriverBase::ORVA_Device_ClearCallback(int32_t index) {
  if (SlotIndexValid(index, 1000)) CallbackSlots[index] = TMethod{};
  return 0;
}
int32_t TDeviceDriverBase::SetExtraCallback(int32_t index, TMethod callback) {
  if (SlotIndexValid(index, 1500)) ExtraCallbackSlots[index] = callback;
  return 0;
}
int32_t TDeviceDriverBase::ClearExtraCallback(int32_t index) {
  if (SlotIndexValid(index, 1500)) ExtraCallbackSlots[index] = TMethod{};
  return 0;
}

int32_t TDeviceDriverBase::ORVA_Device_SetAuxCallback1(TMethod callback) {
  AuxCallback1 = callback;
  return 0;
}
int32_t TDeviceDriverBase::ORVA_Device_SetAuxCallback2(int32_t value, TMethod callback) {
  if (!AuxCallback2.Assigned()) AuxCallback2 = callback;
  return value;
}
int32_t TDeviceDriverBase::ORVA_Device_SetAuxCallback3(int32_t value, TMethod callback) {
  if (!AuxCallback3.Assigned()) AuxCallback3 = callback;
  return value;
}

// --- host functions

int32_t TDeviceDriverBase::ORVA_Device_SetHostFunctions(int32_t value, TMethod function1, TMethod function2) {
  if (!HostFunction1.Assigned()) HostFunction1 = function1;
  if (!HostFunction2.Assigned()) HostFunction2 = function2;
  return value;
}
int32_t TDeviceDriverBase::ORVA_Device_CallHostFunction1(int32_t a, int32_t b, int32_t c) {
  return HostFunction1.Assigned() ? NHostCall::Five(HostFunction1, a, b, c, 0, 0) : -1;
}
int32_t TDeviceDriverBase::ORVA_Device_CallHostFunction2() {
  return HostFunction2.Assigned() ? NHostCall::One(HostFunction2, -1) : -1;
}

// --- recorded files


int32_t TDeviceDriverBase::ORVA_Device_ListDvrFiles(const uint32_t args[8], void **list) {
  if (list) NHostArray::Assign(list, nullptr);
  TWorkingArray found;
  SearchDvrFiles(args, &found.Items);
  const int32_t n = found.Count();
  if (n <= 0 || !list) return -1;
  void *entries = NHostArray::New(n, sizeof(TDvrFileEntry));
  for (int32_t i = 0; i < n; ++i)
    BuildEntry(static_cast<TDvrFileEntry *>(entries)[i], *found.At(i), static_cast<uint8_t>(args[3]));
  NHostArray::Assign(list, entries);
  return n;
}

int32_t TDeviceDriverBase::ORVA_Device_ListDvrFilesToBuffer(const uint32_t args[8], void **buffer,
                                                            int32_t *bufferSize) {
  TWorkingArray found;
  // The search of the object that the driver table holds for this type.
  auto *slot = static_cast<TInterfaceSlot *>(DriverTable[DriverType < 47 ? DriverType : 0]);
  TDeviceDriverBase *searcher = slot ? slot->Owner : this;
  searcher->SearchDvrFiles(args, &found.Items);
  const int32_t n = found.Count();
  if (n <= 0) return -1;
  const int32_t size = n * static_cast<int32_t>(sizeof(TDvrFileEntry));
  if (bufferSize) *bufferSize = size;
  auto *block = static_cast<TDvrFileEntry *>(NSharedHeap::Get(static_cast<size_t>(size)));
  if (buffer) *buffer = block;
  if (!block) return 0;
  for (int32_t i = 0; i < n; ++i) BuildEntry(block[i], *found.At(i), static_cast<uint8_t>(args[3]));
  return n;
}

bool TDeviceDriverBase::ORVA_Device_FreeBuffer(void *buffer, uint32_t bufferSize, bool freeBlock) {
  if (buffer && static_cast<int32_t>(bufferSize) > 0 && freeBlock) NSharedHeap::Free(buffer);
  return true;
}

// --- settings

void TDeviceDriverBase::ORVA_Device_GetAuxValue(int32_t *value) {
  if (value) *value = 0;
}
bool TDeviceDriverBase::ORVA_Device_SetDriverParams(const int32_t *params) {
  if (params) std::memcpy(DriverParams, params, sizeof DriverParams);
  return true;
}
bool TDeviceDriverBase::ORVA_Device_SetByteOption(uint8_t index, uint8_t value) {
  index &= 0x7F;
  if (index < sizeof ByteOptions) ByteOptions[index] = value;
  return true;
}
uint8_t TDeviceDriverBase::ORVA_Device_GetByteOption(uint8_t index) {
  index &= 0x7F;
  return index < sizeof ByteOptions ? ByteOptions[index] : 0;
}
bool TDeviceDriverBase::ORVA_Device_SetHostParams(uint64_t params) {
  HostParams = params;
  return true;
}
int32_t TDeviceDriverBase::ORVA_Device_SetOfflineReportDelay(const int32_t *delay) {
  if (!delay) return 0;
  // In 32-bit arithmetic: the most negative value stays as it is.
  const uint32_t v = static_cast<uint32_t>(*delay);
  OfflineReportDelay = static_cast<int32_t>(*delay < 0 ? 0u - v : v);
  return 0;
}
void TDeviceDriverBase::ORVA_Device_SetHostValue(int32_t value) { HostValue = value; }

// The reserved positions do nothing and answer 0.
int32_t TDeviceDriverBase::ORVA_Device_Reserved(int) { return 0; }
