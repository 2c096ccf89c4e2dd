// U_ZEZov.cpp - TTMDvs: the object, binding the SDK, start and shutdown,
// sessions and the logins they own, closing servers, logging out, and the
// SDK's server messages.
#include "tm_driver/U_ZEZov.h"
#include <cstdio>
#include "support/Clock.h"
#include "support/U_DebugLog.h"
#include "support/U_Errors.h"
#include "support/U_HostCall.h"
#include "support/U_HostTypes.h"
#include "support/U_Thread.h"
#include "support/WinApi.h"
#include "tm_driver/U_ZEZov_Texts.h"
#include <algorithm>
#include <cstdio>

std::atomic<TTMDvs *> CurrentDriver{nullptr};

const char *const SdkFunctionNames[SdkFunctionCount] = {
#define TM_SDK_NAME(name) "NVNET_" #name,
    TM_SDK_FUNCTIONS(TM_SDK_NAME)
#undef TM_SDK_NAME
};

namespace {

std::string LocalDateTimeText() { return NWin::NSystem::FormatShortDateLongTime(NClock::LocalTime()); }

// Every driver object alive, for the unload of the library.
TLock LiveDriversLock;
std::vector<TTMDvs *> LiveDrivers;

// The logins of every driver object of the library, by handle: a server
// message reaches the driver that owns the login it names. Sessions enter
// when they begin and leave when they end, before their driver can go.
TLock RegistryLock;
std::vector<TServerSession *> Registry;

void Register(TServerSession *s) {
  TLockGuard g(RegistryLock);
  Registry.push_back(s);
}
void Unregister(TServerSession *s) {
  TLockGuard g(RegistryLock);
  Registry.erase(std::remove(Registry.begin(), Registry.end(), s), Registry.end());
}

// The threads inside a message callback now, with the driver each is in
// (under RegistryLock): a release or shutdown asked for from the host's
// status report there must not wait for the callback it is part of, nor log
// a login off inside the SDK's call.
std::vector<std::pair<DWORD, TTMDvs *>> MessageThreads;

TTMDvs *InMessageOf() {
  const DWORD self = NWin::NSystem::ThreadId();
  TLockGuard g(RegistryLock);
  for (const auto &[thread, driver] : MessageThreads)
    if (thread == self) return driver;
  return nullptr;
}

// The library is being unloaded: no log-off any more (it may block, and
// the loader lock is held).
std::atomic<bool> Unloading{false};
constexpr DWORD UnloadWaitMs = 5000;

} // namespace

TTMDvs::TTMDvs(const TInterfaceTables &tables, uint8_t driverType, void **slot, const char *hostDir,
               const TSdkTable *sdk)
    : TDeviceDriverBase(tables, driverType, slot, hostDir) {
  if (sdk) {
    Sdk_ = *sdk;
    SdkGiven_ = true;
  }
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
  if (!ShutdownDone_.load()) ORVA_Device_Shutdown();
  StopWorker();
  EndAllSessions();
  LogOffDropped();
  // Message callbacks still inside finish first, unless this thread is one
  // of them (then the last of them destroys the object: DeferDestruction).
  if (InMessageOf() == this) return;
  for (;;) {
    {
      TLockGuard g(RegistryLock);
      if (MessagesInside_.load() == 0) break;
    }
    // Under the loader lock a callback that needs the loader would never
    // come back: the wait is bounded there, and the object is then left.
    if (!NoMessages_.Wait(Unloading.load() ? UnloadWaitMs : INFINITE)) break;
  }
}

bool TTMDvs::DeferDestruction() {
  if (Unloading.load()) {
    // A worker or a message callback still inside after the bounded waits:
    // the object, and what it holds, stay for the rest of the process.
    TLockGuard w(WorkerLock);
    TLockGuard r(RegistryLock);
    if (WorkerRunning_ || MessagesInside_.load() != 0) return true;
  }
  const bool defer = InMessageOf() == this || OnWorkerThread();
  if (defer) Retired_ = true;
  return defer;
}

void TTMDvs::LibraryUnloading() { Unloading = true; }

