// U_HostCall.h - calling host methods: the object goes in EAX, the first two
// 32-bit arguments in EDX and ECX, the rest on the stack pushed left to right
// and removed by the callee.
#pragma once
#include "support/U_Define.h"
#include <cstdint>
#include <cstring>

#define HOST_METHOD __attribute__((regparm(3), stdcall))

// The record of a guarded call (see U_HostGuard.S).
struct TGuardedCall {
  const void *Code;
  uint32_t Eax, Edx, Ecx;
  uint32_t Result;
  uint32_t Raised;
  uint32_t ExceptionCode;
  uint32_t SaveEsp, SaveEbp;
};
extern "C" uint32_t TmGuardedHostCall(TGuardedCall *call);

namespace NHostCall {

// A method pointer that one thread sets while another calls it: code and
// object move as one aligned 8-byte load or store (the record keeps it
// 8-aligned), never as two halves of different pairs. No locked
// instruction: the compiler makes these single 64-bit moves.
inline TMethod LoadMethod(const TMethod &m) {
  static_assert(sizeof(TMethod) == 8);
  const uint64_t v = __atomic_load_n(reinterpret_cast<const uint64_t *>(&m), __ATOMIC_ACQUIRE);
  TMethod out;
  std::memcpy(&out, &v, 8);
  return out;
}
inline void StoreMethod(TMethod &m, const TMethod &value) {
  uint64_t v;
  std::memcpy(&v, &value, 8);
  __atomic_store_n(reinterpret_cast<uint64_t *>(&m), v, __ATOMIC_RELEASE);
}

// Calls a host method with two register arguments under an SEH frame of
// ours: an exception the host raises ends the call; true when none did.
inline bool Guarded(const TMethod &m, uint32_t edx, uint32_t ecx) {
  TGuardedCall c{m.Code, reinterpret_cast<uint32_t>(m.Data), edx, ecx, 0, 0, 0, 0, 0};
  TmGuardedHostCall(&c);
  return c.Raised == 0;
}

// (DvrId, OnLine): the server state report. Called on the driver's worker
// and the SDK's threads, where no host exception may go on unwinding.
inline bool Status(const TMethod &m, int32_t dvrId, bool onLine) {
  return Guarded(m, static_cast<uint32_t>(dvrId), onLine ? 1u : 0u);
}

// (FrameInfo): a frame record; the second register is unused. On the SDK's
// threads, guarded as the state report.
inline bool Frame(const TMethod &m, const void *frameInfo) {
  return Guarded(m, reinterpret_cast<uint32_t>(frameInfo), 0);
}

// Five int32: a and b in registers, then c, z1, z2 pushed in that order, so
// that the last pushed lies lowest (declared first after the registers).
inline int32_t Five(const TMethod &m, int32_t a, int32_t b, int32_t c, int32_t z1, int32_t z2) {
  using F = int32_t(HOST_METHOD *)(void *, int32_t, int32_t, int32_t, int32_t, int32_t);
  return reinterpret_cast<F>(m.Code)(m.Data, a, b, z2, z1, c);
}

inline int32_t One(const TMethod &m, int32_t a) {
  using F = int32_t(HOST_METHOD *)(void *, int32_t);
  return reinterpret_cast<F>(m.Code)(m.Data, a);
}

} // namespace NHostCall
