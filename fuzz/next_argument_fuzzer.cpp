// Fuzzes the split of a command-line text into arguments: NextArgument over arbitrary texts,
// checked for its invariants and against a one-pass reference split.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "runtime/arguments.h"

namespace {

using kg::fuzz::Require;

bool IsSeparator(char c) {
  return static_cast<unsigned char>(c) <= 32;  // a zero byte has already ended the text
}

// The arguments of `text` in one pass: a zero byte ends the text; separators (codes 1 to 32)
// outside double quotes end a word; double quotes toggle a quoted section and are never kept;
// pairs of double quotes at the start of a word are dropped; an empty word can only be a lone
// double quote at the very end.
std::vector<std::string> ReferenceSplit(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::vector<std::string> words;
  std::size_t i = 0;
  for (;;) {
    while (i < text.size() && (IsSeparator(text[i]) ||
                               (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"'))) {
      i += text[i] == '"' ? 2 : 1;
    }
    if (i >= text.size()) return words;
    std::string word;
    bool quoted = false;
    for (; i < text.size() && (quoted || !IsSeparator(text[i])); ++i) {
      if (text[i] == '"') {
        quoted = !quoted;
      } else {
        word += text[i];
      }
    }
    if (word.empty()) return words;
    words.push_back(std::move(word));
  }
}

bool AtEndOfText(std::string_view text, std::size_t position) {
  return position >= text.size() || text[position] == '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  std::size_t position = 0;
  for (;;) {
    kg::SplitArgument word = kg::NextArgument(text, position);
    Require(word.next >= position && word.next <= text.size(), "position out of range");
    Require(word.argument.find('"') == std::string::npos, "a double quote in an argument");
    if (word.argument.empty()) {
      Require(AtEndOfText(text, word.next), "an empty argument before the end of the text");
      Require(kg::NextArgument(text, word.next).argument.empty(), "an argument after the end");
      break;
    }
    Require(word.next > position, "no progress");
    Require(word.argument.size() <= word.next - position, "an argument longer than its text");
    words.push_back(std::move(word.argument));
    position = word.next;
  }
  Require(words == ReferenceSplit(text), "arguments differ from the reference split");
  return 0;
}
