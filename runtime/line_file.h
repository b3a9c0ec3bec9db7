// Line files: named text files and the two console streams, read and written through one block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/count_notes.h"
#include "runtime/input_print.h"
#include "runtime/platform/platform.h"

namespace kg {

// The shortcuts a named input takes past the normal way (one line at a time through the block),
// what each relies on, and what makes it unusable (the tier below then goes on). What the count's
// notes allow is decided in one place, CountNotes (count_notes.h), without a look at the file; the
// shortcut itself asks only what depends on the file and the output: the hold, the output's kind
// and room, and the system.
//
//   Copy inside the system (CopyInsideSystem, under CopyLinesUntil)
//     relies on: the count's notes (CountNotes::CopyEnd: the span up to the first marker line, or
//                to the text's end, with no flaw in it: a lone CR, an LF alone, an unended last
//                line); the hold against writers, so that the text is the one counted; an output
//                that is a disk file.
//     unusable:  no notes (the count did not start at the first byte, stopped at a failed read or
//                found the file unheld; Bind and every open but a rewind forget them); another
//                marker; a flaw in the span (CopyEnd gives none for these three); a span that fits
//                the output's free block room; the hold let go (VerifyAndLetGo); an output that is
//                a terminal or a pipe, or lost text; a copy the system refuses (the runs go on
//                from there, unless the output is full).
//   Seek past a counted section (SkipToCountedMarker, under SkipLinesUntil)
//     relies on: the count's notes (CountNotes::SeekTarget: where the first marker line starts)
//                and the hold.
//     unusable:  no notes, another marker, as above; a lone CR before the marker line (a line
//                read without it might start with the marker); a reader already at that line or
//                past it (SeekTarget gives none for these four); the hold let go.
//   Runs of lines (PassLinesUntil)
//     relies on: nothing of the count: a run stops before every byte that needs a look (a CR, an
//                LF alone, a line start that may hold the marker, a byte 26).
//     unusable:  never; a run goes straight into the output's block only where the output takes
//                text and is not written through (RunRoom).
//
// A hold lets the shortcuts trust the count, and every input's text, held or not, is verified
// where it is let go (VerifyAndLetGo): the system may end a hold by itself to let in a writer that
// waited, and some changes pass a hold unseen (an open for reading that empties the file) or meet
// none (a file read unheld). A held input is verified by its size and modification time and by
// whether its hold lasted; an input read unheld, which takes no shortcut, by its bytes: they are
// printed as they are read (InputPrint), and after a merge the print of the bytes read again, with
// the rest of the file, must be the count's print of the whole file, and the merge must not have
// met the end of the data before the counted length (a file cut and put back meanwhile). Either
// check fails the let-go with 32, which the merge meets after each input, and the unequal path
// before its counts. So a change to a held input, to a section copied or seeked past as to one
// read line by line, and a change to the bytes an unheld input's merge read, fail the run instead
// of a merge written from a text that was never counted.
//
// The rule that keeps this true: every input opened is let go with its check before anything is
// said of its text (the completion line, a missing-marker warning, the counts). Closing an input
// drops its hold unverified, so no path may reach its end with an input not let go; the unit
// tests check every run that reaches the completion line for it.

// The byte that ends the readable text of any line file (Ctrl-Z).
constexpr char kEndOfText = 26;

// A text file read by line or by character and written piece by piece with explicit line ends.
//
// No operation raises or returns a failure: a failing operation stores its code in the I/O result
// (io_result.h) and the caller runs the I/O check after each statement. Lines end with LF or
// CR LF when read and with CR LF when written; a lone CR is no line end; the byte 26 and the end
// of the data end the readable text. Every transfer with the system goes through the block.
// After a failed write-out the file takes no more text until it is opened again: every later
// write and write-out fails with that write-out's code and adds nothing, so what reached the
// system is always a prefix of what was written; a later close gives that code too.
class LineFile {
 public:
  enum class Mode { kUnbound, kClosed, kReading, kWriting };
  enum class Role { kNamed, kStandardInput, kStandardOutput };
  // What an open for writing does with a file of that name: replace it, or only make a new one.
  enum class Creation { kReplace, kNew };

