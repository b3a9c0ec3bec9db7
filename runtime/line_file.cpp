// Line files: the handle and its one block (open, fill, write, write out, close), the rule
// that a file takes no more text once text meant for it was lost, and the write-out at the exit.
#include "runtime/line_file.h"

#include <cstring>

#include "runtime/io_result.h"

namespace kg {

namespace {

namespace pf = platform;

LineFile* pending_outputs = nullptr;

}  // namespace

LineFile::LineFile(std::size_t block_size)
    : role_(Role::kNamed),
      mode_(Mode::kUnbound),
      size_(block_size < 2 ? 2 : block_size),
      owned_block_(new char[size_ + kBlockAlignment - 1]) {
  // Aligned by hand rather than by an aligned new, so that the block comes from operator
  // new(size_t) as every other allocation does (and from a replacement of it, such as the unit
  // tests' one).
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(owned_block_.get());
  block_ = owned_block_.get() + (kBlockAlignment - at % kBlockAlignment) % kBlockAlignment;
}

LineFile::LineFile(Role console_role)
    : role_(console_role), mode_(Mode::kClosed), size_(kConsoleBlockSize), block_(console_block_) {}

LineFile::~LineFile() {
  Unregister();
}

void LineFile::Bind(std::string_view name) {
  Unregister();
  name_.assign(name.data(), name.size());
  mode_ = Mode::kClosed;
  handle_ = nullptr;
  standard_handle_ = false;
  write_through_ = false;
  write_error_ = 0;
  end_of_data_ = false;
  disk_ = false;
  notes_.Forget();
  print_.Stop();
  read_offset_ = 0;
  fill_ = position_ = 0;
}

void LineFile::OpenForReading() {
  if (mode_ == Mode::kReading && role_ == Role::kNamed) {
    Rewind();
    return;
  }
  Open(Mode::kReading, pf::OPEN_EXISTING);
}

void LineFile::OpenForWriting(Creation creation) {
  Open(Mode::kWriting, creation == Creation::kReplace ? pf::CREATE_ALWAYS : pf::CREATE_NEW);
}

void LineFile::Rewind() {
  fill_ = position_ = 0;
  end_of_data_ = false;
  read_offset_ = 0;
  print_.Rewind();
  if (!pf::SetFilePointerTo(handle_, 0)) {
    SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
    pf::CloseHandle(handle_);
    handle_ = nullptr;
    mode_ = Mode::kClosed;
  }
}

void LineFile::Open(Mode direction, platform::DWORD disposition) {
  if (mode_ == Mode::kUnbound) {
    SetIoResult(kIoNotBound);
    return;
  }
  if (mode_ == Mode::kReading || mode_ == Mode::kWriting) Close();
  Unregister();
  mode_ = Mode::kClosed;
  fill_ = position_ = 0;
  end_of_data_ = false;
  write_through_ = false;
  write_error_ = 0;
  disk_ = false;
  read_offset_ = 0;
  notes_.Forget();  // another open file, or one opened again by name: not the one counted
  print_.Stop();
  bool writing = direction == Mode::kWriting;

  pf::HANDLE handle;
  if (name_.empty()) {
    handle = pf::GetStdHandle(writing ? pf::STD_OUTPUT_HANDLE : pf::STD_INPUT_HANDLE);
    standard_handle_ = true;
  } else if (name_.find('\0') != std::string::npos) {
    SetIoResult(static_cast<std::int32_t>(pf::ERROR_PATH_NOT_FOUND));  // no file has this name
    return;
  } else {
    handle = pf::CreateFileA(name_.c_str(), writing ? pf::GENERIC_WRITE : pf::GENERIC_READ,
                             pf::FILE_SHARE_READ, nullptr, disposition, pf::FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    standard_handle_ = false;
  }
  if (handle == pf::INVALID_HANDLE_VALUE) {
    SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
    return;
  }
  if (writing) {
    pf::DWORD type = pf::GetFileType(handle);
    if (type == pf::FILE_TYPE_UNKNOWN) {
      if (!standard_handle_) pf::CloseHandle(handle);
      SetIoResult(kIoNotOpenForOutput);
      return;
    }
    write_through_ = type == pf::FILE_TYPE_CHAR;
    disk_ = type == pf::FILE_TYPE_DISK;
  }
  handle_ = handle;
  mode_ = direction;
  if (writing) Register();
  // A named input that the system does not hold against writers is verified by its bytes.
  if (!writing && role_ == Role::kNamed && !KeepsWritersOut()) print_.Start();
}

bool LineFile::ReadyToRead() {
  if (mode_ != Mode::kReading && role_ == Role::kStandardInput) {
    Open(Mode::kReading, pf::OPEN_EXISTING);
  }
  if (mode_ == Mode::kReading) return true;
  SetIoResult(kIoNotOpenForInput);
  return false;
}

bool LineFile::ReadyToWrite() {
  if (mode_ != Mode::kWriting && role_ == Role::kStandardOutput) {
    Open(Mode::kWriting, pf::CREATE_ALWAYS);
  }
  if (mode_ != Mode::kWriting) {
    SetIoResult(kIoNotOpenForOutput);
    return false;
  }
  if (write_error_ != 0) {  // text was lost: nothing may follow the gap
    SetIoResult(write_error_);
    return false;
  }
  return true;
}

bool LineFile::ReadsFromTerminal() {
  if (!ReadyToRead()) return false;
  pf::DWORD mode = 0;
  return pf::GetConsoleMode(handle_, &mode) != 0;
}

bool LineFile::FillBlock() {
  if (end_of_data_) return position_ < fill_;
  const std::size_t kept = fill_ - position_;
  if (kept == size_) return true;  // nothing can be added behind a full block of unread bytes
  std::size_t start = kept;        // where the read goes, right behind the kept bytes
  if (role_ == Role::kNamed) {
    const std::size_t aligned = (kept + kBlockAlignment - 1) / kBlockAlignment * kBlockAlignment;
    if (aligned < size_) start = aligned;
  }
  std::memmove(block_ + (start - kept), block_ + position_, kept);
  position_ = start - kept;
  fill_ = start;
  pf::DWORD got = 0;
  if (!pf::ReadFile(handle_, block_ + start, static_cast<pf::DWORD>(size_ - start), &got,
                    nullptr)) {
    pf::DWORD error = pf::GetLastError();
    if (error != pf::ERROR_BROKEN_PIPE) {
      SetIoResult(static_cast<std::int32_t>(error));
      return false;
    }
    got = 0;  // the writer of a pipe has gone: the end of the data
  }
  if (got == 0) {
    end_of_data_ = true;
    if (print_.on()) print_.EndOfData(read_offset_);
    return false;
  }
  if (print_.on()) print_.Take(block_ + start, got, read_offset_);
  fill_ += got;
  read_offset_ += got;
  return true;
}

bool LineFile::WriteBytes(const char* bytes, std::size_t count) {
  return ReadyToWrite() && Append(bytes, count);
}

bool LineFile::WriteRun(const char* bytes, std::size_t count) {
  return WriteBytes(bytes, count) && (!write_through_ || WriteOutBlock());
}

void LineFile::WriteText(std::string_view text, int width) {
  if (!ReadyToWrite()) return;
  for (std::size_t blanks = width > 0 && static_cast<std::size_t>(width) > text.size()
                                ? static_cast<std::size_t>(width) - text.size()
                                : 0;
       blanks > 0; --blanks) {
    if (!Append(" ", 1)) return;
  }
  Append(text.data(), text.size());
}

void LineFile::WriteChar(char c) {
  if (!ReadyToWrite()) return;
  if (fill_ == size_ && !WriteOutBlock()) return;
  block_[fill_++] = c;
}

void LineFile::WriteInteger(std::int64_t value, int width) {
  char digits[24];
  std::size_t count = 0;
  std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    digits[sizeof digits - 1 - count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[sizeof digits - 1 - count++] = '-';
  WriteText(std::string_view(digits + sizeof digits - count, count), width);
}

void LineFile::EndLine() {
  if (ReadyToWrite()) Append("\r\n", 2);
  Flush();
}

void LineFile::Flush() {
  switch (mode_) {
    case Mode::kWriting:
      if (write_through_) WriteOutBlock();
      return;
    case Mode::kReading:
      return;
    default:
      if (role_ != Role::kStandardOutput) SetIoResult(kIoNotOpen);
      return;
  }
}

void LineFile::WriteOut() {
  if (mode_ != Mode::kWriting) {
    SetIoResult(kIoNotOpenForOutput);
    return;
  }
  WriteOutBlock();
}

void LineFile::Close() {
  if (mode_ != Mode::kReading && mode_ != Mode::kWriting) {
    if (role_ != Role::kStandardInput) SetIoResult(kIoNotOpen);
    return;
  }
  if (mode_ == Mode::kWriting && write_error_ != 0) {
    // Text was lost earlier: say so again, but release the file, as nothing can be written out.
    SetIoResult(write_error_);
  } else if (mode_ == Mode::kWriting && !WriteOutBlock()) {
    return;
  }
  if (role_ != Role::kNamed) return;  // a console stream stays open with its handle
  Unregister();
  pf::HANDLE handle = handle_;
  bool close_handle = !standard_handle_;
  handle_ = nullptr;
  mode_ = Mode::kClosed;
  fill_ = position_ = 0;
  end_of_data_ = false;
  if (close_handle && !pf::CloseHandle(handle)) {
    SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
  }
}

bool LineFile::Append(const char* bytes, std::size_t count) {
  while (count > 0) {
    std::size_t room = size_ - fill_;
    std::size_t part = count < room ? count : room;
    std::memcpy(block_ + fill_, bytes, part);
    fill_ += part;
    bytes += part;
    count -= part;
    if (fill_ == size_ && !WriteOutBlock()) return false;
  }
  return true;
}

bool LineFile::WriteOutBlock() {
  if (write_error_ != 0) {  // an earlier write-out failed: nothing may follow the gap
    fill_ = 0;
    SetIoResult(write_error_);
    return false;
  }
  if (fill_ == 0) return true;
  pf::DWORD written = 0;
  bool ok = pf::WriteFile(handle_, block_, static_cast<pf::DWORD>(fill_), &written, nullptr) != 0;
  fill_ = 0;
  if (!ok) StopTakingText(static_cast<std::int32_t>(pf::GetLastError()));
  return ok;
}

void LineFile::StopTakingText(std::int32_t code) {
  if (mode_ != Mode::kWriting) return;
  // A failure without a reason still loses text, so it must not read as success.
  write_error_ = code != 0 ? code : static_cast<std::int32_t>(pf::ERROR_IO_DEVICE);
  SetIoResult(write_error_);
}

void LineFile::StopAtFailedRead(std::string_view read_before) {
  const std::int32_t code = IoResult();
  if (mode_ == Mode::kWriting && write_error_ == 0) {
    if (Append(read_before.data(), read_before.size())) WriteOutBlock();
  }
  StopTakingText(code);
}

char* LineFile::RunRoom(std::size_t* room) {
  if (mode_ != Mode::kWriting || write_through_ || write_error_ != 0) {
    *room = 0;
    return nullptr;
  }
  *room = size_ - fill_;
  return block_ + fill_;
}

void LineFile::TookRun(std::size_t count) {
  fill_ += count;
}

platform::HANDLE LineFile::SystemCopyTarget() const {
  return mode_ == Mode::kWriting && disk_ && !write_through_ && write_error_ == 0 ? handle_
                                                                                  : nullptr;
}

void LineFile::Register() {
  if (role_ != Role::kNamed || registered_) return;
  next_pending_ = pending_outputs;
  pending_outputs = this;
  registered_ = true;
}

void LineFile::Unregister() {
  if (!registered_) return;
  for (LineFile** link = &pending_outputs; *link != nullptr; link = &(*link)->next_pending_) {
    if (*link == this) {
      *link = next_pending_;
      break;
    }
  }
  next_pending_ = nullptr;
  registered_ = false;
}

void LineFile::WriteOutAllPending() {
  for (LineFile* file = pending_outputs; file != nullptr; file = file->next_pending_) {
    if (file->mode_ == Mode::kWriting) file->WriteOutBlock();
  }
}

}  // namespace kg
