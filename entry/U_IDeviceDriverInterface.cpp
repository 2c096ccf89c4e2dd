// U_IDeviceDriverInterface.cpp - the interface's entries.
//
// An entry of positions 3..155 is a function with GCC's regparm(3) and
// stdcall: the interface pointer arrives in EAX and the next two arguments in
// EDX and ECX; stack arguments are declared in reverse, because the host
// pushes them in declaration order (the last lies nearest the return
// address), and stdcall makes the entry remove exactly those bytes. A method
// pointer never travels in registers: GCC would put an 8-byte struct into
// EDX:ECX while both are free, so entries whose register slots are not taken
// by 32-bit arguments declare padding parameters for them. Booleans are read
// from the low byte only; the host leaves the rest of the register as it was.
#include "entry/U_IDeviceDriverInterface.h"
#include "driver_base/U_DeviceDriverBase.h"
#include "support/U_Errors.h"
#include "support/U_Lock.h"
#include <new>
#include <set>
#include <string>
#include <type_traits>
#include <utility>

#define REG __attribute__((regparm(3), stdcall))

namespace {

const char *Intern(const std::string &s) { return InternHostText(s); }

// Runs an operation; an error that escapes becomes the host's structured
// exception. The C++ exception is finished (its catch block left) before the
// structured exception is raised, so the host's unwinding never runs through
// a live C++ handler.
template <typename R, typename F> R Guarded(F &&f) {
  const char *cls = "Exception";
  const char *msg = "Unknown error";
  try {
    return f();
  } catch (const EHostError &e) {
    cls = e.ClassName();
    msg = Intern(e.what());
  } catch (const std::bad_alloc &) {
    cls = "EOutOfMemory";
    msg = "Out of memory";
  } catch (const std::exception &e) {
    msg = Intern(e.what());
  } catch (...) {
  }
  RaiseHostException(cls, msg);
}

inline bool Bool(uint32_t reg) { return (reg & 0xFF) != 0; }
inline uint32_t Res(bool b) { return b ? 1u : 0u; }
inline uint8_t Byte(uint32_t reg) { return static_cast<uint8_t>(reg & 0xFF); }

#define OBJ (self->Owner)
using TSelf = TInterfaceSlot *;
using TStr = const char *;

// The position of each supported operation: P_AddDvr is 37.
enum TPosition : int {
#define TM_POSITION(pos, op, kind, bytes) P_##op = pos,
  TM_INTERFACE_POSITIONS(TM_POSITION)
#undef TM_POSITION
};

// --- 0..2: stdcall, shared by both interface pointers

HRESULT __stdcall E_QueryInterface(TSelf self, const GUID *iid, void **out) {
  return Guarded<HRESULT>([&] { return OBJ->QueryInterface(*iid, out); });
}
ULONG __stdcall E_AddRef(TSelf self) { return static_cast<ULONG>(OBJ->AddRef()); }
ULONG __stdcall E_Release(TSelf self) {
  return Guarded<ULONG>([&] { return static_cast<ULONG>(OBJ->Release()); });
}

// --- positions that no class implements

template <int N> void REG EU(TSelf self) {
  Guarded<void>([&] { OBJ->Unsupported(N); });
}

// --- supported positions

int32_t REG E_Init(TSelf self) { return Guarded<int32_t>([&] { return OBJ->ORVA_Device_Init(); }); }
int32_t REG E_SetCallback(TSelf self, int32_t index, uint32_t, TMethod cb) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetCallback(index, cb); });
}
int32_t REG E_ClearCallback(TSelf self, int32_t index) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_ClearCallback(index); });
}
int32_t REG E_SetAuxCallback1(TSelf self, uint32_t, uint32_t, TMethod cb) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetAuxCallback1(cb); });
}
uint32_t REG E_AddDvr(TSelf self, const TDvrInfo *info) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_AddDvr(info)); });
}
uint32_t REG E_DelDvr(TSelf self, TStr a, int32_t port) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_DelDvr(a, port)); });
}
void REG E_Reserved39(TSelf self) { Guarded<void>([&] { OBJ->ORVA_Device_Reserved39(); }); }
uint32_t REG E_Reserved40(TSelf self, TStr a, int32_t port) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_Reserved40(a, port)); });
}
uint32_t REG E_SetDvrCallback(TSelf self, TStr a, int32_t port, TMethod m5, TMethod m4, TMethod m3,
                              TMethod m2, TMethod m1, int32_t channel) {
  return Guarded<uint32_t>([&] {
    const TMethod cbs[5] = {m1, m2, m3, m4, m5};
    return Res(OBJ->ORVA_Device_SetDvrCallback(a, port, channel, cbs));
  });
}
int32_t REG E_StartDvrCapture(TSelf self, TStr a, int32_t port, int32_t channel) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_StartDvrCapture(a, port, channel); });
}
int32_t REG E_StopDvrCapture(TSelf self, TStr a, int32_t port, int32_t channel) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_StopDvrCapture(a, port, channel); });
}
template <int Pos, TDeviceDriverBase::TDefenseFlag Flag, int Value>
uint32_t REG EDefense(TSelf self, TStr a, int32_t port, int32_t channel) {
  return Guarded<uint32_t>([&] { return Res(OBJ->SetDefense(Pos, Flag, Value, a, port, channel)); });
}
using D = TDeviceDriverBase;
constexpr auto E_StartDvrMotion = &EDefense<P_StartDvrMotion, D::dfMotion, 1>;
constexpr auto E_StopDvrMotion = &EDefense<P_StopDvrMotion, D::dfMotion, 0>;
constexpr auto E_StartDvrAlarmInDefense = &EDefense<P_StartDvrAlarmInDefense, D::dfAlarmIn, 1>;
constexpr auto E_StopDvrAlarmInDefense = &EDefense<P_StopDvrAlarmInDefense, D::dfAlarmIn, 0>;
constexpr auto E_StartDvrAlarmOutDefense = &EDefense<P_StartDvrAlarmOutDefense, D::dfAlarmOut, 1>;
constexpr auto E_StopDvrAlarmOutDefense = &EDefense<P_StopDvrAlarmOutDefense, D::dfAlarmOut, 0>;
constexpr auto E_StartDvrVideoDefense = &EDefense<P_StartDvrVideoDefense, D::dfVideo, 1>;
constexpr auto E_StopDvrVideoDefense = &EDefense<P_StopDvrVideoDefense, D::dfVideo, 0>;
constexpr auto E_StartDvrChannelDefense = &EDefense<P_StartDvrChannelDefense, D::dfChannel, 1>;
constexpr auto E_StopDvrChannelDefense = &EDefense<P_StopDvrChannelDefense, D::dfChannel, 0>;
int32_t REG E_SetAuxCallback2(TSelf self, int32_t value, uint32_t, TMethod cb) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetAuxCallback2(value, cb); });
}
int32_t REG E_ListDvrFiles(TSelf self, uint32_t a1, uint32_t a2, void **list, uint32_t a8, uint32_t a7,
                           uint32_t a6, uint32_t a5, uint32_t a4, uint32_t a3) {
  return Guarded<int32_t>([&] {
    const uint32_t args[8] = {a1, a2, a3, a4, a5, a6, a7, a8};
    return OBJ->ORVA_Device_ListDvrFiles(args, list);
  });
}
int32_t REG E_ListDvrFilesToBuffer(TSelf self, uint32_t a1, uint32_t a2, int32_t *size, void **buffer,
                                   uint32_t a8, uint32_t a7, uint32_t a6, uint32_t a5, uint32_t a4,
                                   uint32_t a3) {
  return Guarded<int32_t>([&] {
    const uint32_t args[8] = {a1, a2, a3, a4, a5, a6, a7, a8};
    return OBJ->ORVA_Device_ListDvrFilesToBuffer(args, buffer, size);
  });
}
void REG E_GetAuxValue(TSelf self, uint32_t, uint32_t, int32_t *value, uint32_t) {
  Guarded<void>([&] { OBJ->ORVA_Device_GetAuxValue(value); });
}
uint32_t REG E_PostDvrData(TSelf self, TStr a, int32_t port, uint32_t size, const void *data) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_PostDvrData(a, port, data, size)); });
}
int32_t REG E_SetHostFunctions(TSelf self, int32_t value, uint32_t, TMethod f2, TMethod f1) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetHostFunctions(value, f1, f2); });
}
int32_t REG E_CallHostFunction1(TSelf self, int32_t a, int32_t b, int32_t c) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_CallHostFunction1(a, b, c); });
}
int32_t REG E_CallHostFunction2(TSelf self) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_CallHostFunction2(); });
}
uint32_t REG E_FreeBuffer(TSelf self, void *buffer, uint32_t size, uint32_t freeBlock) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_FreeBuffer(buffer, size, Bool(freeBlock))); });
}
uint32_t REG E_LoadDvrTable(TSelf self) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_LoadDvrTable()); });
}
uint32_t REG E_SaveDvrTable(TSelf self) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_SaveDvrTable()); });
}
uint32_t REG E_SetDvrChannelConfig(TSelf self, TStr a, int32_t port, const void *config, int32_t channel) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_SetDvrChannelConfig(a, port, channel, config)); });
}
uint32_t REG E_GetDvrChannelConfig(TSelf self, TStr a, int32_t port, void *config, int32_t channel) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_GetDvrChannelConfig(a, port, channel, config)); });
}
uint32_t REG E_IsDvrOnLine(TSelf self, TStr a, int32_t port) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_IsDvrOnLine(a, port)); });
}
uint32_t REG E_CloseDvr(TSelf self, TStr a, int32_t port, uint32_t logOut) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_CloseDvr(a, port, Bool(logOut))); });
}
uint32_t REG E_CloseDvrChannel(TSelf self, TStr a, int32_t port, uint32_t checkDvr, int32_t channel) {
  return Guarded<uint32_t>(
      [&] { return Res(OBJ->ORVA_Device_CloseDvrChannel(a, port, channel, Bool(checkDvr))); });
}
uint32_t REG E_Shutdown(TSelf self) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_Shutdown()); });
}
uint32_t REG E_GetDvrInfo(TSelf self, TStr a, int32_t port, TDvrInfo *info) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_GetDvrInfo(a, port, info)); });
}
uint32_t REG E_SetDriverParams(TSelf self, const int32_t *params) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_SetDriverParams(params)); });
}
template <int Pos, TDeviceDriverBase::TStateKind Kind>
void REG EState(TSelf self, TStr a, int32_t port, char **state) {
  Guarded<void>([&] { OBJ->GetDefenseState(Pos, Kind, a, port, state); });
}
constexpr auto E_GetDvrDefenseStateA = &EState<P_GetDvrDefenseStateA, D::skEmpty>;
constexpr auto E_GetDvrDefenseStateB = &EState<P_GetDvrDefenseStateB, D::skEmpty>;
constexpr auto E_GetDvrDefenseStateC = &EState<P_GetDvrDefenseStateC, D::skEmpty>;
constexpr auto E_GetDvrDefenseStateD = &EState<P_GetDvrDefenseStateD, D::skEmpty>;
constexpr auto E_GetDvrNetMotionDefenseState = &EState<P_GetDvrNetMotionDefenseState, D::skMotion>;
constexpr auto E_GetDvrAlarmInDefenseState = &EState<P_GetDvrAlarmInDefenseState, D::skAlarmIn>;
constexpr auto E_GetDvrAlarmOutDefenseState = &EState<P_GetDvrAlarmOutDefenseState, D::skAlarmOut>;
constexpr auto E_GetDvrVideoDefenseState = &EState<P_GetDvrVideoDefenseState, D::skVideo>;
uint32_t REG E_GetDvrLoginInfo(TSelf self, TStr a, int32_t port, TDvrInfo *info) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_GetDvrLoginInfo(a, port, info)); });
}
uint32_t REG E_RemoveDvr(TSelf self, TStr a, int32_t port) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_RemoveDvr(a, port)); });
}
int32_t REG E_SetAuxCallback3(TSelf self, int32_t value, uint32_t, TMethod cb) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetAuxCallback3(value, cb); });
}
uint32_t REG E_SetByteOption(TSelf self, uint32_t index, uint32_t value) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_SetByteOption(Byte(index), Byte(value))); });
}
uint32_t REG E_GetByteOption(TSelf self, uint32_t index) {
  return Guarded<uint32_t>([&] { return uint32_t(OBJ->ORVA_Device_GetByteOption(Byte(index))); });
}
uint32_t REG E_SetHostParams(TSelf self, uint32_t, uint32_t, uint64_t params) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_SetHostParams(params)); });
}
int32_t REG E_SetOfflineReportDelay(TSelf self, uint32_t, const int32_t *delay) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetOfflineReportDelay(delay); });
}
void REG E_SetHostValue(TSelf self, int32_t value) {
  Guarded<void>([&] { OBJ->ORVA_Device_SetHostValue(value); });
}

