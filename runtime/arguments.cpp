// Argument access over either a command-line text or the list of words the platform hands over.
#include "runtime/arguments.h"

#include "runtime/platform/platform.h"

namespace kg {

namespace {

bool AtEndOfText(std::string_view text, std::size_t position) {
  return position >= text.size() || text[position] == '\0';
}

bool IsSeparator(char c) {
  auto code = static_cast<unsigned char>(c);
  return code >= 1 && code <= 32;
}

// The index'th non-empty word after the program's name in the platform's list (1-based), or
// null when there is none. Empty words cannot be given on a command line, so they are skipped.
const char* ListedWord(std::int32_t index, std::int32_t* count) {
  int listed = 0;
  char* const* words = platform::GetArgumentList(&listed);
  std::int32_t seen = 0;
  for (int i = 1; i < listed; ++i) {
    if (words[i] == nullptr || words[i][0] == '\0') continue;
    if (++seen == index) return words[i];
  }
  if (count != nullptr) *count = seen;
  return nullptr;
}

}  // namespace

SplitArgument NextArgument(std::string_view command_line, std::size_t position) {
  std::string argument;
  for (;;) {
    while (!AtEndOfText(command_line, position) && IsSeparator(command_line[position])) ++position;
    if (!AtEndOfText(command_line, position + 1) && command_line[position] == '"' &&
        command_line[position + 1] == '"') {
      position += 2;
      continue;
    }
    break;
  }
  while (!AtEndOfText(command_line, position) &&
         static_cast<unsigned char>(command_line[position]) > 32) {
    if (command_line[position] == '"') {
      ++position;
      while (!AtEndOfText(command_line, position) && command_line[position] != '"') {
        argument += command_line[position++];
      }
      if (!AtEndOfText(command_line, position)) ++position;  // the closing quote
    } else {
      argument += command_line[position++];
    }
  }
  return SplitArgument{std::move(argument), position};
}

std::int32_t ArgumentCount() {
  if (const char* line = platform::GetCommandLineA(); line != nullptr) {
    std::string_view text(line);
    std::size_t position = NextArgument(text, 0).next;  // the program's name
    std::int32_t count = 0;
    for (;;) {
      SplitArgument word = NextArgument(text, position);
      if (word.argument.empty()) return count;
      ++count;
      position = word.next;
    }
  }
  std::int32_t count = 0;
  ListedWord(-1, &count);
  return count;
}

std::string ArgumentAt(std::int32_t index) {
  if (index < 0) return {};
  if (index == 0) {
    char path[261];
    platform::DWORD length = platform::GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length);
  }
  if (const char* line = platform::GetCommandLineA(); line != nullptr) {
    std::string_view text(line);
    SplitArgument word = NextArgument(text, 0);  // the program's name
    for (std::int32_t i = 0; i < index; ++i) {
      word = NextArgument(text, word.next);
      if (word.argument.empty()) return {};
    }
    return std::move(word.argument);
  }
  const char* word = ListedWord(index, nullptr);
  return word != nullptr ? std::string(word) : std::string();
}

}  // namespace kg
