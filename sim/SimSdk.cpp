// SimSdk.cpp - NVSDK.dll of our own: video servers that live in this module.
// Tests and the demo host describe them through the SIM_ exports
// (SimControl.h); the driver talks to them through the NVNET_ exports as it
// would to real servers. Frames carry the pattern of SimPattern.h.
//
// Threads: every channel opened streams on a thread of its own; messages and
// crafted packets are handed out on short-lived threads. Each of these threads
// holds a reference on this module from before it is created until it ends
// with FreeLibraryAndExitThread, so a FreeLibrary by the user never unmaps
// code that one of them still runs. One lock guards all tables; it is never
// held while a user callback runs.
//
// Waiting: closing a channel, detaching a stream function and a break wait
// until the stream threads concerned no longer call out. Stream and packet
// threads themselves never wait for other threads, so callbacks may call any
// export without deadlock; on those threads the waits are skipped.
#include "sim/SimControl.h"
#include "sim/SimPattern.h"
#include <windows.h>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {

using TStreamFunc = void(__stdcall *)(uint32_t, int32_t, uint32_t, const void *, uint32_t, uint32_t,
                                      void *);
using TMessageFunc = int32_t(__stdcall *)(int32_t, const void *);

constexpr uint32_t kMsgServerBreak = 0x10000009;
constexpr int32_t kFragmentBytes = 1024;
constexpr int32_t kMaxFragments = 256; // the fragment index is one byte
constexpr int32_t kHeaderBytes = 28;
constexpr int32_t kFirstLogin = 100;
constexpr int32_t kFirstChannel = 1;

struct TServer {
  int32_t id = 0;
  std::string address;
  int32_t port = 0;
  std::string user, password;
  int32_t channels = 0;
  int32_t behaviour = sbAccept;
  int32_t logonDelay = 0;
  int32_t fps = 25, videoBytes = 4000, videoBytesMax = 6000, audioBytes = 320, keyInterval = 25;
  int32_t failClose = 0;
  bool breakOnAttach = false;
  TSimCounters counters{};
};

struct TLogin {
  int32_t handle = 0;
  std::shared_ptr<TServer> server;
  bool alive = true;
  bool loggedOff = false;
  TStreamFunc streamFunc = nullptr;
  void *streamUser = nullptr;
  TMessageFunc messageFunc = nullptr;
  std::vector<DWORD> delivering; // threads calling the stream function now
};

struct THandleOwner {
  HANDLE h = nullptr;
  THandleOwner() : h(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~THandleOwner() {
    if (h) CloseHandle(h);
  }
  THandleOwner(const THandleOwner &) = delete;
  THandleOwner &operator=(const THandleOwner &) = delete;
};

struct TStream {
  int32_t handle = 0;
  std::shared_ptr<TLogin> login;
  int32_t channel = 0;
  bool stop = false;   // asked to stop (close, break, reset)
  THandleOwner wake;   // set with stop, ends the wait for the next frame
  THandleOwner done;   // set when the thread no longer calls out
};

// A message or crafted packet being handed out on a thread of its own.
struct TJob {
  THandleOwner done;
  int32_t result = -1;
};

// What a simulator thread is for: the waits it may do.
enum TRole : int { roleHost = 0, roleStreamer = 1, roleMessenger = 2 };

struct TState {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE idle = CONDITION_VARIABLE_INIT; // a callout ended
  std::vector<std::shared_ptr<TServer>> servers;     // index = id
  std::vector<std::shared_ptr<TLogin>> logins;
  std::vector<std::shared_ptr<TStream>> streams;     // open channel handles
  std::vector<std::shared_ptr<TJob>> jobs;
  int32_t nextLogin = kFirstLogin;
  int32_t nextChannel = kFirstChannel;
  std::string log;
  int64_t undelivered = 0; // frames of open channels that found no stream function
  int64_t deadCalls = 0;   // callbacks skipped because their code lies in no module
  // The leak switch (SIM_SetLeak), for testing the host's judgement of a
  // long run: what it kept, counted.
  bool leakBlocks = false, leakHandles = false;
  int32_t leakedBlocks = 0, leakedHandles = 0;
};

TState *g = nullptr;
DWORD g_roleSlot = TLS_OUT_OF_INDEXES;

class TGuard {
public:
  TGuard() { AcquireSRWLockExclusive(&g->lock); }
  ~TGuard() { ReleaseSRWLockExclusive(&g->lock); }
  TGuard(const TGuard &) = delete;
  TGuard &operator=(const TGuard &) = delete;
};

TRole Role() {
  if (g_roleSlot == TLS_OUT_OF_INDEXES) return roleHost;
  return static_cast<TRole>(reinterpret_cast<intptr_t>(TlsGetValue(g_roleSlot)));
}

// ---- threads ------------------------------------------------------------

struct TThreadPack {
  std::function<void()> body;
  HMODULE pin;
  TRole role;
};

DWORD WINAPI ThreadEntry(LPVOID p) {
  auto *pack = static_cast<TThreadPack *>(p);
  HMODULE pin = pack->pin;
  if (g_roleSlot != TLS_OUT_OF_INDEXES)
    TlsSetValue(g_roleSlot, reinterpret_cast<void *>(static_cast<intptr_t>(pack->role)));
  try {
    pack->body();
  } catch (...) {
  }
  delete pack; // drops what the body held before the module may go
  FreeLibraryAndExitThread(pin, 0);
}

// Starts a thread that keeps this module loaded while it runs.
bool StartThread(TRole role, std::function<void()> body) {
  HMODULE pin = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&ThreadEntry), &pin))
    return false;
  auto *pack = new TThreadPack{std::move(body), pin, role};
  HANDLE t = CreateThread(nullptr, 0, ThreadEntry, pack, 0, nullptr);
  if (!t) {
    delete pack;
    FreeLibrary(pin);
    return false;
  }
  CloseHandle(t);
  return true;
}