// The reserved positions that answer 0, by the number of their stack words:
// the two register slots are declared, then Words 32-bit stack arguments.
template <int Pos, class Words> struct TReserved;
template <int Pos, size_t... I> struct TReserved<Pos, std::index_sequence<I...>> {
  static int32_t REG Entry(TSelf self, uint32_t, uint32_t, decltype(I, uint32_t())...) {
    return Guarded<int32_t>([&] { return OBJ->ORVA_Device_Reserved(Pos); });
  }
};
template <int Pos, size_t Words> constexpr auto EReserved = &TReserved<Pos, std::make_index_sequence<Words>>::Entry;
constexpr auto E_Reserved129 = EReserved<P_Reserved129, 2>;
constexpr auto E_Reserved130 = EReserved<P_Reserved130, 1>;
constexpr auto E_Reserved131 = EReserved<P_Reserved131, 0>;
constexpr auto E_Reserved134 = EReserved<P_Reserved134, 2>;
constexpr auto E_Reserved135 = EReserved<P_Reserved135, 1>;
constexpr auto E_Reserved136 = EReserved<P_Reserved136, 3>;
constexpr auto E_Reserved138 = EReserved<P_Reserved138, 3>;
constexpr auto E_Reserved147 = EReserved<P_Reserved147, 1>;
constexpr auto E_Reserved148 = EReserved<P_Reserved148, 1>;
constexpr auto E_Reserved149 = EReserved<P_Reserved149, 1>;
constexpr auto E_Reserved151 = EReserved<P_Reserved151, 3>;
constexpr auto E_Reserved152 = EReserved<P_Reserved152, 4>;
constexpr auto E_Reserved153 = EReserved<P_Reserved153, 9>;
constexpr auto E_Reserved154 = EReserved<P_Reserved154, 2>;

