// U_ZEZov_Texts.h - the driver's fixed texts that are not plain ASCII (GBK).
#pragma once
extern const char *const TextSdkFileMissing, *const TextSdkLoadFailed;
extern const char *const TextLogOutStart, *const TextLogOutEnd;
extern const char *const TextOnLine, *const TextReportOffLine;
extern const char *const TextLogOutBegin, *const TextLogOutFinished;
extern const char *const TextAlreadyOpen, *const TextStopNoServer;
