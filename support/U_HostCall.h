// U_HostCall.h - calling host methods: the object goes in EAX, the first two
// 32-bit arguments in EDX and ECX, the rest on the stack pushed left to right
// and removed by the callee.
#pragma once
#include "support/U_Define.h"
#include <cstdint>

#define HOST_METHOD __attribute__((regparm(3), stdcall))

namespace NHostCall {

// (DvrId, OnLine): the server state report.
inline void Status(const TMethod &m, int32_t dvrId, bool onLine) {
  using F = void(HOST_METHOD *)(void *, int32_t, uint32_t);
  reinterpret_cast<F>(m.Code)(m.Data, dvrId, onLine ? 1u : 0u);
}

// (FrameInfo): a frame record; the second register is unused.
inline void Frame(const TMethod &m, const void *frameInfo) {
  using F = void(HOST_METHOD *)(void *, const void *);
  reinterpret_cast<F>(m.Code)(m.Data, frameInfo);
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
