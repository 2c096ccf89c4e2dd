// SimControl.h - the simulated NVSDK.dll: its extra exports, through which
// tests and the demo host set up and drive the simulated video servers.
// All functions are stdcall and exported undecorated. They may be called from
// any thread.
#pragma once
#include <cstdint>

#define SIM_API __stdcall

// How a simulated server answers a logon.
enum TSimBehaviour : int32_t {
  sbAccept = 0,       // logon and server information succeed
  sbRefuse = 1,       // NVNET_LogonServer fails (wrong password and the like)
  sbInfoFails = 2,    // logon succeeds, NVNET_GetServerInfo fails
  sbSlow = 3,         // like sbAccept, after the logon delay (SIM_SetLogonDelay)
};

// Counters of one simulated server (SIM_GetCounters).
#pragma pack(push, 4)
struct TSimCounters {
  int32_t LogonAttempts;   // NVNET_LogonServer calls addressed to this server
  int32_t LogonsAccepted;  // of those, successful ones
  int32_t InfoCalls;       // NVNET_GetServerInfo calls on its logins
  int32_t ChannelsOpened;  // successful NVNET_OpenChannel calls
  int32_t ChannelsClosed;  // successful NVNET_CloseChannel calls
  int32_t CloseFailures;   // NVNET_CloseChannel calls that were made to fail
  int32_t OpenStreams;     // streams running now
  int32_t MessagesSent;    // messages delivered through the message callback
  int64_t FramesSent;      // complete frames sent through the stream function
  int64_t PacketsSent;     // fragments sent
  int64_t BytesSent;       // payload bytes sent
  int32_t CurrentLogin;    // the latest login handle handed out, -1 for none
  int32_t LogoffCalls;     // NVNET_LogoffServer calls on its logins (repeats included)
  int32_t OpenLogins;      // logins accepted and not logged off, broken ones included:
                           // what a real server still holds for the client
  int32_t Reserved[5];
};

// What the simulator holds across all servers (SIM_GetTotals).
struct TSimTotals {
  int32_t LiveLogins;        // logins not ended by a break
  int32_t MessageCallbacks;  // logins with a message callback attached
  int32_t StreamFunctions;   // logins with a stream function attached
  int32_t OpenStreams;       // channels streaming now
  int64_t UndeliveredFrames; // frames of open channels that found no stream function
  int64_t DeadCallbacks;     // callbacks not made: their code lay in no loaded module
  int32_t LeakedBlocks;      // heap blocks kept by the leak switch (SIM_SetLeak)
  int32_t LeakedHandles;     // event handles kept by the leak switch
  int32_t Reserved[4];
};
#pragma pack(pop)

extern "C" {
// Drops every server, stops every stream, clears the call log and counters,
// stops the leak switch.
void SIM_API SIM_Reset();
// Adds a server answering at address:port with these credentials and channel
// count (reported at +30 of the server information). Returns its id (0, 1, ..)
// or -1 when address:port is taken.
int32_t SIM_API SIM_AddServer(const char *address, int32_t port, const char *user,
                              const char *password, int32_t channels, int32_t behaviour);
int32_t SIM_API SIM_SetBehaviour(int32_t server, int32_t behaviour);
int32_t SIM_API SIM_SetLogonDelay(int32_t server, int32_t milliseconds);
// Stream shape of every channel of the server: frames per second, video and
// audio bytes per frame, a key frame every keyInterval frames (frame 0 is a
// key frame). videoBytesMax > videoBytes makes the video size vary between the
// two, deterministically per frame.
int32_t SIM_API SIM_SetStream(int32_t server, int32_t fps, int32_t videoBytes, int32_t videoBytesMax,
                              int32_t audioBytes, int32_t keyInterval);
// The next n NVNET_CloseChannel calls on this server fail (non-zero result).
int32_t SIM_API SIM_FailCloseChannel(int32_t server, int32_t n);
// Sends the message code (NV_MSG_RESETSERVER 0x10000004, NV_MSG_SERVER_BREAK
// 0x10000009, or any other) to the current login of the server through its
// message callback, on a thread of the simulator. A break first stops the
// login's streams and ends the login (later calls on its handle fail).
// wait != 0: returns after the callback returned, with its result; else 0 at
// once. -1 when the server has no login with a message callback.
int32_t SIM_API SIM_InjectMessage(int32_t server, uint32_t code, int32_t wait);
// on != 0: whenever a message callback is attached to a new login of the
// server (NVNET_SetCallback), the simulator delivers the link-break message
// to it on a thread of its own and waits for that call to return (at most
// 8 s) before NVNET_SetCallback returns, as an SDK may that calls out at
// once. Returns 0, or -1 for an unknown server.
int32_t SIM_API SIM_BreakOnAttach(int32_t server, int32_t on);
// Hands a crafted packet (the stream packet layout, header and payload) to the
// stream function of the login's current attachment, as channel `channel`, on
// a thread of the simulator, and waits until it returned. -1 when the login
// has no stream function.
int32_t SIM_API SIM_InjectPacket(int32_t loginHandle, int32_t channel, const void *packet,
                                 int32_t size);
int32_t SIM_API SIM_GetCounters(int32_t server, TSimCounters *out);
int32_t SIM_API SIM_GetTotals(TSimTotals *out);
// For testing the demo host's judgement of memory and handles only: a leak
// the simulator makes on purpose. blockPerFrame != 0: every complete frame
// sent allocates a 64-byte block of the process heap that is never freed;
// handlePerLogon != 0: every accepted logon creates an event handle that is
// never closed. 0, 0 stops it; SIM_Reset stops it too (what was kept stays).
// Returns 0.
int32_t SIM_API SIM_SetLeak(int32_t blockPerFrame, int32_t handlePerLogon);
// Copies the call log (one line per NVNET_ call, "\n"-separated, e.g.
// "NVNET_LogonServer 127.0.0.1 3000 admin 1234 -> 0 h=100") into buf, zero
// terminated, cut to size; returns the full length. clear != 0 empties it.
int32_t SIM_API SIM_ReadCallLog(char *buf, int32_t size, int32_t clear);
}
