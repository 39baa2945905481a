#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "machines/machine.h"
#include "tests/machines/child.h"
#include "tests/support/test_support.h"

TEST(Proc, RunCaptureWithRealChildren) {
  std::wstring me = self_exe();
  std::string out = "kept:";
  EXPECT_TRUE(run_capture(child_cmd(me, L"print 0"), out, 20000));
  EXPECT_EQ(out.substr(0, 5), "kept:");  // appended, not cleared
  EXPECT_NE(out.find("hello out\n"), std::string::npos);
  EXPECT_NE(out.find("hello err\n"), std::string::npos);

  out.clear();
  EXPECT_FALSE(run_capture(child_cmd(me, L"print 2"), out, 20000));
  EXPECT_NE(out.find("hello err\n"), std::string::npos) << out;  // a failing child's output is kept
  PROCESS_INFORMATION pi{};  // the same child started directly ends with its own code
  ASSERT_TRUE(create_child(child_cmd(me, L"print 2"), CREATE_NO_WINDOW, nullptr, nullptr, nullptr, nullptr, pi));
  DWORD code = 0;
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code) && code == 2) << code;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);

  out.clear();
  EXPECT_FALSE(run_capture(L"C:\\no\\such\\program.exe", out, 20000));
  EXPECT_EQ(out, "");
}

TEST(Proc, RunCaptureEndsChildrenAtTheLimit) {
  // Output closed or kept open, the process still running: the limit bounds
  // the whole run, the reading included.
  for (auto [mode, said] : {std::pair{L"close-hang", "closing\n"}, std::pair{L"open-hang", "still here\n"}}) {
    std::string out;
    double t0 = now_s();
    EXPECT_FALSE(run_capture(child_cmd(self_exe(), mode), out, 2000));
    double took = now_s() - t0;
    EXPECT_EQ(out, said);
    EXPECT_GE(took, 1.9) << narrow(mode);
    EXPECT_LT(took, 10.0) << narrow(mode);
  }
}

TEST(Proc, ChildrenInheritOnlyTheirOwnPipe) {
  // An inheritable pipe meant for some other child: a run_capture child must
  // not get its write end.
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE rd = nullptr, wr = nullptr;
  ASSERT_TRUE(CreatePipe(&rd, &wr, &sa, 0));
  std::string out;
  std::wstring probe = L"probe-handle " + std::to_wstring(reinterpret_cast<uintptr_t>(wr));
  EXPECT_TRUE(run_capture(child_cmd(self_exe(), probe), out, 20000)) << out;
  DWORD avail = 99;
  ASSERT_TRUE(PeekNamedPipe(rd, nullptr, 0, nullptr, &avail, nullptr));
  EXPECT_EQ(avail, 0u) << out;
  CloseHandle(wr);
  CloseHandle(rd);
}