// --- what an entry's parameters take from the stack, worked out from its type

// How GCC passes the arguments of a regparm(3) function: in order, each
// argument of w words takes w of the registers EAX, EDX, ECX when w are
// still free; one that does not fit goes on the stack and leaves no register
// for the arguments after it. (The host instead never puts a method pointer
// in registers and lets later 32-bit arguments take a free one; entries
// therefore declare the register slots that the host leaves unused.)
struct TEntryShape {
  bool RegisterConvention;
  int StackBytes;
  bool WideArgumentInRegisters; // an 8-byte argument would travel in EDX:ECX
};

template <class A> constexpr int Words() {
  static_assert(std::is_integral_v<A> || std::is_pointer_v<A> || std::is_class_v<A>,
                "entries take integers, pointers and records only");
  return static_cast<int>((sizeof(A) + 3) / 4);
}

template <class R, class... A> constexpr TEntryShape Shape(R(REG *)(A...)) {
  TEntryShape s{true, 0, false};
  int free = 3;
  for (int w : {Words<A>()...}) {
    if (w <= free) {
      if (w > 1) s.WideArgumentInRegisters = true;
    } else {
      s.StackBytes += 4 * w;
    }
    free = w <= free ? free - w : 0;
  }
  return s;
}

template <class R, class... A> constexpr TEntryShape Shape(R(__stdcall *)(A...)) {
  return {false, ((4 * Words<A>()) + ...), false};
}

