// U_ZEZov.h - TTMDvs, the driver for TM network video servers over the
// vendor SDK (NVSDK.dll).
#pragma once
#include "driver_base/U_DeviceDriverBase.h"
#include "tm_driver/U_ZEZov_Define.h"
#include <atomic>
#include <memory>
#include <vector>

class TTMDvs;

// One login of one registered server, from the worker's logon to its end. The
// SDK's stream callback gets the session as its user data and reaches the
// channel records through it with plain loads. A session ends exactly once
// (TTMDvs::EndSession): its callbacks are detached and its channels closed;
// its memory stays with the driver until no callback can still be inside it.
struct TServerSession {
  TTMDvs *Driver = nullptr;
  int32_t DvrIndex = -1;
  int32_t LoginHandle = -1;
  // The server's channel array at the logon. Registration replaces a
  // server's array only after ending its session, so this stays current.
  TChannelArrayRef ChannelsRef;
  TChannelArray *Channels = nullptr;
  // Deliveries to the host inside the session now (they may take any time);
  // each checks Ended after counting itself in. The copy of a packet into
  // its frame buffer never blocks, and is covered by the grace period an
  // ended session is kept for (SessionGraceMs).
  std::atomic<int32_t> Busy{0};
  std::atomic<uint8_t> Ended{0};
  uint32_t EndedTick = 0;
};

class TTMDvs : public TDeviceDriverBase {
public:
  // Runs the base construction, stores the object's interface into *slot
  // (adding a reference and releasing the one the slot held) and becomes
  // CurrentDriver.
  TTMDvs(const TInterfaceTables &tables, uint8_t driverType, void **slot, const char *hostDir);
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

  // --- servers by index: one lookup per host operation, then these
  // Closes every channel of the server; with logOut also ends its login.
  void CloseServer(int32_t index, bool logOut) override;
  // Closes one channel (0, or -1 when the channel does not exist).
  int32_t StopChannel(int32_t index, int32_t channel);
  // A registration is about to reuse this deleted record: end its login.
  void EndServer(int32_t index) override;

  // --- sessions
  // Starts the session of a new login of server `index`: attaches the SDK's
  // callbacks and stores the handle in the record. Nil (nothing attached)
  // when the record is deleted or the driver is stopping.
  TServerSession *BeginSession(int32_t index, int32_t handle);
  // The one way a session ends: detach, close its open channels, clear the
  // record's handle. Never waits for callbacks, so it may run on any thread,
  // an SDK callback's included.
  void EndSession(TServerSession *session);
  // The live session of a server, or nil.
  TServerSession *LiveSession(int32_t index);
  // Ends every live session (shutdown, destruction, unload).
  void EndAllSessions();
  // Frees ended sessions that no callback has used for `graceMs`.
  void ReclaimSessions(uint32_t graceMs);
  // Waits (bounded) until no callback is inside any session of this driver.
  void WaitForCallbacks();

  // Packets dropped because their header claimed a frame beyond MaxFrameBytes.
  std::atomic<uint32_t> OversizedPackets{0};

  // The library is being unloaded while driver objects still live (the host
  // kept a reference): stop their workers and end their sessions, so that no
  // thread of the SDK calls into the module once it is gone.
  static void DetachLiveDrivers();

  // The SDK's callbacks (stdcall, on the SDK's threads).
  static int32_t NV_CALL MessageCallback(int32_t handle, const void *message);
  static void NV_CALL StreamCallback(uint32_t, int32_t channel, uint32_t, const void *packet, uint32_t,
                                     uint32_t, void *userData);
  // One packet for a channel record of a session (reassembly and delivery).
  void OnStreamPacket(TServerSession &s, TDvrChannelInfo &c, const uint8_t *packet);

  // The SDK's functions in lookup order; nil when the SDK lacks one.
  FARPROC Sdk[SdkFunctionCount] = {};
  template <class F> F SdkFunction(TSdkFunction f) const { return reinterpret_cast<F>(reinterpret_cast<void *>(Sdk[f])); }

  std::atomic<bool> WorkerStarted{false};
  std::atomic<bool> ShutdownDone{false};
  // The worker's thread, so that a shutdown asked for on it (from the host's
  // status callback) does not wait for itself.
  std::atomic<uint32_t> WorkerThreadId{0};

private:
  int32_t OnServerMessage(int32_t handle, const void *message);
  void ReportStatus(int32_t dvrId, bool onLine);
  void CheckOneServer(int32_t index);
  // Sets the stop flag and, unless called on the worker itself, waits for it.
  void StopWorker();
  bool CloseChannelRecord(TDvrChannelInfo &c, int32_t channel);
  // The stream path's rare steps, kept out of the per-packet code.
  void DeliverHeader(TServerSession &s, TDvrChannelInfo &c, const uint8_t *packet);
  void DeliverFrame(TServerSession &s, TDvrChannelInfo &c, uint32_t video, uint32_t audio, bool key);
  static bool PrepareBuffer(TDvrChannelInfo &c, uint32_t total, bool start);

  // Guards the session lists and the begin and end of every session.
  TLock SessionLock;
  std::vector<TServerSession *> LiveSessions; // by server index, nil for none
  std::vector<std::unique_ptr<TServerSession>> Sessions; // every session not yet reclaimed
};

// How long an ended session is kept after its last callback left, in case
// the SDK still holds its address on a thread that has not called yet.
constexpr uint32_t SessionGraceMs = 10000;

// No frame can exceed 256 fragments of 1024 bytes (the fragment index is one
// byte); a packet claiming more is damaged.
constexpr int32_t MaxFrameBytes = 256 * FragmentBytes;

// The TTMDvs constructed last (no counted reference). The SDK's message
// callback, which carries no pointer of ours, finds the driver through it.
extern std::atomic<TTMDvs *> CurrentDriver;
