// The built program, run in a fresh directory, against transcripts built by the model.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "FileStream.hpp"
#include "RunRemove.hpp"

namespace fs = std::filesystem;

namespace {

std::string all_byte_values() {
  std::string bytes;
  for (int value = 0; value <= 255; ++value) {
    bytes += static_cast<char>(value);
  }
  return bytes;
}

// Runs the program and checks everything a user can see against `expected`.
void expect_run(const ScratchDir& dir, const Expected& expected, const std::string& what,
                const std::vector<std::string>& args = {}) {
  const RunResult run = run_remove(dir.path, args);
  EXPECT_EQ(run.exit_status, 0) << what;
  EXPECT_EQ(run.err, "") << what;
  EXPECT_TRUE(run.out == expected.transcript)
      << what << ": transcript " << first_difference(run.out, expected.transcript);
  ASSERT_TRUE(run.file_txt.has_value()) << what << ": no file.txt";
  EXPECT_TRUE(*run.file_txt == expected.file_txt)
      << what << ": file.txt " << first_difference(*run.file_txt, expected.file_txt);
}

struct InputCase {
  const char* name;
  std::string input;
};

// promise: what-a-run-does, transcript-in-order, summary-block, kept-bytes, file-c-only-read
// promise: deletes-nothing
TEST(EndToEnd, InputsGiveTheModelledTranscriptAndFileTxt) {
  const std::size_t buffer = kStreamBufferSize;
  const std::string text = "int main(void)\r\n{\treturn 0; }\n\xc3\xa9t\xc3\xa9 ";
  const InputCase cases[] = {
      {"worked example", "Hi 2\tu!\n"},
      {"empty", ""},
      {"no trailing line feed", "abc def"},
      {"only line feeds", "\n\n\n"},
      {"no letters or digits", " \t\n!?_\xff\x80"},
      {"all 256 byte values", all_byte_values()},
      {"0xFF then more data",
       "a\xff\xff"
       "b"},
      {"one below the buffer", random_bytes(buffer - 1, 1)},
      {"exactly the buffer", random_bytes(buffer, 2)},
      {"one above the buffer", random_bytes(buffer + 1, 3)},
      {"two buffers and a bit of text", random_bytes(2 * buffer + 7, 4, text)},
      // The read-back into a regular file copies through a buffer of two blocks.
      {"kept bytes one past the read-back buffer", std::string(2 * buffer + 1, 'k')},
  };
  for (const InputCase& c : cases) {
    const ScratchDir dir;
    write_file(dir / "file.c", c.input);
    expect_run(dir, model_run(c.input), c.name);
    EXPECT_EQ(read_file(dir / "file.c"), c.input) << c.name << ": file.c changed";
  }
}

// promise: byte-counts, kept-bytes
TEST(EndToEnd, SeededRandomMegabytes) {
  const ScratchDir dir;
  const std::string input = random_bytes(std::size_t{5} << 20, 20261208);
  write_file(dir / "file.c", input);
  expect_run(dir, model_run(input), "5 MiB of random bytes");
}

TEST(EndToEnd, SeededWhitespaceHeavyText) {
  const ScratchDir dir;
  const std::string input = random_bytes(std::size_t{3} << 20, 7, " \t\n\r az09AZ_.\x80\xff");
  write_file(dir / "file.c", input);
  expect_run(dir, model_run(input), "3 MiB of mostly whitespace");
}

// promise: file-c-cannot-be-opened, file-txt-created-or-emptied
TEST(EndToEnd, MissingFileCEmptiesAStaleFileTxt) {
  const ScratchDir dir;
  write_file(dir / "file.txt", "stale result of an earlier run");
  expect_run(dir, model_run(std::nullopt), "missing file.c");
}

// promise: arguments-ignored, deletes-nothing
TEST(EndToEnd, ArgumentsAreIgnored) {
  const ScratchDir dir;
  write_file(dir / "file.c", "Hi 2\tu!\n");
  expect_run(dir, model_run("Hi 2\tu!\n"), "arguments", {"--help", "-v", "file.c", ""});
}

// promise: file-txt-created-or-emptied
TEST(EndToEnd, NewFileTxtGetsTheUsualPermissions) {
  for (const auto& [umask, mode] : {std::pair{"022", 0644u}, {"000", 0666u}, {"077", 0600u}}) {
    const ScratchDir dir;
    write_file(dir / "file.c", "x");
    const RunResult run = run_shell(dir.path, std::string("umask ") + umask + "; exec \"$REMOVE\"");
    struct stat status {};
    ASSERT_EQ(::stat((dir / "file.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, mode) << "umask " << umask;
    EXPECT_EQ(run.exit_status, 0);
  }
}

// promise: file-c-read-fails
TEST(EndToEnd, UnreadableFileCReadsAsMissing) {
  // A directory opens but every read of it fails.
  const ScratchDir dir;
  fs::create_directory(dir / "file.c");
  write_file(dir / "file.txt", "old");
  expect_run(dir, model_run(std::nullopt), "directory file.c");
}

// promise: file-txt-is-file-c
TEST(EndToEnd, FileTxtNamingFileCLeavesTheInputIntact) {
  const std::string input = "keep me 42\n";
  for (const bool symbolic : {true, false}) {
    const ScratchDir dir;
    write_file(dir / "file.c", input);
    if (symbolic) {
      fs::create_symlink("file.c", dir / "file.txt");
    } else {
      fs::create_hard_link(dir / "file.c", dir / "file.txt");
    }
    const RunResult run = run_remove(dir.path);
    const Expected expected = model_run(input, ReadBack::kFileError);
    EXPECT_TRUE(run.out == expected.transcript)
        << (symbolic ? "symbolic" : "hard")
        << " link: " << first_difference(run.out, expected.transcript);
    EXPECT_EQ(read_file(dir / "file.c"), input);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
  }
}

// promise: file-txt-cannot-be-written
TEST(EndToEnd, FileTxtThatCannotBeWrittenIsNotShownAsTheResult) {
  const std::string input = "new 1\n";
  const ScratchDir dir;
  write_file(dir / "file.c", input);
  fs::create_directory(dir / "file.txt");
  const RunResult run = run_remove(dir.path);
  const Expected expected = model_run(input, ReadBack::kFileError);
  EXPECT_TRUE(run.out == expected.transcript) << first_difference(run.out, expected.transcript);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
}

// promise: file-txt-cannot-be-written
TEST(EndToEnd, ImmutableFileTxtKeepsItsOldContentOutOfTheTranscript) {
  const ScratchDir dir;
  write_file(dir / "file.c", "new 1\n");
  write_file(dir / "file.txt", "OLD");
  if (std::system(("chattr +i '" + (dir / "file.txt").string() + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "chattr +i does not work here (needs root and a file system that has it)";
  }
  const RunResult run = run_remove(dir.path);
  // Left immutable, the file would outlive the scratch directory.
  EXPECT_EQ(std::system(("chattr -i '" + (dir / "file.txt").string() + "'").c_str()), 0);
  EXPECT_EQ(run.out, model_run("new 1\n", ReadBack::kFileError).transcript);
  EXPECT_EQ(run.file_txt, "OLD");
  EXPECT_EQ(run.exit_status, 0);
}

// promise: file-txt-cannot-be-written, file-txt-unreadable
TEST(EndToEnd, FileTxtThatCannotBeWrittenOrReadBackAsAnotherUser) {
  if (!can_run_as_nobody()) {
    GTEST_SKIP() << "cannot drop privileges with setpriv here";
  }
  // Read-only keeps its old content; write-only takes the new one but cannot show it.
  for (const auto& [perms, after] :
       {std::pair{fs::perms::others_read, "OLD"}, {fs::perms::others_write, "new1"}}) {
    const ScratchDir dir;
    write_file(dir / "file.c", "new 1\n");
    write_file(dir / "file.txt", "OLD");
    fs::permissions(dir / "file.c", fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(dir / "file.txt", fs::perms::owner_read | perms);
    const RunResult run = run_remove_as_nobody(dir.path);
    EXPECT_EQ(run.out, model_run("new 1\n", ReadBack::kFileError).transcript) << after;
    EXPECT_EQ(run.file_txt, after);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
  }
}

// promise: file-txt-write-fails
TEST(EndToEnd, FullDiskIsReportedAndNeverReadBack) {
  // Small enough to be written at close, and large enough to fail during the pass.
  for (const std::size_t size : {std::size_t{10}, 3 * kStreamBufferSize}) {
    const ScratchDir dir;
    const std::string input = random_bytes(size, 11, "ab1 \n");
    write_file(dir / "file.c", input);
    fs::create_symlink("/dev/full", dir / "file.txt");
    const RunResult run = run_remove(dir.path);
    const Expected expected = model_run(input, ReadBack::kFileError);
    EXPECT_TRUE(run.out == expected.transcript)
        << size << " bytes: " << first_difference(run.out, expected.transcript);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
  }
}

// promise: file-error-line, file-c-read-fails, read-back-fails
TEST(EndToEnd, ReadErrorsEndThePassWithFileError) {
  const std::string input = random_bytes(3 * kStreamBufferSize, 5, "xy \t\n");
  const std::string& preload = kFaultPreload;
  {
    const ScratchDir dir;
    write_file(dir / "file.c", input);
    const std::size_t cut = kStreamBufferSize + 100;
    const RunResult run =
        run_remove(dir.path, {}, {preload, "REMOVE_FAULT=read:file.c:" + std::to_string(cut)});
    const std::string expected = model_cut_short(input.substr(0, cut));
    EXPECT_TRUE(run.out == expected) << "file.c: " << first_difference(run.out, expected);
    EXPECT_EQ(run.exit_status, 0);
  }
  {
    const ScratchDir dir;
    write_file(dir / "file.c", input);
    const RunResult run = run_remove(dir.path, {}, {preload, "REMOVE_FAULT=read:file.txt:0"});
    const std::string expected = model_run(input, ReadBack::kFileError).transcript;
    EXPECT_TRUE(run.out == expected) << "file.txt: " << first_difference(run.out, expected);
    EXPECT_EQ(run.file_txt, model_run(input).file_txt) << "file.txt itself is whole";
    EXPECT_EQ(run.exit_status, 0);
  }
}

// promise: closed-standard-descriptors
TEST(EndToEnd, ClosedStandardDescriptorsNeverReceiveTheFiles) {
  // The preload ends the run with status 99 if a file is read or written through 0-2; without
  // /dev/null nothing can fill those first.
  const std::string input = "int x = 1;\n";
  const std::string& preload = kFaultPreload;
  for (const char* devnull : {"", "REMOVE_FAULT=open:null:0 "}) {
    for (const char* closing : {"0<&-", "1>&-", "2>&-", "0<&- 1>&-", "0<&- 1>&- 2>&-"}) {
      const ScratchDir dir;
      write_file(dir / "file.c", input);
      const std::string what = std::string(devnull) + closing;
      const RunResult run =
          run_shell(dir.path, "exec env " + preload + " " + devnull + "\"$REMOVE\" " + closing);
      EXPECT_EQ(run.file_txt, model_run(input).file_txt) << what;
      EXPECT_EQ(read_file(dir / "file.c"), input) << what;
      EXPECT_EQ(run.exit_status, 0) << what;
      if (std::string(closing).find('1') == std::string::npos) {
        EXPECT_EQ(run.out, model_run(input).transcript) << what;
      }
    }
  }
}

// promise: stdout-fails-quietly, endless-file-c-stops, sigpipe-sigxfsz-ignored
TEST(EndToEnd, ReaderThatGoesAwayStillGetsACompleteFileTxt) {
  const ScratchDir dir;
  const ScratchDir elsewhere;
  const std::string input = random_bytes(std::size_t{4} << 20, 9);
  write_file(dir / "file.c", input);
  const RunResult run =
      run_shell(dir.path, "{ \"$REMOVE\"; echo $? >'" + (elsewhere / "status").string() +
                              "'; } | head -c 10");
  EXPECT_EQ(run.out.size(), 10u);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(elsewhere / "status"), "0\n");
  EXPECT_TRUE(run.file_txt == model_run(input).file_txt);
}

}  // namespace

namespace {

// The read-back goes by sendfile into devices, and by pread and write elsewhere; either way
// every kind of standard output gets the same bytes.
// promise: transcript-in-order, read-back-fails
TEST(EndToEnd, ReadBackReachesEveryKindOfStandardOutput) {
  const std::string input = random_bytes(3 * kStreamBufferSize + 5, 12, "ab1 \t\n!");
  const std::string transcript = model_run(input).transcript;
  const std::string kept = model_kept(input);
  ASSERT_LT(kept.size(), 2 * kStreamBufferSize);
  // A raw terminal, so that line feeds come through as they are.
  const std::string pty = R"(python3 - "$REMOVE" <<'EOF'
import os, pty, subprocess, sys, tty
parent, child = pty.openpty()
tty.setraw(child)
run = subprocess.Popen(sys.argv[1:], stdout=child)
os.close(child)
out = b""
while True:
    try:
        got = os.read(parent, 1 << 16)
    except OSError:
        break
    if not got:
        break
    out += got
sys.stdout.buffer.write(out + b"status %d\n" % run.wait())
EOF
)";
  const struct {
    const char* name;
    std::string script;
    std::string out;
  } cases[] = {
      {"a pipe", "\"$REMOVE\" | cat", transcript},
      {"a file opened to append", "echo OLD > out; \"$REMOVE\" >> out; cat out",
       "OLD\n" + transcript},
      {"/dev/null", "\"$REMOVE\" > /dev/null; echo status $?", "status 0\n"},
      {"a terminal", pty, transcript + "status 0\n"},
      {"a pipe, and a read of file.txt fails",
       "env " + kFaultPreload + " REMOVE_FAULT=read:file.txt:1000 \"$REMOVE\" | cat",
       transcript.substr(0, transcript.size() - kept.size()) + kept.substr(0, 1000) +
           kFileErrorLine},
      // Fewer kept bytes than the read-back buffer holds: one short read, then the failure.
      {"a file, and a read of file.txt fails",
       "env " + kFaultPreload + " REMOVE_FAULT=read:file.txt:1000 \"$REMOVE\" > out; cat out",
       transcript.substr(0, transcript.size() - kept.size()) + kept.substr(0, 1000) +
           kFileErrorLine},
  };
  for (const auto& c : cases) {
    const ScratchDir dir;
    write_file(dir / "file.c", input);
    const RunResult run = run_shell(dir.path, c.script);
    EXPECT_TRUE(run.out == c.out) << c.name << ": " << first_difference(run.out, c.out);
    EXPECT_EQ(run.err, "") << c.name;
    EXPECT_TRUE(run.file_txt == kept) << c.name;
  }
}

}  // namespace
