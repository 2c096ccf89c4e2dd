// U_ZEZov.cpp - TTMDvs: the object, binding the SDK, start and shutdown,
// closing servers, logging out, and the SDK's server messages.
#include "tm_driver/U_ZEZov.h"
#include "support/Clock.h"
#include "support/U_DebugLog.h"
#include "support/U_Errors.h"
#include "support/U_HostCall.h"
#include "support/U_HostTypes.h"
#include "support/U_Thread.h"
#include "support/WinApi.h"
#include "tm_driver/U_ZEZov_Texts.h"
#include <algorithm>

std::atomic<TTMDvs *> CurrentDriver{nullptr};

const char *const SdkFunctionNames[SdkFunctionCount] = {
#define TM_SDK_NAME(name) "NVNET_" #name,
    TM_SDK_FUNCTIONS(TM_SDK_NAME)
#undef TM_SDK_NAME
};

namespace {

std::string LocalDateTimeText() { return NWin::NSystem::FormatShortDateLongTime(NClock::LocalTime()); }

// Message callbacks inside the driver now. The count lives outside every
// driver object, so that a callback arriving while its object goes never
// touches the object to count itself in.
std::atomic<int32_t> MessagesInFlight{0};

// Every driver object alive, for the unload of the library.
TLock LiveDriversLock;
std::vector<TTMDvs *> LiveDrivers;

} // namespace

TTMDvs::TTMDvs(const TInterfaceTables &tables, uint8_t driverType, void **slot, const char *hostDir)
    : TDeviceDriverBase(tables, driverType, slot, hostDir) {
  {
    TLockGuard g(LiveDriversLock);
    LiveDrivers.push_back(this);
  }
  InterfaceAssign(slot, DriverInterface());
  CurrentDriver.store(this);
}

// Without a shutdown by the host, the worker and the SDK's callbacks would go
// on using the object: run the shutdown steps while it is still whole.
void TTMDvs::BeforeDestruction() {
  TTMDvs *self = this;
  CurrentDriver.compare_exchange_strong(self, nullptr);
  StopWorker();
  if (!ShutdownDone.load()) ORVA_Device_Shutdown();
  EndAllSessions();
  // Callbacks already inside the driver finish before the object goes.
  WaitForCallbacks();
}

TTMDvs::~TTMDvs() {
  TTMDvs *self = this;
  CurrentDriver.compare_exchange_strong(self, nullptr);
  TLockGuard g(LiveDriversLock);
  LiveDrivers.erase(std::remove(LiveDrivers.begin(), LiveDrivers.end(), this), LiveDrivers.end());
  // Frame buffers go with their channel arrays, sessions with the object.
}

void TTMDvs::DetachLiveDrivers() {
  std::vector<TTMDvs *> drivers;
  {
    TLockGuard g(LiveDriversLock);
    drivers = LiveDrivers;
  }
  CurrentDriver.store(nullptr);
  for (TTMDvs *d : drivers) {
    try {
      d->StopWorker();
      d->EndAllSessions();
      d->WaitForCallbacks();
      // Its window's procedure is code of the module too.
      d->DestroyMessageWindow();
    } catch (...) {
    }
  }
}

void TTMDvs::FreeLoadedLibraries() { TDeviceDriverBase::FreeLoadedLibraries(); }