  // The block size of the console streams, and of named files (large enough for disk speed).
  static constexpr std::size_t kConsoleBlockSize = 128;
  static constexpr std::size_t kFileBlockSize = 128 * 1024;
  // A block size for files only read: fewer, larger reads, each asking the system as much.
  static constexpr std::size_t kReadBlockSize = 256 * 1024;
  // A named file's block starts on a multiple of this, and so does every read into it that has
  // room there (see FillBlock; in a block of more than this many bytes all do, as a fill keeps at
  // most one byte, a CR): some processors copy from the system several times more slowly into an
  // address that is not one. The console streams' blocks keep their plain rules.
  static constexpr std::size_t kBlockAlignment = 64;

  // A named line file, unbound, with a block of `block_size` bytes (at least 2) that starts on a
  // multiple of kBlockAlignment.
  explicit LineFile(std::size_t block_size = kFileBlockSize);
  // One of the console streams, closed: it opens itself on first use and never closes its handle.
  explicit LineFile(Role console_role);
  ~LineFile();
  LineFile(const LineFile&) = delete;
  LineFile& operator=(const LineFile&) = delete;

  // Records the name (kept whole) and resets the file to closed with an empty block. Touches no
  // file and never fails; an open handle is abandoned, not closed. An empty name means the
  // process's standard input or output, by the direction of the open.
  void Bind(std::string_view name);

  // Opens the file by name for reading from its first byte, after closing it if it is open for
  // writing (a failure of that close is stored and the open goes on). On a named file already
  // open for reading it opens nothing: it rewinds that open file to its first byte, so that it is
  // read again whatever has since become of its name, and keeps what its count noted (the notes
  // for the shortcuts, the print of a file read unheld), for the merge that reads it again.
  // 102 when unbound, the system's code when the file cannot be opened or rewound (it is then
  // closed); a name that is no regular file (a device, a pipe) fails as a missing file does.
  void OpenForReading();
  // Closes the file first if it is open, then opens it by name for writing from empty: kReplace
  // creates the file or truncates an existing one; kNew creates it but leaves an existing regular
  // file untouched and fails with 80. A handle of unknown type is released again with 105. A
  // terminal is written through at every statement.
  void OpenForWriting(Creation creation = Creation::kReplace);

  // True when nothing but the end of the text follows; consumes nothing. True with 104 when the
  // file is not open for reading.
  bool AtEnd();
  // Reads the current line's characters up to its line end, a byte 26 or the end of the data, at
  // most `capacity` of them, into `line`; returns how many. A lone CR is dropped. The line end,
  // the byte 26 and whatever follows the capacity stay unread.
  std::size_t ReadLine(char* line, std::size_t capacity);
  // Sends the rest of the current line, whatever its length, to `output` as ReadLine would read
  // it (lone CRs dropped, the line end and a byte 26 left unread). Stops writing at the first
  // failed write, whose code is then in the I/O result. A failed read stops the copy too, and
  // `output`, its text up to the failure written out, then takes no more text.
  void CopyLineRest(LineFile& output);
  // Consumes the rest of the current line, however long, with its line end (LF or CR LF); stops
  // before a byte 26 or at the end of the data.
  void SkipLine();
  // Counts and consumes the lines from the current position to the end of the text: the number
  // of times AtEnd would be false and SkipLine run. Stops before a byte 26. Counting from the
  // first byte of a file held against writers (see KeepsWritersOut) also notes, for the shortcuts
  // (see the table above and CountNotes), where the first line starting with `marker` (at most 16
  // characters, none of them CR, LF or 26) begins and which parts of the text are canonical (CR LF
  // line ends only, the last line ended); every byte is looked at once. Counting from the first
  // byte of a named file read unheld keeps the print of the whole file instead, for its let-go:
  // the bytes after a byte 26 are read for it too, at their offsets, and stay unread.
  std::int64_t CountLines(std::string_view marker = {});
  // Copies whole lines to `output`, each ended by CR LF, up to the first line whose first
  // characters (as ReadLine reads them) are `prefix` (at most 16 characters), or to the end of
  // the text. That line's prefix is consumed, not written, and true is returned; false at the
  // end of the text. An empty prefix matches no line. Stops at the first failed write, its code
  // in the I/O result; a failed read stops it too, and `output`, its text up to the failure
  // written out, then takes no more text. Lines go in runs, not one by one; when the count noted
  // that the lines to copy are canonical, the file is held against writers, and `output` is a
  // disk file, they are copied inside the system.
  bool CopyLinesUntil(LineFile& output, std::string_view prefix);
  // As CopyLinesUntil, but the lines before the one starting with `prefix` are dropped.
  bool SkipLinesUntil(std::string_view prefix);
  // Consumes and returns the next byte; returns 26 without consuming at the end of the text.
  char ReadChar();
  // True when the file reads what a person types: its handle, open for reading, is a console (a
  // terminal; not another character device such as /dev/null). The standard input stream is
  // opened here as a read would open it; a file not open for reading sets 104 and gives false.
  bool ReadsFromTerminal();
  // A named file opened for reading is held against writers where the system can: a process
  // that has it open for writing makes the open fail with 32, and one that opens it for writing
  // meanwhile waits (for as long as the system lets it). This verifies that the file's text is
  // still the one it held at the open, held or not, then lets writers in, for a file that is no
  // longer read or while the run waits for a person; the file stays open, and from then on it is
  // read only the normal way. 32 when the text may have changed, so that what was read may not be
  // the text counted: for a held file, when its size or modification time differ from those at
  // the open or the system ended the hold to let a writer in; for a file read unheld and read
  // again since its count from the first byte, when its size differs, when a read since the
  // rewind met the end of the data before the counted length, or when the print of the bytes read
  // since the rewind, with the rest of the file read up to one byte past the counted length
  // (positionally: the reader stays where it is), differs from the count's print of the whole
  // file (a time stamp alone, as a touch changes it, does not count); for a file read unheld and
  // not read again, as for a held one; for a file read unheld whose bytes were passed by unread
  // since its open or rewind, always. The system's code when it cannot tell, cannot end the hold or
  // cannot read the rest. Checks once: nothing for a file already let go, and for a console stream.
  void VerifyAndLetGo();

