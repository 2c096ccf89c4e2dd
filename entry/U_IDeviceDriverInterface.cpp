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

#define REG __attribute__((regparm(3), stdcall))

const GUID IID_IDeviceDriverInterface = {
    0x5584A661, 0x2311, 0x44C1, {0x97, 0xB2, 0x10, 0x78, 0xE0, 0x23, 0x83, 0x79}};
const GUID IID_IInterfaceHost = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

void *DriverTable[47] = {};

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

// --- 0..2: stdcall, shared by both interface pointers

HRESULT __stdcall E0_QueryInterface(TSelf self, const GUID *iid, void **out) {
  return Guarded<HRESULT>([&] { return OBJ->QueryInterface(*iid, out); });
}
ULONG __stdcall E1_AddRef(TSelf self) { return static_cast<ULONG>(OBJ->AddRef()); }
ULONG __stdcall E2_Release(TSelf self) {
  return Guarded<ULONG>([&] { return static_cast<ULONG>(OBJ->Release()); });
}

// --- positions that no class implements

template <int N> void REG EU(TSelf self) {
  Guarded<void>([&] { OBJ->Unsupported(N); });
}

// --- supported positions

int32_t REG E3(TSelf self) { return Guarded<int32_t>([&] { return OBJ->ORVA_Device_Init(); }); }
int32_t REG E4(TSelf self, int32_t index, uint32_t, TMethod cb) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetCallback(index, cb); });
}
int32_t REG E5(TSelf self, int32_t index) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_ClearCallback(index); });
}
int32_t REG E14(TSelf self, uint32_t, uint32_t, TMethod cb) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetAuxCallback1(cb); });
}
uint32_t REG E37(TSelf self, const TDvrInfo *info) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_AddDvr(info)); });
}
uint32_t REG E38(TSelf self, TStr a, int32_t port) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_DelDvr(a, port)); });
}
void REG E39(TSelf self) { Guarded<void>([&] { OBJ->ORVA_Device_Reserved39(); }); }
uint32_t REG E40(TSelf self, TStr a, int32_t port) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_Reserved40(a, port)); });
}
uint32_t REG E41(TSelf self, TStr a, int32_t port, TMethod m5, TMethod m4, TMethod m3, TMethod m2,
                 TMethod m1, int32_t channel) {
  return Guarded<uint32_t>([&] {
    const TMethod cbs[5] = {m1, m2, m3, m4, m5};
    return Res(OBJ->ORVA_Device_SetDvrCallback(a, port, channel, cbs));
  });
}
int32_t REG E58(TSelf self, TStr a, int32_t port, int32_t channel) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_StartDvrCapture(a, port, channel); });
}
int32_t REG E59(TSelf self, TStr a, int32_t port, int32_t channel) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_StopDvrCapture(a, port, channel); });
}
template <int Pos, TDeviceDriverBase::TDefenseFlag Flag, int Value>
uint32_t REG EDefense(TSelf self, TStr a, int32_t port, int32_t channel) {
  return Guarded<uint32_t>([&] { return Res(OBJ->SetDefense(Pos, Flag, Value, a, port, channel)); });
}
int32_t REG E83(TSelf self, int32_t value, uint32_t, TMethod cb) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetAuxCallback2(value, cb); });
}
int32_t REG E85(TSelf self, uint32_t a1, uint32_t a2, void **list, uint32_t a8, uint32_t a7,
                uint32_t a6, uint32_t a5, uint32_t a4, uint32_t a3) {
  return Guarded<int32_t>([&] {
    const uint32_t args[8] = {a1, a2, a3, a4, a5, a6, a7, a8};
    return OBJ->ORVA_Device_ListDvrFiles(args, list);
  });
}
int32_t REG E86(TSelf self, uint32_t a1, uint32_t a2, int32_t *size, void **buffer, uint32_t a8,
                uint32_t a7, uint32_t a6, uint32_t a5, uint32_t a4, uint32_t a3) {
  return Guarded<int32_t>([&] {
    const uint32_t args[8] = {a1, a2, a3, a4, a5, a6, a7, a8};
    return OBJ->ORVA_Device_ListDvrFilesToBuffer(args, buffer, size);
  });
}
void REG E89(TSelf self, uint32_t, uint32_t, int32_t *value, uint32_t) {
  Guarded<void>([&] { OBJ->ORVA_Device_GetAuxValue(value); });
}
uint32_t REG E90(TSelf self, TStr a, int32_t port, uint32_t size, const void *data) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_PostDvrData(a, port, data, size)); });
}
int32_t REG E92(TSelf self, int32_t value, uint32_t, TMethod f2, TMethod f1) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetHostFunctions(value, f1, f2); });
}
int32_t REG E93(TSelf self, int32_t a, int32_t b, int32_t c) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_CallHostFunction1(a, b, c); });
}
int32_t REG E94(TSelf self) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_CallHostFunction2(); });
}
uint32_t REG E95(TSelf self, void *buffer, uint32_t size, uint32_t freeBlock) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_FreeBuffer(buffer, size, Bool(freeBlock))); });
}
uint32_t REG E101(TSelf self) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_LoadDvrTable()); });
}
uint32_t REG E102(TSelf self) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_SaveDvrTable()); });
}
uint32_t REG E105(TSelf self, TStr a, int32_t port, const void *config, int32_t channel) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_SetDvrChannelConfig(a, port, channel, config)); });
}
uint32_t REG E106(TSelf self, TStr a, int32_t port, void *config, int32_t channel) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_GetDvrChannelConfig(a, port, channel, config)); });
}
uint32_t REG E107(TSelf self, TStr a, int32_t port) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_IsDvrOnLine(a, port)); });
}
uint32_t REG E108(TSelf self, TStr a, int32_t port, uint32_t logOut) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_CloseDvr(a, port, Bool(logOut))); });
}
uint32_t REG E109(TSelf self, TStr a, int32_t port, uint32_t checkDvr, int32_t channel) {
  return Guarded<uint32_t>(
      [&] { return Res(OBJ->ORVA_Device_CloseDvrChannel(a, port, channel, Bool(checkDvr))); });
}
uint32_t REG E110(TSelf self) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_Shutdown()); });
}
uint32_t REG E111(TSelf self, TStr a, int32_t port, TDvrInfo *info) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_GetDvrInfo(a, port, info)); });
}
uint32_t REG E112(TSelf self, const int32_t *params) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_SetDriverParams(params)); });
}
template <int Pos, TDeviceDriverBase::TStateKind Kind>
void REG EState(TSelf self, TStr a, int32_t port, char **state) {
  Guarded<void>([&] { OBJ->GetDefenseState(Pos, Kind, a, port, state); });
}
uint32_t REG E121(TSelf self, TStr a, int32_t port, TDvrInfo *info) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_GetDvrLoginInfo(a, port, info)); });
}
uint32_t REG E124(TSelf self, TStr a, int32_t port) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_RemoveDvr(a, port)); });
}
int32_t REG E137(TSelf self, int32_t value, uint32_t, TMethod cb) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetAuxCallback3(value, cb); });
}
uint32_t REG E143(TSelf self, uint32_t index, uint32_t value) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_SetByteOption(Byte(index), Byte(value))); });
}
uint32_t REG E144(TSelf self, uint32_t index) {
  return Guarded<uint32_t>([&] { return uint32_t(OBJ->ORVA_Device_GetByteOption(Byte(index))); });
}
uint32_t REG E146(TSelf self, uint32_t, uint32_t, uint64_t params) {
  return Guarded<uint32_t>([&] { return Res(OBJ->ORVA_Device_SetHostParams(params)); });
}
int32_t REG E150(TSelf self, uint32_t, const int32_t *delay) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_SetOfflineReportDelay(delay); });
}
void REG E155(TSelf self, int32_t value) {
  Guarded<void>([&] { OBJ->ORVA_Device_SetHostValue(value); });
}