// Waits until a stream's thread no longer calls out; not on a streamer
// thread (a callback closing its own channel would wait for itself).
void WaitStreamDone(const std::shared_ptr<TStream> &s) {
  if (Role() == roleStreamer) return;
  WaitForSingleObject(s->done.h, INFINITE);
}

// A callback whose code lies in no loaded module (its library was unloaded
// while the user still had it attached) would end the process: the
// simulator counts it instead of calling it.
// (Asked of the memory manager, not the loader: the loader's lock may be held
// by a thread that waits for this one.)
bool InSomeModule(const void *code) {
  MEMORY_BASIC_INFORMATION m{};
  return VirtualQuery(code, &m, sizeof m) == sizeof m && m.State == MEM_COMMIT && m.Type == MEM_IMAGE;
}

// ---- tables (lock held) ---------------------------------------------------

std::shared_ptr<TServer> ServerById(int32_t id) {
  if (id < 0 || id >= static_cast<int32_t>(g->servers.size())) return nullptr;
  return g->servers[id];
}

std::shared_ptr<TLogin> LoginByHandle(int32_t h) {
  for (auto &l : g->logins)
    if (l->handle == h) return l;
  return nullptr;
}

std::shared_ptr<TLogin> LiveLogin(int32_t h) {
  auto l = LoginByHandle(h);
  return l && l->alive ? l : nullptr;
}

// Asks every stream of the login to stop; returns them for the wait.
std::vector<std::shared_ptr<TStream>> StopStreamsOf(const std::shared_ptr<TLogin> &login) {
  std::vector<std::shared_ptr<TStream>> stopped;
  for (auto &s : g->streams)
    if (s->login == login && !s->stop) {
      s->stop = true;
      SetEvent(s->wake.h);
      stopped.push_back(s);
    }
  return stopped;
}

void RemoveJob(const std::shared_ptr<TJob> &job) {
  auto &v = g->jobs;
  v.erase(std::remove(v.begin(), v.end(), job), v.end());
}

void EndCallout(TLogin &login, DWORD self) {
  auto &d = login.delivering;
  auto it = std::find(d.begin(), d.end(), self);
  if (it != d.end()) d.erase(it);
  WakeAllConditionVariable(&g->idle);
}

// ---- call log ---------------------------------------------------------------

