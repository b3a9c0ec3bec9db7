// The file calls on Windows: open, read, write, seek, close, and what a name or a handle is.
//
// CreateFileA opens a regular file only for reading and stamps its text for VerifyAndLetGo; writes
// go on after a short write; the probe follows symbolic links.
#include "runtime/platform/platform.h"

namespace kg::platform {
namespace {
// A write that makes no progress and gives no reason counts as a full device.
constexpr DWORD kNoProgressCode = ERROR_DISK_FULL_CODE;
}  // namespace
}  // namespace kg::platform

#include "runtime/platform/win32_internal.h"

namespace kg::platform {

using win32::Native;

namespace {

// A file opened for reading that lets no one write, with its size and last-write time at the
// open, for the check of VerifyAndLetGo.
struct Verified {
  ::HANDLE handle = nullptr;
  ::LARGE_INTEGER size = {};
  ::FILETIME written = {};
};
constexpr int kMaxVerified = 64;
Verified verified[kMaxVerified];

// The size and last-write time of an open disk file; FALSE with the last error set when unknown.
BOOL StampOf(::HANDLE handle, Verified* stamp) {
  return ::GetFileSizeEx(handle, &stamp->size) &&
         ::GetFileTime(handle, nullptr, nullptr, &stamp->written);
}

}  // namespace

HANDLE CreateFileA(const char* name, DWORD desired_access, DWORD share_mode, void* security,
                   DWORD creation_disposition, DWORD flags, HANDLE template_file) {
  auto open = [&](DWORD disposition) {
    return ::CreateFileA(name, desired_access, share_mode,
                         static_cast<LPSECURITY_ATTRIBUTES>(security), disposition, flags,
                         Native(template_file));
  };
  ::HANDLE handle = open(creation_disposition);
  if (handle == INVALID_HANDLE_VALUE && creation_disposition == OPEN_EXISTING &&
      !(desired_access & GENERIC_WRITE) && ::GetLastError() == ERROR_ACCESS_DENIED) {
    // A directory put in the file's place is no file to read either: it counts as missing.
    ::DWORD attributes = ::GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      ::SetLastError(ERROR_FILE_NOT_FOUND);
    } else {
      ::SetLastError(ERROR_ACCESS_DENIED);
    }
    return INVALID_HANDLE_VALUE;
  }
  if (handle != INVALID_HANDLE_VALUE && creation_disposition == OPEN_EXISTING &&
      !(desired_access & GENERIC_WRITE)) {
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
      // A device or a pipe is no file to read from its first byte: it counts as missing.
      ::CloseHandle(handle);
      ::SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    if (!(share_mode & FILE_SHARE_WRITE)) {  // its text is verified where it is let go
      Verified* slot = nullptr;
      for (Verified& entry : verified) {
        if (entry.handle == nullptr) {
          slot = &entry;
          break;
        }
      }
      Verified stamp{handle};
      if (slot == nullptr || !StampOf(handle, &stamp)) {
        ::DWORD error = slot == nullptr ? ERROR_TOO_MANY_OPEN_FILES : ::GetLastError();
        ::CloseHandle(handle);
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
      }
      *slot = stamp;
    }
  }
  if (handle != INVALID_HANDLE_VALUE || creation_disposition != CREATE_NEW ||
      (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)) {
    return handle;
  }
  // Only a directory of that name is opened again as it is (and then fails as CREATE_ALWAYS
  // would); whatever else made the exclusive create fail as existing, a file that took the name
  // meanwhile included, is left alone.
  ::DWORD attributes = ::GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  handle = open(OPEN_EXISTING);
  if (handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) == FILE_TYPE_DISK &&
      !(::GetFileAttributesA(name) & FILE_ATTRIBUTE_DIRECTORY)) {
    ::CloseHandle(handle);
    ::SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read, void* overlapped) {
  ::DWORD got = 0;
  BOOL ok = ::ReadFile(Native(file), buffer, to_read, &got, static_cast<LPOVERLAPPED>(overlapped));
  *read = ok ? static_cast<DWORD>(got) : 0;
  return ok;
}