// The reserved positions that answer 0, by the number of their stack words.
using W = uint32_t;
template <int Pos> int32_t REG ER0(TSelf self, W, W) {
  return Guarded<int32_t>([&] { return OBJ->ORVA_Device_Reserved(Pos); });
}
template <int Pos> int32_t REG ER1(TSelf self, W, W, W) { return ER0<Pos>(self, 0, 0); }
template <int Pos> int32_t REG ER2(TSelf self, W, W, W, W) { return ER0<Pos>(self, 0, 0); }
template <int Pos> int32_t REG ER3(TSelf self, W, W, W, W, W) { return ER0<Pos>(self, 0, 0); }
template <int Pos> int32_t REG ER4(TSelf self, W, W, W, W, W, W) { return ER0<Pos>(self, 0, 0); }
template <int Pos> int32_t REG ER9(TSelf self, W, W, W, W, W, W, W, W, W, W, W) {
  return ER0<Pos>(self, 0, 0);
}

using D = TDeviceDriverBase;
#define E(fn) reinterpret_cast<const void *>(&fn)

struct TSupported {
  TPositionInfo info;
  const void *code;
};

// The 70 supported positions: name, kind, stack bytes, entry.
const TSupported Supported[] = {
    {{3, "ORVA_Device_Init", pkTm, 0}, E(E3)},
    {{4, "ORVA_Device_SetCallback", pkBase, 8}, E(E4)},
    {{5, "ORVA_Device_ClearCallback", pkBase, 0}, E(E5)},
    {{14, "ORVA_Device_SetAuxCallback1", pkFixed, 8}, E(E14)},
    {{37, "ORVA_Device_AddDvr", pkBase, 0}, E(E37)},
    {{38, "ORVA_Device_DelDvr", pkBase, 0}, E(E38)},
    {{39, "ORVA_Device_Reserved39", pkTm, 0}, E(E39)},
    {{40, "ORVA_Device_Reserved40", pkTm, 0}, E(E40)},
    {{41, "ORVA_Device_SetDvrCallback", pkTm, 44}, E(E41)},
    {{58, "ORVA_Device_StartDvrCapture", pkTm, 4}, E(E58)},
    {{59, "ORVA_Device_StopDvrCapture", pkTm, 4}, E(E59)},
    {{75, "ORVA_Device_StartDvrMotion", pkBase, 4}, E((EDefense<75, D::dfMotion, 1>))},
    {{76, "ORVA_Device_StopDvrMotion", pkBase, 4}, E((EDefense<76, D::dfMotion, 0>))},
    {{77, "ORVA_Device_StartDvrAlarmInDefense", pkBase, 4}, E((EDefense<77, D::dfAlarmIn, 1>))},
    {{78, "ORVA_Device_StopDvrAlarmInDefense", pkBase, 4}, E((EDefense<78, D::dfAlarmIn, 0>))},
    {{79, "ORVA_Device_StartDvrAlarmOutDefense", pkBase, 4}, E((EDefense<79, D::dfAlarmOut, 1>))},
    {{80, "ORVA_Device_StopDvrAlarmOutDefense", pkBase, 4}, E((EDefense<80, D::dfAlarmOut, 0>))},
    {{81, "ORVA_Device_StartDvrVideoDefense", pkBase, 4}, E((EDefense<81, D::dfVideo, 1>))},
    {{82, "ORVA_Device_StopDvrVideoDefense", pkBase, 4}, E((EDefense<82, D::dfVideo, 0>))},
    {{83, "ORVA_Device_SetAuxCallback2", pkBase, 8}, E(E83)},
    {{85, "ORVA_Device_ListDvrFiles", pkBase, 28}, E(E85)},
    {{86, "ORVA_Device_ListDvrFilesToBuffer", pkBase, 32}, E(E86)},
    {{89, "ORVA_Device_GetAuxValue", pkBase, 8}, E(E89)},
    {{90, "ORVA_Device_PostDvrData", pkFixed, 8}, E(E90)},
    {{92, "ORVA_Device_SetHostFunctions", pkBase, 16}, E(E92)},
    {{93, "ORVA_Device_CallHostFunction1", pkBase, 4}, E(E93)},
    {{94, "ORVA_Device_CallHostFunction2", pkBase, 0}, E(E94)},
    {{95, "ORVA_Device_FreeBuffer", pkBase, 4}, E(E95)},
    {{101, "ORVA_Device_LoadDvrTable", pkFixed, 0}, E(E101)},
    {{102, "ORVA_Device_SaveDvrTable", pkFixed, 0}, E(E102)},
    {{105, "ORVA_Device_SetDvrChannelConfig", pkBase, 8}, E(E105)},
    {{106, "ORVA_Device_GetDvrChannelConfig", pkBase, 8}, E(E106)},
    {{107, "ORVA_Device_IsDvrOnLine", pkBase, 0}, E(E107)},
    {{108, "ORVA_Device_CloseDvr", pkTm, 4}, E(E108)},
    {{109, "ORVA_Device_CloseDvrChannel", pkTm, 8}, E(E109)},
    {{110, "ORVA_Device_Shutdown", pkTm, 0}, E(E110)},
    {{111, "ORVA_Device_GetDvrInfo", pkFixed, 4}, E(E111)},
    {{112, "ORVA_Device_SetDriverParams", pkFixed, 0}, E(E112)},
    {{114, "ORVA_Device_GetDvrDefenseStateA", pkBase, 4}, E((EState<114, D::skEmpty>))},
    {{115, "ORVA_Device_GetDvrDefenseStateB", pkBase, 4}, E((EState<115, D::skEmpty>))},
    {{116, "ORVA_Device_GetDvrDefenseStateC", pkBase, 4}, E((EState<116, D::skEmpty>))},
    {{117, "ORVA_Device_GetDvrDefenseStateD", pkBase, 4}, E((EState<117, D::skEmpty>))},
    {{118, "ORVA_Device_GetDvrNetMotionDefenseState", pkBase, 4}, E((EState<118, D::skMotion>))},
    {{119, "ORVA_Device_GetDvrAlarmInDefenseState", pkBase, 4}, E((EState<119, D::skAlarmIn>))},
    {{120, "ORVA_Device_GetDvrAlarmOutDefenseState", pkBase, 4}, E((EState<120, D::skAlarmOut>))},
    {{121, "ORVA_Device_GetDvrLoginInfo", pkFixed, 4}, E(E121)},
    {{124, "ORVA_Device_RemoveDvr", pkBase, 0}, E(E124)},
    {{128, "ORVA_Device_GetDvrVideoDefenseState", pkBase, 4}, E((EState<128, D::skVideo>))},
    {{129, "ORVA_Device_Reserved129", pkBase, 8}, E(ER2<129>)},
    {{130, "ORVA_Device_Reserved130", pkBase, 4}, E(ER1<130>)},
    {{131, "ORVA_Device_Reserved131", pkBase, 0}, E(ER0<131>)},
    {{132, "ORVA_Device_StartDvrChannelDefense", pkBase, 4}, E((EDefense<132, D::dfChannel, 1>))},
    {{133, "ORVA_Device_StopDvrChannelDefense", pkBase, 4}, E((EDefense<133, D::dfChannel, 0>))},
    {{134, "ORVA_Device_Reserved134", pkBase, 8}, E(ER2<134>)},
    {{135, "ORVA_Device_Reserved135", pkBase, 4}, E(ER1<135>)},
    {{136, "ORVA_Device_Reserved136", pkBase, 12}, E(ER3<136>)},
    {{137, "ORVA_Device_SetAuxCallback3", pkBase, 8}, E(E137)},
    {{138, "ORVA_Device_Reserved138", pkBase, 12}, E(ER3<138>)},
    {{143, "ORVA_Device_SetByteOption", pkFixed, 0}, E(E143)},
    {{144, "ORVA_Device_GetByteOption", pkFixed, 0}, E(E144)},
    {{146, "ORVA_Device_SetHostParams", pkFixed, 8}, E(E146)},
    {{147, "ORVA_Device_Reserved147", pkBase, 4}, E(ER1<147>)},
    {{148, "ORVA_Device_Reserved148", pkBase, 4}, E(ER1<148>)},
    {{149, "ORVA_Device_Reserved149", pkBase, 4}, E(ER1<149>)},
    {{150, "ORVA_Device_SetOfflineReportDelay", pkFixed, 0}, E(E150)},
    {{151, "ORVA_Device_Reserved151", pkBase, 12}, E(ER3<151>)},
    {{152, "ORVA_Device_Reserved152", pkBase, 16}, E(ER4<152>)},
    {{153, "ORVA_Device_Reserved153", pkBase, 36}, E(ER9<153>)},
    {{154, "ORVA_Device_Reserved154", pkBase, 8}, E(ER2<154>)},
    {{155, "ORVA_Device_SetHostValue", pkFixed, 0}, E(E155)},
};
static_assert(sizeof(Supported) / sizeof(Supported[0]) == 70);

