// TLock: re-entrant, records its owner, blocks other threads.
#include "support/U_Lock.h"
#include <gtest/gtest.h>
#include <atomic>

namespace {

TEST(Lock, ReentrantOnOneThreadAndOwnerClearedByFirstUnlock) {
  TLock l;
  EXPECT_EQ(l.OwnerThreadId, 0u);
  l.Lock();
  l.Lock(); // must not block
  EXPECT_EQ(l.OwnerThreadId, GetCurrentThreadId());
  l.Unlock();
  EXPECT_EQ(l.OwnerThreadId, 0u); // although still held once
  l.Unlock();
}

struct TShared {
  TLock lock;
  std::atomic<int> stage{0};
  std::atomic<DWORD> ownerSeen{0};
};

DWORD WINAPI Contender(void *p) {
  auto *s = static_cast<TShared *>(p);
  s->stage = 1;
  s->lock.Lock();
  s->stage = 2;
  s->ownerSeen = s->lock.OwnerThreadId;
  s->lock.Unlock();
  return 0;
}

TEST(Lock, SecondThreadWaitsUntilReleasedAsOftenAsEntered) {
  TShared s;
  s.lock.Lock();
  s.lock.Lock();
  DWORD tid = 0;
  HANDLE h = CreateThread(nullptr, 0, Contender, &s, 0, &tid);
  while (s.stage.load() < 1) Sleep(1);
  Sleep(50);
  EXPECT_EQ(s.stage.load(), 1) << "entered while held twice";
  s.lock.Unlock();
  Sleep(50);
  EXPECT_EQ(s.stage.load(), 1) << "entered while still held once";
  s.lock.Unlock();
  ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  CloseHandle(h);
  EXPECT_EQ(s.stage.load(), 2);
  EXPECT_EQ(s.ownerSeen.load(), tid);
}

} // namespace
