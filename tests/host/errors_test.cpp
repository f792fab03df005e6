// Every failing command: a non-zero result, a report naming the cause, no
// temporary file left behind, and an existing file at the archive path left
// byte for byte as it was.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "core/fileio.h"
#include "core/types.h"
#include "test_util.h"

using namespace testutil;

namespace {

class ErrorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeSampleTree(dir / "src");
    archive = dir / "out.zip";
    ASSERT_TRUE(RunLine("a -tzip \"" + archive.string() + "\" \"" + (dir / "src").string() + "/\" *").ok());
    original = ReadFile(archive);
    names = TreeNames(dir.path());
  }
  // Runs a failing line; checks the code, the report and that nothing changed.
  void ExpectFailure(const std::string& line, arc::Result code, const std::string& mention) {
    SCOPED_TRACE(line);
    const arc::Report r = RunLine(line);
    EXPECT_EQ(r.code, code) << r.text;
    EXPECT_NE(r.text.find(mention), std::string::npos) << r.text;
    EXPECT_EQ(ReadFile(archive), original);
    EXPECT_EQ(TreeNames(dir.path()), names);  // no temporary file, no new folder
  }
  std::string Q(const fs::path& p) { return "\"" + p.string() + "\""; }
  TempDir dir;
  fs::path archive;
  std::string original;
  std::vector<std::string> names;
};

TEST_F(ErrorsTest, BadSwitches) {
  ExpectFailure("a -tzip -mx=10 " + Q(archive) + " " + Q(dir / "src"), arc::kErrSwitch, "-mx=10");
  ExpectFailure("a -tgz " + Q(archive) + " " + Q(dir / "src"), arc::kErrSwitch, "-tgz");
  ExpectFailure("a -mfb=300 " + Q(archive) + " " + Q(dir / "src"), arc::kErrSwitch, "-mfb");
  ExpectFailure("a -v5m " + Q(archive) + " " + Q(dir / "src"), arc::kErrSwitch, "-v5m");
}

TEST_F(ErrorsTest, BadCommands) {
  ExpectFailure(" " + Q(archive) + " " + Q(dir / "src"), arc::kErrCommand, "command");
  ExpectFailure("d " + Q(archive) + " " + Q(dir / "src"), arc::kErrCommand, "\"d\"");
  ExpectFailure("", arc::kErrCommand, "command");
}

TEST_F(ErrorsTest, NothingToAdd) {
  ExpectFailure("a " + Q(archive) + " " + Q(dir / "src" / "missing.txt"), arc::kErrSourceRead, "missing.txt");
  ExpectFailure("a " + Q(archive) + " \"" + (dir / "src").string() + "/\" *.none", arc::kErrNoMatch, "*.none");
  ExpectFailure("a " + Q(archive) + " \"" + (dir / "nowhere").string() + "/\" *", arc::kErrNoMatch, "nowhere");
  // Everything of an empty folder is nothing: no update that adds nothing.
  fs::create_directories(dir / "empty");
  names = TreeNames(dir.path());
  for (const char* type : {"-tzip ", "-t7z "})
    ExpectFailure(std::string("a ") + type + Q(archive) + " \"" + (dir / "empty").string() + "/\" *", arc::kErrNoMatch,
                  "nothing to add");
}

