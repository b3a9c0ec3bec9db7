// The program's arguments, and how one command-line text splits into them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kg {

// One argument taken from a command-line text, and the position just after it.
struct SplitArgument {
  std::string argument;
  std::size_t next;
};

// Takes the argument that starts at or after `position` in `command_line`. Blanks and control
// characters (codes 1 to 32) separate words; a zero byte or the end of the view ends the text.
// Double quotes open and close sections in which separators are kept; they are never part of an
// argument, and a pair of them at the start of a word is dropped. The argument is empty only at
// the end of the text.
SplitArgument NextArgument(std::string_view command_line, std::size_t position);

// The number of words after the program's name.
std::int32_t ArgumentCount();

// The argument at `index`: 0 is the full path of the running executable, 1 to ArgumentCount()
// the words after the program's name; any other index gives the empty text.
std::string ArgumentAt(std::int32_t index);

}  // namespace kg
