// The trace list on the real list box of the dialog template, with appends from
// the dialog's thread and from other threads, also while the dialog's thread joins.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "app/dialog.h"
#include "app/main_win32.h"
#include "link/thread_join.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/systhread.h"
#include "platform/ui.h"
#include "tests/win/test_dialog.h"
#include "tests/win/win_support.h"

namespace {

class TraceList : public ::testing::Test {
 protected:
  void SetUp() override {
    dialog_ = wintest::CreateTestDialog();
    ASSERT_NE(dialog_, nullptr);
  }
  void TearDown() override {
    wintest::DestroyTestDialog(dialog_);
  }
  std::vector<std::string> Lines() { return wintest::ListLines(dialog_, IDC_TRACE_LIST); }
  int Selection() { return wintest::ListSelection(dialog_, IDC_TRACE_LIST); }
  HWND dialog_ = nullptr;
};

std::string Numbered(const char* prefix, int i) { return std::string(prefix) + std::to_string(i); }

TEST_F(TraceList, KeepsTheNewest200LinesWithTheNewestSelected) {
  for (int i = 0; i < 199; ++i) {
    AppendTrace(Numbered("line ", i).c_str());
    ASSERT_EQ(Selection(), i) << "after append " << i;
  }
  AppendTrace("line 199");
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(lines.front(), "line 0");  // 199 -> 200 drops nothing
  EXPECT_EQ(lines.back(), "line 199");
  EXPECT_EQ(Selection(), 199);

  AppendTrace("line 200");
  lines = Lines();
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(lines.front(), "line 1");  // 200 -> the oldest goes
  EXPECT_EQ(lines.back(), "line 200");
  EXPECT_EQ(Selection(), 199);

  for (int i = 201; i < 260; ++i) AppendTrace(Numbered("line ", i).c_str());
  lines = Lines();
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(lines.front(), "line 60");
  EXPECT_EQ(Selection(), 199);
}

TEST_F(TraceList, ClearThenAppendStartsFromLineZero) {
  for (int i = 0; i < 5; ++i) AppendTrace("x");
  ClearTraceList();
  EXPECT_TRUE(Lines().empty());
  AppendTrace("first again");
  EXPECT_EQ(Lines(), std::vector<std::string>{"first again"});
  EXPECT_EQ(Selection(), 0);
}

TEST_F(TraceList, ShiftJisTextArrivesIntact) {
  // 0x5C as a second byte (表, ソ) is where a wrong code page would break the text.
  AppendTrace("ﾌﾞﾛｯｸ消去 表ソ 書込中");
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_EQ(Lines()[0], "ﾌﾞﾛｯｸ消去 表ソ 書込中");
  EXPECT_EQ(Lines()[0].substr(0, 4), "\xCC\xDE\xDB\xAF");
}

int AppendFromWorker(void* arg) {
  int count = *static_cast<int*>(arg);
  for (int i = 0; i < count; ++i) AppendTrace(Numbered("w", i).c_str());
  return 7;
}

TEST_F(TraceList, AnotherThreadsLinesKeepTheirOrder) {
  int count = 300;
  ThreadHandle worker = StartThread(AppendFromWorker, &count);
  ASSERT_NE(worker, nullptr);
  long code = kThreadStillActive;
  for (int i = 0; i < 2000 && code == kThreadStillActive; ++i) {
    wintest::PumpPosted();
    Sleep(1);
    QueryThreadExitCode(worker, &code);
  }
  CloseThreadHandle(worker);
  ASSERT_EQ(code, 7);
  wintest::PumpPosted();  // the lines queued after the last look
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 200u);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(lines[i], Numbered("w", 100 + i));
  EXPECT_EQ(Selection(), 199);
}

TEST_F(TraceList, AnotherThreadsLinesNeverWaitForTheDialogAndArriveInOrder) {
  // The dialog's thread sits in a join, which serves sends only: the worker's lines
  // must not hold it up, and they all show, in order, once the loop runs again.
  int count = 50;
  ThreadHandle worker = StartThread(AppendFromWorker, &count);
  ASSERT_NE(worker, nullptr);
  DWORD start = GetTickCount();
  EXPECT_EQ(JoinThread(worker), 0);
  EXPECT_LT(GetTickCount() - start, 3000u);
  AppendTrace("dialog");  // the dialog thread's own line goes after the queued ones
  wintest::PumpPosted();
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 51u);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(lines[i], Numbered("w", i));
  EXPECT_EQ(lines.back(), "dialog");
  EXPECT_EQ(Selection(), 50);
}

// Lines another thread appended before a clear were meant for the list being
// cleared: they must not show after it, queued as they still are.
TEST_F(TraceList, AClearDropsLinesQueuedBeforeIt) {
  int count = 20;
  ThreadHandle worker = StartThread(AppendFromWorker, &count);
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(JoinThread(worker), 0);  // queued, not yet drained: the loop has not run
  ClearTraceList();
  wintest::PumpPosted();
  EXPECT_TRUE(Lines().empty());
  AppendTrace("after");
  EXPECT_EQ(Lines(), std::vector<std::string>{"after"});
}

int Sleeper(void* arg) {
  Sleep(*static_cast<int*>(arg));
  return 0;
}

TEST(JoinThread, AnEndedThreadIsJoinedAtTheFirstPoll) {
  int ms = 0;
  ThreadHandle t = StartThread(Sleeper, &ms);
  Sleep(200);
  DWORD start = GetTickCount();
  EXPECT_EQ(JoinThread(t), 0);
  EXPECT_LT(GetTickCount() - start, 100u);
}

}  // namespace
