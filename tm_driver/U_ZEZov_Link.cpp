// U_ZEZov_Link.cpp - link supervision: the worker that keeps every
// registered server logged on and reports each attempt to the host.
#include "tm_driver/U_ZEZov.h"
#include "support/Clock.h"
#include "support/U_DebugLog.h"
#include "tm_driver/U_ZEZov_Texts.h"
#include <cstring>

void TTMDvs::CheckDvrLink(volatile uint8_t &terminated, TThreadBase *, int32_t) {
  auto stop = [&] { return StopLinkCheck.load() != 0 || terminated != 0; };
  try {
    for (;;) {
      if (stop()) break;
      NClock::Sleep(100);
      WriteDebugLog("ZQ>>TTMDvs CheckDvrLink Run", 1);
      // Records added during the pass wait for the next one.
      const int32_t n = DvrCount();
      for (int32_t i = 0; i < n; ++i) CheckOneServer(i);
      bool stopped = false;
      for (int s = 0; s < 10 && !stopped; ++s) {
        NClock::Sleep(1000);
        stopped = stop();
      }
      if (stopped) break;
    }
  } catch (...) {
    WriteDebugLog("ZQ>>TTMDvs.CheckDvrLink Except", 1);
  }
  LinkCheckStopped = 1;
}

void TTMDvs::CheckOneServer(int32_t index) {
  TDvrInfo *r = DvrRecord(index);
  if (!r || r->Deleted != 0 || r->LoginHandle >= MinLoginHandle) return;
  const std::string domain = r->DvrDomain.Text();
  const std::string address = !domain.empty() && PublicUnit ? PublicUnit->ResolveHost(domain) : r->DvrIP.Text();
  const std::string user = r->UserName.Text(), password = r->Password.Text();

  auto logon = SdkFunction<TNvLogonServer>(sfLogonServer);
  int32_t h = -1;
  const int32_t logonResult =
      logon ? logon(address.c_str(), static_cast<uint16_t>(r->Port), user.c_str(), password.c_str(), 0, &h) : -1;
  if (logonResult == 0) {
    uint8_t info[ServerInfoSize] = {};
    const int32_t size = ServerInfoSize;
    std::memcpy(info, &size, 4);
    auto getInfo = SdkFunction<TNvGetServerInfo>(sfGetServerInfo);
    if (getInfo && getInfo(h, info) == 0) {
      uint16_t channels;
      std::memcpy(&channels, info + ServerInfoChannelsOffset, 2);
      r->LoginHandle = h;
      r->Reserved128 = 0;
      r->DevVideoNum = channels;
      r->DevAlarmInNum = 0;
      r->DevAlarmOutNum = 0;
      r->LoginTime = NClock::Now();
      if (auto f = SdkFunction<TNvSetCallback>(sfSetCallback)) f(h, &TTMDvs::MessageCallback);
      // The user data names the server's channel array as it is now; the
      // stream callback finds the current array from it on every packet.
      const TChannelArrayRef channelArray = Channels(index);
      void *userData = channelArray ? channelArray->Records : nullptr;
      if (auto f = SdkFunction<TNvSetStreamFunc>(sfSetStreamFunc)) f(h, &TTMDvs::StreamCallback, userData);
      DebugLine(TextOnLine + address);
    } else {
      r->LoginHandle = -1;
      ReportStatus(r->DvrId, false);
      DebugLine(TextReportOffLine + address);
      DebugLine(TextLogOutBegin);
      LogOut(h);
      DebugLine(TextLogOutFinished);
      return;
    }
  }
  ReportStatus(r->DvrId, r->LoginHandle >= MinLoginHandle);
  NClock::Sleep(100);
}
