// SdkApi.h - the simulated NVSDK.dll beside the test program, through its
// exports: the NVNET_ calls the driver makes and the simulator's controls.
#pragma once
#include "common/Process.h"
#include "sim/SimClient.h"

using TStreamFunc = void(__stdcall *)(uint32_t, int32_t, uint32_t, const void *, uint32_t, uint32_t, void *);
using TMessageFunc = int32_t(__stdcall *)(int32_t, const void *);

struct TSdk : TSimClient {
  HMODULE module = nullptr;
  int32_t(__stdcall *LogonServer)(const char *, uint32_t, const char *, const char *, int32_t, int32_t *) = nullptr;
  int32_t(__stdcall *GetServerInfo)(int32_t, void *) = nullptr;
  int32_t(__stdcall *SetStreamFunc)(int32_t, TStreamFunc, void *) = nullptr;
  int32_t(__stdcall *SetCallback)(int32_t, TMessageFunc) = nullptr;
  int32_t(__stdcall *OpenChannel)(int32_t, const void *, int32_t *) = nullptr;
  int32_t(__stdcall *CloseChannel)(int32_t) = nullptr;
  int32_t(__stdcall *Mute)(int32_t, int32_t) = nullptr;

  // True when the library loaded and has every export.
  bool Load() {
    module = LoadLibraryA((NTest::ExeDir() + "NVSDK.dll").c_str());
    bool all = Bind(module);
    auto get = [&](auto &f, const char *name) { all = Lookup(module, f, name) && all; };
    get(LogonServer, "NVNET_LogonServer");
    get(GetServerInfo, "NVNET_GetServerInfo");
    get(SetStreamFunc, "NVNET_SetStreamFunc");
    get(SetCallback, "NVNET_SetCallback");
    get(OpenChannel, "NVNET_OpenChannel");
    get(CloseChannel, "NVNET_CloseChannel");
    get(Mute, "NVNET_Mute");
    return all;
  }

  // A logon: its handle, or -1000 - the SDK's result.
  int32_t Logon(const char *address = "127.0.0.1", uint32_t port = 3000, const char *user = "admin",
                const char *password = "1234") {
    int32_t h = -7;
    const int32_t rc = LogonServer(address, port, user, password, 0, &h);
    return rc == 0 ? h : -1000 - rc;
  }

  // Opens a channel of the login the way the driver asks: its handle, or -1.
  int32_t Open(int32_t login, int32_t channel) {
    const int32_t request[7] = {channel, channel, 0, 0, 0, -1, 0};
    int32_t h = 0;
    return OpenChannel(login, request, &h) == 0 ? h : -1;
  }
};
