// U_ZEZov_Define.h - what the driver knows of the vendor SDK (NVSDK.dll):
// its function types (all stdcall), records and message codes.
#pragma once
#include <cstdint>
#include <cstring>

#define NV_CALL __stdcall

constexpr uint32_t NV_MSG_RESETSERVER = 0x10000004;
constexpr uint32_t NV_MSG_SERVER_BREAK = 0x10000009;

// Server information: +0 the record's size, set before the call; +30 the
// server's channel count.
constexpr size_t ServerInfoSize = 100;
constexpr size_t ServerInfoChannelsOffset = 30;

// The channel-open request.
#pragma pack(push, 1)
struct TNvOpenRequest {
  int32_t Channel;   // 0
  int32_t Channel2;  // 4
  uint8_t Mode;      // 8
  uint8_t Pad9[3];
  int32_t Zero12;    // 12
  int32_t Zero16;    // 16
  int32_t MinusOne;  // 20
  int32_t Zero24;    // 24
};
static_assert(sizeof(TNvOpenRequest) == 28);

// One stream packet: a fragment of a frame, at most 1024 payload bytes.
struct TNvPacketHeader {
  uint8_t Start;        // 0
  uint8_t Pad1[3];
  int32_t PayloadBytes; // 4
  uint8_t Pad8[4];
  uint32_t VideoBytes;  // 12
  uint8_t Pad16[4];
  uint16_t AudioBytes;  // 20
  uint8_t KeyFrame;     // 22
  uint8_t Fragment;     // 23
  uint8_t Pad24[4];
};
static_assert(sizeof(TNvPacketHeader) == 28);
#pragma pack(pop)
constexpr int32_t FragmentBytes = 1024;

using TNvMessageCallback = int32_t(NV_CALL *)(int32_t loginHandle, const void *message);
using TNvStreamCallback = void(NV_CALL *)(uint32_t, int32_t channel, uint32_t, const void *packet,
                                          uint32_t, uint32_t, void *userData);

using TNvLogonServer = int32_t(NV_CALL *)(const char *address, uint32_t port, const char *user,
                                          const char *password, int32_t zero, int32_t *handle);
using TNvLogoffServer = int32_t(NV_CALL *)(int32_t handle);
using TNvGetServerInfo = int32_t(NV_CALL *)(int32_t handle, void *info);
using TNvSetStreamFunc = int32_t(NV_CALL *)(int32_t handle, TNvStreamCallback func, void *userData);
using TNvSetCallback = int32_t(NV_CALL *)(int32_t handle, TNvMessageCallback func);
using TNvOpenChannel = int32_t(NV_CALL *)(int32_t handle, const TNvOpenRequest *request, int32_t *channelHandle);
using TNvCloseChannel = int32_t(NV_CALL *)(int32_t channelHandle);

// The sixteen exports, in the order they are looked up: X(name without
// "NVNET_"). TSdkFunction and SdkFunctionNames are made from this list.
#define TM_SDK_FUNCTIONS(X)                                                                        \
  X(LogonServer) X(LogoffServer) X(GetServerInfo) X(SetStreamFunc) X(SetMessage) X(SetCallback)    \
  X(PTZControl) X(SendCmdToServer) X(GetServerConfig) X(OpenChannel) X(CloseChannel) X(GetAVInfo) \
  X(GetRecvCount) X(SetVideoCallback) X(SetDisplayhWnd) X(Mute)
enum TSdkFunction {
#define TM_SDK_ENUM(name) sf##name,
  TM_SDK_FUNCTIONS(TM_SDK_ENUM)
#undef TM_SDK_ENUM
  SdkFunctionCount
};
static_assert(SdkFunctionCount == 16);
extern const char *const SdkFunctionNames[SdkFunctionCount];