void TTMDvs::DestroyIfUnused() {
  bool unused;
  {
    TLockGuard w(WorkerLock);
    TLockGuard r(RegistryLock);
    unused = Retired_.load() && !WorkerRunning_ && MessagesInside_.load() == 0;
  }
  if (unused && !Destroying_.exchange(true)) delete this;
}

TTMDvs::~TTMDvs() {
  TTMDvs *self = this;
  CurrentDriver.compare_exchange_strong(self, nullptr);
  {
    TLockGuard g(LiveDriversLock);
    LiveDrivers.erase(std::remove(LiveDrivers.begin(), LiveDrivers.end(), this), LiveDrivers.end());
  }
  // The modules this object loaded are freed by their owners, each once;
  // the lists, which the base's destruction would free by, are emptied.
  FreeLoadedLibraries();
  LoadedLibraryPaths.clear();
  LoadedLibraryHandles.clear();
  // Sessions free themselves once their last user is done; frame buffers go
  // with the channel arrays.
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
      // Under the loader lock: nothing here may wait for a thread that could
      // need the loader. The worker is only told to stop (the pool's own
      // teardown sees its thread out of the module), message callbacks
      // still inside get a bounded wait, and no login is logged off.
      d->StopLinkCheck = 1;
      d->EndAllSessions();
      d->NoMessages_.Wait(UnloadWaitMs);
      // Its window's procedure is code of the module too.
      d->DestroyMessageWindow();
    } catch (...) {
    }
  }
}

void TTMDvs::FreeLoadedLibraries() {
  // Each module this object loaded is freed here, once. The lists stay the
  // record of what was loaded. On a thread inside one of the SDK's calls
  // (the last release asked for from a status report), the SDK must not be
  // unloaded under its own feet: it stays loaded.
  if (InMessageOf() == this || !FreeSdkOnDestroy_) SdkModuleRef_.Release();
  SdkModuleRef_.Reset();
  if (PtzModuleRef_.Get()) {
    NPtz::Module = nullptr;
    NPtz::GetPtzProtocolCount = NPtz::GetPtzInfoFromIndex = NPtz::TransformToCommand = nullptr;
    PtzModuleRef_.Reset();
  }
}

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
  if (SdkGiven_) return true;
  // Bound before (Init after a shutdown): the same modules, no second
  // reference and no second entry in the lists.
  if (SdkModuleRef_.Get()) return true;
  LoadedLibraryPaths.clear();
  LoadedLibraryHandles.clear();
  // The pieces stand as they are, doubled separators included.
  const std::string path = HostDir + "\\" + TypeTableText(DriverSystemDirs, TMDriverType) + "\\NVSDK.dll";
  if (!NWin::NFile::FileExists(path)) {
    DebugLine(TextSdkFileMissing + path);
    return false;
  }
  HMODULE m = SdkModuleRef_.Load(path.c_str());
  if (!m) {
    DebugLine(TextSdkLoadFailed + path);
    return false;
  }
  LoadedLibraryPaths.push_back(path);
  LoadedLibraryHandles.push_back(std::to_string(reinterpret_cast<uintptr_t>(m)));
  SdkModule = m;
  for (int i = 0; i < SdkFunctionCount; ++i) Sdk_.Functions[i] = NWin::NModule::Proc(m, SdkFunctionNames[i]);
  SdkBound = 1;
  if (!NPtz::Module) {
    const std::string ptz = HostDir + "\\" + "PTZ.dll";
    if (LoadPtzLibrary(ptz)) {
      // This object holds the reference LoadPtzLibrary took.
      PtzModuleRef_.Adopt(NPtz::Module);
      LoadedLibraryPaths.push_back(ptz);
      LoadedLibraryHandles.push_back(std::to_string(reinterpret_cast<uintptr_t>(NPtz::Module)));
    }
  }
  return true;
}

// ---------------------------------------------------------------- start and shutdown

bool TTMDvs::OnWorkerThread() const { return WorkerThreadId_.load() == NWin::NSystem::ThreadId(); }

