// InProcess.h - driver objects made in the test's own process, for the rules
// that are clearer tested directly than through the interface. Only for
// programs that link tmcore and do not load TMDvs.dll.
#pragma once
#include "entry/U_IDeviceDriverInterface.h"
#include "hostkit/HostKit.h"
#include "support/Clock.h"
#include "support/U_Define.h"
#include "support/U_Errors.h"
#include "support/U_HostTypes.h"
#include "support/U_MainThread.h"
#include "support/WinApi.h"
#include "tm_driver/U_ZEZov.h"
#include "common/ServerRecord.h"
#include <gtest/gtest.h>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

class InProcess : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    NMainThread::Init();
    NSharedHeap::Join();
    if (!PublicUnit) CreatePublicUnit();
  }

  // Drops the reference the constructor stored: the object goes.
  struct TRelease {
    void operator()(TTMDvs *d) const { InterfaceRelease(d->DriverInterface()); }
  };
  using TDriver = std::unique_ptr<TTMDvs, TRelease>;

  // A TM driver object over its own host folder; its configuration file is
  // redirected to a file, since this type's names a folder.
  TDriver Make(const std::string &configFile = std::string(), const TSdkTable *sdk = nullptr) {
    TDriver d = MakeAt(NHostKit::ExeDir() + "inproc_host", sdk);
    d->ConfigFile = configFile.empty() ? ConfigPath("table.dat") : configFile;
    return d;
  }
  // A TM driver object over the host folder `dir`, as the factory makes it.
  // With `sdk`, those functions stand for the SDK.
  TDriver MakeAt(const std::string &dir, const TSdkTable *sdk = nullptr) {
    char *hostDir = NHostString::New(dir);
    auto *d = new TTMDvs(HostInterfaceTables(), TMDriverType, &slotStore, hostDir, sdk);
    NHostString::Release(hostDir);
    slotStore = nullptr; // its reference now belongs to the TDriver
    d->Release();        // the construction reference
    return TDriver(d);
  }
  static std::string ConfigPath(const std::string &name) {
    return NHostKit::ExeDir() + "inproc_" + name;
  }
  // The driver's answer to a registration; the message names the server and the table's size.
  static ::testing::AssertionResult Add(TTMDvs &d, const TDvrInfo &info) {
    const bool r = d.ORVA_Device_AddDvr(&info);
    return (r ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << "AddDvr " << info.DvrIP.Text() << ":" << info.Port << " answered " << r << ", " << d.DvrCount()
           << " records";
  }
  static bool DelDvr(TTMDvs &d, const std::string &ip, int32_t port) {
    char *a = NHostString::New(ip);
    const bool r = d.ORVA_Device_DelDvr(a, port);
    NHostString::Release(a);
    return r;
  }

  void *slotStore = nullptr;
};