  // Appends the text, after blanks up to `width` when the text is shorter.
  void WriteText(std::string_view text, int width = 0);
  // Appends one byte.
  void WriteChar(char c);
  // Appends the decimal form of `value`, after blanks up to `width` when it is shorter.
  void WriteInteger(std::int64_t value, int width = 0);
  // Appends CR LF, then runs Flush.
  void EndLine();
  // Ends a write statement that has no line end. It writes only to a terminal (a file written
  // through): there the block goes out now; on any other file (a disk file, a pipe) it writes
  // nothing, and the text waits for a full block or the close (WriteOut writes it out whatever
  // the file). 103 on a named file that is not open.
  void Flush();
  // Writes the pending text of a file open for writing out to the system now, whatever the kind
  // of file (Flush does so only for a terminal), so that a success afterwards means every byte
  // written so far has reached the system. Never opens a file: 105 when not open for writing;
  // on a failure the code is stored and the file takes no more text.
  void WriteOut();
  // Writes out pending text of a file open for writing (on failure: code stored, file stays open)
  // and releases a named file's handle. 103 when not open (the standard input excepted). A file
  // whose text was cut by an earlier failed write-out gives that code again and is released.
  void Close();

  Mode mode() const { return mode_; }
  // True when the file is open for writing and its block holds text not yet written out.
  bool HoldsPendingText() const { return mode_ == Mode::kWriting && fill_ > 0; }
  const std::string& name() const { return name_; }

  // Writes out the pending block of every named line file still open for writing, ignoring
  // failures. For the exit after a failure, so that an output keeps all the text written to it;
  // one whose write-out failed keeps just what reached the system before, nothing after the gap.
  static void WriteOutAllPending();

 private:
  // The private part, grouped by the file that defines it. Reading goes in three tiers, each
  // falling back to the one below at a line start: the copy inside the system or the seek past a
  // counted section (line_file_system_copy.cpp), runs of lines (line_file_runs.cpp), and one line
  // at a time (line_file_syntax.cpp); all of them read and write through the block of one file.