int32_t TTMDvs::ORVA_Device_Init() {
  if (!BindSdk()) return 0;
  if (!PublicUnit || !PublicUnit->ThreadManage) return 0;
  WorkerLock.Lock();
  while (WorkerRunning_) {
    if (StopLinkCheck.load() == 0) {
      // Running: a second call starts no second worker.
      WorkerLock.Unlock();
      return 1;
    }
    if (OnWorkerThread()) {
      // A shutdown and an Init from the status report on the worker: the
      // worker simply goes on.
      StopLinkCheck = 0;
      ShutdownDone_ = false;
      WorkerLock.Unlock();
      return 1;
    }
    // A worker told to stop has not ended yet: the new one starts after it.
    WorkerLock.Unlock();
    WorkerIdle_.Wait();
    WorkerLock.Lock();
  }
  StopLinkCheck = 0;
  LinkCheckStopped = 0;
  ShutdownDone_ = false;
  WorkerRunning_ = true;
  WorkerIdle_.Reset();
  WorkerLock.Unlock();
  TThreadBase *thread = nullptr;
  if (PublicUnit->ThreadManage->RunJob(
          thread, "",
          [this](volatile uint8_t &terminated, TThreadBase *t, int32_t p) { CheckDvrLink(terminated, t, p); }, 0,
          false) != 0) {
    // The pool is closing: nothing runs, so nothing is to be awaited.
    WorkerEnded();
  }
  return 1;
}

void TTMDvs::WorkerEnded() {
  bool mine;
  WorkerLock.Lock();
  WorkerThreadId_ = 0;
  LinkCheckStopped = 1;
  WorkerRunning_ = false;
  mine = Retired_.load();
  WorkerLock.Unlock();
  // The object's destruction waited for this (the event is the last touch),
  // or was left to the worker, whose thread asked for it.
  if (mine) DestroyIfUnused();
  else WorkerIdle_.Set();
}

void TTMDvs::StopWorker() {
  StopLinkCheck = 1;
  // Asked for on the worker's own thread (the host's status callback): the
  // worker sees the flag and ends once the current call has returned.
  if (OnWorkerThread()) return;
  // Under the loader lock (unloading), bounded: the worker may be inside
  // the system's resolver, which can need the loader.
  WorkerIdle_.Wait(Unloading.load() ? UnloadWaitMs : INFINITE);
}

bool TTMDvs::ORVA_Device_Shutdown() {
  StopWorker();
  // Every record, deleted ones included, by index: a deleted record's login
  // and channels are closed too.
  const int32_t n = DvrCount();
  for (int32_t i = 0; i < n; ++i) CloseServer(i, true);
  EndAllSessions();
  LogOffDropped();
  ShutdownDone_ = true;
  return true;
}

// ---------------------------------------------------------------- servers

int32_t TTMDvs::LogOut(int32_t handle) {
  if (auto f = SdkFunction<TNvSetCallback>(sfSetCallback)) f(handle, nullptr);
  if (auto f = SdkFunction<TNvSetStreamFunc>(sfSetStreamFunc)) f(handle, nullptr, nullptr);
  return 0;
}

void TTMDvs::DropLogin(int32_t handle) {
  // An SDK without the log-off: detaching was all there is.
  if (!SdkFunction<TNvLogoffServer>(sfLogoffServer)) return;
  TLockGuard g(LogOffLock);
  LogOffQueue.push_back(handle);
}

void TTMDvs::LogOffDropped() {
  if (InMessageOf() || Unloading.load()) return; // inside the SDK's call: a later pass or the shutdown does it
  auto logoff = SdkFunction<TNvLogoffServer>(sfLogoffServer);
  std::vector<int32_t> handles;
  {
    TLockGuard g(LogOffLock);
    handles.swap(LogOffQueue);
  }
  if (logoff)
    for (int32_t h : handles) logoff(h);
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
  if (!EndSessionOf(index) && d->LoginHandle >= MinLoginHandle) {
    // A handle the driver holds no session for (taken over at registration).
    LogOut(d->LoginHandle);
    d->LoginHandle = -1;
  }
}

