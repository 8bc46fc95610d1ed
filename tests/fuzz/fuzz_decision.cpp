// Fuzzes the command-line decision: the input, split on NUL bytes, is the argument vector
// (its first piece the program's name). Whatever the words, the decision must match this
// independent statement of it: a request exactly when some word after the name is one of
// the ten switch spellings, with the OR of their flags.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

struct Spelling {
  const char* text;
  std::uint32_t flag;
};

const Spelling kSpellings[] = {
    {"/SHUTDOWN", 1}, {"/shutdown", 1}, {"/POWEROFF", 8}, {"/poweroff", 8}, {"/REBOOT", 2},
    {"/reboot", 2},   {"/FORCE", 4},    {"/force", 4},    {"/LOGOFF", 0},   {"/logoff", 0},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An empty input is an empty argument vector (argc 0); otherwise n NULs make n+1 words.
  std::vector<std::string> words;
  const char* const text = reinterpret_cast<const char*>(data);
  for (std::size_t i = 0, start = 0; size > 0 && i <= size; ++i) {
    if (i == size || data[i] == 0) {
      words.emplace_back(text + start, i - start);
      start = i + 1;
    }
  }
  std::vector<const char*> argv;
  for (const std::string& word : words) {
    argv.push_back(word.c_str());
  }
  argv.push_back(nullptr);

  bool want_request = false;
  std::uint32_t want_flags = 0;
  for (std::size_t w = 1; w < words.size(); ++w) {
    for (const Spelling& spelling : kSpellings) {
      if (words[w] == spelling.text) {
        want_request = true;
        want_flags |= spelling.flag;
      }
    }
  }

  ExitFlags flags = 0xDEADBEEF;
  const bool request = DecideRequest(static_cast<int>(words.size()), argv.data(), &flags);
  if (request != want_request || flags != want_flags) {
    __builtin_trap();
  }
  return 0;
}
