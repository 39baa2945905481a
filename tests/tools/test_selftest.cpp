// The self-test's waiting and its refusal to start without a report.
#include <gtest/gtest.h>

#include "machines/fleet.h"
#include "tests/fleet/fleet_test_util.h"
#include "tests/support/test_support.h"
#include "tools/selftest.h"

namespace {

struct Quiet : ::testing::Test {
  void SetUp() override {
    g_fleet.main = test_main_window();
    g_fleet.last_discover = now_s() + 1e9;  // no discovery during the waits
  }
};

std::wstring scratch_folder() {
  wchar_t tmp[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  return path_join(tmp, L"vunk-selftest");
}

}  // namespace

TEST_F(Quiet, PumpAsksOnceMoreAtTheDeadline) {
  const double t0 = now_s();
  // Holds only from the deadline on: the last question still counts.
  EXPECT_TRUE(pump(0.3, [&] { return now_s() >= t0 + 0.3; }));
  EXPECT_GE(now_s() - t0, 0.3);

  int asked = 0;
  EXPECT_FALSE(pump(0.2, [&] { return ++asked, false; }));
  EXPECT_GT(asked, 2);

  const double t1 = now_s();
  EXPECT_TRUE(pump(0.2, {}));  // a plain wait
  EXPECT_GE(now_s() - t1, 0.2);

  const double t2 = now_s();
  EXPECT_TRUE(pump(30, [] { return true; }));
  EXPECT_LT(now_s() - t2, 1.0);
}

TEST_F(Quiet, PumpDispatchesWindowMessages) {
  bool seen = false;
  struct Flag {
    static LRESULT CALLBACK proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
      if (m == WM_APP + 77) *reinterpret_cast<bool*>(lp) = true;
      return DefWindowProcW(w, m, wp, lp);
    }
  };
  WNDCLASSW wc{};
  wc.lpfnWndProc = Flag::proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"SelftestPumpProbe";
  RegisterClassW(&wc);
  HWND w = CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
  PostMessageW(w, WM_APP + 77, 0, LPARAM(&seen));
  EXPECT_TRUE(pump(2, [&] { return seen; }));
  DestroyWindow(w);
}

TEST_F(Quiet, UnwritableReportEndsTheRunBeforeAnythingElse) {
  std::wstring scratch = scratch_folder();
  remove_tree(scratch);
  SetEnvironmentVariableW(L"VUNK_TEST_DISPLAY", nullptr);
  std::wstring dir = test_dir("report");
  EXPECT_EQ(run_selftest(path_join(dir, L"no\\such\\folder\\report.txt")), 3);
  EXPECT_FALSE(dir_exists(scratch));
  EXPECT_EQ(env_str("VUNK_TEST_DISPLAY"), "");
  remove_tree(dir);
}
