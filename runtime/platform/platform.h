// The operating-system calls the runtime is built on, under their Windows names and contracts.
//
// Each platform defines every call declared here, in files by job: posix_*.cpp (see
// posix_internal.h; the sharing policy is at the head of posix_sharing.cpp) and win32_*.cpp (see
// win32_internal.h); the runtime above this header never asks which platform it runs on. The
// calls mirror the Windows API the runtime was designed against: they return a result, record the
// reason of a failure for GetLastError, and never throw.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kg::platform {

using DWORD = std::uint32_t;
using BOOL = int;
using LONG = std::int32_t;
using HANDLE = void*;

// The handle value a failing CreateFileA or GetStdHandle returns.
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x00000001u;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002u;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010u;
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x00000040u;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;

constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);

constexpr DWORD FILE_TYPE_UNKNOWN = 0;
constexpr DWORD FILE_TYPE_DISK = 1;
constexpr DWORD FILE_TYPE_CHAR = 2;
constexpr DWORD FILE_TYPE_PIPE = 3;

constexpr DWORD MEM_COMMIT = 0x1000;
constexpr DWORD MB_OK = 0x00000000u;
constexpr DWORD MB_ICONERROR = 0x00000010u;
constexpr DWORD MB_TASKMODAL = 0x00002000u;

// System error codes, with the values the failure messages are keyed on.
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_NOT_READY = 21;  // a device that is not there or cannot be used
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL_CODE = 101;  // reported as "Disk full"
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
constexpr DWORD ERROR_NO_DATA = 232;     // the reader of a pipe has gone
constexpr DWORD ERROR_IO_DEVICE = 1117;  // also every system failure without a code of its own

// Facts about the memory region holding a code address (see VirtualQuery).
struct MEMORY_BASIC_INFORMATION {
  void* BaseAddress;
  void* AllocationBase;
  DWORD State;
};

// Process start-up: records the argument list (where the platform hands one over), gives every
// closed standard descriptor a harmless stand-in so that no file opened later takes its place,
// and makes a write to a pipe whose reader has gone, or a write past the file-size limit, an
// ordinary failure. Call once, first.
void InitializeProcess(int argc, char** argv);

// Opens or creates the named file. Returns INVALID_HANDLE_VALUE on failure, with the reason for
// GetLastError. share_mode FILE_SHARE_READ lets others read but not write while the handle is open,
// and it holds against other processes too; a file that standard output or standard error writes
// into, or that another process or a writable mapping holds open for writing, counts as held open
// for writing. One file reached by two names counts as one, also through a mount that shows it
// under a device of its own (an overlay or a FUSE mirror of the file beneath). A sharing conflict
// fails with ERROR_SHARING_VIOLATION at once: an open never waits for another holder (see
// KeepsWritersOut), nor for the other end of a pipe; an existing file refused for writing is never
// opened for writing, so a refused open changes nothing for the file's other holders.
// Only a regular file is opened for reading: on POSIX every open for reading, on Windows an
// OPEN_EXISTING one, fails with ERROR_FILE_NOT_FOUND for a directory, a device, a pipe or a socket
// of that name, as for a missing file. CREATE_ALWAYS truncates an existing file only once the
// open is known to succeed. CREATE_NEW fails with ERROR_FILE_EXISTS, leaving it untouched, when a
// regular file (or a symbolic link that leads nowhere) has the name; what else has the name is
// opened as CREATE_ALWAYS would open it: on POSIX anything that is no regular file (a device, a
// pipe; a directory then fails with ERROR_ACCESS_DENIED), on Windows a directory (which then
// fails so), while a Windows device name is no existing file there at all.
HANDLE CreateFileA(const char* name, DWORD desired_access, DWORD share_mode, void* security,
                   DWORD creation_disposition, DWORD flags, HANDLE template_file);

// Reads up to `to_read` bytes; *read is 0 at the end of the data. Returns 0 on failure.
// Interrupted calls are retried; a handle that has no data yet is waited on, as a blocking one. A
// terminal delivers the end of a typed line as CR LF.
BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read, void* overlapped);

// Writes all `to_write` bytes, going on after short writes and retrying interrupted calls; a
// handle that cannot take bytes yet is waited on, as a blocking one.
// Returns 0 on failure; *written then tells how many bytes did go out.
BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written, void* overlapped);

// Moves the read and write position of a file handle: `distance` bytes from the start for
// FILE_BEGIN (the tool asks only for the start). Returns the new position's low 32 bits, or
// INVALID_SET_FILE_POINTER with the reason for GetLastError; the high part is taken from and
// stored into *distance_high when it is not null.
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD move_method);

// TRUE while a file opened for reading with a share mode that lets no one write keeps writers
// out, so that what is read from it is what it held at the open, as long as VerifyAndLetGo
// succeeds in the end. On POSIX: a read lease taken at the open (on a file system where the
// system sees every writer) and not let go yet; a writer waits for this process or for the
// system's patience (its lease-break-time), after which the system may end the lease unasked.
// FALSE where no lease could be had, and after VerifyAndLetGo. On Windows: the share mode of a
// disk file's handle, which keeps writers out until the handle is closed, VerifyAndLetGo or not.
// Makes no system call on POSIX and never fails.
BOOL KeepsWritersOut(HANDLE file);

