// ServerRecord.h - a host's server record, for the server table and driver tests.
#pragma once
#include "support/U_Define.h"
#include <cstring>
#include <string>

inline TDvrInfo Server(const std::string &ip, int32_t port, int32_t video, int32_t alarmIn = 0,
                       int32_t alarmOut = 0) {
  TDvrInfo d;
  std::memset(&d, 0, sizeof d);
  d.DvrIP.Assign(ip);
  d.Port = port;
  d.UserName.Assign("admin");
  d.Password.Assign("1234");
  d.LoginHandle = -1;
  d.VideoNum = video;
  d.AlarmInNum = alarmIn;
  d.AlarmOutNum = alarmOut;
  d.DvrId = port;
  return d;
}
