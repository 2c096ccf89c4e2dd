// U_ZEZov.h - TTMDvs, the driver for TM network video servers over the
// vendor SDK (NVSDK.dll).
#pragma once
#include "driver_base/U_DeviceDriverBase.h"
#include "support/WinApi.h"
#include "tm_driver/U_ZEZov_Define.h"
#include <atomic>
#include <memory>
#include <vector>

class TTMDvs;

// The SDK's functions in lookup order; nil where the SDK lacks one.
struct TSdkTable {
  FARPROC Functions[SdkFunctionCount] = {};
  template <class F> F Get(TSdkFunction f) const { return reinterpret_cast<F>(reinterpret_cast<void *>(Functions[f])); }
};

// A channel's stream counters. They only grow (and wrap): a reader takes
// differences.
struct TStreamCounts {
  uint32_t VideoFrames = 0, AudioFrames = 0;
  uint32_t Bytes = 0;            // video and audio bytes of the frames delivered
  uint32_t NoKeyDrops = 0;       // packets dropped before the first key frame of an open
  uint32_t OversizedPackets = 0; // header claimed a frame beyond MaxFrameBytes
  uint32_t OutsideDrops = 0;     // payload outside its fragment or its frame
  uint32_t NoBufferDrops = 0;    // no buffer for the frame (its first packet was lost)
  uint32_t MissingFrames = 0;    // frames delivered with fewer fragments seen than they have
  uint32_t Drops() const { return NoKeyDrops + OversizedPackets + OutsideDrops + NoBufferDrops; }
  TStreamCounts Since(const TStreamCounts &before) const;
  TStreamCounts &operator+=(const TStreamCounts &more);
};

// What the packet path of one channel of a session writes: whether a packet
// is inside it now, the fragments seen of the frame being joined, and the
// counters. One cache line each, so that channels streaming on different
// threads share none. Plain fields: only the channel's packet thread writes
// them; the worker reads them once a pass.
struct alignas(64) TChannelUse {
  volatile uint8_t Inside = 0;
  uint16_t FragmentsSeen = 0;
  TStreamCounts Counts;
};

// One login of one registered server, from the worker's logon to its end.
// The SDK's stream callback gets the session as its user data and reaches the
// channel records through it with plain loads.
//
// Lifetime, by counts: the owner (the thread that ends the session) holds one
// reference, every delivery to the host one more for as long as it runs; a
// packet being copied is seen through its channel's Inside flag. The owner
// ends the session, detaches it from the SDK, waits for copies in progress
// to leave (they never block) and drops its reference; whoever drops the
// last one frees the session, and with it its hold on the channel array and
// frame buffers. Nothing on the packet path touches the driver object, so a
// delivery held in the host may outlive the driver.
//
// The SDK makes no new call with a user data once NVNET_SetStreamFunc has
// detached it: calls already under way are what the flags and the count
// account for.
struct TServerSession {
  TTMDvs *Driver = nullptr;
  int32_t DvrIndex = -1;
  int32_t LoginHandle = -1;
  uint32_t BeginTick = 0; // when the login began (tick count)
  // The server's channel array at the logon. Registration replaces a
  // server's array only after ending its session, so this stays current.
  TChannelArrayRef ChannelsRef;
  TChannelArray *Channels = nullptr;
  std::unique_ptr<TChannelUse[]> Use;
  // The counts as the worker last reported them (the worker's own).
  std::unique_ptr<TStreamCounts[]> Reported;
  std::atomic<uint8_t> Ended{0};
  std::atomic<int32_t> Refs{1};
};

class TTMDvs : public TDeviceDriverBase {
public:
  // Runs the base construction, stores the object's interface into *slot
  // (adding a reference and releasing the one the slot held) and becomes
  // CurrentDriver. With `sdk`, those functions stand for the SDK and nothing
  // is loaded (tests and benchmarks); without, Init loads NVSDK.dll.
  TTMDvs(const TInterfaceTables &tables, uint8_t driverType, void **slot, const char *hostDir,
         const TSdkTable *sdk = nullptr);
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
  bool DeferDestruction() override;

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
  // Starts the session of a new login of server `index`: publishes it, then
  // (with no lock held) attaches the SDK's callbacks. True when the session
  // is still live afterwards; false when the record is deleted, the driver
  // is stopping, or a message ended the login while it was being attached.
  // A login refused here is detached and queued for log-off.
  bool BeginSession(int32_t index, int32_t handle);
  // Ends the live session of server `index`, if it has one (and, with a
  // handle given, only a session of that login). Never waits for a
  // delivery, so it may run on any thread, an SDK callback's included.
  // True when there was such a session.
  bool EndSessionOf(int32_t index, int32_t handle = -1);
  // Whether server `index` has a live session.
  bool HasSession(int32_t index);
  // Ends every live session (shutdown, destruction, unload).
  void EndAllSessions();
  // Logs off every login the driver dropped (never called inside an SDK
  // callback: a log-off of a broken link may block).
  void LogOffDropped();

