// The file probe: whether a file of a given name exists.
#pragma once

#include <string_view>

namespace kg {

// True when `name`, taken literally, names an existing file that is not a directory (symbolic
// links followed), whatever its time stamps. An empty name, a directory, a dangling link or a
// name that cannot be examined is absent. Opens nothing, changes nothing, remembers nothing.
bool FileIsPresent(std::string_view name);

}  // namespace kg
