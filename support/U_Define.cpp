// U_Define.cpp - the per-type tables.
#include "support/U_Define.h"

// Rows that this library does not serve stay empty (nil reads as empty).
const char *const DriverSystemDirs[DriverTypeCount] = {
    "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    "\\System\\ZEZov\\", // 22
};
const char *const DriverConfigFiles[DriverTypeCount] = {
    "", // row 22 is empty too: the TM family keeps no server-table file
};
const char *const DriverTypeNames[DriverTypeCount] = {
    "不可识别设备", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    "", "",
    "图敏视频服务器", // 22
};
