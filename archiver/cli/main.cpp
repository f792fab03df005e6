// morvik-archiver: the archiver core as a native command-line tool, for the
// host tests and the benchmark. It takes the same command lines as the
// library:
//   morvik-archiver a -tzip -mx=9 -r out.zip "dir/" "*"
// Each argument is one word of the command line (words holding blanks are
// quoted again when the line is put together), or, with --line, the whole
// command line as one argument:
//   morvik-archiver --line 'a -tzip "out.zip" "dir/" *'
// The report goes to standard output; the exit code is the result code.
// MORVIK_RUNNING_LIMIT=N in the environment lets at most N worker threads
// run at once (see RunningLimit); the benchmark's thread scaling uses it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/run.h"
#include "core/workers.h"

int main(int argc, char** argv) {
  std::string line;
  if (argc == 3 && std::string(argv[1]) == "--line") {
    line = argv[2];
  } else {
    for (int i = 1; i < argc; ++i) {
      const std::string w = argv[i];
      if (i > 1) line.push_back(' ');
      const bool quote = i > 1 && (w.empty() || w.find_first_of(" \t") != std::string::npos);
      if (quote) line.push_back('"');
      for (char c : w)
        if (c != '"') line.push_back(c);
      if (quote) line.push_back('"');
    }
  }
  if (const char* limit = std::getenv("MORVIK_RUNNING_LIMIT")) arc::RunningLimit() = std::atoi(limit);
  arc::Report report;
  const arc::Result rc = arc::Run(line, report);
  std::fwrite(report.text.data(), 1, report.text.size(), rc == arc::kOk ? stdout : stderr);
  return static_cast<int>(rc);
}