  // ---- line_file.cpp: the handle and its one block; the rule after lost text; the exit. ----
  // Opens the file in `direction`: a named one with CreateFileA and `disposition` (OPEN_EXISTING
  // for reading; CREATE_ALWAYS or CREATE_NEW for writing), a console stream by its standard
  // handle, which has none.
  void Open(Mode direction, platform::DWORD disposition);
  // Moves an open named file back to its first byte with an empty block; on failure the file is
  // closed with the system's code.
  void Rewind();
  // Makes sure the file is open for reading (the standard input opens itself); else sets 104.
  bool ReadyToRead();
  // Makes sure the file is open for writing (the standard output opens itself); else sets 105.
  bool ReadyToWrite();
  // Reads into the block behind the unread bytes, as much as it has room for. In a console
  // stream's block they move to the front. In a named file's they move so as to end on the first
  // multiple of kBlockAlignment at or past their count, where the read goes, when the block has
  // room behind it (else to the front): so the read lands on an aligned address, and with a block
  // size that is a multiple of kBlockAlignment, a full read that started on an aligned file
  // offset leaves the next one on an aligned offset too. False at the end of the data (the end
  // mark is then set) or on a failure (code stored).
  bool FillBlock();
  // The file offset of the next unread byte.
  std::uint64_t Offset() const { return read_offset_ - (fill_ - position_); }
  // A write of raw bytes (no blank fill). False when they could not all be written.
  bool WriteBytes(const char* bytes, std::size_t count);
  // WriteBytes for a run of lines; a terminal gets it at once.
  bool WriteRun(const char* bytes, std::size_t count);
  // Appends bytes, writing each full block out at once. False when a write-out failed (the rest
  // of the bytes are then dropped).
  bool Append(const char* bytes, std::size_t count);
  // Writes the block out; the block is empty afterwards either way. False on failure.
  bool WriteOutBlock();
  // Text meant for this file was lost (a failed write-out or copy): stores `code` (1117 for none)
  // in the I/O result, and from now on the file takes no more text until it is opened again.
  // Nothing when the file is not open for writing.
  void StopTakingText(std::int32_t code);
  // A read failed, its code in the I/O result, inside a line being copied here: the text written
  // so far and `read_before` (read but not yet written) go out now, and then the file takes no
  // more text, so that no line end or later line follows the cut. The I/O result keeps the code.
  void StopAtFailedRead(std::string_view read_before = {});
  // The seam through which a reader writes a run of lines into this file's block: where the run
  // may go and how much room there is (null and no room unless the file is open for writing,
  // takes text and is not written through), then how many bytes it put there.
  char* RunRoom(std::size_t* room);
  void TookRun(std::size_t count);
  // The handle that a copy inside the system may write to: that of a disk file open for writing
  // (no terminal, no pipe); null otherwise.
  platform::HANDLE SystemCopyTarget() const;
  void Register();
  void Unregister();

  // ---- line_file_runs.cpp: runs of lines up to a marker line. ----
  // Moves run by run to the first line starting with `prefix` (consuming just the prefix) or
  // the end of the text, writing every line passed to `output` when it is not null.
  bool PassLinesUntil(LineFile* output, std::string_view prefix);

  // ---- line_file_system_copy.cpp: the tier below runs, where the count's notes allow it. ----
  // Copies inside the system, from here (a line start), the lines that notes_.CopyEnd allows for
  // `prefix`, when the file is still held and the output is a disk file that the span does not fit
  // into the free room of its block. True when the rest of the lines may go the normal way from
  // where the copy stopped (at a line start); false with the code stored when it failed.
  bool CopyInsideSystem(LineFile& output, std::string_view prefix);
  // Moves from here (a line start) to where notes_.SeekTarget allows for `prefix`, the start of
  // the line starting with it, when the file is still held. False with the code stored when the
  // move fails.
  bool SkipToCountedMarker(std::string_view prefix);

  // ---- line_file_hold.cpp: the hold against writers and the let-go. ----
  // True while the file is open for reading and its open took a hold against writers that has
  // not been let go. The system may have ended the hold since: VerifyAndLetGo finds that.
  bool KeepsWritersOut();

  // ---- The state: of the handle and the block (line_file.cpp), and the count's notes. ----
  Role role_;
  Mode mode_;
  std::string name_;
  platform::HANDLE handle_ = nullptr;
  bool standard_handle_ = false;  // taken from GetStdHandle: never closed
  bool write_through_ = false;
  std::int32_t write_error_ = 0;   // the code of the first failed write-out since the open
  bool end_of_data_ = false;       // the data ended right after block_[fill_ - 1]
  bool disk_ = false;              // open for writing a disk file (no terminal, no pipe)
  std::uint64_t read_offset_ = 0;  // bytes read from the handle since the open
  // What the count from the first byte noted (see CountLines); kept by a reopen for reading, which
  // rewinds the same open file, and forgotten by Bind and every other open.
  CountNotes notes_;
  // A named input read unheld: the print of its bytes as they are read (FillBlock), from the open
  // or the rewind on, and the count's, for its let-go.
  InputPrint print_;
  std::size_t size_;
  std::size_t fill_ = 0;
  std::size_t position_ = 0;
  char* block_;  // a named file's: the first multiple of kBlockAlignment in owned_block_
  std::unique_ptr<char[]> owned_block_;  // size_ bytes and the room to align them
  char console_block_[kConsoleBlockSize];
  LineFile* next_pending_ = nullptr;  // list of named files open for writing
  bool registered_ = false;
};

}  // namespace kg