void TTMDvs::WindowProc(TMessage &m) {
  if (m.Msg == 0x5955) return;
  // The default processing's value is dropped; the record's result stays.
  ::DefWindowProcA(MessageWindow.Handle(), m.Msg, m.WParam, m.LParam);
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

void TTMDvs::StopWorker() {
  StopLinkCheck = 1;
  // Asked for on the worker's own thread (the host's status callback): the
  // worker sees the flag and ends once the current call has returned.
  if (WorkerThreadId.load() == NWin::NSystem::ThreadId()) return;
  // Only a worker that was started ever sets the flag.
  while (WorkerStarted.load() && !LinkCheckStopped.load()) NClock::Sleep(2);
  WorkerStarted = false;
}

bool TTMDvs::ORVA_Device_Shutdown() {
  StopWorker();
  // Every record, deleted ones included, by index: a deleted record's login
  // and channels are closed too.
  const int32_t n = DvrCount();
  for (int32_t i = 0; i < n; ++i) CloseServer(i, true);
  EndAllSessions();
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
  const int32_t i = FindDvr(NHostString::View(address), port, false, false);
  if (i >= 0) CloseServer(i, logOut);
  return false;
}

void TTMDvs::CloseServer(int32_t index, bool logOut) {
  const TChannelArrayRef channels = Channels(index);
  const int32_t count = channels ? channels->Count : 0;
  for (int32_t c = 0; c < count; ++c) StopChannel(index, c);
  TDvrInfo *d = DvrRecord(index);
  if (!logOut || !d) return;
  if (TServerSession *s = LiveSession(index)) {
    EndSession(s);
  } else if (d->LoginHandle >= MinLoginHandle) {
    // A handle the driver holds no session for (taken over at registration).
    LogOut(d->LoginHandle);
    d->LoginHandle = -1;
  }
}

void TTMDvs::EndServer(int32_t index) {
  if (TServerSession *s = LiveSession(index)) EndSession(s);
}

// ---------------------------------------------------------------- sessions

TServerSession *TTMDvs::BeginSession(int32_t index, int32_t handle) {
  TLockGuard g(SessionLock);
  TDvrInfo *d = DvrRecord(index);
  if (!d || d->Deleted != 0 || StopLinkCheck.load() != 0) return nullptr;
  if (static_cast<size_t>(index) >= LiveSessions.size()) LiveSessions.resize(static_cast<size_t>(index) + 1);
  // A record has one login at a time; one left over is ended first (the
  // lock is re-entrant).
  if (TServerSession *old = LiveSessions[index]) EndSession(old);
  auto s = std::make_unique<TServerSession>();
  s->Driver = this;
  s->DvrIndex = index;
  s->LoginHandle = handle;
  s->ChannelsRef = Channels(index);
  s->Channels = s->ChannelsRef.get();
  TServerSession *session = s.get();
  Sessions.push_back(std::move(s));
  LiveSessions[index] = session;
  d->LoginHandle = handle;
  // The SDK may call both at once; the session is complete by now.
  if (auto f = SdkFunction<TNvSetCallback>(sfSetCallback)) f(handle, &TTMDvs::MessageCallback);
  if (auto f = SdkFunction<TNvSetStreamFunc>(sfSetStreamFunc)) f(handle, &TTMDvs::StreamCallback, session);
  return session;
}

void TTMDvs::EndSession(TServerSession *s) {
  {
    TLockGuard g(SessionLock);
    if (!s || s->Ended.load() != 0) return;
    s->Ended.store(1);
    s->EndedTick = NClock::Ticks();
    if (static_cast<size_t>(s->DvrIndex) < LiveSessions.size() && LiveSessions[s->DvrIndex] == s)
      LiveSessions[s->DvrIndex] = nullptr;
  }
  LogOut(s->LoginHandle);
  if (s->Channels) {
    TLockGuard lock(*CaptureLock);
    for (int32_t c = 0; c < s->Channels->Count; ++c)
      if ((*s->Channels)[c].ChannelHandle > 0) CloseChannelRecord((*s->Channels)[c], c);
  }
  TLockGuard g(SessionLock);
  TDvrInfo *d = DvrRecord(s->DvrIndex);
  if (d && d->LoginHandle == s->LoginHandle) d->LoginHandle = -1;
}

TServerSession *TTMDvs::LiveSession(int32_t index) {
  TLockGuard g(SessionLock);
  return index >= 0 && static_cast<size_t>(index) < LiveSessions.size() ? LiveSessions[index] : nullptr;
}

void TTMDvs::EndAllSessions() {
  std::vector<TServerSession *> live;
  {
    TLockGuard g(SessionLock);
    for (TServerSession *s : LiveSessions)
      if (s) live.push_back(s);
  }
  for (TServerSession *s : live) EndSession(s);
}

void TTMDvs::ReclaimSessions(uint32_t graceMs) {
  TLockGuard g(SessionLock);
  const uint32_t now = NClock::Ticks();
  std::erase_if(Sessions, [&](const std::unique_ptr<TServerSession> &s) {
    return s->Ended.load() != 0 && s->Busy.load() == 0 && now - s->EndedTick >= graceMs;
  });
}

void TTMDvs::WaitForCallbacks() {
  auto busy = [this] {
    if (MessagesInFlight.load() != 0) return true;
    TLockGuard g(SessionLock);
    for (const auto &s : Sessions)
      if (s->Busy.load() != 0) return true;
    return false;
  };
  // Bounded: a host that releases the object from inside one of its own
  // callbacks would otherwise wait for itself.
  for (int i = 0; i < 2500 && busy(); ++i) NClock::Sleep(2);
  // A packet the SDK handed over just before its session ended may still be
  // in its copy (which counts in nowhere, and takes microseconds).
  bool recent = false;
  {
    TLockGuard g(SessionLock);
    const uint32_t now = NClock::Ticks();
    for (const auto &s : Sessions) recent = recent || (s->Ended.load() != 0 && now - s->EndedTick < 20);
  }
  if (recent) NClock::Sleep(20);
}

void TTMDvs::ReportStatus(int32_t dvrId, bool onLine) {
  // Only a callback that some registration carried is ever called.
  if (StatusCallback.Assigned()) NHostCall::Status(StatusCallback, dvrId, onLine);
}

// ---------------------------------------------------------------- server messages

int32_t NV_CALL TTMDvs::MessageCallback(int32_t handle, const void *message) {
  if (!message) return 0;
  // Counted in before the driver is looked at: a driver that is going clears
  // CurrentDriver first and then waits for the count.
  MessagesInFlight.fetch_add(1);
  int32_t result = 0;
  if (TTMDvs *self = CurrentDriver.load()) {
    try {
      result = self->OnServerMessage(handle, message);
    } catch (...) {
      // Nothing of ours may unwind into the SDK.
      result = 0;
    }
  }
  MessagesInFlight.fetch_sub(1);
  return result;
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
  CloseServer(i, false);
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
  TServerSession *s = LiveSession(i);
  if (s && s->LoginHandle == handle) EndSession(s);
  else LogOut(handle);
  DebugLine(TextLogOutEnd + LocalDateTimeText());
  d->LoginHandle = -1;
  DebugLine(reset ? "ZQ>>TTMDvs: NV_MSG_RESETSERVER End ---------------"
                  : "ZQ>>TTMDvs: NV_MSG_SERVER_BREAK End ---------------");
  return result;
}
