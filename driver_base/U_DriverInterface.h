// U_DriverInterface.h - what the driver object needs of the host interface:
// the IIDs it answers, the shape of the entry tables its two interface
// pointers are given, the library-wide DriverTable, and reference counting of
// interface pointers.
#pragma once
#include <windows.h>

// {5584A661-2311-44C1-97B2-1078E0238379}
extern const GUID IID_IDeviceDriverInterface;
// IInterface: {00000000-0000-0000-C000-000000000046}
extern const GUID IID_IInterfaceHost;

// The entry tables of the two interface pointers of a driver object. They
// hold the library's entries, so the entry level makes them
// (entry/U_IDeviceDriverInterface.cpp) and whoever constructs a driver object
// gives them to it; this level only stores them in the object's slots.
struct TInterfaceTables {
  const void *const *Driver;  // IDeviceDriverInterface: 156 entries
  const void *const *Unknown; // IInterface: positions 0-2 of the same
};

// One counted interface reference per driver type number, or nil.
extern void *DriverTable[47];

// Reference counting of any host-style interface pointer (positions 1 and 2).
void InterfaceAddRef(void *intf);
void InterfaceRelease(void *intf);
// Stores a new reference into an interface variable: adds one to the new
// value, stores it, then releases the old one.
void InterfaceAssign(void **var, void *value);
