// SimClient.h - the simulator's control exports, looked up in a loaded
// NVSDK.dll (for programs that drive the simulated servers).
#pragma once
#include "sim/SimControl.h"
#include <windows.h>

struct TSimClient {
  decltype(&SIM_Reset) Reset = nullptr;
  decltype(&SIM_AddServer) AddServer = nullptr;
  decltype(&SIM_SetBehaviour) SetBehaviour = nullptr;
  decltype(&SIM_SetLogonDelay) SetLogonDelay = nullptr;
  decltype(&SIM_SetStream) SetStream = nullptr;
  decltype(&SIM_FailCloseChannel) FailCloseChannel = nullptr;
  decltype(&SIM_InjectMessage) InjectMessage = nullptr;
  decltype(&SIM_BreakOnAttach) BreakOnAttach = nullptr;
  decltype(&SIM_InjectPacket) InjectPacket = nullptr;
  decltype(&SIM_GetCounters) GetCounters = nullptr;
  decltype(&SIM_ReadCallLog) ReadCallLog = nullptr;
  decltype(&SIM_GetTotals) GetTotals = nullptr;
  decltype(&SIM_SetLeak) SetLeak = nullptr; // tests of the soak judgement only

  // Looks the export `name` up into `f`; false when the module or the export is missing.
  template <class F> static bool Lookup(HMODULE m, F &f, const char *name) {
    f = m ? reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(m, name))) : nullptr;
    return f != nullptr;
  }

  // True when every export was found.
  bool Bind(HMODULE m) {
    bool all = m != nullptr;
    auto get = [&](auto &f, const char *name) { all = Lookup(m, f, name) && all; };
    get(Reset, "SIM_Reset");
    get(AddServer, "SIM_AddServer");
    get(SetBehaviour, "SIM_SetBehaviour");
    get(SetLogonDelay, "SIM_SetLogonDelay");
    get(SetStream, "SIM_SetStream");
    get(FailCloseChannel, "SIM_FailCloseChannel");
    get(InjectMessage, "SIM_InjectMessage");
    get(BreakOnAttach, "SIM_BreakOnAttach");
    get(InjectPacket, "SIM_InjectPacket");
    get(GetCounters, "SIM_GetCounters");
    get(ReadCallLog, "SIM_ReadCallLog");
    get(GetTotals, "SIM_GetTotals");
    get(SetLeak, "SIM_SetLeak");
    return all;
  }
  TSimTotals Totals() const {
    TSimTotals t{};
    GetTotals(&t);
    return t;
  }
  TSimCounters Counters(int32_t server) const {
    TSimCounters c{};
    GetCounters(server, &c);
    return c;
  }
};
