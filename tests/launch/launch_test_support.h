// What the launch tests share: setup's composed command line as they expect
// it, and a fixture that runs helpers/setup_probe.exe as the real child.
#pragma once

#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace launch_testing {

// The composed part of setup's command line for setup s, installer m and
// archive resource name n of type t.
inline std::wstring Composed(const std::wstring& s, const std::wstring& m,
                             const std::wstring& n, const std::wstring& t) {
  return L"\"" + s + L"\" --mini-installer-path=\"" + m +
         L"\" --archive-resource-name=\"" + n +
         L"\" --archive-resource-type=\"" + t + L"\"";
}

// helpers/setup_probe.exe exits with BRIVEL_PROBE_EXIT and records what it
// received in BRIVEL_PROBE_REPORT, both inherited from this process's
// environment: the report goes to a file in the test's own directory, and
// both variables are cleared afterwards.
class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    probe_ = testing_support::BuildPath(L"helpers/setup_probe.exe");
    ASSERT_TRUE(testing_support::FileExists(probe_))
        << testing_support::Narrow(probe_);
    report_ = temp_.Join(L"report.txt");
    SetEnvironmentVariableW(L"BRIVEL_PROBE_REPORT", report_.c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"BRIVEL_PROBE_REPORT", nullptr);
    SetEnvironmentVariableW(L"BRIVEL_PROBE_EXIT", nullptr);
  }

  testing_support::TempDir temp_;
  std::wstring probe_;
  std::wstring report_;
};

}  // namespace launch_testing
