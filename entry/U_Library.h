// U_Library.h - what the library does while it is loaded and unloaded, and
// the driver factory behind the exported ORVA_CreateDevice.
#pragma once
#include <cstdint>

// The load sequence, on the loading thread (the library's main thread).
// Raises when the library cannot work (no shared heap, no worker pool),
// after undoing what it did; the privileges and the banner may fail.
void LibraryInitialize();
// The unload sequence. At process exit (processTerminating) the other
// threads are already gone: nothing that waits for them may run then. Every
// step runs even when one before it raised; nothing escapes.
void LibraryFinalize(bool processTerminating);

// ORVA_CreateDevice without the structured-exception boundary.
void CreateDevice(void **driver, uint32_t driverType, const char *hostDir);
