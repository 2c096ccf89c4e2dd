// U_ZEZov.cpp - TTMDvs: object, window procedure and the operations over the SDK.
#include "tm_driver/U_ZEZov.h"
#include "entry/U_IDeviceDriverInterface.h"
#include "support/U_Errors.h"

TTMDvs *CurrentDriver = nullptr;

TTMDvs::TTMDvs(uint8_t driverType, void **slot, const char *hostDir)
    : TDeviceDriverBase(driverType, slot, hostDir) {
  InterfaceAssign(slot, DriverInterface());
  CurrentDriver = this;
}

TTMDvs::~TTMDvs() {}

void TTMDvs::FreeLoadedLibraries() { TDeviceDriverBase::FreeLoadedLibraries(); }

void TTMDvs::WindowProc(TMessage &m) {
  if (m.Msg == 0x5955) return;
  // The default processing's value is dropped; the record's result stays.
  ::DefWindowProcA(MessageWindow, m.Msg, m.WParam, m.LParam);
}

void TTMDvs::ORVA_Device_Reserved39() {}

// Does nothing; the base's server removal passes this on as its result, and
// True fits a removal that has taken place.
bool TTMDvs::ORVA_Device_Reserved40(const char *, int32_t) { return true; }

bool TTMDvs::BindSdk() { throw ENotBuilt("BindSdk"); }
void TTMDvs::CheckDvrLink(volatile uint8_t &, TThreadBase *, int32_t) { throw ENotBuilt("CheckDvrLink"); }
int32_t TTMDvs::ORVA_Device_Init() { throw ENotBuilt("ORVA_Device_Init"); }
bool TTMDvs::ORVA_Device_SetDvrCallback(const char *, int32_t, int32_t, const TMethod[5]) {
  throw ENotBuilt("ORVA_Device_SetDvrCallback");
}
int32_t TTMDvs::ORVA_Device_StartDvrCapture(const char *, int32_t, int32_t) {
  throw ENotBuilt("ORVA_Device_StartDvrCapture");
}
int32_t TTMDvs::ORVA_Device_StopDvrCapture(const char *, int32_t, int32_t) {
  throw ENotBuilt("ORVA_Device_StopDvrCapture");
}
bool TTMDvs::ORVA_Device_CloseDvr(const char *, int32_t, bool) { throw ENotBuilt("ORVA_Device_CloseDvr"); }
bool TTMDvs::ORVA_Device_CloseDvrChannel(const char *, int32_t, int32_t, bool) {
  throw ENotBuilt("ORVA_Device_CloseDvrChannel");
}
bool TTMDvs::ORVA_Device_Shutdown() { throw ENotBuilt("ORVA_Device_Shutdown"); }
