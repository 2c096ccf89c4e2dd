#include "common/Process.h"
#include <tlhelp32.h>

namespace NTest {

int ThreadCount() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 te{};
  te.dwSize = sizeof te;
  int n = 0;
  for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
    if (te.th32OwnerProcessID == GetCurrentProcessId()) ++n;
  CloseHandle(snap);
  return n;
}

namespace {

// Drains a pipe on a thread of its own, so a child that writes much never
// blocks on a full pipe while we wait for it.
struct TReader {
  HANDLE pipe;
  std::string text;
  static DWORD WINAPI Main(void *p) {
    auto *r = static_cast<TReader *>(p);
    char buf[4096];
    DWORD n;
    while (ReadFile(r->pipe, buf, sizeof buf, &n, nullptr) && n > 0) r->text.append(buf, n);
    return 0;
  }
};

} // namespace

TChild RunChild(const std::string &program, const std::string &args, DWORD limitMs, bool captureOutput) {
  TChild run;
  std::string cmd = "\"" + ExeDir() + program + "\"" + (args.empty() ? "" : " " + args);
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE rd = nullptr, wr = nullptr;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  if (captureOutput) {
    if (!CreatePipe(&rd, &wr, &sa, 0)) return run;
    SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = wr;
    si.hStdError = wr;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  }
  PROCESS_INFORMATION pi{};
  run.started = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, captureOutput, 0, nullptr, nullptr, &si, &pi);
  if (wr) CloseHandle(wr);
  if (!run.started) {
    if (rd) CloseHandle(rd);
    return run;
  }
  TReader reader{rd, {}};
  HANDLE t = rd ? CreateThread(nullptr, 0, &TReader::Main, &reader, 0, nullptr) : nullptr;
  run.finished = WaitForSingleObject(pi.hProcess, limitMs) == WAIT_OBJECT_0;
  if (!run.finished) TerminateProcess(pi.hProcess, 0xDEAD);
  GetExitCodeProcess(pi.hProcess, &run.exitCode);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  if (t) {
    WaitForSingleObject(t, 10000);
    CloseHandle(t);
  }
  if (rd) CloseHandle(rd);
  run.output = std::move(reader.text);
  return run;
}

std::string Describe(const TChild &c) {
  if (!c.started) return "no start";
  if (!c.finished) return "hung";
  return "exit " + std::to_string(c.exitCode);
}

} // namespace NTest