template <size_t... I> void FillUnsupported(const void **t, std::index_sequence<I...>) {
  ((t[I] = E(EU<static_cast<int>(I)>)), ...);
}

struct TTables {
  const void *driver[InterfacePositions];
  const void *unknown[3];
  TTables() {
    FillUnsupported(driver, std::make_index_sequence<InterfacePositions>());
    driver[0] = unknown[0] = E(E0_QueryInterface);
    driver[1] = unknown[1] = E(E1_AddRef);
    driver[2] = unknown[2] = E(E2_Release);
    for (const auto &s : Supported) driver[s.info.Position] = s.code;
  }
};

const TTables &Tables() {
  static const TTables t;
  return t;
}

TPositionInfo SupportedInfos[70];

} // namespace

void RunGuarded(void (*fn)(void *), void *context) {
  Guarded<void>([&] { fn(context); });
}

const void *const *DriverInterfaceTable() { return Tables().driver; }
const void *const *UnknownInterfaceTable() { return Tables().unknown; }

const TPositionInfo *SupportedPositions(int *count) {
  for (size_t i = 0; i < 70; ++i) SupportedInfos[i] = Supported[i].info;
  if (count) *count = 70;
  return SupportedInfos;
}

void InterfaceAddRef(void *intf) {
  if (!intf) return;
  auto fn = reinterpret_cast<ULONG(__stdcall *)(void *)>((*static_cast<void ***>(intf))[1]);
  fn(intf);
}

void InterfaceRelease(void *intf) {
  if (!intf) return;
  auto fn = reinterpret_cast<ULONG(__stdcall *)(void *)>((*static_cast<void ***>(intf))[2]);
  fn(intf);
}

void InterfaceAssign(void **var, void *value) {
  InterfaceAddRef(value);
  void *old = *var;
  *var = value;
  InterfaceRelease(old);
}

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