std::string Format(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string PtrText(const void *p) {
  return p ? Format("0x%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p))) : "nil";
}

const char *Text(const char *s) { return s ? s : "(nil)"; }

void AddLog(const std::string &line) {
  TGuard lock;
  g->log += line;
  g->log += '\n';
}

// ---- streams ------------------------------------------------------------------

int32_t VideoSize(const TServer &s, uint32_t seq) {
  if (s.videoBytesMax <= s.videoBytes) return s.videoBytes;
  uint32_t x = seq * 2654435761u;
  x ^= x >> 15;
  return s.videoBytes + static_cast<int32_t>(x % static_cast<uint32_t>(s.videoBytesMax - s.videoBytes + 1));
}

// The thread of one open channel: frames at the server's rate, each split in
// 1024-byte fragments, each fragment one packet to the login's current
// stream function.
void StreamBody(const std::shared_ptr<TStream> &s) {
  const DWORD self = GetCurrentThreadId();
  const auto login = s->login;
  const auto server = login->server;
  std::vector<uint8_t> frame;
  std::vector<uint8_t> packet(kHeaderBytes + kFragmentBytes);
  const DWORD start = GetTickCount();
  for (uint32_t seq = 0;; ++seq) {
    int32_t fps, video, audio, key, port;
    {
      TGuard lock;
      if (s->stop) break;
      fps = server->fps;
      video = VideoSize(*server, seq);
      audio = server->audioBytes;
      key = server->keyInterval > 0 ? (seq % static_cast<uint32_t>(server->keyInterval) == 0) : 1;
      port = server->port;
    }
    if (fps > 0) {
      const uint64_t due = static_cast<uint64_t>(seq) * 1000u / static_cast<uint32_t>(fps);
      const uint64_t now = GetTickCount() - start;
      if (due > now && WaitForSingleObject(s->wake.h, static_cast<DWORD>(due - now)) == WAIT_OBJECT_0)
        break;
    }
    const int32_t total = video + audio;
    if (total <= 0) {
      Sleep(fps > 0 ? 0 : 1);
      continue;
    }
    frame.resize(total);
    SimFillVideo(frame.data(), video, port, s->channel, seq);
    SimFillAudio(frame.data() + video, audio, port, s->channel, seq);
    const int32_t fragments = (total + kFragmentBytes - 1) / kFragmentBytes;
    bool stopped = false, detached = false;
    for (int32_t i = 0; i < fragments; ++i) {
      TStreamFunc func;
      void *user;
      {
        TGuard lock;
        if (s->stop) {
          stopped = true;
          break;
        }
        func = login->streamFunc;
        user = login->streamUser;
        if (!func) {
          ++g->undelivered;
          detached = true;
          break;
        }
        login->delivering.push_back(self);
      }
      if (i == 0 && !InSomeModule(reinterpret_cast<const void *>(func))) {
        TGuard lock;
        EndCallout(*login, self);
        ++g->deadCalls;
        detached = true;
        break;
      }
      const int32_t payload = std::min(kFragmentBytes, total - i * kFragmentBytes);
      std::memset(packet.data(), 0, kHeaderBytes);
      packet[0] = i == 0 ? 1 : 0;
      std::memcpy(&packet[4], &payload, 4);
      std::memcpy(&packet[8], &seq, 4); // our own: the frame's sequence number
      const uint32_t videoBytes = static_cast<uint32_t>(video);
      std::memcpy(&packet[12], &videoBytes, 4);
      const int32_t channel = s->channel;
      std::memcpy(&packet[16], &channel, 4); // our own: the channel number
      const uint16_t audioBytes = static_cast<uint16_t>(audio);
      std::memcpy(&packet[20], &audioBytes, 2);
      packet[22] = static_cast<uint8_t>(key);
      packet[23] = static_cast<uint8_t>(i);
      packet[24] = static_cast<uint8_t>(fragments - 1); // our own: last fragment index
      std::memcpy(&packet[kHeaderBytes], frame.data() + i * kFragmentBytes, payload);
      try {
        func(static_cast<uint32_t>(login->handle), s->channel, 0, packet.data(),
             static_cast<uint32_t>(kHeaderBytes + payload), static_cast<uint32_t>(s->handle), user);
      } catch (...) {
      }
      TGuard lock;
      EndCallout(*login, self);
      ++server->counters.PacketsSent;
      server->counters.BytesSent += payload;
      if (i == fragments - 1) {
        ++server->counters.FramesSent;
        if (g->leakBlocks) {
          // Kept on purpose: the leak the soak judgement must find.
          if (void *block = HeapAlloc(GetProcessHeap(), 0, 64)) {
            std::memset(block, 0x4C, 64);
            ++g->leakedBlocks;
          }
        }
      }
    }
    if (stopped) break;
    if (detached) Sleep(fps > 0 ? 0 : 1);
  }
  SetEvent(s->done.h);
}

// ---- messages and crafted packets -------------------------------------------

void MessageBody(const std::shared_ptr<TServer> &server, const std::shared_ptr<TLogin> &login,
                 uint32_t code, const std::shared_ptr<TJob> &job) {
  std::vector<std::shared_ptr<TStream>> stopped;
  TMessageFunc func;
  {
    TGuard lock;
    if (code == kMsgServerBreak && login->alive) {
      login->alive = false;
      stopped = StopStreamsOf(login);
    }
    func = login->messageFunc;
  }
  for (auto &s : stopped) WaitStreamDone(s);
  uint8_t message[64] = {};
  std::memcpy(message, &code, 4);
  std::memcpy(message + 4, &login->handle, 4);
  std::memcpy(message + 8, &server->port, 4);
  int32_t result = -1;
  if (func && !InSomeModule(reinterpret_cast<const void *>(func))) {
    TGuard lock;
    ++g->deadCalls;
    func = nullptr;
  }
  if (func) {
    try {
      result = func(login->handle, message);
    } catch (...) {
    }
  }
  {
    TGuard lock;
    if (func) ++server->counters.MessagesSent;
    job->result = result;
    RemoveJob(job);
  }
  SetEvent(job->done.h);
}

void PacketBody(const std::shared_ptr<TLogin> &login, int32_t channel, const std::vector<uint8_t> &data,
                const std::shared_ptr<TJob> &job) {
  const DWORD self = GetCurrentThreadId();
  TStreamFunc func;
  void *user;
  {
    TGuard lock;
    func = login->streamFunc;
    user = login->streamUser;
    if (func) login->delivering.push_back(self);
  }
  if (func) {
    try {
      func(static_cast<uint32_t>(login->handle), channel, 0, data.data(), static_cast<uint32_t>(data.size()),
           0, user);
    } catch (...) {
    }
  }
  {
    TGuard lock;
    if (func) EndCallout(*login, self);
    job->result = func ? 0 : -1;
    RemoveJob(job);
  }
  SetEvent(job->done.h);
}

// Starts the delivery of a message to the server's current login on a thread
// of its own; nil when the login has no message callback.
std::shared_ptr<TJob> SendMessageJob(const std::shared_ptr<TServer> &s, uint32_t code) {
  std::shared_ptr<TLogin> login;
  auto job = std::make_shared<TJob>();
  {
    TGuard lock;
    if (s) login = LiveLogin(s->counters.CurrentLogin);
    if (!login || !login->messageFunc) return nullptr;
    g->jobs.push_back(job);
  }
  if (!StartThread(roleMessenger, [s, login, code, job] { MessageBody(s, login, code, job); })) {
    TGuard lock;
    RemoveJob(job);
    return nullptr;
  }
  return job;
}

} // namespace

// ---- the SDK ----------------------------------------------------------------

extern "C" {

int32_t __stdcall NVNET_LogonServer(const char *address, uint32_t port, const char *user,
                                    const char *password, int32_t zero, int32_t *outHandle) {
  std::shared_ptr<TServer> server;
  int32_t behaviour = sbAccept, delay = 0;
  {
    TGuard lock;
    for (auto &s : g->servers)
      if (s && address && s->address == address && static_cast<uint32_t>(s->port) == port) server = s;
    if (server) {
      ++server->counters.LogonAttempts;
      behaviour = server->behaviour;
      delay = server->logonDelay;
    }
  }
  int32_t rc = -1, handle = 0;
  if (server) {
    if (behaviour == sbSlow && delay > 0) Sleep(delay);
    TGuard lock;
    const bool known = ServerById(server->id) == server; // not dropped meanwhile
    const bool credentials = user && password && server->user == user && server->password == password;
    if (!known || behaviour == sbRefuse || !credentials) {
      rc = 1;
    } else {
      auto login = std::make_shared<TLogin>();
      login->handle = handle = g->nextLogin++;
      login->server = server;
      g->logins.push_back(login);
      ++server->counters.LogonsAccepted;
      server->counters.CurrentLogin = handle;
      rc = 0;
      // Kept on purpose: the leak the soak judgement must find.
      if (g->leakHandles && CreateEventA(nullptr, TRUE, FALSE, nullptr)) ++g->leakedHandles;
    }
  }
  if (rc == 0 && outHandle) *outHandle = handle;
  AddLog(Format("NVNET_LogonServer %s %u %s %s -> %d", Text(address), port, Text(user), Text(password), rc) +
         (rc == 0 ? Format(" h=%d", handle) : std::string(server ? "" : " unknown server")));
  return rc;
}

// Ends the login and its streams.
int32_t __stdcall NVNET_LogoffServer(int32_t loginHandle) {
  std::vector<std::shared_ptr<TStream>> stopped;
  {
    TGuard lock;
    if (auto l = LoginByHandle(loginHandle)) {
      ++l->server->counters.LogoffCalls;
      l->loggedOff = true;
      if (l->alive) {
        l->alive = false;
        stopped = StopStreamsOf(l);
      }
    }
  }
  for (auto &s : stopped) WaitStreamDone(s);
  AddLog(Format("NVNET_LogoffServer %d -> 0", loginHandle));
  return 0;
}

int32_t __stdcall NVNET_GetServerInfo(int32_t loginHandle, void *info) {
  int32_t rc, channels = 0;
  {
    TGuard lock;
    auto login = LiveLogin(loginHandle);
    int32_t size = 0;
    if (info) std::memcpy(&size, info, 4);
    if (!login) {
      rc = -1;
    } else {
      ++login->server->counters.InfoCalls;
      if (size != 100) {
        rc = 2;
      } else if (login->server->behaviour == sbInfoFails) {
        rc = 3;
      } else {
        auto *p = static_cast<uint8_t *>(info);
        std::memset(p + 4, 0, 96);
        std::snprintf(reinterpret_cast<char *>(p + 4), 24, "SIM-%d", login->server->id);
        const uint16_t n = static_cast<uint16_t>(login->server->channels);
        std::memcpy(p + 30, &n, 2);
        channels = n;
        rc = 0;
      }
    }
  }
  AddLog(Format("NVNET_GetServerInfo %d -> %d", loginHandle, rc) +
         (rc == 0 ? Format(" channels=%d", channels) : std::string()));
  return rc;
}

// Attaches (or with nil detaches) the login's stream function. Returns when
// no other thread calls the previous one any more (except from a callback).
int32_t __stdcall NVNET_SetStreamFunc(int32_t loginHandle, void *func, void *userData) {
  int32_t rc = -1;
  {
    TGuard lock;
    if (auto login = LoginByHandle(loginHandle)) {
      login->streamFunc = reinterpret_cast<TStreamFunc>(func);
      login->streamUser = userData;
      rc = 0;
      if (Role() != roleStreamer) {
        const DWORD self = GetCurrentThreadId();
        auto busy = [&] {
          for (DWORD t : login->delivering)
            if (t != self) return true;
          return false;
        };
        while (busy()) SleepConditionVariableSRW(&g->idle, &g->lock, INFINITE, 0);
      }
    }
  }
  AddLog(Format("NVNET_SetStreamFunc %d %s %s -> %d", loginHandle, PtrText(func).c_str(),
                PtrText(userData).c_str(), rc));
  return rc;
}

int32_t __stdcall NVNET_SetMessage(int32_t loginHandle, HWND window, uint32_t message) {
  AddLog(Format("NVNET_SetMessage %d %s %u -> 0", loginHandle, PtrText(window).c_str(), message));
  return 0;
}

int32_t __stdcall NVNET_SetCallback(int32_t loginHandle, void *func) {
  int32_t rc = -1;
  std::shared_ptr<TServer> breakNow;
  {
    TGuard lock;
    if (auto login = LoginByHandle(loginHandle)) {
      const bool attach = func && !login->messageFunc && login->alive;
      login->messageFunc = reinterpret_cast<TMessageFunc>(func);
      rc = 0;
      if (attach && login->server->breakOnAttach) breakNow = login->server;
    }
  }
  AddLog(Format("NVNET_SetCallback %d %s -> %d", loginHandle, PtrText(func).c_str(), rc));
  // The break arrives on another thread before this call has returned, and
  // this call waits for it: a caller holding a lock the callback needs hangs
  // here until the limit.
  if (breakNow) {
    std::shared_ptr<TJob> job = SendMessageJob(breakNow, 0x10000009u);
    if (job) WaitForSingleObject(job->done.h, 8000);
  }
  return rc;
}

int32_t __stdcall NVNET_PTZControl(int32_t loginHandle, int32_t channel, int32_t command, int32_t param) {
  AddLog(Format("NVNET_PTZControl %d %d %d %d -> 0", loginHandle, channel, command, param));
  return 0;
}

int32_t __stdcall NVNET_SendCmdToServer(int32_t loginHandle, int32_t command, const void *data, int32_t size) {
  AddLog(Format("NVNET_SendCmdToServer %d %d %s %d -> 0", loginHandle, command, PtrText(data).c_str(), size));
  return 0;
}

int32_t __stdcall NVNET_GetServerConfig(int32_t loginHandle, int32_t kind, void *buffer, int32_t size) {
  AddLog(Format("NVNET_GetServerConfig %d %d %s %d -> 0", loginHandle, kind, PtrText(buffer).c_str(), size));
  return 0;
}

int32_t __stdcall NVNET_OpenChannel(int32_t loginHandle, const void *request, int32_t *outChannelHandle) {
  int32_t channel = -1;
  if (request) std::memcpy(&channel, request, 4);
  int32_t rc = -1, handle = 0;
  std::shared_ptr<TStream> stream;
  {
    TGuard lock;
    auto login = LiveLogin(loginHandle);
    if (login && channel >= 0 && channel < login->server->channels) {
      stream = std::make_shared<TStream>();
      stream->handle = handle = g->nextChannel++;
      stream->login = login;
      stream->channel = channel;
      g->streams.push_back(stream);
      ++login->server->counters.ChannelsOpened;
      rc = 0;
    }
  }
  if (stream && !StartThread(roleStreamer, [stream] { StreamBody(stream); })) {
    TGuard lock;
    auto &v = g->streams;
    v.erase(std::remove(v.begin(), v.end(), stream), v.end());
    --stream->login->server->counters.ChannelsOpened;
    SetEvent(stream->done.h); // a reset may be waiting for it
    rc = 4;
  }
  if (rc == 0 && outChannelHandle) *outChannelHandle = handle;
  AddLog(Format("NVNET_OpenChannel %d ch=%d -> %d", loginHandle, channel, rc) +
         (rc == 0 ? Format(" h=%d", handle) : std::string()));
  return rc;
}

// Stops the channel's stream; returns when its thread no longer calls out.
int32_t __stdcall NVNET_CloseChannel(int32_t channelHandle) {
  int32_t rc = -1;
  std::shared_ptr<TStream> stream;
  {
    TGuard lock;
    auto &v = g->streams;
    auto it = std::find_if(v.begin(), v.end(), [&](auto &s) { return s->handle == channelHandle; });
    if (it != v.end()) {
      auto &server = *(*it)->login->server;
      if (server.failClose > 0) {
        --server.failClose;
        ++server.counters.CloseFailures;
        rc = 5;
      } else {
        stream = *it;
        v.erase(it);
        stream->stop = true;
        SetEvent(stream->wake.h);
        ++server.counters.ChannelsClosed;
        rc = 0;
      }
    }
  }
  if (stream) WaitStreamDone(stream);
  AddLog(Format("NVNET_CloseChannel %d -> %d", channelHandle, rc));
  return rc;
}

int32_t __stdcall NVNET_GetAVInfo(int32_t channelHandle, void *info) {
  AddLog(Format("NVNET_GetAVInfo %d %s -> 0", channelHandle, PtrText(info).c_str()));
  return 0;
}

int32_t __stdcall NVNET_GetRecvCount(int32_t channelHandle, uint32_t *count) {
  if (count) *count = 0;
  AddLog(Format("NVNET_GetRecvCount %d %s -> 0", channelHandle, PtrText(count).c_str()));
  return 0;
}

int32_t __stdcall NVNET_SetVideoCallback(int32_t channelHandle, void *func, void *userData) {
  AddLog(Format("NVNET_SetVideoCallback %d %s %s -> 0", channelHandle, PtrText(func).c_str(),
                PtrText(userData).c_str()));
  return 0;
}

int32_t __stdcall NVNET_SetDisplayhWnd(int32_t channelHandle, HWND window) {
  AddLog(Format("NVNET_SetDisplayhWnd %d %s -> 0", channelHandle, PtrText(window).c_str()));
  return 0;
}

int32_t __stdcall NVNET_Mute(int32_t channelHandle, int32_t mute) {
  AddLog(Format("NVNET_Mute %d %d -> 0", channelHandle, mute));
  return 0;
}

// ---- control ----------------------------------------------------------------

void SIM_API SIM_Reset() {
  std::vector<std::shared_ptr<TStream>> stopped;
  std::vector<std::shared_ptr<TJob>> jobs;
  {
    TGuard lock;
    for (auto &s : g->streams) {
      s->stop = true;
      SetEvent(s->wake.h);
      stopped.push_back(s);
    }
    for (auto &l : g->logins) l->alive = false;
    jobs = g->jobs;
    g->servers.clear();
    g->logins.clear();
    g->streams.clear();
    g->log.clear();
    g->nextLogin = kFirstLogin;
    g->nextChannel = kFirstChannel;
    g->leakBlocks = g->leakHandles = false;
    g->leakedBlocks = g->leakedHandles = 0;
  }
  for (auto &s : stopped) WaitStreamDone(s);
  if (Role() == roleHost)
    for (auto &j : jobs) WaitForSingleObject(j->done.h, INFINITE);
}

int32_t SIM_API SIM_AddServer(const char *address, int32_t port, const char *user, const char *password,
                              int32_t channels, int32_t behaviour) {
  if (!address || channels < 0 || channels > 0xFFFF || behaviour < sbAccept || behaviour > sbSlow) return -1;
  TGuard lock;
  for (auto &s : g->servers)
    if (s->address == address && s->port == port) return -1;
  auto s = std::make_shared<TServer>();
  s->id = static_cast<int32_t>(g->servers.size());
  s->address = address;
  s->port = port;
  s->user = user ? user : "";
  s->password = password ? password : "";
  s->channels = channels;
  s->behaviour = behaviour;
  s->counters.CurrentLogin = -1;
  g->servers.push_back(s);
  return s->id;
}

int32_t SIM_API SIM_SetBehaviour(int32_t server, int32_t behaviour) {
  if (behaviour < sbAccept || behaviour > sbSlow) return -1;
  TGuard lock;
  auto s = ServerById(server);
  if (!s) return -1;
  s->behaviour = behaviour;
  return 0;
}

int32_t SIM_API SIM_SetLogonDelay(int32_t server, int32_t milliseconds) {
  if (milliseconds < 0) return -1;
  TGuard lock;
  auto s = ServerById(server);
  if (!s) return -1;
  s->logonDelay = milliseconds;
  return 0;
}

int32_t SIM_API SIM_SetStream(int32_t server, int32_t fps, int32_t videoBytes, int32_t videoBytesMax,
                              int32_t audioBytes, int32_t keyInterval) {
  if (fps < 0 || videoBytes < 0 || audioBytes < 0 || audioBytes > 0xFFFF || keyInterval < 1) return -1;
  if (videoBytesMax < videoBytes) videoBytesMax = videoBytes;
  if (static_cast<int64_t>(videoBytesMax) + audioBytes > int64_t{kMaxFragments} * kFragmentBytes) return -1;
  TGuard lock;
  auto s = ServerById(server);
  if (!s) return -1;
  s->fps = fps;
  s->videoBytes = videoBytes;
  s->videoBytesMax = videoBytesMax;
  s->audioBytes = audioBytes;
  s->keyInterval = keyInterval;
  return 0;
}

int32_t SIM_API SIM_FailCloseChannel(int32_t server, int32_t n) {
  if (n < 0) return -1;
  TGuard lock;
  auto s = ServerById(server);
  if (!s) return -1;
  s->failClose = n;
  return 0;
}

int32_t SIM_API SIM_BreakOnAttach(int32_t server, int32_t on) {
  TGuard lock;
  auto s = ServerById(server);
  if (!s) return -1;
  s->breakOnAttach = on != 0;
  return 0;
}

int32_t SIM_API SIM_InjectMessage(int32_t server, uint32_t code, int32_t wait) {
  std::shared_ptr<TServer> s;
  {
    TGuard lock;
    s = ServerById(server);
  }
  std::shared_ptr<TJob> job = SendMessageJob(s, code);
  if (!job) return -1;
  if (!wait || Role() == roleStreamer) return 0;
  WaitForSingleObject(job->done.h, INFINITE);
  return job->result;
}

int32_t SIM_API SIM_InjectPacket(int32_t loginHandle, int32_t channel, const void *packet, int32_t size) {
  if (!packet || size < 0) return -1;
  std::shared_ptr<TLogin> login;
  auto job = std::make_shared<TJob>();
  {
    TGuard lock;
    login = LoginByHandle(loginHandle);
    if (!login || !login->streamFunc) return -1;
    g->jobs.push_back(job);
  }
  const auto *p = static_cast<const uint8_t *>(packet);
  std::vector<uint8_t> data(p, p + size);
  if (!StartThread(roleStreamer, [login, channel, data = std::move(data), job] {
        PacketBody(login, channel, data, job);
      })) {
    TGuard lock;
    RemoveJob(job);
    return -1;
  }
  WaitForSingleObject(job->done.h, INFINITE); // streamer threads never wait: no cycle
  return job->result;
}

int32_t SIM_API SIM_GetCounters(int32_t server, TSimCounters *out) {
  if (!out) return -1;
  TGuard lock;
  auto s = ServerById(server);
  if (!s) return -1;
  *out = s->counters;
  out->OpenStreams = 0;
  out->OpenLogins = 0;
  for (auto &l : g->logins)
    if (l->server == s && !l->loggedOff) ++out->OpenLogins;
  for (auto &st : g->streams)
    if (st->login->server == s && !st->stop) ++out->OpenStreams;
  return 0;
}

int32_t SIM_API SIM_GetTotals(TSimTotals *out) {
  if (!out) return -1;
  TGuard lock;
  *out = TSimTotals{};
  for (auto &l : g->logins) {
    out->LiveLogins += l->alive;
    out->MessageCallbacks += l->messageFunc != nullptr;
    out->StreamFunctions += l->streamFunc != nullptr;
  }
  for (auto &st : g->streams) out->OpenStreams += !st->stop;
  out->UndeliveredFrames = g->undelivered;
  out->DeadCallbacks = g->deadCalls;
  out->LeakedBlocks = g->leakedBlocks;
  out->LeakedHandles = g->leakedHandles;
  return 0;
}

int32_t SIM_API SIM_SetLeak(int32_t blockPerFrame, int32_t handlePerLogon) {
  TGuard lock;
  g->leakBlocks = blockPerFrame != 0;
  g->leakHandles = handlePerLogon != 0;
  return 0;
}

int32_t SIM_API SIM_ReadCallLog(char *buf, int32_t size, int32_t clear) {
  TGuard lock;
  const int32_t len = static_cast<int32_t>(g->log.size());
  if (buf && size > 0) {
    const int32_t n = std::min(len, size - 1);
    std::memcpy(buf, g->log.data(), n);
    buf[n] = 0;
  }
  if (clear) g->log.clear();
  return len;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
  case DLL_PROCESS_ATTACH:
    g = new TState;
    g_roleSlot = TlsAlloc();
    break;
  case DLL_PROCESS_DETACH:
    // Only reached by FreeLibrary once no thread of ours runs (they hold
    // references), or at process exit, when the other threads are gone and
    // the tables may be mid-change: then leave them to the system.
    if (!reserved) {
      delete g;
      g = nullptr;
      if (g_roleSlot != TLS_OUT_OF_INDEXES) TlsFree(g_roleSlot);
      // The C++ run-time's reserve for exceptions, kept otherwise.
      __gnu_cxx::__freeres();
    }
    break;
  }
  return TRUE;
}

} // extern "C"
