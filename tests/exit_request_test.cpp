#include "exit_request/exit_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/recording_platform.h"

namespace {

using Calls = std::vector<PlatformCall>;
constexpr PlatformCall kAll[] = {PlatformCall::kGetCurrentProcess, PlatformCall::kOpenProcessToken,
                                 PlatformCall::kLookupPrivilegeValueA,
                                 PlatformCall::kAdjustTokenPrivileges,
                                 PlatformCall::kExitWindowsEx};

class RequestExitFlags : public ::testing::TestWithParam<ExitFlags> {};

// The flag word reaches the platform untouched, whatever it combines, and every request,
// the bare log-off (0) included, first enables the privilege with the exact arguments.
TEST_P(RequestExitFlags, EnablesPrivilegeThenPassesFlagsUnchanged) {
  ResetPlatform();
  RequestExit(GetParam());
  const PlatformLog& log = RecordedPlatform();

  EXPECT_EQ(log.calls, Calls(std::begin(kAll), std::end(kAll)));
  EXPECT_EQ(log.open_process, RecorderProcess());
  EXPECT_EQ(log.open_access, 0x28u);
  EXPECT_TRUE(log.open_token_out);

  EXPECT_FALSE(log.lookup_system_given);
  EXPECT_EQ(log.lookup_name, "SeShutdownPrivilege");
  EXPECT_TRUE(log.lookup_luid_out);

  EXPECT_EQ(log.adjust_token, RecorderToken());
  EXPECT_EQ(log.adjust_disable_all, FALSE);
  EXPECT_EQ(log.adjust_new_state.PrivilegeCount, 1u);
  EXPECT_EQ(log.adjust_new_state.Privileges[0].Luid.LowPart, RecorderLuid().LowPart);
  EXPECT_EQ(log.adjust_new_state.Privileges[0].Luid.HighPart, RecorderLuid().HighPart);
  EXPECT_EQ(log.adjust_new_state.Privileges[0].Attributes, 2u);
  EXPECT_EQ(log.adjust_buffer_length, 16u);
  EXPECT_TRUE(log.adjust_previous_distinct);
  EXPECT_TRUE(log.adjust_return_length_out);

  EXPECT_EQ(log.exit_flags, GetParam());
  EXPECT_EQ(log.exit_reason, 0u);
}

INSTANTIATE_TEST_SUITE_P(Words, RequestExitFlags,
                         ::testing::Values(0u, 1u, 2u, 3u, 4u, 5u, 6u, 8u, 9u, 12u, 15u,
                                           0xFFFFFFFFu));

struct FailureCase {
  const char* name;
  PlatformCall fail_at;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class PrivilegeFailure : public ::testing::TestWithParam<FailureCase> {};

// A failed step stops the privilege work (later steps would use an unset handle or LUID),
// yet the exit request is still made, and nothing is printed about it.
TEST_P(PrivilegeFailure, SkipsLaterStepsButStillAsks) {
  PlatformScript script;
  script.fail_at = GetParam().fail_at;
  ResetPlatform(script);

  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const std::int32_t answer = RequestExit(6);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  // Every step up to the failed one, then the exit request.
  Calls expected(std::begin(kAll), std::find(std::begin(kAll), std::end(kAll), GetParam().fail_at));
  expected.insert(expected.end(), {GetParam().fail_at, PlatformCall::kExitWindowsEx});
  EXPECT_EQ(RecordedPlatform().calls, expected);
  EXPECT_EQ(RecordedPlatform().exit_flags, 6u);
  EXPECT_EQ(answer, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PrivilegeFailure,
    ::testing::Values(FailureCase{"OpenProcessToken", PlatformCall::kOpenProcessToken},
                      FailureCase{"LookupPrivilegeValueA", PlatformCall::kLookupPrivilegeValueA},
                      FailureCase{"AdjustTokenPrivileges", PlatformCall::kAdjustTokenPrivileges}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(RequestExit, HandsBackThePlatformsAnswer) {
  for (const BOOL answer : {FALSE, TRUE}) {
    PlatformScript script;
    script.exit_answer = answer;
    ResetPlatform(script);
    EXPECT_EQ(RequestExit(2), answer);
  }
}

}  // namespace
