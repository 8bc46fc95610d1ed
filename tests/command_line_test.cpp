#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/usage.h"
#include "tests/recording_platform.h"

namespace {

constexpr bool kUsage = false;
constexpr bool kRequest = true;

struct Case {
  const char* name;
  std::vector<const char*> words;  // After the program's name.
  bool request;
  ExitFlags flags;
};

const Case kCases[] = {
    {"NoArguments", {}, kUsage, 0},
    {"QuestionMark", {"/?"}, kUsage, 0},
    {"Help", {"/help", "/HELP"}, kUsage, 0},
    {"MixedCase", {"/Reboot", "/Logoff", "/sHUTDOWN"}, kUsage, 0},
    {"NoSlash", {"reboot", "LOGOFF"}, kUsage, 0},
    {"OtherSwitchCharacter", {"-reboot", "\\reboot", "//reboot"}, kUsage, 0},
    {"EmptyWord", {""}, kUsage, 0},
    {"Prefix", {"/reboo", "/", "/LOG"}, kUsage, 0},
    {"Suffix", {"/reboot:", "/REBOOT ", "/force=1", "/logoffx"}, kUsage, 0},
    {"LeadingSpace", {" /reboot"}, kUsage, 0},
    {"HighBytes", {"/REBOOT\xA0", "\xEF\xBB\xBF/reboot"}, kUsage, 0},
    {"ShutdownUpper", {"/SHUTDOWN"}, kRequest, 1},
    {"ShutdownLower", {"/shutdown"}, kRequest, 1},
    {"PoweroffUpper", {"/POWEROFF"}, kRequest, 8},
    {"PoweroffLower", {"/poweroff"}, kRequest, 8},
    {"RebootUpper", {"/REBOOT"}, kRequest, 2},
    {"RebootLower", {"/reboot"}, kRequest, 2},
    {"ForceAloneIsForcedLogoff", {"/force"}, kRequest, 4},
    {"ForceUpper", {"/FORCE"}, kRequest, 4},
    {"LogoffLower", {"/logoff"}, kRequest, 0},
    {"LogoffUpper", {"/LOGOFF"}, kRequest, 0},
    {"LogoffWithForce", {"/logoff", "/force"}, kRequest, 4},
    {"RebootWithForce", {"/reboot", "/force"}, kRequest, 6},
    {"RebootInBothCases", {"/REBOOT", "/reboot"}, kRequest, 2},
    {"RepeatedForce", {"/force", "/FORCE", "/force"}, kRequest, 4},
    {"ShutdownWithPoweroff", {"/shutdown", "/poweroff"}, kRequest, 9},
    {"ShutdownWithReboot", {"/shutdown", "/reboot"}, kRequest, 3},
    {"LogoffWithShutdownIsShutdown", {"/logoff", "/shutdown"}, kRequest, 1},
    {"LogoffWithReboot", {"/LOGOFF", "/REBOOT"}, kRequest, 2},
    {"UnknownBeforeReboot", {"/x", "/reboot"}, kRequest, 2},
    {"UnknownAfterLogoff", {"/logoff", "/?"}, kRequest, 0},
    {"EverySwitch", {"/FORCE", "/logoff", "/REBOOT", "/poweroff", "/SHUTDOWN"}, kRequest, 15},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<const char*> CommandLine(const char* program, const std::vector<const char*>& words) {
  std::vector<const char*> argv{program};
  argv.insert(argv.end(), words.begin(), words.end());
  argv.push_back(nullptr);  // As the runtime delivers it.
  return argv;
}

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome RunWithAnswer(const std::vector<const char*>& argv, BOOL answer) {
  PlatformScript script;
  script.exit_answer = answer;
  ResetPlatform(script);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int status = RunCommand(static_cast<int>(argv.size()) - 1, argv.data());
  return {status, ::testing::internal::GetCapturedStdout(),
          ::testing::internal::GetCapturedStderr()};
}

// No request, and the usage screen, identical for every command line that leads to it, and
// the platform never touched.
void ExpectUsage(const std::vector<const char*>& argv) {
  ExitFlags flags = 0xDEADBEEF;
  EXPECT_FALSE(DecideRequest(static_cast<int>(argv.size()) - 1, argv.data(), &flags));
  EXPECT_EQ(flags, 0u);
  ::testing::internal::CaptureStdout();
  PrintUsage();
  const std::string usage = ::testing::internal::GetCapturedStdout();
  const Outcome run = RunWithAnswer(argv, TRUE);
  EXPECT_EQ(run.status, kStatusUsage);
  EXPECT_EQ(run.out, usage);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(RecordedPlatform().calls.empty());
}

class CommandLineCase : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLineCase, DecidesAndActs) {
  const Case& c = GetParam();
  const std::vector<const char*> argv = CommandLine("dorvane", c.words);
  if (!c.request) {
    ExpectUsage(argv);
    return;
  }

  ExitFlags flags = 0xDEADBEEF;
  EXPECT_TRUE(DecideRequest(static_cast<int>(argv.size()) - 1, argv.data(), &flags));
  EXPECT_EQ(flags, c.flags);
  for (const BOOL answer : {TRUE, FALSE}) {
    SCOPED_TRACE(answer ? "accepted" : "refused");
    const Outcome run = RunWithAnswer(argv, answer);
    EXPECT_EQ(run.status, answer ? kStatusAccepted : kStatusRefused);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    ASSERT_FALSE(RecordedPlatform().calls.empty());
    EXPECT_EQ(RecordedPlatform().calls.back(), PlatformCall::kExitWindowsEx);
    EXPECT_EQ(RecordedPlatform().exit_flags, c.flags);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, CommandLineCase, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return info.param.name;
                         });

TEST(CommandLine, NeverExaminesTheProgramsName) {
  for (const char* name : {"/REBOOT", "/logoff", "/force"}) {
    SCOPED_TRACE(name);
    ExpectUsage(CommandLine(name, {}));
  }
}

TEST(CommandLine, NoWordsAtAllShowsUsage) {
  // A POSIX caller may start a program with an empty argument vector.
  ExpectUsage({nullptr});
}

}  // namespace