// A source that must be in the archive but would not be: two different
// files for one entry name (the same file named twice is one entry), and
// the archive itself named as a source (which the job would otherwise
// leave out, then rewrite the file without what it held besides its
// entries).
TEST_F(ErrorsTest, SourcesThatCannotAllBeStored) {
  const std::string src = "\"" + (dir / "src").string() + "/\" ";
  WriteFile(dir / "other" / "empty.txt", "another file of the same name");
  names = TreeNames(dir.path());
  ExpectFailure("a -tzip " + Q(archive) + " " + Q(dir / "src" / "empty.txt") + " " + Q(dir / "other" / "empty.txt"),
                arc::kErrSourceRead, "empty.txt\"");
  // Names that differ only in case, side by side in a case-sensitive folder.
  WriteFile(dir / "src" / "写真" / "A.txt", "upper");
  WriteFile(dir / "src" / "写真" / "a.txt", "lower");
  names = TreeNames(dir.path());
  for (const char* type : {"-tzip ", "-t7z "}) {
    ExpectFailure(std::string("a ") + type + Q(archive) + " " + src + "*", arc::kErrSourceRead, "写真/a.txt\"");
    ExpectFailure(std::string("a ") + type + Q(archive) + " " + Q(dir / "src" / "写真"), arc::kErrSourceRead, "A.txt");
  }

  // A file that starts with a text and holds a ZIP archive after it.
  const fs::path bundle = dir / "bundle.zip";
  const std::string bytes = "#!/bin/sh\necho a self-extracting script\nexit 0\n" + original;
  WriteFile(bundle, bytes);
  for (const char* type : {"-tzip ", "-t7z "}) {
    const arc::Report r = RunLine(std::string("a ") + type + Q(bundle) + " " + Q(bundle));
    EXPECT_EQ(r.code, arc::kErrArchiveName) << r.text;
    EXPECT_NE(r.text.find("bundle.zip"), std::string::npos) << r.text;
    EXPECT_EQ(ReadFile(bundle), bytes);
  }
  // Relative to a base folder, and through another spelling of its folder.
  EXPECT_EQ(RunLine("a -tzip " + Q(bundle) + " \"" + dir.str() + "/\" bundle.zip").code, arc::kErrArchiveName);
  EXPECT_EQ(RunLine("a -tzip " + Q(bundle) + " " + Q(dir / "src" / ".." / "bundle.zip")).code, arc::kErrArchiveName);
  EXPECT_EQ(ReadFile(bundle), bytes);
}

// A file whose size changes between the look at it and its reading (here:
// a size recorded one byte off either way) fails the job instead of giving
// an entry that holds only part of it, or more than it had.
TEST_F(ErrorsTest, FilesThatChangeWhileReadFailTheJob) {
  const fs::path file = dir / "src" / "data.bin";
  const arc::FileFacts facts = arc::GetFileFacts(file);
  // Writes one entry of `source`, listed with `size`, into a new archive.
  auto update = [&](arc::Format format, int level, const fs::path& source, uint64_t size) {
    arc::Item item;
    item.name = source.filename().string();
    item.source = source;
    item.size = size;
    item.mtime = facts.mtime;
    arc::Options options;
    options.format = format;
    options.level = level;
    arc::Report report;
    const fs::path out = dir / "changed.out";
    const bool ok = format == arc::Format::kZip ? arc::UpdateZip({}, out, {item}, options, report)
                                                : arc::Update7z({}, out, {item}, options, report);
    EXPECT_FALSE(ok);
    EXPECT_EQ(report.code, arc::kErrSourceRead) << report.text;
    fs::remove(out);
    return report.text;
  };
  for (const arc::Format format : {arc::Format::kZip, arc::Format::k7z}) {
    for (const int level : {0, 9}) {
      const std::string label = std::to_string(level) + (format == arc::Format::kZip ? " zip " : " 7z ");
      for (const uint64_t size : {facts.size - 1, facts.size + 1}) {
        SCOPED_TRACE(label + std::to_string(size));
        const std::string text = update(format, level, file, size);
        EXPECT_NE(text.find("data.bin"), std::string::npos) << text;
      }
      // Gone before it was read: the job names it (and, for ZIP, says why).
      SCOPED_TRACE(label + "gone");
      const fs::path gone = dir / "src" / "gone.bin";
      const std::string text = update(format, level, gone, facts.size);
      const std::string why = format == arc::Format::kZip ? std::string(": ") + std::strerror(ENOENT) : "";
      EXPECT_NE(text.find(gone.string() + why), std::string::npos) << text;
    }
  }
}