void TTMDvs::EndServer(int32_t index) { EndSessionOf(index); }

// ---------------------------------------------------------------- sessions

bool TTMDvs::BeginSession(int32_t index, int32_t handle) {
  TServerSession *s = nullptr, *old = nullptr;
  {
    TLockGuard g(SessionLock);
    TDvrInfo *d = DvrRecord(index);
    if (d && d->Deleted == 0 && StopLinkCheck.load() == 0) {
      if (static_cast<size_t>(index) >= LiveSessions.size()) LiveSessions.resize(static_cast<size_t>(index) + 1);
      // A record has one login at a time; one left over is ended below.
      old = std::exchange(LiveSessions[index], nullptr);
      s = NSession::Make(this, index, handle, Channels(index));
      // The attaching below holds a reference of its own: a message may end
      // the session before the attaching is done.
      s->Refs.fetch_add(1);
      LiveSessions[index] = s;
      d->LoginHandle = handle;
      Register(s);
    }
  }
  if (old) EndSession(old);
  if (!s) {
    // Deleted meanwhile, or the driver is stopping: the login is not kept.
    LogOut(handle);
    DropLogin(handle);
    return false;
  }
  // The session is complete and published, and no lock is held: the SDK may
  // call either callback at once, even before these return.
  if (auto f = SdkFunction<TNvSetCallback>(sfSetCallback)) f(handle, &TTMDvs::MessageCallback);
  if (auto f = SdkFunction<TNvSetStreamFunc>(sfSetStreamFunc)) f(handle, &TTMDvs::StreamCallback, s);
  bool live;
  {
    TLockGuard g(SessionLock);
    live = static_cast<size_t>(index) < LiveSessions.size() && LiveSessions[index] == s;
  }
  if (!live) {
    // Ended while being attached: its end detached it before the stream
    // function above was attached, so detach that once more.
    if (auto f = SdkFunction<TNvSetStreamFunc>(sfSetStreamFunc)) f(handle, nullptr, nullptr);
    NSession::Retire(s);
  } else {
    NSession::Unref(s);
  }
  return live;
}

bool TTMDvs::EndSessionOf(int32_t index, int32_t handle) {
  TServerSession *s = nullptr;
  {
    TLockGuard g(SessionLock);
    if (index >= 0 && static_cast<size_t>(index) < LiveSessions.size() && LiveSessions[index] &&
        (handle < 0 || LiveSessions[index]->LoginHandle == handle))
      s = std::exchange(LiveSessions[index], nullptr);
  }
  // Only the thread that took the session out of the list ends it.
  if (s) EndSession(s);
  return s != nullptr;
}

void TTMDvs::EndSession(TServerSession *s) {
  s->Ended.store(1);
  Unregister(s);
  LogOut(s->LoginHandle);
  if (s->Channels)
    for (int32_t c = 0; c < s->Channels->Count; ++c) CloseChannelRecord((*s->Channels)[c], c, false);
  {
    TLockGuard g(SessionLock);
    TDvrInfo *d = DvrRecord(s->DvrIndex);
    if (d && d->LoginHandle == s->LoginHandle) d->LoginHandle = -1;
  }
  DropLogin(s->LoginHandle);
  NSession::Quiesce(s);
  {
    TLockGuard g(SessionLock);
    CarryCounts(*s);
  }
  NSession::Unref(s);
}

bool TTMDvs::HasSession(int32_t index) {
  TLockGuard g(SessionLock);
  return index >= 0 && static_cast<size_t>(index) < LiveSessions.size() && LiveSessions[index];
}

void TTMDvs::EndAllSessions() {
  size_t n;
  {
    TLockGuard g(SessionLock);
    n = LiveSessions.size();
  }
  for (size_t i = 0; i < n; ++i) EndSessionOf(static_cast<int32_t>(i));
}

uint32_t TTMDvs::OversizedPackets() {
  TLockGuard g(SessionLock);
  uint32_t n = 0;
  for (TServerSession *s : LiveSessions)
    if (s && s->Channels)
      for (int32_t c = 0; c < s->Channels->Count; ++c) n += s->Use[c].Counts.OversizedPackets;
  return n;
}

