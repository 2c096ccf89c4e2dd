// U_DriverInterface.cpp - the IIDs, the driver table and interface reference
// counting.
#include "driver_base/U_DriverInterface.h"

const GUID IID_IDeviceDriverInterface = {
    0x5584A661, 0x2311, 0x44C1, {0x97, 0xB2, 0x10, 0x78, 0xE0, 0x23, 0x83, 0x79}};
const GUID IID_IInterfaceHost = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

void *DriverTable[47] = {};

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
