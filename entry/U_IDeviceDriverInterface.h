// U_IDeviceDriverInterface.h - IDeviceDriverInterface as the host sees it:
// a pointer to a table of 156 entries, positions 0-2 stdcall, 3-155 in the
// host's register convention; the library-wide DriverTable; and how an error
// crosses to the host.
#pragma once
#include <windows.h>
#include <cstdint>
#include <string>
#include "entry/U_InterfacePositions.h"

// {5584A661-2311-44C1-97B2-1078E0238379}
extern const GUID IID_IDeviceDriverInterface;
// IInterface: {00000000-0000-0000-C000-000000000046}
extern const GUID IID_IInterfaceHost;

constexpr int InterfacePositions = 156;

// The entry tables of the two interface pointers of a driver object.
const void *const *DriverInterfaceTable();
const void *const *UnknownInterfaceTable();

// One counted interface reference per driver type number, or nil.
extern void *DriverTable[47];

// Reference counting of any host-style interface pointer (positions 1 and 2).
void InterfaceAddRef(void *intf);
void InterfaceRelease(void *intf);
// Stores a new reference into an interface variable: adds one to the new
// value, stores it, then releases the old one.
void InterfaceAssign(void **var, void *value);

// The structured exception an error becomes when it reaches the host.
// Non-continuable; two parameters: [0] the address of the error class name,
// [1] the address of the message, both zero-terminated and valid until the
// library is unloaded.
constexpr DWORD HostExceptionCode = 0xE0544D44; // 'T','M','D' with the customer bit
[[noreturn]] void RaiseHostException(const char *className, const char *message);
// Runs fn; an error that escapes it becomes the structured exception above.
void RunGuarded(void (*fn)(void *), void *context);
// A copy of the text that lives as long as the library (one per distinct text).
const char *InternHostText(const std::string &text);

// The positions the driver supports, as listed in U_InterfacePositions.h;
// every other position raises the abstract-method error.
enum TPositionKind : char { pkRef = 'R', pkBase = 'B', pkFixed = 'F', pkTm = 'T' };
struct TPositionInfo {
  int Position;
  const char *Name;
  TPositionKind Kind;
  int StackBytes; // bytes the entry removes from the stack
};

#define TM_POSITION_NAME_Ref(op) #op
#define TM_POSITION_NAME_Base(op) "ORVA_Device_" #op
#define TM_POSITION_NAME_Fixed(op) "ORVA_Device_" #op
#define TM_POSITION_NAME_Tm(op) "ORVA_Device_" #op
#define TM_POSITION_INFO(pos, op, kind, bytes) {pos, TM_POSITION_NAME_##kind(op), pk##kind, bytes},
inline constexpr TPositionInfo SupportedPositions[] = {TM_INTERFACE_POSITIONS(TM_POSITION_INFO)};
#undef TM_POSITION_INFO
constexpr int SupportedPositionCount = sizeof SupportedPositions / sizeof SupportedPositions[0];

// The supported position's description, or nil for a position that raises.
constexpr const TPositionInfo *FindPosition(int position) {
  for (const auto &p : SupportedPositions)
    if (p.Position == position) return &p;
  return nullptr;
}

constexpr bool PositionsAscendWithinTheTable() {
  int last = -1;
  for (const auto &p : SupportedPositions) {
    if (p.Position <= last || p.Position >= InterfacePositions) return false;
    last = p.Position;
  }
  return SupportedPositions[0].Position == 0 && SupportedPositions[2].Position == 2;
}
static_assert(PositionsAscendWithinTheTable(), "U_InterfacePositions.h: positions out of order");
static_assert(InterfacePositions - SupportedPositionCount == 83, "83 positions raise");
