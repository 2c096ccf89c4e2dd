// The capture helper itself: lines from many threads arrive whole and all.
#include "hostkit/DebugCapture.h"
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <vector>

namespace {

struct TWriter {
  int id;
  int count;
};

DWORD WINAPI WriteLines(void *p) {
  auto *w = static_cast<TWriter *>(p);
  for (int i = 0; i < w->count; ++i) {
    std::string s = "writer " + std::to_string(w->id) + " line " + std::to_string(i) + " ";
    s.append(static_cast<size_t>(i % 37), static_cast<char>('a' + w->id));
    OutputDebugStringA(s.c_str());
  }
  return 0;
}

TEST(DebugCapture, LinesFromSeveralThreadsAreNeitherLostNorMerged) {
  NHostKit::TDebugCapture cap;
  ASSERT_TRUE(cap.Active());
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
    int id = -1, n = -1;
    ASSERT_EQ(sscanf(l.c_str(), "writer %d line %d ", &id, &n), 2) << l;
    EXPECT_EQ(n, next[id]++) << l;
    std::string expected = "writer " + std::to_string(id) + " line " + std::to_string(n) + " ";
    expected.append(static_cast<size_t>(n % 37), static_cast<char>('a' + id));
    EXPECT_EQ(l, expected);
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
  std::vector<std::string> all;
  while (WaitForSingleObject(h, 1) == WAIT_TIMEOUT)
    for (auto &l : cap.Take()) all.push_back(l);
  CloseHandle(h);
  cap.Sync();
  for (auto &l : cap.Take()) all.push_back(l);
  ASSERT_EQ(all.size(), size_t(w.count));
  for (int i = 0; i < w.count; ++i)
    EXPECT_EQ(all[size_t(i)].rfind("writer 3 line " + std::to_string(i) + " ", 0), 0u) << all[size_t(i)];
  EXPECT_TRUE(cap.Take().empty());
  EXPECT_TRUE(cap.Lines().empty());
}

} // namespace
