// U_Define_PublicUnit.cpp - TPublicUnit and the library-wide PublicUnit.
#include "support/U_Define.h"
#include "support/U_PspCRC.h"
#include "support/U_Thread.h"
#include "support/WinApi.h"

TPublicUnit *PublicUnit = nullptr;

TPublicUnit::TPublicUnit() {
  NWin::NFile::ForceDirectories("c:\\quillmere\\ico");
  AppIcon = NWin::NSystem::LoadCursorFile("c:\\quillmere\\ico\\app.ico");
  Crc = new TPSPCrc(nullptr);
  ThreadManage = new TThreadManage;
}

TPublicUnit::~TPublicUnit() {
  delete Crc;
  delete ThreadManage;
  // A library loaded again and again must not keep one icon per load.
  NWin::NSystem::DestroyCursorHandle(AppIcon);
}

bool TPublicUnit::IsIPv4Text(const std::string &t) {
  if (t.size() < 7 || t.size() > 15) return false;
  int dots = 0, digits = 0, value = 0;
  for (char c : t) {
    if (c == '.') {
      if (digits == 0) return false;
      ++dots;
      digits = 0;
      value = 0;
    } else if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      ++digits;
      if (value > 255) return false;
    } else {
      return false;
    }
  }
  return dots == 3 && digits > 0;
}

std::string TPublicUnit::ResolveHost(const std::string &name) {
  if (IsIPv4Text(name)) return name;
  // The resolver takes names of up to 255 characters; nothing else resolves.
  if (name.empty() || name.size() > 255 || name.find('\0') != std::string::npos) return {};
  if (!NWin::NSocket::Startup()) return {};
  std::string result;
  uint8_t addr[4];
  if (NWin::NSocket::FirstAddress(name.c_str(), addr))
    result = std::to_string(addr[0]) + "." + std::to_string(addr[1]) + "." +
             std::to_string(addr[2]) + "." + std::to_string(addr[3]);
  NWin::NSocket::Cleanup();
  return result;
}

void CreatePublicUnit() {
  if (!PublicUnit) PublicUnit = new TPublicUnit;
}

void FreePublicUnit(int teardown) {
  TPublicUnit *p = PublicUnit;
  PublicUnit = nullptr;
  if (!p) return;
  if (teardown == 2) return; // process exit: nothing to stop, nothing worth freeing
  p->ThreadManage->SetTeardown(teardown == 1 ? TThreadManage::tdUnderLoaderLock
                                             : TThreadManage::tdNormal);
  delete p;
}