#define TM_CHECK_ENTRY(pos, op, kind, bytes)                                                     \
  static_assert(Shape(E_##op).RegisterConvention == (pk##kind != pkRef),                        \
                "position " #pos ": positions 0-2 are stdcall, the others regparm(3) stdcall"); \
  static_assert(!Shape(E_##op).WideArgumentInRegisters,                                         \
                "position " #pos ": an 8-byte argument would go in EDX:ECX; declare the free "  \
                "register slots before it");                                                    \
  static_assert(Shape(E_##op).StackBytes == bytes,                                              \
                "position " #pos " (" #op "): the entry's parameters remove other stack bytes " \
                "than U_InterfacePositions.h lists");
TM_INTERFACE_POSITIONS(TM_CHECK_ENTRY)
#undef TM_CHECK_ENTRY

template <class F> const void *Code(F entry) { return reinterpret_cast<const void *>(entry); }

template <size_t... I> void FillUnsupported(const void **t, std::index_sequence<I...>) {
  ((t[I] = Code(&EU<static_cast<int>(I)>)), ...);
}

struct TTables {
  const void *driver[InterfacePositions];
  const void *unknown[3];
  TTables() {
    FillUnsupported(driver, std::make_index_sequence<InterfacePositions>());
#define TM_FILL(pos, op, kind, bytes) driver[pos] = Code(E_##op);
    TM_INTERFACE_POSITIONS(TM_FILL)
#undef TM_FILL
    for (int i = 0; i < 3; ++i) unknown[i] = driver[i];
  }
};

// Filled while the library loads, before any thread can ask for it.
const TTables InterfaceTables;
const TTables &Tables() { return InterfaceTables; }

} // namespace

void RunGuarded(void (*fn)(void *), void *context) {
  Guarded<void>([&] { fn(context); });
}

TInterfaceTables HostInterfaceTables() { return {Tables().driver, Tables().unknown}; }

// Messages stay valid after the host has unwound our frames: they are kept
// for the life of the library, once per distinct text, and go with it.
namespace {
TLock HostTextsLock;
std::set<std::string> HostTexts;
} // namespace

const char *InternHostText(const std::string &s) {
  TLockGuard g(HostTextsLock);
  return HostTexts.insert(s).first->c_str();
}

void RaiseHostException(const char *className, const char *message) {
  const ULONG_PTR params[2] = {reinterpret_cast<ULONG_PTR>(className),
                               reinterpret_cast<ULONG_PTR>(message)};
  for (;;) ::RaiseException(HostExceptionCode, EXCEPTION_NONCONTINUABLE, 2, params);
}
