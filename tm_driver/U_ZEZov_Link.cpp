// U_ZEZov_Link.cpp - link supervision: the worker that keeps every
// registered server logged on and reports each attempt to the host.
#include "tm_driver/U_ZEZov.h"
#include "support/Clock.h"
#include "support/U_DebugLog.h"
#include "tm_driver/U_ZEZov_Texts.h"
#include "support/WinApi.h"
#include <cstring>

void TTMDvs::CheckDvrLink(volatile uint8_t &terminated, TThreadBase *, int32_t) {
  auto stop = [&] { return StopLinkCheck.load() != 0 || terminated != 0; };
  WorkerThreadId_ = NWin::NSystem::ThreadId();
  try {
    for (;;) {
      if (stop()) break;
      NClock::Sleep(100);
      WriteDebugLog("ZQ>>TTMDvs CheckDvrLink Run", 1);
      // Logins dropped since the last pass (breaks, failed logons) are
      // logged off here, on the worker, never inside an SDK callback.
      LogOffDropped();
      // Records added during the pass wait for the next one.
      const int32_t n = DvrCount();
      // A shutdown asked for during the pass (from a status report) ends it:
      // no server is logged on after the driver was stopped.
      for (int32_t i = 0; i < n && !stop(); ++i) CheckOneServer(i);
      LogOffDropped();
      // What every open channel did since the last pass.
      if (!stop()) ReportStreams();
      // About 10 s to the next pass. A stop request is looked at every
      // 100 ms, so a host that shuts down (or reloads the driver) waits
      // no longer than that for the worker.
      bool stopped = false;
      for (int s = 0; s < 100 && !stopped; ++s) {
        NClock::Sleep(100);
        stopped = stop();
      }
      if (stopped) break;
    }
  } catch (...) {
    WriteDebugLog("ZQ>>TTMDvs.CheckDvrLink Except", 1);
  }
  try {
    LogOffDropped();
  } catch (...) {
  }
  // The last touch of the object: it may be destroyed by this.
  WorkerEnded();
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
      r->Reserved128 = 0;
      r->DevVideoNum = channels;
      r->DevAlarmInNum = 0;
      r->DevAlarmOutNum = 0;
      r->LoginTime = NClock::Now();
      // The handle, the message callback and the stream callback with the
      // session as its user data.
      if (BeginSession(index, h)) {
        DebugLine(TextOnLine + address);
      } else if (r->Deleted != 0 || StopLinkCheck.load() != 0) {
        // Deleted meanwhile, or the driver is stopping: the login is not kept.
        return;
      }
      // Otherwise a message ended the login while it was being set up: the
      // report below says off line.
    } else {
      r->LoginHandle = -1;
      ReportStatus(r->DvrId, false);
      DebugLine(TextReportOffLine + address);
      DebugLine(TextLogOutBegin);
      LogOut(h);
      DropLogin(h);
      DebugLine(TextLogOutFinished);
      return;
    }
  }
  ReportStatus(r->DvrId, r->LoginHandle >= MinLoginHandle);
  NClock::Sleep(100);
}
