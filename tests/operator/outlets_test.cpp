#include <gtest/gtest.h>

#include <string>

#include "operator/ids.h"
#include "operator/outlets.h"
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

}  // namespace
