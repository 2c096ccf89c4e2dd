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
  bufferReady_.reset(::CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
  dataReady_.reset(::CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
  mapping_.reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                      "DBWIN_BUFFER"));
  stop_.reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  started_.reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (mapping_) view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 4096));
  if (bufferReady_ && dataReady_ && view_ && stop_) {
    thread_.reset(::CreateThread(nullptr, 0, &TDebugCapture::ThreadMain, this, 0, nullptr));
    // A new thread runs only after the loader has attached it to every DLL;
    // wait for that here, so that lines written later under the loader lock
    // (a library's load or unload) find the reader already running.
    if (thread_) ::WaitForSingleObject(started_.get(), INFINITE);
  }
}

TDebugCapture::~TDebugCapture() {
  if (thread_) {
    ::SetEvent(stop_.get());
    ::WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
  }
  // The view, the section and the events close with their owners.
  ::DeleteCriticalSection(&cs_);
}

DWORD WINAPI TDebugCapture::ThreadMain(void *self) {
  static_cast<TDebugCapture *>(self)->Run();
  return 0;
}

void TDebugCapture::Run() {
  const DWORD self = ::GetCurrentProcessId();
  HANDLE waits[2] = {dataReady_.get(), stop_.get()};
  ::SetEvent(bufferReady_.get());
  ::SetEvent(started_.get());
  for (;;) {
    const DWORD w = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (w != WAIT_OBJECT_0) break;
    const auto *buf = static_cast<const char *>(view_.get());
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
    ::SetEvent(bufferReady_.get());
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
