// The main sequence: from the argument check to the merged model file and the pause line.
#include "app/main_sequence.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "app/merge.h"
#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/io_result.h"
#include "runtime/line_file.h"
#include "runtime/probe.h"
#include "runtime/process.h"

namespace kg::app {

namespace {

// The model files of one run; they outlive a failure, so that the exit can still write out what
// the output holds.
struct ModelFiles {
  LineFile first{LineFile::kReadBlockSize};
  LineFile second{LineFile::kReadBlockSize};
  LineFile output;
};

ModelFiles& Files() {
  static ModelFiles files;
  return files;
}

// Ends every path that no failure ends: an empty line, the pause line, a wait for Enter, exit 0.
[[noreturn]] void Finish() {
  LineFile& out = StandardOutput();
  LineFile& in = StandardInput();
  out.EndLine();
  IoCheck();
  out.WriteText("   ... press <Enter> to continue ...");
  out.EndLine();
  IoCheck();
  ShowOutputBeforeWaiting();  // a person at a terminal sees the pause line before it waits
  IoCheck();
  in.ReadChar();
  in.SkipLine();
  IoCheck();
  NormalExit();
}

// Tells which inputs are absent, probing each afresh, in the singular or the plural.
void ReportMissingInputs(const std::string& first_name, const std::string& second_name) {
  LineFile& out = StandardOutput();
  int missing = 0;
  if (!FileIsPresent(first_name)) ++missing;
  if (!FileIsPresent(second_name)) ++missing;
  out.WriteText("File");
  out.Flush();
  IoCheck();
  out.WriteText(missing >= 2 ? "s " : " ");
  out.Flush();
  IoCheck();
  if (!FileIsPresent(first_name)) {
    out.WriteChar('<');
    out.WriteText(first_name);
    out.WriteText("> ");
    out.Flush();
    IoCheck();
  }
  if (missing >= 2) {
    out.WriteText("and ");
    out.Flush();
    IoCheck();
  }
  if (!FileIsPresent(second_name)) {
    out.WriteChar('<');
    out.WriteText(second_name);
    out.WriteText("> ");
    out.Flush();
    IoCheck();
  }
  out.WriteText(missing >= 2 ? "do " : "does ");
  out.Flush();
  IoCheck();
  out.WriteText("not exist in this directory.");
  out.EndLine();
  IoCheck();
  out.WriteText("Therefore K_Graft cannot proceed.");
  out.EndLine();
  IoCheck();
}

// Warns that an input has no marker line; the merge goes on.
void WarnMarkerMissing(MergeInput input) {
  const std::string& name =
      input == MergeInput::kFirst ? Files().first.name() : Files().second.name();
  LineFile& out = StandardOutput();
  out.WriteText("Warning: the string <@3> is not found in file ");
  out.WriteText(name);
  out.WriteChar('.');
  out.EndLine();
  IoCheck();
  out.WriteText("This is an error.");
  out.EndLine();
  IoCheck();
}

}  // namespace

void RunMainSequence() {
  LineFile& out = StandardOutput();
  LineFile& in = StandardInput();

  if (ArgumentCount() < 3) {
    static constexpr std::string_view kUsage[] = {
        "The program K_Graft must be called with 3 parameters.",
        "The first and second must be existing .mo files,",
        "and they will be merged in the third .mo file",
        "with the network specification taken from the first,",
        "and the behavior specification taken from the second file.",
        "You have not given three parameters, so the program now stops.",
    };
    for (std::string_view line : kUsage) {
      out.WriteText(line);
      out.EndLine();
      IoCheck();
    }
    Finish();
  }

  // Names are kept whole: a shortened name would probe, open and replace another file.
  const std::string first_name = ArgumentAt(1);
  const std::string second_name = ArgumentAt(2);
  const std::string output_name = ArgumentAt(3);

  if (!FileIsPresent(first_name) || !FileIsPresent(second_name)) {
    ReportMissingInputs(first_name, second_name);
    Finish();
  }

  // Only a file the user agreed to replace is replaced; an absent output is made new, so that a
  // file that takes its name meanwhile is left alone.
  const bool output_present = FileIsPresent(output_name);
  if (output_present) {
    out.WriteText("A file named <");
    out.WriteText(output_name);
    out.WriteText("> already exists in this directory.");
    out.EndLine();
    IoCheck();
    out.WriteText("If you proceed, it will be overwritten.");
    out.EndLine();
    IoCheck();
    out.WriteText("Do you wish to proceed? (Y/N): ");
    out.Flush();
    IoCheck();
    ShowOutputBeforeWaiting();  // no consent to a question the person could not see
    IoCheck();
    char answer = in.ReadChar();
    in.SkipLine();
    IoCheck();
    out.EndLine();
    IoCheck();
    if (answer != 'Y' && answer != 'y') Finish();
  }

  ModelFiles& files = Files();
  files.first.Bind(first_name);
  files.second.Bind(second_name);
  files.first.OpenForReading();
  IoCheck();
  files.second.OpenForReading();
  IoCheck();

  const std::int64_t first_count = files.first.CountLines(kSectionMarker);
  IoCheck();
  const std::int64_t second_count = files.second.CountLines(kSectionMarker);
  IoCheck();
  if (first_count != second_count) {
    // Nothing more is read: a writer of an input need not wait while the run waits for Enter. An
    // input whose text changed during its count was not counted as it is.
    files.first.VerifyAndLetGo();
    IoCheck();
    files.second.VerifyAndLetGo();
    IoCheck();
    out.WriteText("The number of lines in file <");
    out.WriteText(first_name);
    out.WriteText("> is ");
    out.WriteInteger(first_count);
    out.WriteChar(',');
    out.EndLine();
    IoCheck();
    out.WriteText("but the number of lines in file <");
    out.WriteText(second_name);
    out.WriteText("> is ");
    out.WriteInteger(second_count);
    out.WriteChar(',');
    out.EndLine();
    IoCheck();
    out.WriteText("K_Graft does not dare to go on.");
    out.EndLine();
    IoCheck();
    Finish();
  }

  files.output.Bind(output_name);
  const LineFile::Creation creation =
      output_present ? LineFile::Creation::kReplace : LineFile::Creation::kNew;
  files.first.OpenForReading();  // rewinds the file just counted to its first line
  IoCheck();
  files.second.OpenForReading();
  IoCheck();
  files.output.OpenForWriting(creation);
  IoCheck();

  MergeSections(files.first, files.second, files.output, &WarnMarkerMissing);

  // The completion line may say "created" only once the whole merge has reached the system.
  files.output.WriteOut();
  IoCheck();
  out.WriteText("K_Graft has created file ");
  out.WriteText(output_name);
  out.WriteText(", and now is ready.");
  out.EndLine();
  IoCheck();
  files.first.Close();
  IoCheck();
  files.second.Close();
  IoCheck();
  files.output.Close();
  IoCheck();
  Finish();
}

}  // namespace kg::app