// Pipes, sockets and devices are never opened (opening a pipe waits for a
// writer, reading a device may never end): the job fails, whether such a
// thing is deep in a folder, named as a source, or at the archive path.
// Each job runs in the command-line tool under a time limit, so that a job
// that waits fails the test instead of stopping the run.
TEST_F(ErrorsTest, PipesSocketsAndDevicesAreNeverOpened) {
  auto tool = [](const std::string& line, std::string& out) {
    return Shell("timeout 60 " + Quote(MORVIK_ARCHIVER_TOOL) + " --line " + Quote(line), &out);
  };
  const fs::path deep = dir / "src" / "写真" / "深い";
  std::vector<fs::path> specials = {deep / "pipe"};
  ASSERT_EQ(mkfifo(specials[0].c_str(), 0644), 0);
  const fs::path socketPath = deep / "socket";
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.string().size() < sizeof addr.sun_path) {
    std::strcpy(addr.sun_path, socketPath.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    specials.push_back(socketPath);
  }
  if (mknod((deep / "device").c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0) specials.push_back(deep / "device");
  const fs::path aside = dir / "aside";
  fs::create_directories(aside);
  names = TreeNames(dir.path());
  const std::string src = "\"" + (dir / "src").string() + "/\" *";
  for (const char* type : {"-tzip -mx=0 ", "-tzip ", "-t7z -mx=0 ", "-t7z "}) {
    for (const fs::path& special : specials) {
      SCOPED_TRACE(std::string(type) + special.string());
      // Only this one of its kind in the tree at a time.
      for (const fs::path& other : specials)
        if (other != special) fs::rename(other, aside / other.filename());
      std::string out;
      for (const std::string& line : {std::string("a ") + type + Q(dir / "new.zip") + " " + src,
                                      std::string("a ") + type + Q(archive) + " " + src,
                                      std::string("a ") + type + Q(archive) + " " + Q(special)}) {
        EXPECT_EQ(tool(line, out), arc::kErrSourceRead) << line << "\n" << out;
        EXPECT_NE(out.find(special.filename().string() + " is not a regular file"), std::string::npos) << out;
      }
      EXPECT_FALSE(fs::exists(dir / "new.zip"));
      EXPECT_EQ(ReadFile(archive), original);
      for (const fs::path& other : specials)
        if (other != special) fs::rename(aside / other.filename(), other);
    }
  }
  EXPECT_EQ(TreeNames(dir.path()), names);
  // At the archive path.
  const fs::path pipeArchive = dir / "pipe.zip";
  ASSERT_EQ(mkfifo(pipeArchive.c_str(), 0644), 0);
  std::string out;
  EXPECT_EQ(tool("a -tzip " + Q(pipeArchive) + " " + src, out), arc::kErrArchiveName) << out;
  EXPECT_NE(out.find("pipe.zip is not a regular file"), std::string::npos) << out;
  close(sock);
}

TEST_F(ErrorsTest, UnreadableSource) {
  if (geteuid() == 0) {
    // Root reads everything; a dangling link stands in for an unreadable file.
    fs::create_symlink(dir / "gone", dir / "src" / "link");
    names = TreeNames(dir.path());
    ExpectFailure("a " + Q(archive) + " \"" + (dir / "src").string() + "/\" *", arc::kErrSourceRead, "link");
    return;
  }
  WriteFile(dir / "src" / "secret.txt", "x");
  fs::permissions(dir / "src" / "secret.txt", fs::perms::none);
  names = TreeNames(dir.path());
  ExpectFailure("a " + Q(archive) + " \"" + (dir / "src").string() + "/\" *", arc::kErrSourceRead, "secret.txt");
}

TEST_F(ErrorsTest, NotAnArchiveOfTheRequestedType) {
  const fs::path text = dir / "notes.zip";
  WriteFile(text, "just some text, not an archive");
  names = TreeNames(dir.path());
  const std::string src = " \"" + (dir / "src").string() + "/\" *";
  for (const char* profile : {"a -tzip ", "a "}) {
    const arc::Report r = RunLine(profile + Q(text) + src);
    EXPECT_EQ(r.code, arc::kErrBadArchive) << r.text;
    EXPECT_NE(r.text.find("notes.zip"), std::string::npos);
    EXPECT_EQ(ReadFile(text), "just some text, not an archive");
    EXPECT_EQ(TreeNames(dir.path()), names);
  }
  // A 7z archive where ZIP is asked for, and a ZIP archive where 7z is.
  const fs::path seven = dir / "seven.zip";
  ASSERT_EQ(Shell("bsdtar --format 7zip -cf " + Quote(seven.string()) + " -C " + Quote((dir / "src").string()) + " ."), 0);
  const std::string sevenBytes = ReadFile(seven);
  names = TreeNames(dir.path());
  EXPECT_EQ(RunLine("a -tzip " + Q(seven) + src).code, arc::kErrBadArchive);
  EXPECT_EQ(ReadFile(seven), sevenBytes);
  ExpectFailure("a -t7z " + Q(archive) + src, arc::kErrBadArchive, "out.zip");
}

TEST_F(ErrorsTest, TruncatedAndCorruptArchives) {
  const std::string src = " \"" + (dir / "src").string() + "/\" *";
  const std::string good = original;
  for (size_t cut : {size_t{0}, size_t{1}, size_t{21}, good.size() / 2, good.size() - 23, good.size() - 1}) {
    WriteFile(archive, good.substr(0, cut));
    original = ReadFile(archive);
    ExpectFailure("a -tzip " + Q(archive) + src, arc::kErrBadArchive, "out.zip");
  }
  // One flipped byte inside a deflated entry's data: its CRC no longer fits.
  std::string bad = good;
  bad[200] = static_cast<char>(bad[200] ^ 0x55);
  WriteFile(archive, bad);
  original = bad;
  ExpectFailure("a -tzip " + Q(archive) + src, arc::kErrBadArchive, "out.zip");
}

TEST_F(ErrorsTest, ArchivePathIsAFolder) {
  fs::create_directories(dir / "folder.zip");
  names = TreeNames(dir.path());
  ExpectFailure("a " + Q(dir / "folder.zip") + " " + Q(dir / "src"), arc::kErrArchiveName, "folder.zip");
}

TEST_F(ErrorsTest, CreatedFoldersAreRemovedAgainOnFailure) {
  ExpectFailure("a " + Q(dir / "new" / "deeper" / "x.zip") + " \"" + (dir / "src").string() + "/\" *.none",
                arc::kErrNoMatch, "*.none");
  EXPECT_FALSE(fs::exists(dir / "new"));
}

TEST_F(ErrorsTest, ArchiveInsideTheFolderIsNotItsOwnInput) {
  const fs::path inside = dir / "src" / "src.zip";
  const std::string line = "a -tzip -r " + Q(inside) + " \"" + (dir / "src").string() + "/\" *";
  ASSERT_TRUE(RunLine(line).ok());
  ASSERT_TRUE(RunLine(line).ok());  // an update: the old archive is there now
  for (const auto& n : ListWithBsdtar(inside)) EXPECT_EQ(n.find(".zip"), std::string::npos) << n;
}

// A run killed while writing leaves its temporary file beside the archive;
// the next run for the same archive removes it once it is stale, and leaves
// a recent one (a job that may still be writing) and every other file alone.
TEST_F(ErrorsTest, StaleTemporaryFilesOfKilledRunsAreRemoved) {
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(2);
  const std::vector<std::string> stale = {"out.zip.mvk123.tmp", "out.zip.mvk0.tmp"};
  const std::vector<std::string> kept = {"out.zip.mvk77.tmp",     // recent
                                         "out.zip.mvkx1.tmp",     // not a number
                                         "out.zip.mvk1234567.tmp",  // not one of ours
                                         "other.zip.mvk5.tmp",    // another archive's
                                         "out.zip.mvk9.tmp.keep"};
  for (const auto& n : stale) WriteFile(dir / n, "partial");
  for (const auto& n : kept) WriteFile(dir / n, "partial");
  for (const auto& n : stale) fs::last_write_time(dir / n, old);
  for (size_t i = 1; i < kept.size(); ++i) fs::last_write_time(dir / kept[i], old);
  ASSERT_TRUE(RunLine("a -tzip \"" + archive.string() + "\" \"" + (dir / "src").string() + "/\" *").ok());
  for (const auto& n : stale) EXPECT_FALSE(fs::exists(dir / n)) << n;
  for (const auto& n : kept) EXPECT_TRUE(fs::exists(dir / n)) << n;
}

}  // namespace