BOOL ReadFileAt(HANDLE file, std::uint64_t offset, void* buffer, DWORD to_read, DWORD* read) {
  // A read at an offset moves a synchronous handle's position too: it is put back afterwards.
  *read = 0;
  ::LARGE_INTEGER here = {};
  ::LARGE_INTEGER none = {};
  if (!::SetFilePointerEx(Native(file), none, &here, FILE_CURRENT)) return 0;
  ::OVERLAPPED at = {};
  at.Offset = static_cast<::DWORD>(offset & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<::DWORD>(offset >> 32);
  ::DWORD got = 0;
  BOOL ok = ::ReadFile(Native(file), buffer, to_read, &got, &at);
  ::DWORD error = ::GetLastError();
  if (!ok && error == ERROR_HANDLE_EOF) ok = 1;  // at or past the end: no bytes
  ::SetFilePointerEx(Native(file), here, nullptr, FILE_BEGIN);
  if (!ok) {
    ::SetLastError(error);
    return 0;
  }
  *read = static_cast<DWORD>(got);
  return 1;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written, void* overlapped) {
  const char* bytes = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < to_write) {
    ::DWORD put = 0;
    if (!::WriteFile(Native(file), bytes + done, to_write - done, &put,
                     static_cast<LPOVERLAPPED>(overlapped))) {
      *written = done + static_cast<DWORD>(put);
      return 0;
    }
    if (put == 0) {
      ::SetLastError(kNoProgressCode);
      *written = done;
      return 0;
    }
    done += static_cast<DWORD>(put);
  }
  *written = done;
  return 1;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD move_method) {
  ::LONG high = distance_high != nullptr ? *distance_high : 0;
  ::DWORD low = ::SetFilePointer(Native(file), distance, distance_high != nullptr ? &high : nullptr,
                                 move_method);
  if (distance_high != nullptr) *distance_high = static_cast<LONG>(high);
  return static_cast<DWORD>(low);
}

BOOL KeepsWritersOut(HANDLE file) {
  // The share mode of the open (reading only) keeps every writer out for the handle's life.
  return ::GetFileType(Native(file)) == FILE_TYPE_DISK ? 1 : 0;
}

BOOL VerifyAndLetGo(HANDLE file, DWORD verify) {
  // A share mode cannot lapse, and ends only with its handle; the text is compared all the same.
  for (Verified& entry : verified) {
    if (entry.handle == nullptr || entry.handle != Native(file)) continue;
    Verified now{entry.handle};
    const Verified open = entry;
    entry = Verified{};
    if (!StampOf(now.handle, &now)) return 0;
    if (now.size.QuadPart != open.size.QuadPart ||
        (verify == VERIFY_SIZE_AND_TIME && ::CompareFileTime(&now.written, &open.written) != 0)) {
      ::SetLastError(ERROR_SHARING_VIOLATION);
      return 0;
    }
    return 1;
  }
  return 1;
}

BOOL CopyFileRange(HANDLE /*source*/, HANDLE /*target*/, std::uint64_t /*count*/,
                   std::uint64_t* copied) {
  *copied = 0;  // no such copy between two handles: the runtime copies through its block
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return 0;
}

BOOL CloseHandle(HANDLE file) {
  for (Verified& entry : verified) {
    if (entry.handle == Native(file)) entry = Verified{};
  }
  return ::CloseHandle(Native(file));
}

BOOL GetConsoleMode(HANDLE handle, DWORD* mode) {
  ::DWORD got = 0;
  BOOL console = ::GetConsoleMode(Native(handle), &got);
  *mode = static_cast<DWORD>(got);
  return console;
}

DWORD GetFileType(HANDLE file) {
  return static_cast<DWORD>(::GetFileType(Native(file)));
}

DWORD GetFileAttributesA(const char* name) {
  ::DWORD attributes = ::GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return static_cast<DWORD>(attributes);
  }
  // A symbolic link or junction: answer for what it leads to, as opening it would.
  ::HANDLE target = ::CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (target == INVALID_HANDLE_VALUE) return INVALID_FILE_ATTRIBUTES;
  BY_HANDLE_FILE_INFORMATION information;
  BOOL known = ::GetFileInformationByHandle(target, &information);
  ::DWORD error = ::GetLastError();
  ::CloseHandle(target);
  if (!known) {
    ::SetLastError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  return static_cast<DWORD>(information.dwFileAttributes);
}

}  // namespace kg::platform