// What VerifyAndLetGo compares of a file's text: its size and last modification time; or its size
// alone, where the caller compares the bytes themselves (a file read unheld, whose bytes it
// printed as it read them, see TextPrint), so that a time stamp changed over the same bytes (a
// touch) changes nothing.
constexpr DWORD VERIFY_SIZE_AND_TIME = 0;
constexpr DWORD VERIFY_SIZE = 1;

// For a file opened for reading with a share mode that lets no one write, whether held or not:
// verifies that its text is what it was at the open, then ends its hold (POSIX: the lease; a
// writer waiting for it goes on), leaving it open. The text counts as changed when what `verify`
// names of it (the size, and for VERIFY_SIZE_AND_TIME the last modification time), asked afresh
// from the system, differs from that at the open, or when the system ended the hold to let a
// writer in: 0 with ERROR_SHARING_VIOLATION. 0 with another code when the system cannot tell or
// cannot end the hold. TRUE otherwise, and for a handle that needs no verifying (opened otherwise,
// or already let go). What the size and time miss: a same-size rewrite within one step of the
// file system's clock (FAT's 2 s, a clock tick of a few milliseconds on older Linux kernels), one
// that puts the old time back (`cp -p`, `rsync -t`), a store through a mapping not yet written
// back, and on FUSE and network file systems whatever their caches keep from the system. Verified
// once: the file counts as let go afterwards either way.
BOOL VerifyAndLetGo(HANDLE file, DWORD verify);

// Reads up to `to_read` bytes of a file opened for reading, from byte `offset` on, without moving
// its position: the next ReadFile goes on where it would have. *read is 0 at the end of the data.
// Returns 0 on failure. Interrupted calls are retried.
BOOL ReadFileAt(HANDLE file, std::uint64_t offset, void* buffer, DWORD to_read, DWORD* read);

// Copies up to `count` bytes from the source's file position to the target's inside the system,
// without passing them through this process, and moves both positions on by *copied, which may
// be less than `count` (0 at the source's end). Returns 0 when it copies nothing, with the reason
// for GetLastError: ERROR_DISK_FULL_CODE or ERROR_FILE_TOO_LARGE when the target has no room; any
// other code when the system will not copy so (the caller then copies the bytes itself, and meets
// a real fault of the files on its own way).
BOOL CopyFileRange(HANDLE source, HANDLE target, std::uint64_t count, std::uint64_t* copied);

// Releases a handle from CreateFileA. Returns 0 on failure.
BOOL CloseHandle(HANDLE file);

// The process's standard handle: a null handle when the process started without it,
// INVALID_HANDLE_VALUE for an unknown selector.
HANDLE GetStdHandle(DWORD which);

// FILE_TYPE_CHAR for a terminal or other character device, FILE_TYPE_DISK or FILE_TYPE_PIPE,
// FILE_TYPE_UNKNOWN for a null or invalid handle.
DWORD GetFileType(HANDLE file);

// TRUE when the handle is a console that a person types into and reads (on POSIX a terminal),
// with its mode in *mode (0 on POSIX); FALSE for anything else, other character devices (/dev/null,
// NUL) included. Makes no system call for a handle whose kind is already known.
BOOL GetConsoleMode(HANDLE handle, DWORD* mode);

// The code of the calling thread's last failing call.
DWORD GetLastError();
void SetLastError(DWORD code);

// Moves the file position to `offset` bytes from the start through SetFilePointer, the offset split
// into its two halves; a new position whose low half reads as INVALID_SET_FILE_POINTER is told from
// a failure by the last error, cleared first. Returns 0 on failure, with the reason for
// GetLastError.
inline BOOL SetFilePointerTo(HANDLE file, std::uint64_t offset) {
  LONG high = static_cast<LONG>(offset >> 32);
  SetLastError(0);
  return SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN) !=
                     INVALID_SET_FILE_POINTER ||
                 GetLastError() == 0
             ? 1
             : 0;
}

// The whole command line as one text, or null where the platform hands over a list of words
// instead (then GetArgumentList gives them).
const char* GetCommandLineA();

// The argument words as the platform handed them over, the program's name first; sets *count.
// Null with *count 0 where the platform hands over one command-line text instead.
char* const* GetArgumentList(int* count);

// The attributes of the file or directory with exactly this name (no wildcards; symbolic links
// followed), or INVALID_FILE_ATTRIBUTES when there is none or it cannot be examined. Anything
// that is neither a regular file nor a directory (a device, a pipe, a socket) has
// FILE_ATTRIBUTE_DEVICE.
DWORD GetFileAttributesA(const char* name);

// The full path of the module whose image starts at `module`, or of the running executable when
// `module` is null, cut to size - 1 characters and terminated. Returns its length, 0 on failure.
DWORD GetModuleFileNameA(void* module, char* buffer, DWORD size);

// Describes the memory region holding `address`: State is MEM_COMMIT and AllocationBase the load
// address of the module when the address lies in a loaded module. Returns 0 when nothing is known.
std::size_t VirtualQuery(const void* address, MEMORY_BASIC_INFORMATION* info, std::size_t size);

// Shows a modal box with the text, the title and the flags, and returns the button that closed
// it; 0 when no box can be shown (no desktop, or a platform without boxes).
int MessageBoxA(HANDLE owner, const char* text, const char* caption, DWORD type);

// Ends the process at once with the exit code.
[[noreturn]] void ExitProcess(DWORD exit_code);

// The characters that separate directories in a path on this platform (a null-terminated set).
extern const char kPathDelimiters[];

}  // namespace kg::platform
