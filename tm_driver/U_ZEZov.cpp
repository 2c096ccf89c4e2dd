// U_ZEZov.cpp - TTMDvs: the object, binding the SDK, start and shutdown,
// closing servers, logging out, and the SDK's server messages.
#include "tm_driver/U_ZEZov.h"
#include "entry/U_IDeviceDriverInterface.h"
#include "support/Clock.h"
#include "support/U_DebugLog.h"
#include "support/U_Errors.h"
#include "support/U_HostCall.h"
#include "support/U_HostTypes.h"
#include "support/U_Thread.h"
#include "support/WinApi.h"
#include "tm_driver/U_ZEZov_Texts.h"

TTMDvs *CurrentDriver = nullptr;

const char *const SdkFunctionNames[SdkFunctionCount] = {
    "NVNET_LogonServer",   "NVNET_LogoffServer",     "NVNET_GetServerInfo",    "NVNET_SetStreamFunc",
    "NVNET_SetMessage",    "NVNET_SetCallback",      "NVNET_PTZControl",       "NVNET_SendCmdToServer",
    "NVNET_GetServerConfig", "NVNET_OpenChannel",    "NVNET_CloseChannel",     "NVNET_GetAVInfo",
    "NVNET_GetRecvCount",  "NVNET_SetVideoCallback", "NVNET_SetDisplayhWnd",   "NVNET_Mute"};

namespace {

std::string LocalDateTimeText() { return NWin::NSystem::FormatShortDateLongTime(NClock::LocalTime()); }

} // namespace

TTMDvs::TTMDvs(uint8_t driverType, void **slot, const char *hostDir)
    : TDeviceDriverBase(driverType, slot, hostDir) {
  InterfaceAssign(slot, DriverInterface());
  CurrentDriver = this;
}

// Without a shutdown by the host, the worker and the SDK's callbacks would go
// on using the object: run the shutdown steps while it is still whole.
void TTMDvs::BeforeDestruction() {
  if (!ShutdownDone.load()) ORVA_Device_Shutdown();
  if (CurrentDriver == this) CurrentDriver = nullptr;
  // Callbacks already inside the driver finish before the object goes.
  for (int i = 0; i < 5000 && CallbacksInFlight.load() != 0; ++i) NClock::Sleep(1);
}

TTMDvs::~TTMDvs() {
  if (CurrentDriver == this) CurrentDriver = nullptr;
  // Frame buffers go with their channel arrays.
}

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

// ---------------------------------------------------------------- SDK binding

bool TTMDvs::BindSdk() {
  LoadedLibraryPaths.clear();
  LoadedLibraryHandles.clear();
  // The pieces stand as they are, doubled separators included.
  const std::string path = HostDir + "\\" + TypeTableText(DriverSystemDirs, TMDriverType) + "\\NVSDK.dll";
  if (!NWin::NFile::FileExists(path)) {
    DebugLine(TextSdkFileMissing + path);
    return false;
  }
  HMODULE m = NWin::NModule::Load(path.c_str());
  if (!m) {
    DebugLine(TextSdkLoadFailed + path);
    return false;
  }
  LoadedLibraryPaths.push_back(path);
  LoadedLibraryHandles.push_back(std::to_string(reinterpret_cast<uintptr_t>(m)));
  SdkModule = m;
  for (int i = 0; i < SdkFunctionCount; ++i) Sdk[i] = NWin::NModule::Proc(m, SdkFunctionNames[i]);
  SdkBound = 1;
  if (!NPtz::Module) {
    const std::string ptz = HostDir + "\\" + "PTZ.dll";
    if (LoadPtzLibrary(ptz)) {
      LoadedLibraryPaths.push_back(ptz);
      LoadedLibraryHandles.push_back(std::to_string(reinterpret_cast<uintptr_t>(NPtz::Module)));
    }
  }
  return true;
}

// ---------------------------------------------------------------- start and shutdown

int32_t TTMDvs::ORVA_Device_Init() {
  // A second call while the worker runs starts no second worker.
  if (WorkerStarted.load() && !LinkCheckStopped.load()) return 1;
  if (!BindSdk()) return 0;
  if (!PublicUnit || !PublicUnit->ThreadManage) return 0;
  StopLinkCheck = 0;
  LinkCheckStopped = 0;
  ShutdownDone = false;
  TThreadBase *thread = nullptr;
  WorkerStarted = true;
  if (PublicUnit->ThreadManage->RunJob(
          thread, "",
          [this](volatile uint8_t &terminated, TThreadBase *t, int32_t p) { CheckDvrLink(terminated, t, p); }, 0,
          false) != 0) {
    // The pool is closing: nothing runs, so nothing is to be awaited.
    WorkerStarted = false;
  }
  return 1;
}

