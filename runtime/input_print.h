// The print of a named input read unheld: what its let-go compares where no hold keeps writers out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/platform/platform.h"
#include "runtime/text_print.h"

namespace kg {

// An input that the system does not hold against writers is verified by its bytes. They are
// printed as they are read (TextPrint), from the open on; the count of the whole text from the
// first byte keeps the print of the whole file; the merge, after the rewind, prints what it reads
// again. At the let-go the print of what the merge read, with the rest of the file read up to one
// byte past the counted length, must be the count's, and the merge must not have met the end of
// the data before that length: a file cut while the merge read it and put back before the let-go
// has the counted bytes again, but the merge read fewer. What a print cannot see: a change undone
// before its bytes are read again, and one that gives the same 64-bit value by chance.
//
// A print follows the reads of one open file through its handle; it never reads by itself but
// where asked to (KeepCounted, ReadAgainAgrees), then at file offsets, without moving the reader.
class InputPrint {
 public:
  // What the let-go of an input verifies its text by.
  enum class Check {
    kStamp,       // not printed (held, or not a named input), or not read again since a count of
                  // its whole text: its size and modification time, as for a held input
    kPrint,       // read again since that count: the print (ReadAgainAgrees), after its size
    kNotCounted,  // the text read is not the one counted, whatever the file holds now: bytes were
                  // passed by unread, so no print can follow them, or the merge met the end of
                  // the data before the counted length
  };

  // Nothing is printed: a held input, a console stream, a file opened for writing.
  void Stop();
  // Prints a named input just opened unheld, from its first byte.
  void Start();
  // The input is read again from its first byte: its bytes are printed again from the first, and
  // the count's print is kept for the let-go.
  void Rewind();
  // True while the bytes read are printed.
  bool on() const { return on_; }
  // A count starts: the print of an earlier count is no longer the text's.
  void ForgetCount() { counted_ = rewound_ = false; }

  // Takes the `count` bytes just read at file offset `at`: each offset once, so that bytes printed
  // already (the rest read past a byte 26) are not taken again. A gap (bytes passed by unread)
  // leaves the print unable to tell of the text: a count then keeps no print, and the let-go
  // fails (Check::kNotCounted) unless a rewind comes first, after which the bytes are printed
  // anew from the first.
  void Take(const char* bytes, std::size_t count, std::uint64_t at);
  // A read at file offset `at` gave no byte: the end of the data.
  void EndOfData(std::uint64_t at);
  // What KeepCounted did.
  enum class Kept {
    kKept,        // the count's print is kept for the let-go
    kNotPrinted,  // nothing to keep: not printed, or bytes were passed by unread since the print
                  // started or was rewound (the let-go fails unless a rewind comes first)
    kReadFailed,  // a read of the rest failed; its code is stored
  };
  // At the end of a count from the first byte that read the whole text: keeps the print of the
  // whole file, the rest behind a byte 26 read through `file` for the print only (none when
  // `at_end_of_data`, the data having ended there).
  Kept KeepCounted(platform::HANDLE file, bool at_end_of_data);

  // How the let-go is to verify the text.
  Check CheckAtLetGo() const;
  // For Check::kPrint: prints the rest of the file through `file` up to one byte past the counted
  // length, and tells whether the print is the count's. False with the system's code stored when
  // a read fails, with 32 when the prints differ.
  bool ReadAgainAgrees(platform::HANDLE file);

 private:
  // Prints the file's bytes from where the print stands up to offset `limit` or the end of the
  // data, read at their offsets. False with the code stored when a read fails.
  bool ReadRest(platform::HANDLE file, std::uint64_t limit);

  bool on_ = false;
  bool gap_ = false;      // bytes were passed by unread since the print started or was rewound
  bool counted_ = false;  // counted_value_ and counted_length_ hold the count's print
  bool rewound_ = false;  // read again since that count
  // Where a read met the end of the data since the open or the rewind; kNowhere while none did.
  std::uint64_t ended_at_ = scan::kNowhere;
  std::uint64_t counted_value_ = 0;
  std::uint64_t counted_length_ = 0;
  TextPrint print_;
};

}  // namespace kg
