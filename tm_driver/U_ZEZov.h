// U_ZEZov.h - TTMDvs, the driver for TM network video servers over the
// vendor SDK (NVSDK.dll).
#pragma once
#include "driver_base/U_DeviceDriverBase.h"
#include "tm_driver/U_ZEZov_Define.h"
#include <atomic>

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
  void BeforeDestruction() override;

  // Detaches the SDK's callbacks from a login (the caller clears the handle).
  int32_t LogOut(int32_t handle);

  // The SDK's callbacks (stdcall, on the SDK's threads).
  static int32_t NV_CALL MessageCallback(int32_t handle, const void *message);
  static void NV_CALL StreamCallback(uint32_t, int32_t channel, uint32_t, const void *packet, uint32_t,
                                     uint32_t, void *userData);
  // One packet for a channel record (reassembly and delivery).
  void OnStreamPacket(TDvrChannelInfo &c, const uint8_t *packet);

  // The SDK's functions in lookup order; nil when the SDK lacks one.
  FARPROC Sdk[SdkFunctionCount] = {};
  template <class F> F SdkFunction(TSdkFunction f) const { return reinterpret_cast<F>(reinterpret_cast<void *>(Sdk[f])); }

  std::atomic<bool> WorkerStarted{false};
  std::atomic<bool> ShutdownDone{false};

private:
  struct TInFlight {
    explicit TInFlight(std::atomic<int32_t> &n) : n_(n) { ++n_; }
    ~TInFlight() { --n_; }
    std::atomic<int32_t> &n_;
  };
  int32_t OnServerMessage(int32_t handle, const void *message);
  void ReportStatus(int32_t dvrId, bool onLine);
  void CheckOneServer(int32_t index);
};

// The TTMDvs constructed last (no counted reference). The SDK's message
// callback, which carries no pointer of ours, finds the driver through it.
extern TTMDvs *CurrentDriver;
