// HostKit.cpp
#include "hostkit/HostKit.h"
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

#pragma pack(push, 1)
struct TCallFrame {
  const void *entry;
  uint32_t eax, edx, ecx;
  const uint32_t *words;
  uint32_t count;
  uint32_t outEax, outEdx, popped, raised, code, param0, param1, nparams;
  uint32_t saveEsp, saveEbp, argsEsp;
  uint32_t inEbx, inEsi, inEdi, inEbp;     // what the callee is given
  uint32_t outEbx, outEsi, outEdi, outEbp; // what it leaves
};
#pragma pack(pop)
static_assert(sizeof(TCallFrame) == 100);

} // namespace

extern "C" {
void TmCallRegister(TCallFrame *f);
void TmThunkStatus();
void TmThunkFrame();
void TmThunkHostFunction1();
void TmThunkHostFunction2();

// Targets of the thunks (cdecl), reached with the method pointer's object.
void TmOnStatus(NHostKit::THostCallbacks *self, int32_t id, uint32_t onLine) {
  if (self && self->status) self->status(id, (onLine & 0xFF) != 0, onLine);
}
void TmOnFrame(NHostKit::THostCallbacks *self, const void *info) {
  if (self && self->frame) self->frame(info);
}
int32_t TmOnHostFunction1(NHostKit::THostCallbacks *self, int32_t a, int32_t b, int32_t c,
                          int32_t z1, int32_t z2) {
  return self && self->hostFunction1 ? self->hostFunction1(a, b, c, z1, z2) : 0;
}
int32_t TmOnHostFunction2(NHostKit::THostCallbacks *self, int32_t a) {
  return self && self->hostFunction2 ? self->hostFunction2(a) : 0;
}
}

