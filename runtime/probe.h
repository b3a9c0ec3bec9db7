// The file probe: whether a file of a given name exists.
#pragma once

#include <string_view>

namespace kg {

// True when `name`, taken literally, names an existing regular file (symbolic links followed),
// whatever its time stamps: the answer is for regular files only. Absent are an empty name, a
// directory, a device (/dev/null, /dev/stdin), a FIFO or a socket, a dangling link and a name that
// cannot be examined, so an input of such a kind is reported as missing and an output of such a
// kind draws no overwrite question. Opens nothing, changes nothing, remembers nothing.
bool FileIsPresent(std::string_view name);

}  // namespace kg
