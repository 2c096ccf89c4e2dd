// U_ZEZov_Texts.cpp - the driver's fixed Chinese texts, compiled in code page
// 936 (this unit only, see tm_gbk_sources).
#include "tm_driver/U_ZEZov_Texts.h"

const char *const TextSdkFileMissing = "ZQ>>SDK文件不存在: ";
const char *const TextSdkLoadFailed = "ZQ>>SDK装载失败: ";
const char *const TextLogOutStart = "ZQ>>TTMDvs:调用LogOut StartTime: ";
const char *const TextLogOutEnd = "ZQ>>TTMDvs:调用LogOut EndTime: ";
const char *const TextOnLine = "zq>>TTMDvs: 在线:";
const char *const TextReportOffLine = "ZQ>>TTMDvs 报告不在线:  ";
const char *const TextLogOutBegin = "ZQ>>TTMDvs LogOut　begin";
const char *const TextLogOutFinished = "ZQ>>TTMDvs LogOut　end";
const char *const TextAlreadyOpen = "ZQ>>TTMDvs.ORVA_Device_StartDvrCapture.ChannelHandle >= 0; 提起退出";
const char *const TextStopNoServer = "ZQ>>TTMDvs.ORVA_Device_StopDvrCapture, 但DvrIndex < 0";
