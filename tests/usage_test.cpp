#include "app/usage.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace {

std::vector<std::string> ScreenLines() {
  ::testing::internal::CaptureStdout();
  PrintUsage();
  const std::string screen = ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(screen.empty());
  EXPECT_EQ(screen.back(), '\n') << "the last line must end too";
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = screen.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(screen.substr(start, end - start));
  }
  return lines;
}

std::size_t Lead(const std::string& line) {
  const std::size_t first = line.find_first_not_of(' ');
  return first == std::string::npos ? line.size() : first;
}

std::size_t Trail(const std::string& line) {
  const std::size_t last = line.find_last_not_of(' ');
  return last == std::string::npos ? 0 : line.size() - 1 - last;
}

// Leading and trailing spaces of every line: the part of the screen an editor or a
// "cleanup" silently destroys. A line of spaces only counts them as leading.
struct Shape {
  std::size_t lead;
  std::size_t trail;
};
const Shape kShapes[] = {
    {0, 1}, {0, 0},  {1, 0},  {0, 0}, {0, 0},  {1, 0}, {1, 0}, {0, 0},  {1, 0},  {15, 0}, {15, 0},
    {1, 1}, {15, 1}, {15, 0}, {1, 1}, {15, 0}, {1, 1}, {1, 1}, {15, 0}, {15, 1}, {15, 0},
};

TEST(Usage, EveryLineKeepsItsSpaces) {
  const std::vector<std::string> lines = ScreenLines();
  ASSERT_EQ(lines.size(), std::size(kShapes));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(Lead(lines[i]), kShapes[i].lead) << "line " << i + 1 << ": '" << lines[i] << "'";
    EXPECT_EQ(Trail(lines[i]), kShapes[i].trail) << "line " << i + 1 << ": '" << lines[i] << "'";
  }
  EXPECT_EQ(lines[6], " ");
}

TEST(Usage, DescriptionsStartInColumn16) {
  // (The line count is EveryLineKeepsItsSpaces's to check.)
  const std::vector<std::string> lines = ScreenLines();
  const char* const switches[] = {"/SHUTDOWN", "/LOGOFF", "/POWEROFF", "/REBOOT", "/FORCE"};
  std::size_t next_switch = 0;
  for (std::size_t i = 8; i < lines.size(); ++i) {
    ASSERT_GT(lines[i].size(), 15u) << "line " << i + 1;
    EXPECT_EQ(lines[i][14], ' ') << "line " << i + 1;
    EXPECT_NE(lines[i][15], ' ') << "line " << i + 1;
    if (lines[i][1] == '/') {
      ASSERT_LT(next_switch, std::size(switches));
      const std::string name = switches[next_switch];
      EXPECT_EQ(lines[i].substr(1, name.size()), name) << "line " << i + 1;
      EXPECT_EQ(Lead(lines[i].substr(1 + name.size())), 14 - name.size()) << "line " << i + 1;
      ++next_switch;
    }
  }
  EXPECT_EQ(next_switch, std::size(switches)) << "paragraphs follow the syntax line's order";
}

TEST(Usage, FirstLineNamesTheBuildsVersion) {
  const std::vector<std::string> lines = ScreenLines();
  ASSERT_FALSE(lines.empty());
  const std::string head = "DORVANE " DORVANE_EXPECTED_VERSION " by: ";
  ASSERT_EQ(lines[0].compare(0, head.size(), head), 0) << lines[0];
  EXPECT_GT(lines[0].size(), head.size() + 1) << "a credit follows 'by:'";
}

}  // namespace
