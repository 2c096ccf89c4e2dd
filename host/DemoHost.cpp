// DemoHost.cpp - the demo host's run: lays out a host directory, sets up the
// simulated servers, drives TMDvs.dll through its interface only, follows the
// scenario's timeline, shows a live view, writes the driver's debugger output
// to a log file and ends with a summary and a verdict.
#include "host/DemoHost.h"
#include "host/ChannelCheck.h"
#include "host/DriverStats.h"
#include "host/Growth.h"
#include "host/Report.h"
#include "host/ResourceUse.h"
#include "host/RunRecord.h"
#include "hostkit/DebugCapture.h"
#include "hostkit/HostKit.h"
#include "sim/SimClient.h"
#include "sim/SimPattern.h"
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
#include <cmath>
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace NDemo {
namespace {

using NHostKit::CallPosition;
using NHostKit::TArgs;
using NHostKit::TCallResult;
using NHostKit::TConstString;
using NHostKit::THostCallbacks;

// Interface positions the host uses.
enum : int {
  PosInit = 3,
  PosAddDvr = 37,
  PosDelDvr = 38,
  PosSetDvrCallback = 41,
  PosStartCapture = 58,
  PosStopCapture = 59,
  PosShutdown = 110,
  PosGetDvrLoginInfo = 121,
  PosSetOfflineReportDelay = 150,
};

constexpr uint32_t MsgResetServer = 0x10000004, MsgServerBreak = 0x10000009;
// A pass of the driver's link supervision: its 10-s wait and the walk over
// the servers, with room for a logon or two.
constexpr double PassSeconds = 11.0;

// TDvrInfo, the 1304-byte server record: the offsets the host fills and reads.
constexpr size_t DvrInfoSize = 1304;
constexpr size_t OffDvrIP = 0, OffPort = 84, OffUserName = 88, OffPassword = 104, OffLoginHandle = 120,
                 OffVideoNum = 136, OffDvrId = 176, OffOnLine = 192, OffStatusCallback = 200;

void PutShortString(uint8_t *rec, size_t off, const std::string &s) {
  rec[off] = static_cast<uint8_t>(s.size());
  std::memcpy(rec + off + 1, s.data(), s.size());
}
void PutInt(uint8_t *rec, size_t off, int32_t v) { std::memcpy(rec + off, &v, 4); }
int32_t GetInt(const uint8_t *rec, size_t off) {
  int32_t v;
  std::memcpy(&v, rec + off, 4);
  return v;
}

// A failure that ends the run with ExitSetup.
struct TSetupError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Format(const char *fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// Driver lines carry Chinese in code page 936; the log is UTF-8.
std::string Cp936ToUtf8(const std::string &s) {
  bool ascii = true;
  for (unsigned char c : s) ascii &= c < 0x80;
  if (ascii || s.empty()) return s;
  const int n = MultiByteToWideChar(936, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return s;
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(936, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  const int m = WideCharToMultiByte(CP_UTF8, 0, w.data(), n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), n, out.data(), m, nullptr, nullptr);
  return out;
}

// For the terminal: plain ASCII, cut to a width.
std::string AsciiLine(const std::string &s, size_t width) {
  std::string out;
  for (unsigned char c : s) {
    if (out.size() >= width) break;
    out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  }
  return out;
}

std::string Bytes(int64_t n) {
  if (n >= 10LL * 1024 * 1024) return Format("%.1f MB", static_cast<double>(n) / (1024.0 * 1024.0));
  if (n >= 10LL * 1024) return Format("%.1f kB", static_cast<double>(n) / 1024.0);
  return Format("%lld B", static_cast<long long>(n));
}

const char *ExpectName(TExpect e) {
  return e == TExpect::OnLine ? "online" : e == TExpect::OffLine ? "offline" : "any";
}

// The simulator's control exports, from the NVSDK.dll the driver loads.
struct TSimApi : TSimClient {
  HMODULE module = nullptr;
  void Load(const std::string &path) {
    module = LoadLibraryA(path.c_str());
    if (!module) throw TSetupError(Format("%s did not load (error %lu)", path.c_str(), GetLastError()));
    if (!Bind(module)) throw TSetupError(path + " is not the simulated SDK: its SIM_ exports are missing");
  }
};

struct TChannelRun {
  std::unique_ptr<TChannelCheck> check;
  std::unique_ptr<THostCallbacks> callbacks; // the frame callback's object
  bool wanted = false;    // the host wants it open
  bool open = false;      // StartDvrCapture succeeded on the current login
  int startFailures = 0;
  DWORD lastTryTick = 0;
  DWORD openSinceTick = 0;
  DWORD openMs = 0;       // time it spent open, over the run
  int64_t lastVideo = 0;  // for frames per second
  double fps = 0;
  // The driver's account, summed from its stream lines.
  int64_t driverVideo = -1; // -1: no line named the channel yet
  int64_t driverDrop = 0, driverMiss = 0;
  double driverFps = -1;     // of its last line
  bool disagreed = false;    // reported once
};

struct TServerRun {
  const TServerEntry *entry = nullptr;
  int32_t dvrId = 0;
  int32_t simId = -1;
  std::string simAddress;
  std::unique_ptr<TConstString> address;
  bool registered = false, deleted = false;
  // From the status callback (SDK and worker threads).
  std::atomic<int> onReports{0}, offReports{0};
  std::atomic<int> state{-1}; // last report: -1 none, 0 off, 1 on
  std::atomic<DWORD> lastReportTick{0};
  std::atomic<int> reconnectsAfterWarmUp{0}; // on-line reports after the warm-up
  // Read back each refresh.
  int infoOnLine = -1;
  int32_t infoLoginHandle = -1;
  TSimCounters sim{};
  std::vector<TChannelRun> channels;
};

class TDemoHost {
public:
  TDemoHost(const TScenario &sc, const TOptions &opt) : sc_(sc), opt_(opt) {}
  ~TDemoHost();
  int Run();

private:
  // Setup.
  void LayOutHostDir();
  void SetUpSimulator();
  void CheckOneSdkInstance();
  // Calls into the driver; a raised exception ends the run.
  TCallResult Call(int pos, const char *name, const TArgs &args);
  void Register(TServerRun &s);
  void SetCallbacks(TServerRun &s);
  // The run.
  void OnStatus(int32_t dvrId, bool onLine);
  void ProcessStatus();
  void OpenWanted(TServerRun &s);
  void OpenChannel(TServerRun &s, int c);
  void CloseChannel(TServerRun &s, int c);
  void MarkClosed(TServerRun &s);
  void Fire(const TEvent &e);
  void Corrupt(TServerRun &s, int channel);
  void Refresh();
  bool ShutDownDriver();
  // The driver's stream lines, and the record of the run for its report.
  void OnDriverLine(const std::string &server, TDriverStatsMark m);
  int64_t PassWorth(const TServerRun &s) const;
  void CheckAccounts(TServerRun &s, size_t c, bool atEnd);
  void Sample();
  void Mark(const char *kind, int server, int channel);
  void WriteRunReport();
  // Output.
  double Now() const; // seconds since Init
  void Note(const std::string &text);
  void DrainLog(bool sync);
  void Render(bool final);
  std::vector<std::string> ViewLines();
  int Summary();

  const TScenario &sc_;
  TOptions opt_;
  std::string exeDir_, hostDir_, logPath_;
  std::unique_ptr<TConstString> hostDirString_;
  std::vector<std::unique_ptr<TServerRun>> servers_;
  THostCallbacks statusCallbacks_;
  NHostKit::TDriverLibrary *lib_ = nullptr;
  void *intf_ = nullptr;
  TSimApi sim_;
  std::unique_ptr<NHostKit::TDebugCapture> capture_;
  FILE *log_ = nullptr;
  bool live_ = false;
  DWORD t0_ = 0;
  bool started_ = false;
  size_t nextEvent_ = 0;
  std::mutex statusMutex_;
  std::deque<std::pair<int32_t, bool>> statusQueue_;
  std::deque<std::string> notes_, tail_;
  std::vector<std::string> problems_;
  bool shutdownFinished_ = false;
  double shutdownSeconds_ = 0;
  int64_t logLines_ = 0;
  int64_t driverLines_ = 0;
  TRunRecord record_;
  std::string reportPath_;
  std::string growthLine_; // the judgement of memory and handles, when made
};

TDemoHost::~TDemoHost() {
  if (log_) std::fclose(log_);
}

double TDemoHost::Now() const {
  return started_ ? static_cast<int32_t>(GetTickCount() - t0_) / 1000.0 : 0.0;
}

void TDemoHost::Note(const std::string &text) {
  const std::string line = Format("[%8.3f] host: ", Now()) + text;
  if (log_) std::fprintf(log_, "%s\n", line.c_str());
  if (live_) {
    notes_.push_back(Format("%7.1fs  ", Now()) + text);
    while (notes_.size() > 6) notes_.pop_front();
  } else {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
}

void TDemoHost::DrainLog(bool sync) {
  if (!capture_) return;
  if (sync) capture_->Sync();
  auto lines = capture_->Take();
  const std::string stamp = Format("[%8.3f] ", Now());
  for (auto &l : lines) {
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    ++logLines_;
    if (log_) std::fprintf(log_, "%s%s\n", stamp.c_str(), Cp936ToUtf8(l).c_str());
    TDriverStatsMark m;
    std::string server;
    if (ParseStreamLine(l, server, m)) {
      ++driverLines_;
      if (!live_) {
        const auto at = l.find("zq>>");
        std::printf("%sdriver: %s\n", stamp.c_str(), l.substr(at).c_str());
      }
      OnDriverLine(server, std::move(m));
    }
    if (opt_.tail > 0) {
      tail_.push_back(l);
      while (tail_.size() > static_cast<size_t>(opt_.tail)) tail_.pop_front();
    }
  }
  if (log_) std::fflush(log_);
}

TCallResult TDemoHost::Call(int pos, const char *name, const TArgs &args) {
  auto r = CallPosition(intf_, pos, args);
  if (r.raised) {
    if (r.code == NHostKit::DriverExceptionCode)
      throw TSetupError(Format("%s (position %d) raised %s: %s", name, pos, r.className.c_str(),
                               r.message.c_str()));
    throw TSetupError(Format("%s (position %d) raised exception 0x%08X", name, pos, r.code));
  }
  return r;
}

void TDemoHost::LayOutHostDir() {
  hostDir_ = opt_.hostDir.empty() ? exeDir_ + "host" : opt_.hostDir;
  while (hostDir_.size() > 3 && (hostDir_.back() == '\\' || hostDir_.back() == '/')) hostDir_.pop_back();
  char full[MAX_PATH];
  if (GetFullPathNameA(hostDir_.c_str(), MAX_PATH, full, nullptr)) hostDir_ = full;
  for (const char *name : {"TMDvs.dll", "NVSDK.dll", "PTZ.dll"})
    if (GetFileAttributesA((exeDir_ + name).c_str()) == INVALID_FILE_ATTRIBUTES)
      throw TSetupError(Format("%s is missing beside the program (%s)%s", name, exeDir_.c_str(),
                               std::strcmp(name, "TMDvs.dll") ? ": the simulated SDK is not built" : ""));
  const std::string sdkDir = hostDir_ + "\\System\\ZEZov";
  for (const std::string &d : {hostDir_, hostDir_ + "\\System", sdkDir})
    if (!CreateDirectoryA(d.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      throw TSetupError(Format("cannot make the folder %s (error %lu)", d.c_str(), GetLastError()));
  auto copy = [&](const std::string &from, const std::string &to) {
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE))
      throw TSetupError(Format("cannot copy %s to %s (error %lu)", from.c_str(), to.c_str(), GetLastError()));
  };
  copy(exeDir_ + "NVSDK.dll", sdkDir + "\\NVSDK.dll");
  copy(exeDir_ + "PTZ.dll", hostDir_ + "\\PTZ.dll");
  hostDirString_ = std::make_unique<TConstString>(hostDir_);
}

void TDemoHost::SetUpSimulator() {
  // The copy in the host directory: the very file the driver will load, so
  // both talk to one simulator.
  sim_.Load(hostDir_ + "\\System\\ZEZov\\NVSDK.dll");
  sim_.Reset();
  if (!opt_.leak.empty()) {
    // For tests of the judgement of a long run only: the simulator keeps a
    // block per frame or a handle per logon.
    sim_.SetLeak(opt_.leak == "frame", opt_.leak == "handle");
    Note("test leak switched on: " + opt_.leak);
  }
  for (auto &sp : servers_) {
    TServerRun &s = *sp;
    const TServerEntry &d = *s.entry;
    // A host name is simulated at the address it resolves to; the port tells
    // the servers apart.
    s.simAddress = d.address;
    if (inet_addr(d.address.c_str()) != INADDR_NONE) {
      // already a dotted address
    } else if (const hostent *h = gethostbyname(d.address.c_str()); h && h->h_addrtype == AF_INET && h->h_addr_list[0]) {
      in_addr a;
      std::memcpy(&a, h->h_addr_list[0], sizeof a);
      s.simAddress = inet_ntoa(a);
    }
    if (!d.simulated) continue;
    s.simId = sim_.AddServer(s.simAddress.c_str(), d.port, d.simUser.c_str(), d.simPassword.c_str(),
                             d.channels, d.behaviour);
    if (s.simId < 0)
      throw TSetupError(Format("the simulator refused server %s at %s:%d", d.name.c_str(), s.simAddress.c_str(),
                               d.port));
    sim_.SetStream(s.simId, d.fps, d.videoMin, d.videoMax, d.audio, d.keyInterval);
    if (d.logonDelayMs > 0) sim_.SetLogonDelay(s.simId, d.logonDelayMs);
    Note(Format("simulated server %s at %s:%d (%s/%s)", d.name.c_str(), s.simAddress.c_str(), d.port,
                d.simUser.c_str(), d.simPassword.c_str()));
  }
}

void TDemoHost::CheckOneSdkInstance() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  if (snap == INVALID_HANDLE_VALUE) return;
  MODULEENTRY32 me{};
  me.dwSize = sizeof me;
  int n = 0;
  std::string where;
  for (BOOL ok = Module32First(snap, &me); ok; ok = Module32Next(snap, &me))
    if (_stricmp(me.szModule, "NVSDK.dll") == 0) {
      ++n;
      where += std::string(" ") + me.szExePath;
    }
  CloseHandle(snap);
  if (n != 1) problems_.push_back(Format("%d copies of NVSDK.dll are loaded:%s", n, where.c_str()));
}

void TDemoHost::Register(TServerRun &s) {
  const TServerEntry &d = *s.entry;
  std::vector<uint8_t> rec(DvrInfoSize, 0);
  PutShortString(rec.data(), OffDvrIP, d.address);
  PutInt(rec.data(), OffPort, d.port);
  PutShortString(rec.data(), OffUserName, d.user);
  PutShortString(rec.data(), OffPassword, d.password);
  PutInt(rec.data(), OffLoginHandle, -1);
  PutInt(rec.data(), OffVideoNum, d.channels);
  PutInt(rec.data(), OffDvrId, s.dvrId);
  const auto m = statusCallbacks_.StatusMethod();
  std::memcpy(rec.data() + OffStatusCallback, &m.code, 4);
  std::memcpy(rec.data() + OffStatusCallback + 4, &m.data, 4);
  auto r = Call(PosAddDvr, "ORVA_Device_AddDvr", TArgs().Ptr(rec.data()));
  if (!r.al()) {
    Note(Format("AddDvr %s (%s:%d): the driver refused it (already registered)", d.name.c_str(),
                d.address.c_str(), d.port));
    return;
  }
  s.registered = true;
  s.deleted = false;
  Note(Format("registered %s: %s:%d user %s, %d channels", d.name.c_str(), d.address.c_str(), d.port,
              d.user.c_str(), d.channels));
}

void TDemoHost::SetCallbacks(TServerRun &s) {
  for (size_t c = 0; c < s.channels.size(); ++c)
    Call(PosSetDvrCallback, "ORVA_Device_SetDvrCallback",
         TArgs()
             .Str(s.address->get())
             .Int(s.entry->port)
             .Int(static_cast<int32_t>(c))
             .Method(s.channels[c].callbacks->FrameMethod())
             .NilMethod()
             .NilMethod()
             .NilMethod()
             .NilMethod());
}

void TDemoHost::OnStatus(int32_t dvrId, bool onLine) {
  for (auto &sp : servers_)
    if (sp->dvrId == dvrId) {
      (onLine ? sp->onReports : sp->offReports)++;
      if (onLine && sc_.warmUpMs > 0 && Now() * 1000 >= sc_.warmUpMs) sp->reconnectsAfterWarmUp++;
      sp->state = onLine ? 1 : 0;
      sp->lastReportTick = GetTickCount();
    }
  std::lock_guard<std::mutex> lock(statusMutex_);
  statusQueue_.emplace_back(dvrId, onLine);
}

void TDemoHost::MarkClosed(TServerRun &s) {
  const DWORD now = GetTickCount();
  for (auto &ch : s.channels)
    if (ch.open) {
      ch.open = false;
      ch.openMs += now - ch.openSinceTick;
    }
}

void TDemoHost::ProcessStatus() {
  std::deque<std::pair<int32_t, bool>> q;
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    q.swap(statusQueue_);
  }
  for (auto [id, on] : q) {
    TServerRun *s = nullptr;
    for (auto &sp : servers_)
      if (sp->dvrId == id) s = sp.get();
    if (!s) {
      Note(Format("status report for unknown server id %d", id));
      continue;
    }
    Note(Format("status: %s %s", s->entry->name.c_str(), on ? "on line" : "off line"));
    // Either way the channels of the old login are gone: a break closed them,
    // and an on-line report means a new login.
    MarkClosed(*s);
    for (auto &ch : s->channels) ch.lastTryTick = 0;
  }
}

void TDemoHost::OpenChannel(TServerRun &s, int c) {
  auto &ch = s.channels[static_cast<size_t>(c)];
  ch.lastTryTick = GetTickCount();
  auto r = Call(PosStartCapture, "ORVA_Device_StartDvrCapture",
                TArgs().Str(s.address->get()).Int(s.entry->port).Int(c));
  if (r.i32() == 0) {
    ch.open = true;
    ch.openSinceTick = GetTickCount();
    Note(Format("opened %s channel %d", s.entry->name.c_str(), c));
  } else {
    ++ch.startFailures;
    Note(Format("StartDvrCapture %s channel %d failed (%d)", s.entry->name.c_str(), c, r.i32()));
  }
}

void TDemoHost::CloseChannel(TServerRun &s, int c) {
  auto &ch = s.channels[static_cast<size_t>(c)];
  auto r = Call(PosStopCapture, "ORVA_Device_StopDvrCapture",
                TArgs().Str(s.address->get()).Int(s.entry->port).Int(c));
  if (ch.open) {
    ch.open = false;
    ch.openMs += GetTickCount() - ch.openSinceTick;
  }
  Note(Format("closed %s channel %d (%d)", s.entry->name.c_str(), c, r.i32()));
}

// Opens the wanted channels of a server that reports on line; a failed open
// is tried again a second later while the server stays on line.
void TDemoHost::OpenWanted(TServerRun &s) {
  if (!s.registered || s.deleted || s.state != 1) return;
  const DWORD now = GetTickCount();
  for (size_t c = 0; c < s.channels.size(); ++c) {
    auto &ch = s.channels[c];
    if (ch.wanted && !ch.open && (ch.lastTryTick == 0 || now - ch.lastTryTick >= 1000))
      OpenChannel(s, static_cast<int>(c));
  }
}

void TDemoHost::Corrupt(TServerRun &s, int channel) {
  // A one-fragment frame in the stream layout whose video part carries the
  // pattern's head but one wrong byte: the frame check must catch it.
  constexpr int Head = 28, Video = 64;
  uint8_t packet[Head + Video] = {};
  const int32_t payload = Video;
  const uint32_t video = Video;
  packet[0] = 1; // start of a frame
  std::memcpy(packet + 4, &payload, 4);
  std::memcpy(packet + 12, &video, 4);
  packet[22] = 1; // key frame, so it is delivered even right after an open
  packet[23] = 0; // fragment 0
  SimFillVideo(packet + Head, Video, static_cast<uint32_t>(s.entry->port), static_cast<uint32_t>(channel), 0);
  packet[Head + 40] ^= 0x5A;
  const int32_t r = sim_.InjectPacket(s.infoLoginHandle, channel, packet, sizeof packet);
  Note(Format("corrupt: injected a damaged frame into %s channel %d (login %d) -> %d", s.entry->name.c_str(),
              channel, s.infoLoginHandle, r));
}

void TDemoHost::Fire(const TEvent &e) {
  if (e.kind == TEventKind::Shutdown) return;
  Mark(EventName(e.kind), e.server, e.channel);
  TServerRun &s = *servers_[static_cast<size_t>(e.server)];
  const std::string &name = s.entry->name;
  switch (e.kind) {
  case TEventKind::Open:
  case TEventKind::Close:
    for (size_t c = 0; c < s.channels.size(); ++c) {
      if (e.channel >= 0 && static_cast<int>(c) != e.channel) continue;
      auto &ch = s.channels[c];
      if (e.kind == TEventKind::Open) {
        ch.wanted = true;
        ch.lastTryTick = 0;
      } else {
        ch.wanted = false;
        if (s.registered && !s.deleted) CloseChannel(s, static_cast<int>(c));
      }
    }
    if (e.kind == TEventKind::Open) {
      Note(Format("event: open %s %s", name.c_str(), e.channel < 0 ? "all" : std::to_string(e.channel).c_str()));
      OpenWanted(s);
    }
    break;
  case TEventKind::Break:
  case TEventKind::Reset: {
    const bool brk = e.kind == TEventKind::Break;
    const int32_t r = s.simId >= 0 ? sim_.InjectMessage(s.simId, brk ? MsgServerBreak : MsgResetServer, 0) : -1;
    Note(Format("event: %s %s%s", brk ? "link break on" : "reset of", name.c_str(),
                r < 0 ? " (it has no login: nothing sent)" : ""));
    break;
  }
  case TEventKind::Add:
    Note("event: add " + name);
    if (s.registered && !s.deleted) {
      Note("add " + name + ": already registered, nothing to do");
      break;
    }
    Register(s);
    if (s.registered) SetCallbacks(s);
    break;
  case TEventKind::Delete:
    Note("event: delete " + name);
    if (!s.registered || s.deleted) break;
    Call(PosDelDvr, "ORVA_Device_DelDvr", TArgs().Str(s.address->get()).Int(s.entry->port));
    s.deleted = true;
    s.state = -1;
    MarkClosed(s);
    break;
  case TEventKind::Corrupt:
    if (s.infoLoginHandle < 0) {
      Note("event: corrupt " + name + ": it is not logged on, nothing injected");
      break;
    }
    Corrupt(s, e.channel);
    break;
  case TEventKind::Shutdown:
    break;
  }
}

void TDemoHost::Refresh() {
  for (auto &sp : servers_) {
    TServerRun &s = *sp;
    if (s.simId >= 0) sim_.GetCounters(s.simId, &s.sim);
    if (s.registered && !s.deleted) {
      std::vector<uint8_t> rec(DvrInfoSize, 0);
      auto r = Call(PosGetDvrLoginInfo, "ORVA_Device_GetDvrLoginInfo",
                    TArgs().Str(s.address->get()).Int(s.entry->port).Ptr(rec.data()));
      if (r.al()) {
        s.infoOnLine = rec[OffOnLine];
        s.infoLoginHandle = GetInt(rec.data(), OffLoginHandle);
      } else {
        s.infoOnLine = -1;
        s.infoLoginHandle = -1;
      }
    } else {
      s.infoOnLine = -1;
      s.infoLoginHandle = -1;
    }
  }
}

// Runs the driver's shutdown on a thread of its own, so a shutdown that does
// not end cannot hold the host: it is given the scenario's time limit.
bool TDemoHost::ShutDownDriver() {
  struct TJob {
    void *intf;
    TCallResult result;
  };
  auto *job = new TJob{intf_, {}};
  struct TBody {
    static DWORD WINAPI Run(void *p) {
      auto *j = static_cast<TJob *>(p);
      j->result = CallPosition(j->intf, PosShutdown);
      return 0;
    }
  };
  const DWORD start = GetTickCount();
  HANDLE h = CreateThread(nullptr, 0, &TBody::Run, job, 0, nullptr);
  if (!h) throw TSetupError("cannot start the shutdown thread");
  DWORD w;
  // Keep the log flowing while waiting.
  while ((w = WaitForSingleObject(h, 100)) == WAIT_TIMEOUT &&
         GetTickCount() - start < static_cast<DWORD>(sc_.shutdownLimitMs))
    DrainLog(false);
  shutdownSeconds_ = (GetTickCount() - start) / 1000.0;
  if (w != WAIT_OBJECT_0) {
    // The thread and its job stay: the driver may still be using them.
    problems_.push_back(Format("the driver's shutdown did not finish within %.1f s", sc_.shutdownLimitMs / 1000.0));
    Note(Format("ORVA_Device_Shutdown has not returned after %.1f s", shutdownSeconds_));
    return false;
  }
  CloseHandle(h);
  const TCallResult r = job->result;
  delete job;
  if (r.raised)
    problems_.push_back(Format("ORVA_Device_Shutdown raised %s: %s", r.className.c_str(), r.message.c_str()));
  Note(Format("ORVA_Device_Shutdown returned %u after %.2f s", r.al(), shutdownSeconds_));
  return !r.raised;
}

// ---------------------------------------------------------------- the driver's account

// One pass of the driver's link supervision: the 10-s wait and the walk.
// The driver's counts and the host's may be that far apart.
int64_t TDemoHost::PassWorth(const TServerRun &s) const {
  return static_cast<int64_t>(std::ceil(s.entry->fps * PassSeconds));
}

// The driver's sum and the host's count of a channel's video frames: at each
// of the driver's lines they agree to within one pass's worth of frames (the
// host reads the line a moment after the driver wrote it); at the end the
// host may be ahead by what came after the driver's last line.
void TDemoHost::CheckAccounts(TServerRun &s, size_t c, bool atEnd) {
  auto &ch = s.channels[c];
  if (ch.disagreed) return;
  const int64_t host = ch.check->Counts().video, driver = std::max<int64_t>(ch.driverVideo, 0);
  const int64_t worth = PassWorth(s);
  const bool apart = atEnd ? host - driver > worth || driver - host > s.entry->fps : std::llabs(host - driver) > worth;
  if (!apart) return;
  ch.disagreed = true;
  problems_.push_back(Format("server %s channel %zu: the driver's stream lines count %lld video frames, the host %lld%s "
                             "(more than one pass's worth, %lld, apart)",
                             s.entry->name.c_str(), c, static_cast<long long>(driver), static_cast<long long>(host),
                             atEnd ? " at the end" : Format(" at %.1f s", Now()).c_str(), static_cast<long long>(worth)));
}

void TDemoHost::OnDriverLine(const std::string &server, TDriverStatsMark m) {
  for (size_t i = 0; i < servers_.size(); ++i) {
    TServerRun &s = *servers_[i];
    if (Format("%s:%d", s.entry->address.c_str(), s.entry->port) != server) continue;
    m.t = Now();
    m.server = static_cast<int>(i);
    for (const auto &c : m.channels) {
      if (c.channel < 0 || static_cast<size_t>(c.channel) >= s.channels.size()) continue;
      auto &ch = s.channels[static_cast<size_t>(c.channel)];
      ch.driverVideo = std::max<int64_t>(ch.driverVideo, 0) + c.video;
      ch.driverDrop += c.drop;
      ch.driverMiss += c.miss;
      ch.driverFps = c.fps;
      CheckAccounts(s, static_cast<size_t>(c.channel), false);
    }
    record_.driverLines.push_back(std::move(m));
    return;
  }
  Note("the driver reported streams of a server the host does not know: " + server);
}

void TDemoHost::Mark(const char *kind, int server, int channel) {
  TEventMark e;
  e.t = Now();
  e.kind = kind;
  e.server = server;
  e.channel = channel;
  record_.events.push_back(std::move(e));
}

// A sample a second: frames per second of every channel, every server's
// state, and what the process holds.
void TDemoHost::Sample() {
  TSample x;
  x.t = Now();
  for (auto &sp : servers_) {
    const TServerRun &s = *sp;
    x.state.push_back(!s.registered || s.deleted ? -1 : s.state.load());
    for (const auto &ch : s.channels) x.fps.push_back(ch.fps);
  }
  const TResourceSample use = SampleResources(x.t);
  x.privateBytes = use.privateBytes;
  x.handles = use.handles;
  x.threads = use.threads;
  record_.samples.push_back(std::move(x));
}

void TDemoHost::WriteRunReport() {
  record_.title = sc_.title;
  record_.logPath = logPath_;
  record_.duration = sc_.shutdownAtMs / 1000.0;
  record_.warmUp = sc_.warmUpMs / 1000.0;
  record_.problems = problems_;
  record_.finished = true;
  record_.servers.clear();
  record_.channels.clear();
  int first = 0;
  for (size_t i = 0; i < servers_.size(); ++i) {
    const TServerRun &s = *servers_[i];
    TServerInfo info;
    info.name = s.entry->name;
    info.address = s.entry->address;
    info.port = s.entry->port;
    info.channels = static_cast<int>(s.channels.size());
    info.firstChannel = first;
    first += info.channels;
    record_.servers.push_back(info);
    for (size_t c = 0; c < s.channels.size(); ++c) {
      const auto &ch = s.channels[c];
      const auto n = ch.check->Counts();
      TChannelSummary row;
      row.server = static_cast<int>(i);
      row.channel = static_cast<int>(c);
      row.openSeconds = ch.openMs / 1000.0;
      row.video = n.video;
      row.key = n.key;
      row.header = n.header;
      row.audio = n.audio;
      row.bytes = n.bytes;
      row.bad = n.bad;
      row.gaps = n.gaps;
      row.driverVideo = ch.driverVideo;
      row.driverDrop = ch.driverDrop;
      row.driverMiss = ch.driverMiss;
      record_.channels.push_back(row);
    }
  }
  if (!WriteReport(reportPath_, record_)) std::printf("tmhost: cannot write the report %s\n", reportPath_.c_str());
}

std::vector<std::string> TDemoHost::ViewLines() {
  std::vector<std::string> out;
  const double t = Now(), end = sc_.shutdownAtMs / 1000.0;
  constexpr int Bar = 30;
  const int filled = end > 0 ? static_cast<int>(Bar * std::min(1.0, t / end)) : Bar;
  std::string next = "shutdown";
  if (nextEvent_ < sc_.events.size()) {
    const auto &e = sc_.events[nextEvent_];
    next = Format("%.1fs %s", e.atMs / 1000.0, EventName(e.kind));
    if (e.server >= 0) next += " " + servers_[static_cast<size_t>(e.server)]->entry->name;
    if (e.channel >= 0) next += Format(" %d", e.channel);
  }
  out.push_back(Format("tmhost - %s", sc_.title.empty() ? "scenario" : sc_.title.c_str()));
  out.push_back(Format("[%s%s] %5.1f / %.1f s   next: %s", std::string(static_cast<size_t>(filled), '#').c_str(),
                       std::string(static_cast<size_t>(Bar - filled), '.').c_str(), t, end, next.c_str()));
  out.push_back("");
  out.push_back("server address              expect  report    last  on  off  driver        sim logons");
  for (auto &sp : servers_) {
    TServerRun &s = *sp;
    const int st = s.state;
    const char *rep = !s.registered ? "unreg." : s.deleted ? "deleted" : st == 1 ? "ON" : st == 0 ? "off" : "-";
    const DWORD last = s.lastReportTick;
    const std::string lastText = last ? Format("%5.1fs", static_cast<int32_t>(last - t0_) / 1000.0) : "    -";
    const std::string drv = s.infoOnLine < 0 ? "-" : Format("%s h=%d", s.infoOnLine ? "on" : "off", s.infoLoginHandle);
    out.push_back(Format("%-6s %-20s %-7s %-8s %6s %3d %4d  %-13s %d/%d", s.entry->name.c_str(),
                         Format("%s:%d", s.entry->address.c_str(), s.entry->port).c_str(), ExpectName(s.entry->expect),
                         rep, lastText.c_str(), s.onReports.load(), s.offReports.load(), drv.c_str(),
                         s.sim.LogonsAccepted, s.sim.LogonAttempts));
  }
  out.push_back("");
  out.push_back("channel    state   f/s   video    key  hdr  audio     bytes   bad  gaps   driver: f/s  video drop miss");
  for (auto &sp : servers_) {
    TServerRun &s = *sp;
    for (size_t c = 0; c < s.channels.size(); ++c) {
      const auto &ch = s.channels[c];
      const auto n = ch.check->Counts();
      // The driver's account: the fps of its last stream line, its sums.
      const std::string driver =
          ch.driverVideo < 0 ? "            -" : Format("%13.1f %6lld %4lld %4lld", ch.driverFps,
                                                       static_cast<long long>(ch.driverVideo),
                                                       static_cast<long long>(ch.driverDrop),
                                                       static_cast<long long>(ch.driverMiss));
      out.push_back(Format("%-6s %-3zu %-6s %5.1f %7lld %6lld %4lld %6lld %9s %5lld %5lld %s%s", s.entry->name.c_str(),
                           c, ch.open ? "open" : ch.wanted ? "wanted" : "closed", ch.fps,
                           static_cast<long long>(n.video), static_cast<long long>(n.key),
                           static_cast<long long>(n.header), static_cast<long long>(n.audio), Bytes(n.bytes).c_str(),
                           static_cast<long long>(n.bad), static_cast<long long>(n.gaps), driver.c_str(),
                           n.bad ? "  FAULT" : ""));
    }
  }
  out.push_back("");
  out.push_back("host events:");
  for (const auto &n : notes_) out.push_back("  " + n);
  if (opt_.tail > 0) {
    out.push_back(Format("driver output (last %d of %lld lines, all in %s):", opt_.tail,
                         static_cast<long long>(logLines_), logPath_.c_str()));
    for (const auto &l : tail_) out.push_back("  " + AsciiLine(l, 110));
  }
  return out;
}

void TDemoHost::Render(bool final) {
  // Frames per second since the last refresh.
  static DWORD lastTick = 0;
  const DWORD now = GetTickCount();
  const double dt = lastTick ? (now - lastTick) / 1000.0 : 0;
  lastTick = now;
  for (auto &sp : servers_)
    for (auto &ch : sp->channels) {
      const int64_t v = ch.check->Counts().video;
      if (dt > 0) ch.fps = (v - ch.lastVideo) / dt;
      ch.lastVideo = v;
    }
  if (!final && started_ && nextEvent_ < sc_.events.size()) Sample();
  if (live_) {
    std::string screen = "\x1b[H";
    for (const auto &l : ViewLines()) screen += l + "\x1b[K\n";
    screen += "\x1b[J";
    std::fputs(screen.c_str(), stdout);
    std::fflush(stdout);
    return;
  }
  if (final) return;
  // Plain lines: one per refresh.
  std::string line = Format("[%8.3f] view:", Now());
  int64_t frames = 0, bad = 0;
  for (auto &sp : servers_) {
    TServerRun &s = *sp;
    double fps = 0;
    for (auto &ch : s.channels) {
      fps += ch.fps;
      const auto n = ch.check->Counts();
      frames += n.video;
      bad += n.bad;
    }
    const int st = s.state;
    line += Format(" %s=%s", s.entry->name.c_str(),
                   !s.registered ? "unreg" : s.deleted ? "deleted" : st == 1 ? "on" : st == 0 ? "off" : "-");
    if (fps > 0) line += Format("(%.0f f/s)", fps);
  }
  line += Format(" | frames %lld bad %lld", static_cast<long long>(frames), static_cast<long long>(bad));
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int TDemoHost::Summary() {
  // Judge the run.
  for (auto &sp : servers_) {
    TServerRun &s = *sp;
    const TServerEntry &d = *s.entry;
    if (d.expect == TExpect::OnLine && s.onReports == 0)
      problems_.push_back(Format("server %s was expected on line and never came on line", d.name.c_str()));
    if (d.expect == TExpect::OffLine && s.onReports > 0)
      problems_.push_back(Format("server %s was expected off line and came on line", d.name.c_str()));
    for (size_t c = 0; c < s.channels.size(); ++c) {
      const auto &ch = s.channels[c];
      const auto n = ch.check->Counts();
      if (n.bad > 0)
        problems_.push_back(Format("server %s channel %zu: %lld frames failed the check (first: %s)", d.name.c_str(), c,
                                   static_cast<long long>(n.bad), ch.check->FirstFault().c_str()));
      if (n.video == 0 && ch.openMs >= 2000)
        problems_.push_back(
            Format("server %s channel %zu was open %.1f s and delivered no frame", d.name.c_str(), c, ch.openMs / 1000.0));
      CheckAccounts(s, c, true);
    }
  }
  if (sc_.warmUpMs > 0) {
    std::vector<TResourceSample> use;
    // Up to the shutdown: what the threads' winding down does is not judged.
    for (const auto &x : record_.samples)
      if (x.t * 1000 < sc_.shutdownAtMs) use.push_back({x.t, x.privateBytes, x.handles, x.threads});
    int reconnects = 0;
    for (auto &sp : servers_) reconnects += sp->reconnectsAfterWarmUp;
    const TGrowth g = MeasureGrowth(use, sc_.warmUpMs / 1000.0, reconnects);
    if (!g.judged) growthLine_ = "memory and handles: not judged: " + g.note;
    else
      growthLine_ = Format("memory and handles, %d samples from %.0f to %.0f s: private memory %s/min (limit %s), "
                           "handles %+.2f/min (limit %.1f), threads %+.2f/min; %d logons",
                           g.samples, g.from, g.to, GrowthBytes(g.memory.rate).c_str(),
                           GrowthBytes(MemoryRateLimit).c_str(), g.handles.rate, HandleRateLimit, g.threads.rate,
                           reconnects);
    for (const auto &p : g.problems) problems_.push_back(p);
  }
  std::printf("\nSummary%s%s\n", sc_.title.empty() ? "" : ": ", sc_.title.c_str());
  std::printf("server address              expect  on-line  on  off  sim-logons  frames      bytes   bad\n");
  for (auto &sp : servers_) {
    TServerRun &s = *sp;
    int64_t frames = 0, bytes = 0, bad = 0;
    for (auto &ch : s.channels) {
      const auto n = ch.check->Counts();
      frames += n.video;
      bytes += n.bytes;
      bad += n.bad;
    }
    std::printf("%-6s %-20s %-7s %-8s %3d %4d  %5d/%-5d %7lld %10s %5lld\n", s.entry->name.c_str(),
                Format("%s:%d", s.entry->address.c_str(), s.entry->port).c_str(), ExpectName(s.entry->expect),
                s.onReports > 0 ? "yes" : "no", s.onReports.load(), s.offReports.load(), s.sim.LogonsAccepted,
                s.sim.LogonAttempts, static_cast<long long>(frames), Bytes(bytes).c_str(), static_cast<long long>(bad));
  }
  std::printf("\nchannel     open-s   video    key  hdr  audio      bytes   bad  gaps  start-failures  driver: video  drop  miss\n");
  for (auto &sp : servers_) {
    TServerRun &s = *sp;
    for (size_t c = 0; c < s.channels.size(); ++c) {
      const auto &ch = s.channels[c];
      const auto n = ch.check->Counts();
      std::printf("%-6s %-3zu %7.1f %7lld %6lld %4lld %6lld %10s %5lld %5lld  %14d  %13s %5lld %5lld\n",
                  s.entry->name.c_str(), c, ch.openMs / 1000.0, static_cast<long long>(n.video),
                  static_cast<long long>(n.key), static_cast<long long>(n.header), static_cast<long long>(n.audio),
                  Bytes(n.bytes).c_str(), static_cast<long long>(n.bad), static_cast<long long>(n.gaps),
                  ch.startFailures,
                  ch.driverVideo < 0 ? "-" : std::to_string(ch.driverVideo).c_str(),
                  static_cast<long long>(ch.driverDrop), static_cast<long long>(ch.driverMiss));
    }
  }
  std::printf("\nshutdown: %s (%.2f s)\n", shutdownFinished_ ? "finished" : "did not finish", shutdownSeconds_);
  std::printf("driver log: %s (%lld lines, %lld stream lines)\n", logPath_.c_str(), static_cast<long long>(logLines_),
              static_cast<long long>(driverLines_));
  std::printf("report: %s\n", reportPath_.c_str());
  if (!growthLine_.empty()) std::printf("%s\n", growthLine_.c_str());
  for (const auto &p : problems_) std::printf("FAIL: %s\n", p.c_str());
  if (log_ && !growthLine_.empty()) std::fprintf(log_, "%s\n", growthLine_.c_str());
  if (log_)
    for (const auto &p : problems_) std::fprintf(log_, "FAIL: %s\n", p.c_str());
  std::printf("Result: %s\n", problems_.empty() ? "PASS" : Format("FAIL (%zu problems)", problems_.size()).c_str());
  std::fflush(stdout);
  if (log_) std::fflush(log_);
  WriteRunReport();
  return problems_.empty() ? ExitPass : ExitFail;
}

int TDemoHost::Run() {
  exeDir_ = NHostKit::ExeDir();
  // The log: named, or next to the scenario file, or in the current folder.
  logPath_ = opt_.logFile;
  if (logPath_.empty()) {
    const auto cut = opt_.scenarioFile.find_last_of("\\/");
    logPath_ = (cut == std::string::npos ? std::string() : opt_.scenarioFile.substr(0, cut + 1)) + "tmhost.log";
  }
  // The report goes beside the log: tmhost.log, tmhost.html.
  const auto dot = logPath_.find_last_of(".\\/");
  reportPath_ = (dot != std::string::npos && logPath_[dot] == '.' ? logPath_.substr(0, dot) : logPath_) + ".html";
  record_.samples.reserve(static_cast<size_t>(sc_.shutdownAtMs / 1000 + 120));
  log_ = std::fopen(logPath_.c_str(), "w");
  if (!log_) {
    std::fprintf(stderr, "tmhost: cannot write the log file %s\n", logPath_.c_str());
    return ExitSetup;
  }
  // Terminal or not: a live view for a console, plain lines for a pipe or file.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  const bool console = GetConsoleMode(out, &mode) != 0;
  live_ = opt_.view == TView::Live || (opt_.view == TView::Auto && console);
  if (live_ && console) SetConsoleMode(out, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */);
  if (live_) std::fputs("\x1b[2J\x1b[H", stdout);

  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  for (size_t i = 0; i < sc_.servers.size(); ++i) {
    auto s = std::make_unique<TServerRun>();
    s->entry = &sc_.servers[i];
    s->dvrId = static_cast<int32_t>(i + 1);
    s->address = std::make_unique<TConstString>(s->entry->address);
    s->channels.resize(static_cast<size_t>(s->entry->channels));
    for (size_t c = 0; c < s->channels.size(); ++c) {
      auto &ch = s->channels[c];
      TStreamShape shape;
      shape.port = static_cast<uint32_t>(s->entry->port);
      shape.channel = static_cast<uint32_t>(c);
      shape.videoMin = s->entry->videoMin;
      shape.videoMax = s->entry->videoMax;
      shape.audio = s->entry->audio;
      shape.keyInterval = s->entry->keyInterval;
      ch.check = std::make_unique<TChannelCheck>(shape);
      ch.callbacks = std::make_unique<THostCallbacks>();
      TChannelCheck *check = ch.check.get();
      ch.callbacks->frame = [check](const void *info) {
        TDvrFrameInfo f;
        std::memcpy(&f, info, sizeof f);
        check->OnFrame(f);
      };
      ch.wanted = sc_.autoOpen;
    }
    servers_.push_back(std::move(s));
  }
  statusCallbacks_.status = [this](int32_t id, bool on, uint32_t) { OnStatus(id, on); };

  NHostKit::TDriverLibrary *lib = nullptr;
  int status = ExitPass;
  bool driverUp = false, inited = false;
  try {
    LayOutHostDir();
    capture_ = std::make_unique<NHostKit::TDebugCapture>();
    if (!capture_->Active()) Note("the driver's debugger output cannot be captured (another reader holds it)");
    Note("host directory " + hostDir_ + ", log " + logPath_);
    lib = new NHostKit::TDriverLibrary();
    lib_ = lib;
    if (!lib->Loaded()) throw TSetupError(Format("TMDvs.dll did not load (error %lu)", GetLastError()));
    auto cr = lib->Create(&intf_, 22, hostDirString_->get());
    if (cr.raised) throw TSetupError("ORVA_CreateDevice raised " + cr.className + ": " + cr.message);
    if (!intf_) throw TSetupError("ORVA_CreateDevice(22) gave no driver");
    driverUp = true;
    Note("TMDvs.dll loaded, ORVA_CreateDevice(22) gave the driver");
    // The simulator: the host directory's copy, the very file the driver
    // loads at Init, so both use one instance.
    SetUpSimulator();
    for (auto &s : servers_)
      if (s->entry->registerAtStart) Register(*s);
    int32_t delay = sc_.offlineDelayMs;
    Call(PosSetOfflineReportDelay, "ORVA_Device_SetOfflineReportDelay", TArgs().Int(0).Ptr(&delay));
    t0_ = GetTickCount();
    started_ = true;
    const auto init = Call(PosInit, "ORVA_Device_Init", TArgs());
    inited = true;
    if (init.i32() != 1) throw TSetupError(Format("ORVA_Device_Init gave %d: the driver could not bind NVSDK.dll", init.i32()));
    Note("ORVA_Device_Init: SDK bound, link supervision started");
    CheckOneSdkInstance();
    for (auto &s : servers_)
      if (s->registered) SetCallbacks(*s);

    DWORD lastRender = 0;
    for (;;) {
      ProcessStatus();
      const int32_t nowMs = static_cast<int32_t>(GetTickCount() - t0_);
      while (nextEvent_ < sc_.events.size() && sc_.events[nextEvent_].atMs <= nowMs &&
             sc_.events[nextEvent_].kind != TEventKind::Shutdown)
        Fire(sc_.events[nextEvent_++]);
      for (auto &s : servers_) OpenWanted(*s);
      DrainLog(false);
      if (lastRender == 0 || GetTickCount() - lastRender >= 1000) {
        lastRender = GetTickCount();
        Refresh();
        Render(false);
      }
      if (nowMs >= sc_.shutdownAtMs) break;
      Sleep(50);
    }
    nextEvent_ = sc_.events.size();
    Mark("shutdown", -1, -1);
    Note("event: shutdown");
    for (auto &s : servers_)
      if (s->registered && !s->deleted)
        for (size_t c = 0; c < s->channels.size(); ++c)
          if (s->channels[c].open) CloseChannel(*s, static_cast<int>(c));
    ProcessStatus();
  } catch (const TSetupError &e) {
    Note(std::string("stopped: ") + e.what());
    std::fprintf(stderr, "tmhost: %s\n", e.what());
    status = ExitSetup;
  }
  if (driverUp && inited) shutdownFinished_ = ShutDownDriver();
  else shutdownFinished_ = true; // nothing was started that would need stopping
  if (!shutdownFinished_) {
    // The driver is stuck: neither release it nor unload the library. Report
    // and leave without running the modules' detach code.
    DrainLog(false);
    if (live_) Render(true);
    const int s = Summary();
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status == ExitSetup ? ExitSetup : s));
  }
  ProcessStatus();
  for (auto &s : servers_)
    if (s->simId >= 0) sim_.GetCounters(s->simId, &s->sim);
  if (driverUp) {
    NHostKit::Release(intf_);
    intf_ = nullptr;
  }
  if (lib) {
    lib->Unload();
    delete lib;
    lib_ = nullptr;
  }
  DrainLog(true);
  if (live_) Render(true);
  capture_.reset();
  const int verdict = Summary();
  // The frame and status objects stay until the SDK is gone.
  if (sim_.module) FreeLibrary(sim_.module);
  WSACleanup();
  return status == ExitSetup ? ExitSetup : verdict;
}

} // namespace

int RunDemo(const TScenario &scenario, const TOptions &options) {
  TDemoHost host(scenario, options);
  return host.Run();
}

} // namespace NDemo
