// DebugCapture.cpp - a DBWIN reader inside the test process.
#include "hostkit/DebugCapture.h"
#include <cstdio>
#include <cstring>

namespace NHostKit {
namespace {
constexpr char SyncPrefix[] = "\x01tm-capture-sync ";
}

TDebugCapture::TDebugCapture() {
  ::InitializeCriticalSection(&cs_);
  ::InitializeConditionVariable(&cv_);
  bufferReady_ = ::CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
  dataReady_ = ::CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
  mapping_ = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                  "DBWIN_BUFFER");
  stop_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  started_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (mapping_) view_ = ::MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 4096);
  if (bufferReady_ && dataReady_ && view_ && stop_) {
    thread_ = ::CreateThread(nullptr, 0, &TDebugCapture::ThreadMain, this, 0, nullptr);
    // A new thread runs only after the loader has attached it to every DLL;
    // wait for that here, so that lines written later under the loader lock
    // (a library's load or unload) find the reader already running.
    if (thread_) ::WaitForSingleObject(started_, INFINITE);
  }
}

TDebugCapture::~TDebugCapture() {
  if (thread_) {
    ::SetEvent(stop_);
    ::WaitForSingleObject(thread_, INFINITE);
    ::CloseHandle(thread_);
  }
  if (view_) ::UnmapViewOfFile(view_);
  for (HANDLE h : {mapping_, bufferReady_, dataReady_, stop_, started_})
    if (h) ::CloseHandle(h);
  ::DeleteCriticalSection(&cs_);
}

DWORD WINAPI TDebugCapture::ThreadMain(void *self) {
  static_cast<TDebugCapture *>(self)->Run();
  return 0;
}

void TDebugCapture::Run() {
  const DWORD self = ::GetCurrentProcessId();
  HANDLE waits[2] = {dataReady_, stop_};
  ::SetEvent(bufferReady_);
  ::SetEvent(started_);
  for (;;) {
    const DWORD w = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (w != WAIT_OBJECT_0) break;
    const auto *buf = static_cast<const char *>(view_);
    DWORD pid;
    std::memcpy(&pid, buf, 4);
    // The text is NUL-terminated within the 4096-byte section.
    std::string text(buf + 4, strnlen(buf + 4, 4096 - 4));
    if (pid == self) {
      ::EnterCriticalSection(&cs_);
      lines_.push_back(std::move(text));
      ::LeaveCriticalSection(&cs_);
      ::WakeAllConditionVariable(&cv_);
    }
    // Only now may the next writer reuse the section: no line is lost or merged.
    ::SetEvent(bufferReady_);
  }
}

void TDebugCapture::Sync() {
  if (!thread_) return;
  ::EnterCriticalSection(&cs_);
  const std::string marker = SyncPrefix + std::to_string(++syncCounter_);
  ::LeaveCriticalSection(&cs_);
  ::OutputDebugStringA(marker.c_str());
  ::EnterCriticalSection(&cs_);
  for (;;) {
    bool seen = false;
    for (auto it = lines_.begin(); it != lines_.end(); ++it) {
      if (*it == marker) {
        lines_.erase(it);
        seen = true;
        break;
      }
    }
    if (seen) break;
    if (!::SleepConditionVariableCS(&cv_, &cs_, 5000)) break;
  }
  ::LeaveCriticalSection(&cs_);
}

std::vector<std::string> TDebugCapture::Lines() {
  Sync();
  ::EnterCriticalSection(&cs_);
  std::vector<std::string> copy;
  for (const auto &l : lines_)
    if (l.rfind(SyncPrefix, 0) != 0) copy.push_back(l);
  ::LeaveCriticalSection(&cs_);
  return copy;
}

std::vector<std::string> TDebugCapture::Matching(const std::string &part) {
  std::vector<std::string> out;
  for (auto &l : Lines())
    if (l.find(part) != std::string::npos) out.push_back(l);
  return out;
}

void TDebugCapture::Clear() {
  Sync();
  ::EnterCriticalSection(&cs_);
  lines_.clear();
  ::LeaveCriticalSection(&cs_);
}

std::vector<std::string> TDebugCapture::Take() {
  std::vector<std::string> taken;
  ::EnterCriticalSection(&cs_);
  taken.swap(lines_);
  ::LeaveCriticalSection(&cs_);
  std::vector<std::string> out;
  out.reserve(taken.size());
  for (auto &l : taken)
    if (l.rfind(SyncPrefix, 0) != 0) out.push_back(std::move(l));
  return out;
}

bool TDebugCapture::WaitUntil(const std::function<bool(const std::vector<std::string> &)> &pred,
                              DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    ::EnterCriticalSection(&cs_);
    const bool ok = pred(lines_);
    ::LeaveCriticalSection(&cs_);
    if (ok) return true;
    if (::GetTickCount() - start >= timeoutMs) return false;
    ::Sleep(5);
  }
}

bool TDebugCapture::WaitFor(const std::string &part, DWORD timeoutMs) {
  return WaitUntil(
      [&](const std::vector<std::string> &ls) {
        for (const auto &l : ls)
          if (l.find(part) != std::string::npos) return true;
        return false;
      },
      timeoutMs);
}

std::string Hex(const std::string &s) {
  std::string out;
  char b[4];
  for (unsigned char c : s) {
    std::snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  return out;
}

} // namespace NHostKit
