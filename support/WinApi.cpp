// WinApi.cpp - the wrappers that are more than one line.
#include "support/WinApi.h"
#include <winsock2.h>
#include <atomic>
#include "support/WinHandle.h"
#include <algorithm>
#include <cstring>

namespace NWin {

namespace NSystem {

bool EnablePrivilege(const char *name) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TUniqueHandle owner(token);
  TOKEN_PRIVILEGES tp{};
  if (!::LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid)) return false;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  ::AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
  return ::GetLastError() == 0;
}

std::string TimeSeparator() {
  char buf[8] = {};
  if (::GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, buf, sizeof buf) <= 0 || !buf[0])
    return ":";
  return buf;
}

std::string FormatShortDateLongTime(const SYSTEMTIME &t) {
  char date[80] = {}, time[80] = {};
  ::GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr, date, sizeof date);
  ::GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &t, nullptr, time, sizeof time);
  return std::string(date) + " " + time;
}

} // namespace NSystem

namespace NThread {
HANDLE CreateSuspended(LPTHREAD_START_ROUTINE proc, void *arg, DWORD *id) {
  return ::CreateThread(nullptr, 0, proc, arg, CREATE_SUSPENDED, id);
}
bool ReadContext(HANDLE h, CONTEXT &ctx) {
  std::memset(&ctx, 0, sizeof ctx);
  ctx.ContextFlags = 0x10007;
  return ::GetThreadContext(h, &ctx) != FALSE;
}
uintptr_t InstructionPointer(HANDLE h) {
  CONTEXT ctx;
  return ReadContext(h, ctx) ? ctx.Eip : 0;
}
} // namespace NThread

namespace NSocket {
namespace {
std::atomic<uint32_t> startups{0};
std::atomic<bool> failStartup{false};
} // namespace
bool Startup() {
  ++startups;
  if (failStartup) return false;
  WSADATA d;
  return ::WSAStartup(MAKEWORD(2, 0), &d) == 0;
}
void Cleanup() { ::WSACleanup(); }
bool FirstAddress(const char *name, uint8_t out[4]) {
  const hostent *h = ::gethostbyname(name);
  if (!h || h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list || !h->h_addr_list[0])
    return false;
  std::memcpy(out, h->h_addr_list[0], 4);
  return true;
}
uint32_t StartupCount() { return startups; }
void FailStartupForTests(bool fail) { failStartup = fail; }
} // namespace NSocket

namespace NFile {

bool FileExists(const std::string &path) {
  const DWORD a = ::GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string &path) {
  const DWORD a = ::GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool ForceDirectories(const std::string &path) {
  std::string p = path;
  while (!p.empty() && (p.back() == '\\' || p.back() == '/')) p.pop_back();
  if (p.empty()) return false;
  if (DirectoryExists(p)) return true;
  const size_t cut = p.find_last_of("\\/");
  if (cut != std::string::npos && cut > 0 && p[cut - 1] != ':') {
    if (!ForceDirectories(p.substr(0, cut))) return false;
  }
  return ::CreateDirectoryA(p.c_str(), nullptr) || DirectoryExists(p);
}

bool ReadAll(const std::string &path, std::vector<uint8_t> &data, uint32_t *error) {
  TUniqueFile f(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  auto fail = [&] {
    if (error) *error = ::GetLastError();
    return false;
  };
  if (!f) return fail();
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(f.get(), &size)) return fail();
  if (size.QuadPart > 0x7FFFFFFF) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return fail();
  }
  data.resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (done < data.size()) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 24));
    if (!::ReadFile(f.get(), data.data() + done, want, &got, nullptr)) return fail();
    if (got == 0) break;
    done += got;
  }
  data.resize(done);
  return true;
}

bool WriteAll(const std::string &path, const void *data, size_t size, uint32_t *error) {
  TUniqueFile f(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  auto fail = [&] {
    if (error) *error = ::GetLastError();
    return false;
  };
  if (!f) return fail();
  const auto *p = static_cast<const uint8_t *>(data);
  size_t done = 0;
  while (done < size) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 24));
    if (!::WriteFile(f.get(), p + done, want, &put, nullptr) || put == 0) return fail();
    done += put;
  }
  return true;
}

void TSequentialFile::Close() { handle_.reset(); }

bool TSequentialFile::Open(const std::string &path, bool write, uint32_t *error) {
  Close();
  handle_.reset(::CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, write ? 0 : FILE_SHARE_READ,
                              nullptr, write ? CREATE_ALWAYS : OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!handle_) {
    if (error) *error = ::GetLastError();
    return false;
  }
  return true;
}

int64_t TSequentialFile::Size() const {
  LARGE_INTEGER size;
  if (!handle_ || !::GetFileSizeEx(handle_.get(), &size)) return -1;
  return size.QuadPart;
}

bool TSequentialFile::Seek(int64_t at) {
  LARGE_INTEGER to;
  to.QuadPart = at;
  return handle_ && ::SetFilePointerEx(handle_.get(), to, nullptr, FILE_BEGIN);
}

bool TSequentialFile::Read(void *data, size_t size, size_t &got, uint32_t *error) {
  auto *p = static_cast<uint8_t *>(data);
  got = 0;
  while (got < size) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size - got, 1u << 24));
    if (!handle_ || !::ReadFile(handle_.get(), p + got, want, &n, nullptr)) {
      if (error) *error = handle_ ? ::GetLastError() : ERROR_INVALID_HANDLE;
      return false;
    }
    if (n == 0) break; // the end of the file
    got += n;
  }
  return true;
}

bool TSequentialFile::Write(const void *data, size_t size, uint32_t *error) {
  const auto *p = static_cast<const uint8_t *>(data);
  size_t done = 0;
  while (done < size) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 24));
    if (!handle_ || !::WriteFile(handle_.get(), p + done, want, &put, nullptr) || put == 0) {
      if (error) *error = handle_ ? ::GetLastError() : ERROR_INVALID_HANDLE;
      return false;
    }
    done += put;
  }
  return true;
}

} // namespace NFile
} // namespace NWin