namespace NHostKit {

TCallResult CallRaw(const void *entry, uint32_t eax, uint32_t edx, uint32_t ecx,
                    const std::vector<uint32_t> &words) {
  TCallFrame f{};
  f.entry = entry;
  f.eax = eax;
  f.edx = edx;
  f.ecx = ecx;
  f.words = words.data();
  f.count = static_cast<uint32_t>(words.size());
  f.inEbx = 0xEB0C0DE1u;
  f.inEsi = 0x5E1C0DE2u;
  f.inEdi = 0xED1C0DE3u;
  f.inEbp = 0xEB9C0DE4u;
  TmCallRegister(&f);
  TCallResult r;
  r.raised = f.raised != 0;
  if (r.raised) {
    r.code = f.code;
    r.params = f.nparams;
    if (f.code == DriverExceptionCode && f.nparams >= 2) {
      r.className = reinterpret_cast<const char *>(f.param0);
      r.message = reinterpret_cast<const char *>(f.param1);
    }
  } else {
    r.eax = f.outEax;
    r.edx = f.outEdx;
    r.popped = f.popped;
    const std::pair<const char *, bool> kept[] = {{"EBX", f.outEbx == f.inEbx}, {"ESI", f.outEsi == f.inEsi},
                                                 {"EDI", f.outEdi == f.inEdi}, {"EBP", f.outEbp == f.inEbp}};
    for (const auto &[name, same] : kept)
      if (!same) r.clobbered += r.clobbered.empty() ? name : std::string(" ") + name;
  }
  return r;
}

TCallResult CallStd(const void *entry, const std::vector<uint32_t> &args) {
  std::vector<uint32_t> words(args.rbegin(), args.rend());
  return CallRaw(entry, 0xBAD0EAAu, 0xBAD0EDDu, 0xBAD0ECCu, words);
}

void TArgs::Layout(uint32_t &edx, uint32_t &ecx, std::vector<uint32_t> &words) const {
  edx = 0xDEADBEE1u;
  ecx = 0xDEADBEE2u;
  int regs = 0;
  for (const auto &it : items_) {
    if (it.method) {
      // Two words, code at the lower address: the object is pushed first.
      words.push_back(it.data);
      words.push_back(it.value);
    } else if (regs == 0) {
      edx = it.value;
      ++regs;
    } else if (regs == 1) {
      ecx = it.value;
      ++regs;
    } else {
      words.push_back(it.value);
    }
  }
}

uint32_t TArgs::StackBytes() const {
  uint32_t e, c;
  std::vector<uint32_t> w;
  Layout(e, c, w);
  return static_cast<uint32_t>(w.size() * 4);
}

TCallResult CallPosition(void *intf, int pos, const TArgs &args) {
  const void *entry = (*static_cast<const void *const *const *>(intf))[pos];
  uint32_t edx, ecx;
  std::vector<uint32_t> words;
  args.Layout(edx, ecx, words);
  TCallResult r = CallRaw(entry, reinterpret_cast<uint32_t>(intf), edx, ecx, words);
  if (r.raised) return r;
  const uint32_t pushed = static_cast<uint32_t>(words.size() * 4);
  // A host's stack would now be off, or its registers lost: no caller may
  // go on as if the call had been made.
  if (r.popped != pushed)
    throw TCallFault("position " + std::to_string(pos) + ": the entry removed " + std::to_string(r.popped) +
                     " stack bytes where the host pushed " + std::to_string(pushed));
  if (!r.clobbered.empty())
    throw TCallFault("position " + std::to_string(pos) + ": the entry did not keep " + r.clobbered);
  return r;
}

static const void *Slot(void *intf, int pos) {
  return (*static_cast<const void *const *const *>(intf))[pos];
}

HRESULT QueryInterface(void *intf, const GUID &iid, void **out) {
  auto r = CallStd(Slot(intf, 0), {reinterpret_cast<uint32_t>(intf), reinterpret_cast<uint32_t>(&iid),
                                   reinterpret_cast<uint32_t>(out)});
  return r.raised ? E_FAIL : static_cast<HRESULT>(r.eax);
}
ULONG AddRef(void *intf) { return CallStd(Slot(intf, 1), {reinterpret_cast<uint32_t>(intf)}).eax; }
ULONG Release(void *intf) { return CallStd(Slot(intf, 2), {reinterpret_cast<uint32_t>(intf)}).eax; }

const void *StatusThunk() { return reinterpret_cast<const void *>(&TmThunkStatus); }
const void *FrameThunk() { return reinterpret_cast<const void *>(&TmThunkFrame); }
const void *HostFunction1Thunk() { return reinterpret_cast<const void *>(&TmThunkHostFunction1); }
const void *HostFunction2Thunk() { return reinterpret_cast<const void *>(&TmThunkHostFunction2); }

TMethodPtr THostCallbacks::StatusMethod() { return {StatusThunk(), this}; }
TMethodPtr THostCallbacks::FrameMethod() { return {FrameThunk(), this}; }
TMethodPtr THostCallbacks::HostFunction1Method() { return {HostFunction1Thunk(), this}; }
TMethodPtr THostCallbacks::HostFunction2Method() { return {HostFunction2Thunk(), this}; }

std::string TSharedHeap::WindowTitle() {
  char t[40];
  std::snprintf(t, sizeof t, "%08lX_PID_FastMM_BE", GetCurrentProcessId());
  return t;
}

bool TSharedHeap::Find() {
  HWND w = FindWindowA("STATIC", WindowTitle().c_str());
  table_ = w ? reinterpret_cast<const void *const *>(GetWindowLongA(w, GWL_USERDATA)) : nullptr;
  return table_ != nullptr;
}

void *TSharedHeap::GetMem(int32_t size) {
  return reinterpret_cast<void *>(CallRaw(table_[0], static_cast<uint32_t>(size), 0, 0, {}).eax);
}
int32_t TSharedHeap::FreeMem(void *p) {
  return CallRaw(table_[1], reinterpret_cast<uint32_t>(p), 0, 0, {}).i32();
}
void *TSharedHeap::ReallocMem(void *p, int32_t size) {
  return reinterpret_cast<void *>(
      CallRaw(table_[2], reinterpret_cast<uint32_t>(p), static_cast<uint32_t>(size), 0, {}).eax);
}
void *TSharedHeap::AllocMem(int32_t size) {
  return reinterpret_cast<void *>(CallRaw(table_[3], static_cast<uint32_t>(size), 0, 0, {}).eax);
}

char *TSharedHeap::NewString(const std::string &text) {
  if (text.empty()) return nullptr;
  auto *b = static_cast<char *>(GetMem(static_cast<int32_t>(text.size() + 9)));
  const int32_t rc = 1, len = static_cast<int32_t>(text.size());
  std::memcpy(b, &rc, 4);
  std::memcpy(b + 4, &len, 4);
  std::memcpy(b + 8, text.data(), text.size());
  b[8 + text.size()] = 0;
  return b + 8;
}

std::string TSharedHeap::Text(const char *s) {
  if (!s) return {};
  int32_t len;
  std::memcpy(&len, s - 4, 4);
  return std::string(s, static_cast<size_t>(len));
}

int32_t TSharedHeap::RefCount(const char *s) {
  int32_t rc = 0;
  if (s) std::memcpy(&rc, s - 8, 4);
  return rc;
}

void TSharedHeap::ReleaseString(char *&s) {
  char *p = s;
  s = nullptr;
  if (!p) return;
  auto *rc = reinterpret_cast<volatile LONG *>(p - 8);
  if (*rc < 0) return;
  if (InterlockedDecrement(rc) == 0) FreeMem(p - 8);
}

TConstString::TConstString(const std::string &s) : block_(8 + s.size() + 1, 0) {
  const int32_t rc = -1, len = static_cast<int32_t>(s.size());
  std::memcpy(block_.data(), &rc, 4);
  std::memcpy(block_.data() + 4, &len, 4);
  std::memcpy(block_.data() + 8, s.data(), s.size());
}

std::string ExeDir() {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string p(exe);
  return p.substr(0, p.find_last_of('\\') + 1);
}

TDriverLibrary::TDriverLibrary() {
  module_ = LoadLibraryA((ExeDir() + "TMDvs.dll").c_str());
  if (module_) create_ = reinterpret_cast<const void *>(GetProcAddress(module_, "ORVA_CreateDevice"));
}

TDriverLibrary::~TDriverLibrary() { Unload(); }

void TDriverLibrary::Unload() {
  if (module_) FreeLibrary(module_);
  module_ = nullptr;
  create_ = nullptr;
}

TCallResult TDriverLibrary::Create(void **var, uint32_t type, const char *hostDir) {
  return CallStd(create_, {reinterpret_cast<uint32_t>(var), type, reinterpret_cast<uint32_t>(hostDir)});
}

} // namespace NHostKit
