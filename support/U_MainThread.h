// U_MainThread.h - the library's main thread (the one that loaded it) and
// synchronous calls handed to it, as the run-time's Synchronize does.
#pragma once
#include <cstdint>
#include <functional>

namespace NMainThread {

// Records the calling thread as the main thread and creates the hidden
// window through which other threads hand it calls. Called on attach.
void Init();
// Removes that window (nothing is done at process exit).
void Done(bool processTerminating);

bool IsMain();

// Runs fn on the main thread and waits for it. A main thread that does not
// take the call within timeoutMs (a console host that never pumps messages,
// or one that is itself waiting for the caller) would deadlock a plain
// Synchronize; the call then runs on the calling thread instead. Returns true
// when fn ran on the main thread. Exceptions of fn reach the caller.
bool Synchronize(const std::function<void()> &fn, uint32_t timeoutMs = 250);

// The module that holds this code (the DLL, or the test program).
void *ModuleInstance();

} // namespace NMainThread