// ---------------------------------------------------------------- stream counts

TStreamCounts TStreamCounts::Since(const TStreamCounts &b) const {
  TStreamCounts d;
  d.VideoFrames = VideoFrames - b.VideoFrames;
  d.AudioFrames = AudioFrames - b.AudioFrames;
  d.Bytes = Bytes - b.Bytes;
  d.NoKeyDrops = NoKeyDrops - b.NoKeyDrops;
  d.OversizedPackets = OversizedPackets - b.OversizedPackets;
  d.OutsideDrops = OutsideDrops - b.OutsideDrops;
  d.NoBufferDrops = NoBufferDrops - b.NoBufferDrops;
  d.MissingFrames = MissingFrames - b.MissingFrames;
  return d;
}

TStreamCounts &TStreamCounts::operator+=(const TStreamCounts &m) {
  VideoFrames += m.VideoFrames;
  AudioFrames += m.AudioFrames;
  Bytes += m.Bytes;
  NoKeyDrops += m.NoKeyDrops;
  OversizedPackets += m.OversizedPackets;
  OutsideDrops += m.OutsideDrops;
  NoBufferDrops += m.NoBufferDrops;
  MissingFrames += m.MissingFrames;
  return *this;
}

std::string TTMDvs::ServerName(int32_t index) {
  const TDvrInfo *d = DvrRecord(index);
  if (!d) return "?";
  const std::string domain = d->DvrDomain.Text();
  return (domain.empty() ? d->DvrIP.Text() : domain) + ":" + std::to_string(d->Port);
}

TTMDvs::TStreamAccount &TTMDvs::StreamAccount(int32_t index) {
  if (static_cast<size_t>(index) >= StreamAccounts.size()) StreamAccounts.resize(static_cast<size_t>(index) + 1);
  TStreamAccount &a = StreamAccounts[static_cast<size_t>(index)];
  const std::string server = ServerName(index);
  // A record taken over by another server starts afresh.
  if (a.Server != server) {
    a.Server = server;
    a.Carried.clear();
  }
  return a;
}

void TTMDvs::CarryCounts(const TServerSession &s) {
  if (!s.Channels || s.DvrIndex < 0) return;
  TStreamAccount &a = StreamAccount(s.DvrIndex);
  const size_t n = static_cast<size_t>(s.Channels->Count);
  if (a.Carried.size() < n) a.Carried.resize(n);
  for (size_t c = 0; c < n; ++c) a.Carried[c] += s.Use[c].Counts.Since(s.Reported[c]);
}

namespace {

void AppendChannel(std::string &line, int32_t channel, const TStreamCounts &d, double seconds) {
  char text[256];
  const double fps = seconds > 0 ? d.VideoFrames / seconds : 0.0;
  const double kbps = seconds > 0 ? d.Bytes * 8.0 / 1000.0 / seconds : 0.0;
  std::snprintf(text, sizeof text,
                " | ch%d%s fps=%.1f kbps=%.0f video=%u audio=%u drop=%u nokey=%u big=%u outside=%u nobuf=%u miss=%u",
                static_cast<int>(channel), d.VideoFrames == 0 ? " NO FRAMES" : "", fps, kbps, d.VideoFrames,
                d.AudioFrames, d.Drops(), d.NoKeyDrops, d.OversizedPackets, d.OutsideDrops, d.NoBufferDrops,
                d.MissingFrames);
  line += text;
}

} // namespace

