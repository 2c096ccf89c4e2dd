// HostDir.h - a host base directory for driver tests, laid out as a host
// installs the driver's companions.
#pragma once
#include <string>

namespace NTest {

// Makes a fresh folder `name` beside the test program (removing an old one
// with its contents) and copies into it, from the program's folder,
// NVSDK.dll to System\ZEZov\NVSDK.dll (withSdk) and PTZ.dll (withPtz). The
// System\ZEZov folder is made in any case. Returns the folder's path without
// a trailing backslash, or "" when it could not be made.
std::string MakeHostDir(const std::string &name, bool withSdk = true, bool withPtz = true);

// Removes a folder with everything in it; true when it is gone.
bool RemoveTree(const std::string &path);

} // namespace NTest
