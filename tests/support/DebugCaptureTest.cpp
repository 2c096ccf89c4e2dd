// The capture helper itself: lines from many threads arrive whole and all.
#include "hostkit/DebugCapture.h"
#include <gtest/gtest.h>
#include <map>
#include <vector>

namespace {

// Line `n` of writer `id`: its own letter, repeated a varying number of times.
std::string Line(int id, int n) {
  return "writer " + std::to_string(id) + " line " + std::to_string(n) + " " +
         std::string(static_cast<size_t>(n % 37), static_cast<char>('a' + id));
}

struct TWriter {
  int id;
  int count;
};

DWORD WINAPI WriteLines(void *p) {
  auto *w = static_cast<TWriter *>(p);
  for (int i = 0; i < w->count; ++i) OutputDebugStringA(Line(w->id, i).c_str());
  return 0;
}

TEST(DebugCapture, LinesFromSeveralThreadsAreNeitherLostNorMerged) {
  NHostKit::TDebugCapture cap;
  ASSERT_TRUE(cap.Active()) << "the capture could not start (another one running on this machine?)";
  constexpr int Threads = 6, PerThread = 200;
  std::vector<TWriter> writers;
  for (int t = 0; t < Threads; ++t) writers.push_back({t, PerThread});
  std::vector<HANDLE> hs;
  for (auto &w : writers) hs.push_back(CreateThread(nullptr, 0, WriteLines, &w, 0, nullptr));
  WaitForMultipleObjects(static_cast<DWORD>(hs.size()), hs.data(), TRUE, INFINITE);
  for (HANDLE h : hs) CloseHandle(h);

  auto lines = cap.Lines();
  ASSERT_EQ(lines.size(), size_t(Threads * PerThread));
  std::map<int, int> next; // each writer's lines arrive in its own order
  for (const auto &l : lines) {
    int id = -1;
    ASSERT_EQ(sscanf(l.c_str(), "writer %d ", &id), 1) << l;
    EXPECT_EQ(l, Line(id, next[id]++));
  }
}

TEST(DebugCapture, ClearForgetsEarlierLines) {
  NHostKit::TDebugCapture cap;
  OutputDebugStringA("before");
  cap.Clear();
  OutputDebugStringA("after");
  EXPECT_EQ(cap.Lines(), std::vector<std::string>{"after"});
}

// Draining while writers run: every line comes out of exactly one Take, in order.
TEST(DebugCapture, TakeHandsOverEachLineOnce) {
  NHostKit::TDebugCapture cap;
  TWriter w{3, 300};
  HANDLE h = CreateThread(nullptr, 0, WriteLines, &w, 0, nullptr);
  std::vector<std::string> all, expected;
  while (WaitForSingleObject(h, 1) == WAIT_TIMEOUT)
    for (auto &l : cap.Take()) all.push_back(l);
  CloseHandle(h);
  cap.Sync();
  for (auto &l : cap.Take()) all.push_back(l);
  for (int i = 0; i < w.count; ++i) expected.push_back(Line(3, i));
  EXPECT_EQ(all, expected);
  EXPECT_EQ(cap.Take(), std::vector<std::string>{});
  EXPECT_EQ(cap.Lines(), std::vector<std::string>{});
}

} // namespace