void TTMDvs::ReportStreams() {
  std::vector<std::string> lines;
  {
    TLockGuard g(SessionLock);
    const uint32_t now = NClock::Ticks();
    for (size_t i = 0; i < LiveSessions.size(); ++i) {
      TServerSession *s = LiveSessions[i];
      if (!s || !s->Channels) continue;
      TStreamAccount &a = StreamAccount(static_cast<int32_t>(i));
      // From the last line; when nothing is carried over, from this login's
      // start if that came later.
      uint32_t from = a.LastLineTick != 0 ? a.LastLineTick : s->BeginTick;
      if (a.Carried.empty() && static_cast<int32_t>(s->BeginTick - from) > 0) from = s->BeginTick;
      const double seconds = static_cast<int32_t>(now - from) / 1000.0;
      std::string line;
      const int32_t n = s->Channels->Count;
      for (int32_t c = 0; c < n; ++c) {
        TStreamCounts d = s->Use[c].Counts.Since(s->Reported[c]);
        if (static_cast<size_t>(c) < a.Carried.size()) d += a.Carried[static_cast<size_t>(c)];
        const bool counted = d.VideoFrames != 0 || d.AudioFrames != 0 || d.Drops() != 0;
        if ((*s->Channels)[c].ChannelHandle <= 0 && !counted) continue;
        AppendChannel(line, c, d, seconds);
      }
      if (line.empty()) continue;
      for (int32_t c = 0; c < n; ++c) s->Reported[c] = s->Use[c].Counts;
      a.Carried.clear();
      a.LastLineTick = now;
      char head[96];
      std::snprintf(head, sizeof head, " span=%.2f", seconds);
      lines.push_back("zq>>TTMDvs stream " + a.Server + head + line);
    }
  }
  for (const auto &l : lines) WriteDebugLog(l, 1);
}

void TTMDvs::ReportStatus(int32_t dvrId, bool onLine) {
  // Only a callback that some registration carried is ever called.
  if (StatusCallback.Assigned()) NHostCall::Status(StatusCallback, dvrId, onLine);
}

// ---------------------------------------------------------------- server messages

void TTMDvs::MessageLeft() {
  bool mine = false;
  {
    TLockGuard g(RegistryLock);
    if (MessagesInside_.fetch_sub(1) == 1) {
      mine = Retired_.load();
      // A destruction waiting for this may go on once the event is set:
      // nothing of the object is touched after it.
      if (!mine) NoMessages_.Set();
    }
  }
  if (mine) {
    FreeSdkOnDestroy_ = false;
    DestroyIfUnused();
  }
}

int32_t NV_CALL TTMDvs::MessageCallback(int32_t handle, const void *message) {
  if (!message) return 0;
  // The driver that owns the login, counted in while the registry still
  // holds its session (a driver that goes takes its sessions out first).
  TTMDvs *self = nullptr;
  {
    TLockGuard g(RegistryLock);
    for (TServerSession *s : Registry)
      if (s->LoginHandle == handle && s->Ended.load() == 0) {
        self = s->Driver;
        break;
      }
    if (!self) return 0;
    if (self->MessagesInside_.fetch_add(1) == 0) self->NoMessages_.Reset();
    MessageThreads.push_back({NWin::NSystem::ThreadId(), self});
  }
  int32_t result = 0;
  try {
    result = self->OnServerMessage(handle, message);
  } catch (...) {
    // Nothing of ours may unwind into the SDK.
    result = 0;
  }
  {
    TLockGuard g(RegistryLock);
    const auto at = std::find(MessageThreads.begin(), MessageThreads.end(),
                              std::make_pair(static_cast<DWORD>(NWin::NSystem::ThreadId()), self));
    if (at != MessageThreads.end()) MessageThreads.erase(at);
  }
  self->MessageLeft();
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
  // The session of this login ends (detached, channels closed, queued for
  // log-off by the worker); a login the driver holds no session for is
  // only detached.
  if (!EndSessionOf(i, handle)) LogOut(handle);
  DebugLine(TextLogOutEnd + LocalDateTimeText());
  {
    // Only this login's handle is cleared: the worker may have logged the
    // server on again meanwhile.
    TLockGuard g(SessionLock);
    if (d->LoginHandle == handle) d->LoginHandle = -1;
  }
  DebugLine(reset ? "ZQ>>TTMDvs: NV_MSG_RESETSERVER End ---------------"
                  : "ZQ>>TTMDvs: NV_MSG_SERVER_BREAK End ---------------");
  return result;
}
