// The file probe, asked of the platform afresh on every call.
#include "runtime/probe.h"

#include <string>

#include "runtime/platform/platform.h"

namespace kg {

bool FileIsPresent(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return false;
  std::string literal(name);
  platform::DWORD attributes = platform::GetFileAttributesA(literal.c_str());
  // Only a regular file counts: a directory, a device or a pipe cannot be read twice as a model
  // file, nor replaced by one.
  return attributes != platform::INVALID_FILE_ATTRIBUTES &&
         (attributes & (platform::FILE_ATTRIBUTE_DIRECTORY | platform::FILE_ATTRIBUTE_DEVICE)) == 0;
}

}  // namespace kg