bool TTMDvs::ORVA_Device_Shutdown() {
  StopLinkCheck = 1;
  // Only a worker that was started ever sets the flag.
  while (WorkerStarted.load() && !LinkCheckStopped.load()) NClock::Sleep(2);
  WorkerStarted = false;
  const int32_t n = DvrCount();
  for (int32_t i = 0; i < n; ++i) {
    const TDvrInfo *d = DvrRecord(i);
    NHostString::TTemporary ip(d->DvrIP.Text());
    ORVA_Device_CloseDvr(ip.get(), d->Port, true);
  }
  ShutdownDone = true;
  return true;
}

// ---------------------------------------------------------------- servers

int32_t TTMDvs::LogOut(int32_t handle) {
  if (auto f = SdkFunction<TNvSetCallback>(sfSetCallback)) f(handle, nullptr);
  if (auto f = SdkFunction<TNvSetStreamFunc>(sfSetStreamFunc)) f(handle, nullptr, nullptr);
  return 0;
}

bool TTMDvs::ORVA_Device_CloseDvr(const char *address, int32_t port, bool logOut) {
  const std::string a = NHostString::Text(address);
  const int32_t i = FindDvr(a, port, false, false);
  if (i < 0) return false;
  const TChannelArrayRef channels = Channels(i);
  const int32_t count = channels ? channels->Count : 0;
  for (int32_t c = 0; c < count; ++c) ORVA_Device_CloseDvrChannel(address, port, c, logOut);
  TDvrInfo *d = DvrRecord(i);
  if (logOut && d->LoginHandle >= MinLoginHandle) {
    LogOut(d->LoginHandle);
    d->LoginHandle = -1;
  }
  return false;
}

void TTMDvs::ReportStatus(int32_t dvrId, bool onLine) {
  // Only a callback that some registration carried is ever called.
  if (StatusCallback.Assigned()) NHostCall::Status(StatusCallback, dvrId, onLine);
}

// ---------------------------------------------------------------- server messages

int32_t NV_CALL TTMDvs::MessageCallback(int32_t handle, const void *message) {
  TTMDvs *self = CurrentDriver;
  if (!self || !message) return 0;
  TInFlight guard(self->CallbacksInFlight);
  if (CurrentDriver != self) return 0; // the object is going
  try {
    return self->OnServerMessage(handle, message);
  } catch (...) {
    // Nothing of ours may unwind into the SDK.
    return 0;
  }
}

int32_t TTMDvs::OnServerMessage(int32_t handle, const void *message) {
  if (handle < MinLoginHandle) return 0;
  const int32_t i = FindDvrByLoginHandle(handle);
  if (i < 0) return 0;
  uint32_t code;
  std::memcpy(&code, message, 4);
  if (code != NV_MSG_RESETSERVER && code != NV_MSG_SERVER_BREAK) return 0;
  const bool reset = code == NV_MSG_RESETSERVER;
  const int32_t result = reset ? 1 : 0;
  TDvrInfo *d = DvrRecord(i);
  const std::string ip = d->DvrIP.Text();
  DebugLine(std::string(reset ? "ZQ>>TTMDvs: NV_MSG_RESETSERVER Begin ---------------"
                              : "ZQ>>TTMDvs: NV_MSG_SERVER_BREAK Begin ---------------") +
            ip);
  {
    NHostString::TTemporary a(ip);
    ORVA_Device_CloseDvr(a.get(), d->Port, false);
  }
  // The offline report, held back while the delay has not passed.
  if (GetOfflineTick(*d) == 0) SetOfflineTick(*d, NClock::Ticks());
  bool report;
  if (OfflineReportDelay == 0) {
    report = true;
  } else if (GetOfflineTick(*d) == 1) {
    report = false;
  } else {
    const uint32_t elapsed = NClock::Ticks() - GetOfflineTick(*d);
    // The delay is signed, the elapsed ticks unsigned: compare as the
    // original arithmetic does (a negative delay never holds back).
    report = !(static_cast<int64_t>(OfflineReportDelay) > static_cast<int64_t>(elapsed));
  }
  if (report) {
    SetOfflineTick(*d, 1);
    ReportStatus(d->DvrId, false);
  }
  DebugLine(TextLogOutStart + LocalDateTimeText());
  LogOut(handle);
  DebugLine(TextLogOutEnd + LocalDateTimeText());
  d->LoginHandle = -1;
  DebugLine(reset ? "ZQ>>TTMDvs: NV_MSG_RESETSERVER End ---------------"
                  : "ZQ>>TTMDvs: NV_MSG_SERVER_BREAK End ---------------");
  return result;
}
