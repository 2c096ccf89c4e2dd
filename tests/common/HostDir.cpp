#include "common/HostDir.h"
#include "hostkit/HostKit.h"
#include <windows.h>

namespace NTest {

bool RemoveTree(const std::string &path) {
  const DWORD attr = GetFileAttributesA(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return true;
  if (!(attr & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileA(path.c_str()) != 0;
  }
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((path + "\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::string n = fd.cFileName;
      if (n != "." && n != "..") RemoveTree(path + "\\" + n);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
  }
  return RemoveDirectoryA(path.c_str()) != 0;
}

std::string MakeHostDir(const std::string &name, bool withSdk, bool withPtz) {
  const std::string exeDir = NHostKit::ExeDir(); // ends in a backslash
  const std::string dir = exeDir + name;
  if (!RemoveTree(dir)) return "";
  if (!CreateDirectoryA(dir.c_str(), nullptr) || !CreateDirectoryA((dir + "\\System").c_str(), nullptr) ||
      !CreateDirectoryA((dir + "\\System\\ZEZov").c_str(), nullptr))
    return "";
  if (withSdk && !CopyFileA((exeDir + "NVSDK.dll").c_str(), (dir + "\\System\\ZEZov\\NVSDK.dll").c_str(), FALSE))
    return "";
  if (withPtz && !CopyFileA((exeDir + "PTZ.dll").c_str(), (dir + "\\PTZ.dll").c_str(), FALSE)) return "";
  return dir;
}

} // namespace NTest