  // The library is being unloaded while driver objects still live (the host
  // kept a reference): stop their workers and end their sessions, so that no
  // thread of the SDK calls into the module once it is gone.
  static void DetachLiveDrivers();
  // The library's unload has begun (loader lock held): from now on no wait
  // of a driver object is unbounded and no login is logged off.
  static void LibraryUnloading();

  // The SDK's callbacks (stdcall, on the SDK's threads).
  static int32_t NV_CALL MessageCallback(int32_t handle, const void *message);
  static void NV_CALL StreamCallback(uint32_t, int32_t channel, uint32_t, const void *packet, uint32_t,
                                     uint32_t, void *userData);

  const TSdkTable &Sdk() const { return Sdk_; }
  // Packets dropped because their header claimed a frame beyond
  // MaxFrameBytes, over the live sessions' channels.
  uint32_t OversizedPackets();
  // Writes the stream line of every logged-on server with open channels
  // (once a pass, on the worker): what each channel did since the last one.
  void ReportStreams();

private:
  template <class F> F SdkFunction(TSdkFunction f) const { return Sdk_.Get<F>(f); }
  int32_t OnServerMessage(int32_t handle, const void *message);
  void ReportStatus(int32_t dvrId, bool onLine);
  void CheckOneServer(int32_t index);
  // Sets the stop flag and, unless called on the worker itself, waits for
  // the worker to end.
  void StopWorker();
  bool OnWorkerThread() const;
  // The worker's last step: it no longer uses the object.
  void WorkerEnded();
  // Closes the channel if it is open: its handle is taken under CaptureLock,
  // the SDK is called without it. With noteClosed, a channel found closed
  // writes the "RealHandle < 0" line.
  bool CloseChannelRecord(TDvrChannelInfo &c, int32_t channel, bool noteClosed);
  void EndSession(TServerSession *s);
  void DropLogin(int32_t handle);
  // Message callbacks inside the object: counted in under the login
  // registry's lock, so a driver being destroyed can wait for them.
  friend struct TMessageVisit;
  void MessageLeft();

  TSdkTable Sdk_;
  bool SdkGiven_ = false;
  NWin::NModule::TModuleRef SdkModuleRef_;
  // PTZ.dll when this object loaded it.
  NWin::NModule::TModuleRef PtzModuleRef_;

  // Guards LiveSessions and the begin and end of every session (never held
  // across a call into the SDK or the host).
  TLock SessionLock;
  std::vector<TServerSession *> LiveSessions; // by server index, nil for none
  // Per server index: when its last stream line was written, and the counts
  // of sessions that ended since, not yet reported (under SessionLock).
  struct TStreamAccount {
    uint32_t LastLineTick = 0;
    std::string Server; // address:port the carried counts belong to
    std::vector<TStreamCounts> Carried;
  };
  std::vector<TStreamAccount> StreamAccounts;
  // The account of server `index`, emptied when the record now holds
  // another server (under SessionLock).
  TStreamAccount &StreamAccount(int32_t index);
  // Keeps what an ending session counted and did not report (under SessionLock).
  void CarryCounts(const TServerSession &s);
  std::string ServerName(int32_t index);
  // Logins dropped and not yet logged off.
  TLock LogOffLock;
  std::vector<int32_t> LogOffQueue;

  // The worker: whether one runs, its thread, and its end.
  TLock WorkerLock;
  bool WorkerRunning_ = false;
  std::atomic<uint32_t> WorkerThreadId_{0};
  NWin::NSync::TEvent WorkerIdle_{true};
  std::atomic<bool> ShutdownDone_{false};
  // Message callbacks inside the object, and the event set when none is.
  std::atomic<int32_t> MessagesInside_{0};
  NWin::NSync::TEvent NoMessages_{true};
  // Destruction waits for the worker or a message callback that asked for
  // it from inside itself; the last of them destroys the object.
  std::atomic<bool> Retired_{false};
  std::atomic<bool> Destroying_{false};
  // False when the destruction runs on a thread inside the SDK's call.
  bool FreeSdkOnDestroy_ = true;
  void DestroyIfUnused();
};

// No frame can exceed 256 fragments of 1024 bytes (the fragment index is one
// byte); a packet claiming more is damaged.
constexpr int32_t MaxFrameBytes = 256 * FragmentBytes;

// The TTMDvs constructed last (no counted reference). Server messages do not
// go through it (they reach the driver that owns the login); it is kept for
// whatever else wants the newest driver.
extern std::atomic<TTMDvs *> CurrentDriver;

// Session helpers of the stream path (U_ZEZov_Live.cpp).
namespace NSession {
TServerSession *Make(TTMDvs *driver, int32_t index, int32_t handle, TChannelArrayRef channels);
// The owner's end of a session already marked Ended and detached: waits for
// packet copies in progress (Quiesce; the counts are final then), then drops
// the owner's reference.
void Quiesce(TServerSession *s);
void Retire(TServerSession *s);
void Unref(TServerSession *s);
} // namespace NSession
