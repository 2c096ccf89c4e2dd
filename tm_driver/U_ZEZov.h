// U_ZEZov.h - TTMDvs, the driver for TM network video servers over the
// vendor SDK (NVSDK.dll).
#pragma once
#include "driver_base/U_DeviceDriverBase.h"

class TTMDvs : public TDeviceDriverBase {
public:
  // Runs the base construction, stores the object's interface into *slot
  // (adding a reference and releasing the one the slot held) and becomes
  // CurrentDriver.
  TTMDvs(uint8_t driverType, void **slot, const char *hostDir);
  ~TTMDvs() override;

  bool BindSdk() override;
  void FreeLoadedLibraries() override;
  void CheckDvrLink(volatile uint8_t &terminated, TThreadBase *thread, int32_t param) override;
  void WindowProc(TMessage &message) override;

  int32_t ORVA_Device_Init() override;
  void ORVA_Device_Reserved39() override;
  bool ORVA_Device_Reserved40(const char *address, int32_t port) override;
  bool ORVA_Device_SetDvrCallback(const char *address, int32_t port, int32_t channel,
                                  const TMethod callbacks[5]) override;
  int32_t ORVA_Device_StartDvrCapture(const char *address, int32_t port, int32_t channel) override;
  int32_t ORVA_Device_StopDvrCapture(const char *address, int32_t port, int32_t channel) override;
  bool ORVA_Device_CloseDvr(const char *address, int32_t port, bool logOut) override;
  bool ORVA_Device_CloseDvrChannel(const char *address, int32_t port, int32_t channel,
                                   bool checkDvr) override;
  bool ORVA_Device_Shutdown() override;
};

// The TTMDvs constructed last (no counted reference). The SDK's message
// callback, which carries no pointer of ours, finds the driver through it.
extern TTMDvs *CurrentDriver;
