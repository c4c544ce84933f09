#include <gtest/gtest.h>

#include <string>

#include "operator/ids.h"
#include "operator/outlets.h"
#include "operator/progress.h"
#include "platform/ui_model.h"

namespace {

TEST(TraceModel, CapsAt200AndSelectsTheNewest) {
  UiModelReset();
  for (int i = 0; i < 201; ++i) AppendTrace(("L" + std::to_string(i)).c_str());
  std::vector<std::string> lines = UiModelList(IDC_TRACE_LIST);
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(lines.front(), "L1");
  EXPECT_EQ(lines.back(), "L200");
  EXPECT_EQ(UiModelSelection(IDC_TRACE_LIST), 199);
  ClearTraceList();
  AppendTrace("again");
  EXPECT_EQ(UiModelSelection(IDC_TRACE_LIST), 0);
}

TEST(TraceModel, WarnPortClosedHasAnEmptyCaption) {
  UiModelReset();
  WarnPortClosed();
  auto boxes = UiModelBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].first, "COMﾎﾟｰﾄがオープンされていません");
  EXPECT_EQ(boxes[0].second, "");
}

// With a read-back to come, a write's time left counts it in from the first
// estimate, and the read-back goes on at the rate of both.
TEST(Progress, TheTimeLeftCoversAWriteAndItsReadBack) {
  char line[128];
  ProgressReport::Format(line, sizeof line, "書込み", "ページ", 64, 256, 10000, 0, 256);
  EXPECT_STREQ(line, "書込み 64/256 ページ 残り 70 秒");  // (192 + 256) pages at 64 in 10 s
  ProgressReport::Format(line, sizeof line, "照合", "ページ", 64, 256, 50000, 256, 0);
  EXPECT_STREQ(line, "照合 64/256 ページ 残り 30 秒");  // 192 pages at 320 in 50 s
}

}  // namespace
