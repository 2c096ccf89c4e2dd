// U_IDeviceDriverInterface.h - IDeviceDriverInterface as the host sees it:
// a pointer to a table of 156 entries, positions 0-2 stdcall, 3-155 in the
// host's register convention, and how an error crosses to the host. The IIDs,
// DriverTable and the reference helpers are declared with the driver object
// (driver_base/U_DriverInterface.h); the entry tables are made here.
#pragma once
#include <windows.h>
#include <cstdint>
#include <string>
#include "driver_base/U_DriverInterface.h"
#include "entry/U_InterfacePositions.h"

constexpr int InterfacePositions = 156;

// The entry tables every driver object is constructed with: the library's
// entries for the 156 positions, and positions 0-2 for the object's
// IInterface pointer. Filled while the library loads.
TInterfaceTables HostInterfaceTables();

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
