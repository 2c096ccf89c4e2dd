// U_DeviceDriverBase_Defense.cpp - the channel defence flags: arming and
// disarming per server and channel, and the state texts of the host.
#include "driver_base/U_DeviceDriverBase.h"
#include "support/U_DebugLog.h"
#include "support/U_HostTypes.h"
#include <algorithm>

namespace {

volatile LONG *FlagOf(TDvrChannelInfo &c, TDeviceDriverBase::TDefenseFlag flag) {
  int32_t *f = nullptr;
  switch (flag) {
  case TDeviceDriverBase::dfMotion: f = &c.MotionDefense; break;
  case TDeviceDriverBase::dfAlarmIn: f = &c.AlarmInDefense; break;
  case TDeviceDriverBase::dfAlarmOut: f = &c.AlarmOutDefense; break;
  case TDeviceDriverBase::dfVideo: f = &c.VideoDefense; break;
  case TDeviceDriverBase::dfChannel: f = &c.ChannelDefense; break;
  }
  return reinterpret_cast<volatile LONG *>(f);
}

// Disarming motion and channel defence works on a server that is not logged
// on; everything else needs it on line.
bool NeedsOnLine(int position) { return position != 76 && position != 133; }

} // namespace

bool TDeviceDriverBase::SetDefense(int position, TDefenseFlag flag, int32_t value, const char *address,
                                   int32_t port, int32_t channel) {
  const int32_t i = FindDvr(NHostString::View(address), port, NeedsOnLine(position), true);
  if (i < 0) return false;
  if (position == 80) {
    const TDvrInfo *d = DvrRecord(i);
    if (channel < 0 || channel >= d->DevAlarmOutNum || channel >= d->AlarmOutNum) return false;
  }
  const TChannelArrayRef channels = Channels(i);
  if (!channels || !channels->Has(channel)) return false;
  volatile LONG *f = FlagOf((*channels)[channel], flag);
  InterlockedExchange(f, value);
  if (position == 75 || position == 76)
    DebugLine(std::string(position == 75 ? "zq>>ORVA_Device_StartDvrMotion: " : "zq>>ORVA_Device_StopDvrMotion: ") +
              std::to_string(*f));
  return true;
}

void TDeviceDriverBase::GetDefenseState(int position, TStateKind kind, const char *address, int32_t port,
                                        char **state) {
  if (!state) return;
  NHostString::Assign(state, "");
  if (kind == skEmpty) return;
  const std::string a(NHostString::View(address));
  if (position == 118) DebugLine("ZQ>>ORVA_Device_GetDvrNetMotionDefenseState: DvrIP: " + a);
  const int32_t i = FindDvr(a, port, true, true);
  if (i < 0) return;
  const TDvrInfo *d = DvrRecord(i);
  int32_t configured = 0, reported = 0;
  TDefenseFlag flag = dfMotion;
  switch (kind) {
  case skMotion: configured = d->VideoNum, reported = d->DevVideoNum, flag = dfMotion; break;
  case skAlarmIn: configured = d->AlarmInNum, reported = d->DevAlarmInNum, flag = dfAlarmIn; break;
  case skAlarmOut: configured = d->AlarmOutNum, reported = d->DevAlarmOutNum, flag = dfAlarmOut; break;
  case skVideo: configured = d->VideoNum, reported = d->DevVideoNum, flag = dfVideo; break;
  case skEmpty: break;
  }
  const TChannelArrayRef channels = Channels(i);
  std::string text;
  // One digit per channel; never beyond the server's channel records.
  for (int32_t c = 0; c < configured && c < reported && channels && channels->Has(c); ++c)
    text += *FlagOf((*channels)[c], flag) > 0 ? '1' : '0';
  NHostString::Assign(state, text);
  if (position == 118) DebugLine("ZQ>>ORVA_Device_GetDvrNetMotionDefenseState: DvrIP: " + a + " " + text);
}
