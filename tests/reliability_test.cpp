// Failures the file system can throw at a run: injected read, write and close errors, lost
// permissions, and checks that every descriptor and every byte of memory is given back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "BoundedWait.hpp"
#include "FileStream.hpp"
#include "RunRemove.hpp"

namespace fs = std::filesystem;

namespace {

// Bytes where each buffer of "file.txt" fills up: mostly letters and digits.
std::string faulted_input() {
  return random_bytes(5 * kStreamBufferSize + 123, 77, "abcXYZ019abcXYZ019 \t\n!\xc3\xa9");
}

struct Fault {
  const char* call;   // a call of tests/fault_inject.c: read, write, close, sendfile, cut, append,
                      // stall
  const char* file;   // or "stdout"
  std::size_t after;  // bytes that get through first; for stall, the writes that say EAGAIN
  int fails = 0;      // calls that fail before later ones succeed again; 0: every one
  const char* error = "";  // EINTR or EAGAIN in place of the call's own error
  bool into_pipe = false;  // standard output a pipe, not a regular file
};

// Whether the run must get past `fault` and lose nothing: a call that says "try again" a few
// times and then moves forward, or a standard output that is now ready and now not.
bool passes(const Fault& fault) {
  return std::string(fault.call) == "stall" ||
         (fault.fails > 0 && fault.fails < kMostFruitlessTries && *fault.error != '\0');
}

// What the transcript must be when `fault` strikes a run on `input`.
std::string expected_transcript(const Fault& fault, const std::string& input) {
  const std::string call = fault.call;
  const std::string file = fault.file;
  if (passes(fault)) {
    return model_run(input).transcript;
  }
  // Standard output never has a hole: after a failed write nothing more reaches it.
  if (file == "stdout") {
    return model_run(input).transcript.substr(0, fault.after);
  }
  if (call == "open") {
    return model_run(std::nullopt).transcript;
  }
  if (call == "read" && file == "file.c") {
    return model_cut_short(input.substr(0, fault.after));
  }
  if (call == "read" || call == "cut") {
    const std::string kept = model_kept(input);
    return kBannerLine + input + model_summary(input) + kBannerLine + kept.substr(0, fault.after) +
           kFileErrorLine;
  }
  // A destination sendfile cannot write to is written by the read-back's other way, from the
  // offset reached; bytes appended behind the result are not part of it.
  if (call == "sendfile" || call == "append") {
    return model_run(input).transcript;
  }
  return model_run(input, ReadBack::kFileError).transcript;
}

// promise: file-c-read-fails, file-txt-write-fails, read-back-fails, stdout-fails-quietly
// promise: try-again-bound, stdout-non-blocking, file-c-only-read, no-standard-error
// promise: exit-status-zero, file-error-line
TEST(InjectedFaults, EachFailureGivesFileErrorAfterExactlyTheBytesThatGotThrough) {
  const std::string input = faulted_input();
  // Every fault below must strike before the end of either file.
  ASSERT_GT(model_kept(input).size(), 2 * kStreamBufferSize + 1);
  std::vector<Fault> faults;
  for (const char* call : {"read", "write"}) {
    for (const char* file : {"file.c", "file.txt"}) {
      if (std::string(call) == "write" && std::string(file) == "file.c") {
        continue;  // never written
      }
      for (const std::size_t after : {std::size_t{0}, std::size_t{1000}, kStreamBufferSize,
                                      kStreamBufferSize + 1, 2 * kStreamBufferSize}) {
        faults.push_back({call, file, after});
      }
    }
  }
  faults.push_back({"close", "file.txt", 0});
  // A fault that clears again must not leave a gap: nothing is written after it.
  faults.push_back({"write", "file.txt", 1000, 1});
  faults.push_back({"write", "file.txt", kStreamBufferSize + 1, 1});
  for (const std::size_t after : {std::size_t{0}, std::size_t{1000}}) {
    faults.push_back({"sendfile", "file.txt", after});
    faults.push_back({"cut", "file.txt", after});
  }
  faults.push_back({"append", "file.txt", 1000});
  faults.push_back({"write", "stdout", 1000, 1});
  faults.push_back({"write", "stdout", kStreamBufferSize + 1000});
  // Calls that say "try again" on every try: each counts as failed after a bounded number.
  faults.push_back({"write", "stdout", 1000, 0, "EAGAIN"});
  faults.push_back({"write", "stdout", 1000, 0, "EINTR"});
  faults.push_back({"write", "file.txt", 1000, 0, "EINTR"});
  faults.push_back({"read", "file.c", 1000, 0, "EAGAIN"});
  faults.push_back({"read", "file.txt", 1000, 0, "EINTR"});
  faults.push_back({"sendfile", "file.txt", 1000, 0, "EAGAIN"});
  faults.push_back({"open", "file.c", 0, 0, "EINTR"});
  // ... and a few times only, then they move forward: nothing is lost (a read of file.txt is a
  // pread). EAGAIN into a file comes while poll finds it ready. A stall alternates real waits with
  // tries that are not: only the latter count.
  faults.push_back({"write", "stdout", 1000, 3, "EINTR"});
  faults.push_back({"write", "stdout", 1000, 3, "EAGAIN"});
  faults.push_back({"open", "file.c", 0, 3, "EINTR"});
  faults.push_back({"read", "file.c", 1000, 3, "EINTR"});
  faults.push_back({"read", "file.txt", 1000, 3, "EINTR"});
  faults.push_back({"stall", "stdout", 600});
  // The bound from both sides: one try fewer than it moves forward, as many fail.
  faults.push_back({"write", "stdout", 1000, kMostFruitlessTries - 1, "EINTR"});
  faults.push_back({"write", "stdout", 1000, kMostFruitlessTries, "EINTR"});

  // The read-back copies by pread into a regular file and into a pipe: the sendfile faults must
  // not touch either. sendfile, into a device, meets its faults in the terminal rows of the
  // hostile table.
  const std::size_t into_files = faults.size();
  for (std::size_t i = 0; i < into_files; ++i) {
    faults.push_back(faults[i]);
    faults.back().into_pipe = true;
  }

  for (const Fault& fault : faults) {
    const ScratchDir dir;
    write_file(dir / "file.c", input);
    const std::string error = *fault.error != '\0' ? std::string(":") + fault.error : "";
    const std::string fails = fault.fails > 0 ? ":fails=" + std::to_string(fault.fails) : "";
    const std::string what = std::string(fault.call) + " of " + fault.file + " after " +
                             std::to_string(fault.after) + fails + error +
                             (fault.into_pipe ? ", into a pipe" : "");
    const std::vector<std::string> env = {
        kFaultPreload, "REMOVE_FAULT=" + std::string(fault.call) + ":" + fault.file + ":" +
                           std::to_string(fault.after) + fails + error};
    const RunResult run =
        fault.into_pipe ? run_remove_into_pipe(dir.path, env) : run_remove(dir.path, {}, env);
    const std::string expected = expected_transcript(fault, input);
    EXPECT_TRUE(run.out == expected) << what << ": " << first_difference(run.out, expected);
    EXPECT_EQ(run.err, "") << what;
    EXPECT_EQ(run.exit_status, 0) << what;
    EXPECT_TRUE(read_file(dir / "file.c") == input) << what << ": file.c changed";
    // Whatever reached "file.txt" is the start of the right content, never anything else.
    const std::string file = fault.file;
    const std::string kept =
        model_kept(file == "file.c" && !passes(fault) ? input.substr(0, fault.after) : input) +
        std::string(std::string(fault.call) == "append" ? fault.after : 0, '+');
    ASSERT_TRUE(run.file_txt.has_value()) << what;
    EXPECT_TRUE(kept.starts_with(*run.file_txt)) << what;
    if (std::string(fault.call) == "write") {
      // A transcript cut short still leaves the whole result.
      EXPECT_EQ(run.file_txt->size(), file == "stdout" ? kept.size() : fault.after) << what;
    }
  }
}

// promise: file-c-cannot-be-opened
TEST(Permissions, UnreadableFileCReadsAsMissing) {
  if (!can_run_as_nobody()) {
    GTEST_SKIP() << "cannot drop privileges with setpriv here";
  }
  const ScratchDir dir;
  write_file(dir / "file.c", "secret 1\n");
  fs::permissions(dir / "file.c", fs::perms::owner_read | fs::perms::owner_write);
  // The directory must let nobody create "file.txt".
  fs::permissions(dir.path, fs::perms::all);
  const RunResult run = run_remove_as_nobody(dir.path);
  const Expected expected = model_run(std::nullopt);
  EXPECT_EQ(run.out, expected.transcript);
  EXPECT_EQ(run.file_txt, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
}

// A run in surroundings chosen to make it feed on its own output, die of a limit, lose "file.c"
// or show another file's bytes as its result. Each script runs in a directory holding "file.c";
// $T bounds the time of a run, and every file a run writes is bounded in size, so a run that
// would never end ends all the same. `bounded COMMAND` runs a command so, with its process ID in
// "pid", R runs the program so, and `await PATTERN` waits until that process sleeps in a
// matching wait channel. `held COMMAND` runs a command so while the shell holds the lock on
// "file.txt", and lets go once the command is seen sleeping between two tries (in $AWAIT, and
// $HOLD seconds after that, to see the wait last); $SIGNALS is a
// launcher that hands the program SIGALRM blocked and pending ("blocked"), or ignored with an
// interval timer running ("ignored"), as a caller may: both survive exec.
struct HostileCase {
  const char* name;
  std::string input;  // "file.c"
  std::string script;
  std::string out;  // what the script prints
  // Each file afterwards, nullopt where it must not be a readable regular file.
  std::vector<std::pair<std::string, std::optional<std::string>>> files;
  bool as_nobody = false;
  bool plain_build_only = false;  // an emulator or the sanitizers need more than it allows
  bool mounts = false;            // needs a mount namespace of its own (root)
};

#if defined(REMOVE_SANITIZED)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const char* const kHostilePrelude =
    "ulimit -f 262144; export T='timeout -s KILL 20'\n"
    "bounded() { $T sh -c 'echo $$ > pid; exec \"$@\"' sh \"$@\"; }; R() { bounded \"$REMOVE\"; }\n"
    "await() { for i in $(seq 2000); do [ -s pid ] && { grep -qs \"$1\" /proc/$(cat pid)/wchan || "
    "! [ -e /proc/$(cat pid) ]; } && return; sleep 0.01; done; }\n"
    "held() { exec 9>> file.txt; flock 9; (exec 9>&-; bounded \"$@\" > out) & "
    "await ${AWAIT:-nanosleep}; sleep ${HOLD:-0}; exec 9>&-; wait $!; echo status $?; cat out; }\n"
    "SIGNALS='import os, signal, sys\n"
    "if sys.argv[1] == \"blocked\":\n"
    "    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})\n"
    "    signal.raise_signal(signal.SIGALRM)\n"
    "else:\n"
    "    signal.signal(signal.SIGALRM, signal.SIG_IGN)\n"
    "    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)\n"
    "os.execv(sys.argv[2], sys.argv[2:])'\n";

// `lease NAME [SECONDS]` holds a lease on the file until the lease is broken (the kernel signals
// SIGIO) and SECONDS more have passed, 60 s at most if it is never broken, and returns once it
// holds it (or has died).
const char* const kLeaseHolder = R"(lease() {
python3 - "$1" "${2:-0}" <<'EOF' &
import fcntl, os, signal, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY)
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGIO})
fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK)
open("held." + sys.argv[1], "w").close()
signal.sigtimedwait({signal.SIGIO}, 60)
time.sleep(float(sys.argv[2]))
fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
EOF
for i in $(seq 2000); do { [ -e held.$1 ] || ! kill -0 $! 2>/dev/null; } && return; sleep 0.01; done; }
)";

// Runs the program with standard output a sequenced-packet socket, and prints what came through.
const char* const kPacketReader = R"($T python3 - "$REMOVE" <<'EOF'
import socket, subprocess, sys
ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
# Small enough that a block of the transcript is too large for one message.
theirs.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 32768)
run = subprocess.Popen(sys.argv[1:], stdout=theirs)
theirs.close()
out = b""
while message := ours.recv(1 << 20):
    out += message
sys.stdout.buffer.write(out + b"status %d\n" % run.wait())
EOF
)";

// `terminal link|none COMMAND` runs the command with standard output a terminal in raw mode
// (with "link", "file.txt" a link to it), and prints what came through.
const char* const kTerminalReader = R"(terminal() {
$T python3 - "$@" <<'EOF'
import os, pty, subprocess, sys, tty
ours, theirs = pty.openpty()
tty.setraw(theirs)
if sys.argv[1] == "link":
    os.symlink(os.ttyname(theirs), "file.txt")
run = subprocess.Popen(sys.argv[2:], stdout=theirs)
os.close(theirs)
out = b""
try:
    while chunk := os.read(ours, 1 << 16):
        out += chunk
except OSError:
    pass  # EIO: every writer has gone
sys.stdout.buffer.write(out + b"status %d\n" % run.wait())
EOF
}
)";

std::vector<HostileCase> hostile_cases() {
  const std::string input = "Hi 2\tu!\n";
  const std::string refused = model_run(input, ReadBack::kFileError).transcript;
  const std::string missing = model_run(std::nullopt).transcript;
  const std::string ok = "status 0\n";
  const std::string preload = "env " + kFaultPreload + " ";
  const auto lines = [](int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      text += "abcdefgh\n";
    }
    return text;
  };
  const std::string few_letters = random_bytes(7000, 31, " \t\n!.,;ab");
  // Fills a 64 KiB pipe just before the summary, once file.txt has been written.
  const std::string pipe_full(65386, 'a');
  // What a run prints whose standard output may be any file, and the bytes that fill a pipe
  // before it so that the run blocks at its last line.
  const std::string unknown_stdout = model_cut_short("", ReadBack::kFileError);
  // A read-back that stops after 2 bytes.
  const std::string read_back_cut =
      kBannerLine + input + model_summary(input) + kBannerLine + "Hi" + kFileErrorLine;
  const std::size_t last_line_blocks = 65536 - (unknown_stdout.size() - kFileErrorLine.size());
  return {
      // promise: stdout-is-file-txt
      {"stdout is file.txt",
       input,
       "$T \"$REMOVE\" > file.txt; echo status $?",
       ok,
       {{"file.txt", refused}, {"file.c", input}}},
      // Through an open file the shell keeps: the run's lock must not outlive the run, also
      // one killed before its end.
      // promise: stdout-is-file-txt, stdout-file-txt-locked
      {"stdout appends to file.txt",
       input,
       "echo OLD > file.txt; exec 3>> file.txt; $T \"$REMOVE\" >&3; echo status $?; "
       "flock -n file.txt echo unlocked; { bounded " +
           preload +
           "REMOVE_FAULT=pause:file.c:0 \"$REMOVE\" >&3; } 2> /dev/null & "
           "await do_signal_stop; kill -KILL $(cat pid); wait; flock -n file.txt echo unlocked",
       ok + "unlocked\nunlocked\n",
       {{"file.txt", "OLD\n" + refused + kBannerLine}, {"file.c", input}}},
      // promise: stdout-is-file-txt
      {"stdout opened read-write on file.txt",
       input,
       "$T \"$REMOVE\" 1<> file.txt; echo status $?",
       ok,
       {{"file.txt", refused}}},
      // promise: stdout-is-file-c, file-c-only-read
      {"stdout appends to file.c",
       input,
       "$T \"$REMOVE\" >> file.c; echo status $?",
       ok,
       {{"file.c", input + model_cut_short("")}, {"file.txt", ""}}},
      // promise: stdout-is-file-c
      {"stdout is file.c",
       input,
       "$T \"$REMOVE\" > file.c; echo status $?",
       ok,
       {{"file.c", model_cut_short("")}, {"file.txt", ""}}},
      // promise: identity-unknown
      {"stdout appends to file.c, and its fstat fails",
       input,
       "$T " + preload + "REMOVE_FAULT=fstat:stdout:0 \"$REMOVE\" >> file.c; echo status $?",
       ok,
       {{"file.c", input + model_cut_short("", ReadBack::kFileError)}, {"file.txt", ""}}},
      // promise: stdout-is-file-c
      {"file.c is the stdout pipe",
       input,
       "rm file.c; ln -s /dev/stdout file.c; { $T \"$REMOVE\"; echo status $? > st; } | cat; cat "
       "st",
       model_cut_short("") + ok,
       {{"file.txt", ""}}},
      // promise: stdout-is-file-c
      {"stdout on another tmpfs, its inode number that of file.c",
       input,
       "mkdir a b; unshare -m sh -c 'mount -t tmpfs t a && mount -t tmpfs t b && cd a && "
       "cp ../file.c . && $T \"$REMOVE\" > ../b/out; echo status $?; "
       "[ $(stat -c %i file.c) = $(stat -c %i ../b/out) ] && echo same inode; cat ../b/out'",
       ok + "same inode\n" + model_run(input).transcript,
       {{"file.c", input}},
       false,
       false,
       true},
      // promise: file-txt-write-fails, sigpipe-sigxfsz-ignored
      {"file.txt grows past the file size limit",
       lines(20000),
       "{ prlimit --fsize=1000 $T \"$REMOVE\"; echo status $? > status; } | cat; cat status",
       model_run(lines(20000), ReadBack::kFileError).transcript + ok,
       {{"file.txt", model_kept(lines(20000)).substr(0, 1000)}, {"file.c", lines(20000)}}},
      // promise: stdout-fails-quietly, sigpipe-sigxfsz-ignored
      {"stdout reaches the file size limit",
       few_letters,
       "prlimit --fsize=4096 $T \"$REMOVE\" > out; echo status $?; cat out",
       ok + model_run(few_letters).transcript.substr(0, 4096),
       {{"file.txt", model_kept(few_letters)}, {"file.c", few_letters}}},
      // promise: fixed-memory
      {"little memory",
       input,
       "echo OLD > file.txt; prlimit --data=409600 $T \"$REMOVE\"; echo status $?",
       model_run(input).transcript + ok,
       {{"file.txt", "Hi2u"}},
       false,
       true},
      // Both names lead to the target through symbolic links, so only stat, not lstat, sees
      // that they are one file.
      // promise: unopenable-file-c-linked
      {"unopenable file.c and file.txt, links to one file",
       input,
       "mv file.c target; chown 65534 target; chmod 200 target; ln -s target file.c; "
       "ln -s target file.txt; $T setpriv --reuid=65534 --regid=65534 --clear-groups \"$REMOVE\"; "
       "echo status $?",
       model_run(std::nullopt, ReadBack::kFileError).transcript + ok,
       {{"target", input}},
       true},
      // A file behind a link that nobody may follow may still be file.txt under another name.
      // promise: identity-unknown
      {"file.c a link into a directory nobody may search, file.txt a hard link to its file",
       input,
       "mkdir d; mv file.c d/f; chmod 666 d/f; chmod 700 d; ln -s d/f file.c; ln d/f file.txt; "
       "$T setpriv --reuid=65534 --regid=65534 --clear-groups \"$REMOVE\"; echo status $?",
       model_run(std::nullopt, ReadBack::kFileError).transcript + ok,
       {{"file.txt", input}},
       true},
      // promise: file-txt-unreadable
      {"new file.txt unreadable to its creator",
       input,
       "umask 0444; $T setpriv --reuid=65534 --regid=65534 --clear-groups \"$REMOVE\"; "
       "echo status $?",
       model_run(input).transcript + ok,
       {{"file.txt", "Hi2u"}, {"file.c", input}},
       true},
      // Only a regular file is read back: a device holds nothing to show.
      // promise: file-txt-not-regular
      {"file.txt on /dev/full, no file.c",
       "",
       "rm file.c; ln -s /dev/full file.txt; $T \"$REMOVE\"; echo status $?",
       model_run(std::nullopt, ReadBack::kFileError).transcript + ok,
       {{"file.txt", std::nullopt}}},
      // promise: file-txt-not-regular
      {"file.txt on /dev/full, empty file.c",
       "",
       "ln -s /dev/full file.txt; $T \"$REMOVE\"; echo status $?",
       model_run("", ReadBack::kFileError).transcript + ok,
       {{"file.c", ""}}},
      // promise: file-txt-not-regular
      {"file.txt on /dev/zero, no letters",
       "!?\n",
       "ln -s /dev/zero file.txt; $T \"$REMOVE\"; echo status $?",
       model_run("!?\n", ReadBack::kFileError).transcript + ok,
       {{"file.c", "!?\n"}}},
      // promise: file-txt-not-regular
      {"file.txt on /dev/zero",
       input,
       "ln -s /dev/zero file.txt; $T \"$REMOVE\"; echo status $?",
       refused + ok,
       {{"file.c", input}}},
      // promise: identity-unknown
      {"fstat of file.c fails, file.txt a hard link",
       input,
       "ln file.c file.txt; { $T " + preload +
           "REMOVE_FAULT=fstat:file.c:0 \"$REMOVE\"; "
           "echo status $? > status; } | cat; cat status",
       model_cut_short("", ReadBack::kFileError) + ok,
       {{"file.c", input}}},
      // promise: file-txt-cannot-be-written, fifo-open-never-waits
      {"file.txt a FIFO without a reader",
       input,
       "mkfifo file.txt; $T \"$REMOVE\"; echo status $?",
       refused + ok,
       {{"file.c", input}}},
      // The reader gets the kept bytes; the run takes none of them back.
      // promise: file-txt-not-regular
      {"file.txt a FIFO with a reader",
       input,
       "mkfifo file.txt; bounded cat file.txt > got & await partner; bounded " + preload +
           "\"$REMOVE\"; echo status $?; wait",
       refused + ok,
       {{"file.c", input}, {"got", "Hi2u"}}},
      // The lock another process holds on the FIFO guards no result: the reader gets its bytes.
      // promise: file-txt-not-regular, only-regular-file-txt-locked
      {"file.txt a FIFO, locked by its reader",
       input,
       "mkfifo file.txt go done; python3 -c 'import fcntl, os\n"
       "fd = os.open(\"file.txt\", os.O_RDONLY | os.O_NONBLOCK); fcntl.flock(fd, fcntl.LOCK_EX)\n"
       "open(\"go\", \"w\").close(); open(\"done\").read(); os.write(1, os.read(fd, 99))' & "
       ": < go; $T \"$REMOVE\"; echo status $?; : > done; wait",
       refused + ok + "Hi2u",
       {{"file.c", input}}},
      // promise: file-txt-not-regular
      {"file.txt on /dev/null",
       input,
       "ln -s /dev/null file.txt; $T \"$REMOVE\"; echo status $?",
       refused + ok,
       {{"file.c", input}}},
      // The run is held on a full pipe after writing file.txt, which is then made a link to
      // another file; the result shown is still what the run wrote.
      // promise: read-back-through-open-file
      {"file.txt made a link to a secret during the run",
       pipe_full,
       "printf 'TOP SECRET\\n' > secret; mkfifo go; "
       "{ R; echo status $? > st; } | { : < go; cat; } > out & await pipe_write; "
       "ln -sf secret file.txt; : > go; wait; cat out st",
       model_run(pipe_full).transcript + ok,
       {{"file.c", pipe_full}, {"file.txt", "TOP SECRET\n"}}},
      // The writer connects at once but writes only once the run waits in its read.
      // promise: wait-for-the-other-end
      {"FIFO file.c whose writer writes late",
       input,
       "rm file.c; mkfifo file.c; exec 3<> file.c; { R; echo status $? > st; } 3>&- > out & "
       "await pipe_read; printf 'Hi 2\\tu!\\n' >&3; exec 3>&-; wait; cat out st",
       model_run(input).transcript + ok,
       {{"file.txt", "Hi2u"}}},
      // promise: lease-wait
      {"leases on file.c and file.txt",
       input,
       "echo OLD > file.txt; " + std::string(kLeaseHolder) +
           "lease file.c; lease file.txt; $T \"$REMOVE\"; echo status $?; wait",
       model_run(input).transcript + ok,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // promise: lease-wait, lease-break-time
      {"leases on file.c and file.txt, no /proc",
       input,
       "echo OLD > file.txt; " + std::string(kLeaseHolder) +
           "lease file.c; lease file.txt 3; unshare -m sh -c 'umount -l /proc && exec $T "
           "\"$REMOVE\"'; echo status $?; wait",
       model_run(input).transcript + ok,
       {{"file.c", input}, {"file.txt", "Hi2u"}},
       false,
       true,
       true},
      // The run finds "file.txt" empty, then the lock's holder writes to it: emptied anyway.
      // promise: file-txt-created-or-emptied
      {"empty file.txt written by the lock's holder meanwhile",
       input,
       ": > file.txt; exec 9>> file.txt; flock 9; (exec 9>&-; R > out) & await nanosleep; "
       "echo an older and longer result >&9; exec 9>&-; wait $!; echo status $?; cat out",
       ok + model_run(input).transcript,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // Also into standard output file.txt: the transcript, with nowhere else to go, is dropped.
      // promise: lock-held-too-long, stdout-file-txt-unlocked
      {"file.txt locked by the caller, and so is standard output file.txt",
       input,
       "echo OLD > file.txt; ( flock 9; $T \"$REMOVE\"; echo status $?; "
       "$T \"$REMOVE\" >> file.txt; echo status $? ) 9>> file.txt",
       refused + ok + ok,
       {{"file.c", input}, {"file.txt", "OLD\n"}}},
      // The run whose standard output may be file.txt holds the lock through its last line:
      // blocked on a full pipe there, it keeps a second run waiting (still there once it sleeps
      // between two tries), whose result is then whole.
      // promise: unknown-stdout-waits-for-lock, two-runs-apart
      {"stdout of unknown identity, blocked at its last line, keeps another run waiting",
       input,
       "echo OLD > file.txt; mkfifo go; { head -c " + std::to_string(last_line_blocks) +
           " /dev/zero; bounded " + preload +
           "REMOVE_FAULT=fstat:stdout:0 \"$REMOVE\"; } | { : < go; cat > a.out; } & "
           "await pipe_write; R > b.out & await nanosleep; kill -0 $(cat pid) && echo waits; "
           ": > go; wait; cat b.out; tail -c " +
           std::to_string(unknown_stdout.size()) + " a.out",
       "waits\n" + model_run(input).transcript + unknown_stdout,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // A file.txt removed or replaced as the run opens it for the lock is no longer standard
      // output: there is nothing to wait for.
      {"stdout appends to file.txt, which is removed, then replaced, as the run opens it",
       input,
       "for new in : 'echo NEW > file.txt'; do rm -f pid; echo OLD > file.txt; bounded " + preload +
           "REMOVE_FAULT=pause:file.txt:0 \"$REMOVE\" >> file.txt & await do_signal_stop; "
           "mv file.txt old.txt; eval \"$new\"; kill -CONT $(cat pid); wait $!; "
           "echo status $?; cat old.txt; done",
       ok + "OLD\n" + model_run(input).transcript + ok + "OLD\n" + model_run(input).transcript,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // Locked through a write-only open where it may not be read, which leaves it as it was.
      // promise: stdout-is-file-txt
      {"stdout appends to file.txt, which nobody may read",
       input,
       "echo OLD > file.txt; chmod 622 file.txt; $T setpriv --reuid=65534 --regid=65534 "
       "--clear-groups sh -c 'exec \"$0\" >> file.txt' \"$REMOVE\"; echo status $?",
       ok,
       {{"file.c", input}, {"file.txt", "OLD\n" + refused}},
       true},
      // Without a lock no byte goes into file.txt: it may be another run's result.
      // promise: stdout-file-txt-unlocked
      {"stdout appends to file.txt, which cannot be opened for the lock",
       input,
       "echo OLD > file.txt; $T " + preload +
           "REMOVE_FAULT=open:file.txt:0 \"$REMOVE\" >> file.txt; echo status $?",
       ok,
       {{"file.c", input}, {"file.txt", "OLD\n"}}},
      // The first run holds the lock, blocked on a FIFO file.c with a block in file.txt; a second
      // run with no descriptor to spare would write over that block through standard output.
      // promise: stdout-file-txt-unlocked
      {"stdout writes into another run's file.txt, no descriptor to spare",
       "",
       "rm file.c; mkfifo file.c; exec 3<> file.c; { R > a.out; echo status $? > st; } 3>&- & "
       "await pipe_read; head -c 204800 /dev/zero | tr '\\0' a >&3; for i in $(seq 2000); do "
       "[ $(stat -c %s file.txt) -ge 131072 ] && break; sleep 0.01; done; await pipe_read; "
       "exec 4<> file.txt; dd bs=100 count=1 <&4 of=/dev/null 2> /dev/null; "
       "$T prlimit --nofile=3:3 \"$REMOVE\" <&- 3>&- >&4 4>&-; echo status $?; "
       "exec 3>&- 4>&-; wait; cat a.out st",
       ok + model_run(std::string(204800, 'a')).transcript + ok,
       {{"file.txt", std::string(204800, 'a')}},
       false,
       true},
      // A FIFO is never opened for the lock: a writer waiting in its open would wake.
      // promise: only-regular-file-txt-locked
      {"file.txt a FIFO, stdout of unknown identity",
       input,
       "mkfifo file.txt; $T " + preload +
           "REMOVE_FAULT=fstat:stdout:0 \"$REMOVE\" > out; echo status $?; cat out",
       ok + unknown_stdout,
       {{"file.c", input}}},
      // A shared lock keeps a result from being rewritten as an exclusive one does. The wait is
      // the program's own: a blocked SIGALRM does not stretch it, and a clock that stands still
      // does not make it endless.
      // promise: lock-held-too-long, waits-use-no-signal, sleeps-that-count
      {"file.txt held for ever by a shared lock, SIGALRM blocked and pending, the clock still",
       input,
       "echo OLD > file.txt; exec 9>> file.txt; flock -s 9; "
       "bounded python3 -c \"$SIGNALS\" blocked /usr/bin/" +
           preload + "REMOVE_FAULT=clock:monotonic:0 \"$REMOVE\"; echo status $?",
       refused + ok,
       {{"file.c", input}, {"file.txt", "OLD\n"}}},
      // promise: waits-use-no-signal
      {"file.txt locked until the run waits, SIGALRM blocked and pending",
       input,
       "held python3 -c \"$SIGNALS\" blocked \"$REMOVE\"",
       ok + model_run(input).transcript,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // promise: waits-use-no-signal
      {"file.txt locked until the run waits, no signal can be queued",
       input,
       "held prlimit --sigpending=0 \"$REMOVE\"",
       ok + model_run(input).transcript,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // promise: waits-use-no-signal
      {"file.txt locked until the run waits, SIGALRM ignored and a timer running",
       input,
       "held python3 -c \"$SIGNALS\" ignored \"$REMOVE\"",
       ok + model_run(input).transcript,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // The wait lasts seconds, not as many tries: sleeps that fail, or a clock that stands
      // still, must not cut it short; and where nothing can sleep it ends rather than spin.
      // promise: sleeps-that-count
      {"file.txt locked for 3 s after the run waits, clock_nanosleep refused",
       input,
       "AWAIT=poll HOLD=3 held " + preload + "REMOVE_FAULT=sleep:nanosleep:0 \"$REMOVE\"",
       ok + model_run(input).transcript,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // promise: sleeps-that-count
      {"file.txt locked for 3 s after the run waits, the clock still",
       input,
       "HOLD=3 held " + preload + "REMOVE_FAULT=clock:monotonic:0 \"$REMOVE\"",
       ok + model_run(input).transcript,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // promise: two-runs-apart
      {"file.txt locked for 7 s after the run waits",
       input,
       "HOLD=7 held \"$REMOVE\"",
       ok + model_run(input).transcript,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // One try of the lock, and no more: a pause that did not sleep is not counted.
      // promise: sleeps-that-count
      {"file.txt locked until the run sleeps, and nothing can sleep",
       input,
       "echo OLD > file.txt; held strace -o trace -e trace=flock " + preload +
           "REMOVE_FAULT=sleep:poll:0 \"$REMOVE\"; grep -c 'flock(' trace",
       ok + refused + "1\n",
       {{"file.c", input}, {"file.txt", "OLD\n"}},
       false,
       true},
      // promise: no-locks-no-wait
      {"flock fails with ENOLCK while another process holds the lock",
       input,
       "exec 9>> file.txt; flock 9; $T " + preload +
           "REMOVE_FAULT=flock:file.txt:0 \"$REMOVE\"; echo status $?",
       model_run(input).transcript + ok,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // Neither name leads to a file, so nothing can be lost by creating or emptying file.txt.
      // promise: file-c-cannot-be-opened
      {"file.c a link loop, a link to a name too long for any file, a link through a file",
       input,
       "rm file.c; ln -s file.c file.c; echo old > file.txt; $T \"$REMOVE\"; echo status $?; "
       "cat file.txt; rm file.c; ln -s $(printf %0300d 0) file.c; echo old > file.txt; "
       "$T \"$REMOVE\"; echo status $?; cat file.txt; rm file.c; ln -s file.txt/x file.c; "
       "echo old > file.txt; $T \"$REMOVE\"; echo status $?",
       missing + ok + missing + ok + missing + ok,
       {{"file.txt", ""}}},
      // A terminal is never a loop for the echo, but may well be another file of the run.
      // promise: stdout-is-file-txt
      {"stdout a terminal, file.txt a link to it",
       input,
       std::string(kTerminalReader) + "terminal link \"$REMOVE\"",
       refused + ok,
       {{"file.c", input}}},
      // Into a device the read-back goes by sendfile; where it stops, the rest goes on from there.
      // promise: read-back-fails
      {"stdout a terminal, sendfile from file.txt fails after 2 bytes, or a read, or it ends",
       input,
       std::string(kTerminalReader) + "terminal none " + preload +
           "REMOVE_FAULT=sendfile:file.txt:2 \"$REMOVE\"; terminal none " + preload +
           "REMOVE_FAULT=sendfile:file.txt:2:EAGAIN \"$REMOVE\"; terminal none " + preload +
           "REMOVE_FAULT=read:file.txt:2 \"$REMOVE\"; terminal none " + preload +
           "REMOVE_FAULT=cut:file.txt:2 \"$REMOVE\"",
       model_run(input).transcript + ok + model_run(input).transcript + ok + read_back_cut + ok +
           read_back_cut + ok,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // promise: identity-unknown, character-device-no-loop
      {"stdout a terminal, fstat of file.c fails",
       input,
       std::string(kTerminalReader) + "terminal none " + preload +
           "REMOVE_FAULT=fstat:file.c:0 \"$REMOVE\"",
       refused + ok,
       {{"file.c", input}, {"file.txt", ""}}},
      // promise: character-device-no-loop
      {"file.c the null device, fstat of stdout fails",
       input,
       "ln -sf /dev/null file.c; $T " + preload +
           "REMOVE_FAULT=fstat:stdout:0 \"$REMOVE\"; echo status $?",
       model_run("", ReadBack::kFileError).transcript + ok,
       {{"file.txt", ""}}},
      // promise: closed-standard-descriptors
      {"stdout closed, file.c mounted on /dev/null",
       input,
       "unshare -m sh -c 'mount --bind file.c /dev/null && exec $T \"$REMOVE\" >&-'; "
       "echo status $?",
       ok,
       {{"file.c", input}, {"file.txt", "Hi2u"}},
       false,
       false,
       true},
      // Nobody takes the echo of a device that never ends: the run stops, as cat does.
      // promise: endless-file-c-stops
      {"file.c /dev/zero, the reader gone or stdout /dev/full",
       input,
       "rm file.c; ln -s /dev/zero file.c; { R; echo status $? > st; } | head -c 1000; cat st; "
       "R > /dev/full; echo status $?",
       (kBannerLine + std::string(1000, '\0')).substr(0, 1000) + ok + ok,
       {{"file.txt", ""}}},
      // A lease the kernel never breaks (a lease-break time of 0) is waited for a second, once:
      // the write-only open is not tried after it, and the time is read once.
      // promise: lease-break-time
      {"lease on file.txt let go half a second after its break, lease-break time 0",
       input,
       "echo OLD > file.txt; echo 0 > zero; " + std::string(kLeaseHolder) +
           "lease file.txt 0.5; $T " + preload +
           "REMOVE_LEASE_TIME=zero \"$REMOVE\"; echo status $?; wait",
       model_run(input).transcript + ok,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // promise: lease-wait, file-txt-cannot-be-written, proc-read-for-leases-only
      {"leases on file.c and file.txt, that on file.txt never let go, lease-break time 0",
       input,
       "echo OLD > file.txt; echo 0 > zero; " + std::string(kLeaseHolder) +
           "lease file.c; lease file.txt 60; $T strace -f -o trace -e trace=openat " + preload +
           "REMOVE_LEASE_TIME=zero \"$REMOVE\"; echo status $?; kill $!; "
           "grep -c 'file.txt.*O_WRONLY' trace; grep -c '\"zero\"' trace",
       refused + ok + "0\n1\n",
       {{"file.c", input}, {"file.txt", "OLD\n"}},
       false,
       true},
      // A lease on one file is waited for once in a run, however often the run opens it: the
      // second open of the file, for writing, tries once. With standard output that may be
      // file.txt, that open for the lock fails too, and nothing is written: there is no lock.
      // promise: lease-wait, unopenable-file-c-linked, file-c-cannot-be-opened
      {"file.txt a link to file.c, a lease on file.c never let go, lease-break time 0",
       input,
       "ln -s file.c file.txt; echo 0 > zero; " + std::string(kLeaseHolder) +
           "lease file.c 60; $T strace -f -o trace -e trace=openat " + preload +
           "REMOVE_LEASE_TIME=zero \"$REMOVE\"; echo status $?; kill $!; "
           "grep -c 'O_RDWR.*EAGAIN' trace",
       model_run(std::nullopt, ReadBack::kFileError).transcript + ok + "1\n",
       {{"file.c", input}},
       false,
       true},
      // promise: stdout-file-txt-unlocked
      {"a lease on file.txt never let go, stdout of unknown identity, lease-break time 0",
       input,
       "echo OLD > file.txt; echo 0 > zero; " + std::string(kLeaseHolder) +
           "lease file.txt 60; $T strace -f -o trace -e trace=openat " + preload +
           "REMOVE_LEASE_TIME=zero REMOVE_FAULT=fstat:stdout:0 \"$REMOVE\" > out; echo status $?; "
           "kill $!; grep -c 'O_RDWR.*EAGAIN' trace; grep -c 'file.txt.*O_WRONLY' trace; cat out",
       ok + "1\n0\n",
       {{"file.c", input}, {"file.txt", "OLD\n"}},
       false,
       true},
      // Nobody takes the transcript, so file.txt is written but not read back for nothing; into
      // a device it goes by sendfile, in one call.
      // promise: stdout-fails-quietly
      {"stdout /dev/full, a file.txt larger than a read",
       lines(40000),
       "$T strace -o trace -e trace=pread64,sendfile,write \"$REMOVE\" > /dev/full; "
       "echo status $?; sed -n '/^write(1,/,$p' trace | grep -c -E '^(pread|sendfile)'; "
       "$T strace -o trace -e trace=sendfile \"$REMOVE\" > /dev/null; grep -c '^sendfile' trace",
       ok + "0\n1\n",
       {{"file.c", lines(40000)}, {"file.txt", model_kept(lines(40000))}},
       false,
       true},
      // "file.c" saved by an editor (a new file renamed into place) while the run opens
      // file.txt, a link to it: found missing at first, it is kept apart all the same.
      // promise: file-c-looked-at-again
      {"file.c saved through the link file.txt while the run opens file.txt",
       input,
       "rm file.c; ln -s file.c file.txt; bounded " + preload +
           "REMOVE_FAULT=pause:file.txt:0 \"$REMOVE\" > out & await do_signal_stop; "
           "printf 'Hi 2\\tu!\\n' > t; mv t file.c; kill -CONT $(cat pid); wait $!; "
           "echo status $?; cat out",
       ok + model_run(std::nullopt, ReadBack::kFileError).transcript,
       {{"file.c", input}}},
      // "file.c" looked at again once the lock is had: file.txt renamed to it during the wait.
      // promise: file-c-looked-at-again
      {"file.txt renamed to a missing file.c while the run waits for its lock",
       input,
       "rm file.c; printf 'Hi 2\\tu!\\n' > file.txt; exec 9>> file.txt; flock 9; "
       "(exec 9>&-; R > out) & await nanosleep; mv file.txt file.c; exec 9>&-; wait $!; "
       "echo status $?; cat out",
       ok + model_run(std::nullopt, ReadBack::kFileError).transcript,
       {{"file.c", input}, {"file.txt", std::nullopt}}},
      // What the open for reading and writing finds is looked at, not what the name was.
      // promise: file-txt-not-regular
      {"file.txt made a link to /dev/zero as the run opens it",
       input,
       "bounded " + preload +
           "REMOVE_FAULT=pause:file.txt:0 \"$REMOVE\" > out & await do_signal_stop; "
           "ln -s /dev/zero file.txt; kill -CONT $(cat pid); wait $!; echo status $?; cat out",
       ok + refused,
       {{"file.c", input}}},
      // An empty file.txt is not emptied again, so with nothing kept it is not touched at all.
      // promise: empty-file-txt-untouched
      {"empty file.txt, no letters",
       "!?\n",
       ": > file.txt; touch -d @0 file.txt; $T \"$REMOVE\" > /dev/null; echo status $?; "
       "stat -c %Y file.txt",
       ok + "0\n",
       {{"file.c", "!?\n"}, {"file.txt", ""}}},
      // The open that fills a closed standard input is tried again after an interruption.
      // promise: closed-standard-descriptors, try-again-bound
      {"stdin closed, its open of /dev/null interrupted once",
       input,
       "$T strace -o trace -e trace=openat " + preload +
           "REMOVE_FAULT=open:null:0:fails=1:EINTR \"$REMOVE\" <&- > out; echo status $?; "
           "grep -c '\"/dev/null\"' trace; cat out",
       ok + "1\n" + model_run(input).transcript,
       {{"file.c", input}, {"file.txt", "Hi2u"}},
       false,
       true},
      // promise: stdout-packet-socket
      {"stdout a sequenced-packet socket",
       lines(40000),
       kPacketReader,
       model_run(lines(40000)).transcript + ok,
       {{"file.c", lines(40000)}}},
      // A read of standard input would take its bytes or wait for ever for more.
      // promise: no-standard-input
      {"stdin a FIFO holding bytes, its writer still there",
       input,
       "mkfifo in; exec 3<> in; printf 'stdin 9\\n' >&3; $T \"$REMOVE\" < in 3>&-; "
       "echo status $?",
       model_run(input).transcript + ok,
       {{"file.c", input}, {"file.txt", "Hi2u"}}},
      // Memory that grew with the input would pass the limit that a small input stays under.
      // promise: fixed-memory
      {"little memory, a file.c of over 4 MiB",
       lines(500000),
       "prlimit --data=409600 $T \"$REMOVE\" > /dev/null; echo status $?",
       ok,
       {{"file.txt", model_kept(lines(500000))}},
       false,
       true},
      // Creating file.txt makes file.c, which is then kept apart like any other.
      // promise: missing-file-c-made-through-link, file-txt-follows-links
      {"file.c missing, file.txt a symbolic link to it",
       input,
       "rm file.c; ln -s file.c file.txt; $T \"$REMOVE\"; echo status $?",
       model_run(std::nullopt, ReadBack::kFileError).transcript + ok,
       {{"file.c", ""}}},
      // A socket cannot be opened; an open of a FIFO does not wait; an open's EAGAIN is a lease
      // only on a regular file: here a wait for one would outlast $T.
      // promise: file-c-cannot-be-opened, fifo-open-never-waits, open-eagain
      {"file.c a socket, a FIFO without a writer, a FIFO whose open says EAGAIN",
       input,
       "rm file.c; python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"file.c\")'; "
       "echo OLD > file.txt; $T \"$REMOVE\"; echo status $?; rm file.c; mkfifo file.c; "
       "$T \"$REMOVE\"; echo status $?; echo 60 > long; $T " +
           preload +
           "REMOVE_LEASE_TIME=long REMOVE_FAULT=open:file.c:0:EAGAIN \"$REMOVE\"; "
           "echo status $?",
       missing + ok + model_run("").transcript + ok + missing + ok,
       {{"file.txt", ""}}},
      // The kernel follows 40 links in a name, and takes the 41st for a loop.
      // promise: long-link-chain
      {"file.c a chain of 41 symbolic links to file.txt's file",
       input,
       "mv file.c target; ln target file.txt; p=target; for i in $(seq 40); do ln -s $p l$i; "
       "p=l$i; done; ln -s $p file.c; $T \"$REMOVE\"; echo status $?",
       missing + ok,
       {{"target", ""}, {"file.txt", ""}}},
      // A file.txt that cannot be looked at may be standard output; unlocked, nothing goes there.
      // promise: unknown-file-txt-holds-stdout
      {"file.txt a link into a directory nobody may search, stdout a regular file or a pipe",
       input,
       "mkdir d; chmod 700 d; ln -s d/f file.txt; for to in '> out' '| cat > piped'; do "
       "$T setpriv --reuid=65534 --regid=65534 --clear-groups sh -c \"exec \\\"\\$0\\\" $to\" "
       "\"$REMOVE\"; echo status $?; done",
       ok + ok,
       {{"file.c", input},
        {"out", ""},
        {"piped", model_run(input, ReadBack::kFileError).transcript}},
       true},
  };
}

// promise: no-standard-error, exit-status-zero
TEST(Hostile, NoRunFeedsOnItsOwnOutputDiesOfALimitOrLosesFileC) {
  const bool nobody = can_run_as_nobody();
  const bool mounts = ::geteuid() == 0 && std::system("unshare -m true 2>/dev/null") == 0;
  for (const HostileCase& c : hostile_cases()) {
    if ((c.as_nobody && !nobody) || (c.mounts && !mounts)) {
      std::cout << "skipped \"" << c.name << "\": needs root, setpriv and unshare\n";
      continue;
    }
    if (c.plain_build_only && (kEmulated || kSanitized)) {
      std::cout << "skipped \"" << c.name << "\": the emulator or the sanitizers need more\n";
      continue;
    }
    const ScratchDir dir;
    write_file(dir / "file.c", c.input);
    if (c.as_nobody) {
      fs::permissions(dir.path, fs::perms::all);  // nobody may create "file.txt"
    }
    const RunResult run = run_shell(dir.path, kHostilePrelude + c.script);
    EXPECT_TRUE(run.out == c.out) << c.name << ": " << first_difference(run.out, c.out);
    EXPECT_EQ(run.err, "") << c.name;
    EXPECT_EQ(run.exit_status, 0) << c.name;
    for (const auto& [name, expected] : c.files) {
      const auto actual = read_file(dir / name);
      EXPECT_TRUE(actual == expected)
          << c.name << ": " << name << " "
          << (actual && expected ? first_difference(*actual, *expected) : "exists or not");
    }
  }
}

// The first run is held in its read-back by a reader that stops reading; meanwhile a second
// starts, its standard output `second_output`. Unless it waits for the first, it empties
// "file.txt" under the first one's read-back, or writes its transcript over it when that is its
// standard output. The first is let go once the second is seen sleeping between two tries of
// the lock.
void expect_two_runs_apart(const std::string& second_output, Channel channel = Channel::kPipe) {
  const ScratchDir dir;
  const std::string input = random_bytes(std::size_t{4} << 20, 32, "abcdefghXYZ0189");
  write_file(dir / "file.c", input);
  const Expected expected = model_run(input);
  const std::size_t pause_at = expected.transcript.size() - expected.file_txt.size() + 100000;
  const auto wait_until = [](const std::function<bool()>& done) {
    for (int wait = 0; wait < 2000 && !done(); ++wait) {
      ::usleep(10000);
    }
  };
  // Once the rest of the transcript fits in the pipe (or socket), the first can end and the second
  // then write "file.txt" while those bytes wait in the pipe: they must be copies, not its pages.
  const std::size_t last_pipeful = expected.transcript.size() - 65536;
  std::string out;
  std::string second_waited_in;
  const RunResult first = run_remove_streaming(
      dir.path,
      [&](std::string_view bytes) {
        const bool crossing = out.size() < pause_at && out.size() + bytes.size() >= pause_at;
        if (out.size() < last_pipeful && out.size() + bytes.size() >= last_pipeful) {
          wait_until([&] { return fs::exists(dir / "b.status"); });
        }
        out += bytes;
        if (crossing) {
          run_shell(dir.path, "{ \"$REMOVE\" " + second_output +
                                  " & echo $! > b.pid; wait $!; echo $? > b.status; } &");
          wait_until([&] {
            const auto pid = read_file(dir / "b.pid");
            second_waited_in =
                pid ? read_file("/proc/" + pid->substr(0, pid->find('\n')) + "/wchan").value_or("")
                    : "";
            return second_waited_in.find("nanosleep") != std::string::npos;
          });
        }
      },
      channel);
  wait_until([&] { return fs::exists(dir / "b.status"); });
  EXPECT_NE(second_waited_in.find("nanosleep"), std::string::npos) << second_waited_in;
  EXPECT_TRUE(out == expected.transcript) << first_difference(out, expected.transcript);
  EXPECT_EQ(first.exit_status, 0);
  EXPECT_EQ(first.err, "");
  // Into "file.txt" the second's transcript, longer than the first's result, is all it holds.
  const bool into_file_txt = second_output.ends_with("file.txt");
  const std::string second =
      read_file(dir / (into_file_txt ? "file.txt" : "b.out")).value_or("<none>");
  const std::string second_expected =
      into_file_txt ? model_run(input, ReadBack::kFileError).transcript : expected.transcript;
  EXPECT_TRUE(second == second_expected) << first_difference(second, second_expected);
  EXPECT_EQ(read_file(dir / "b.status"), "0\n");
  EXPECT_TRUE(read_file(dir / "file.txt") == (into_file_txt ? second : expected.file_txt));
  EXPECT_TRUE(read_file(dir / "file.c") == input);
}

// promise: two-runs-apart, stdout-file-txt-locked
TEST(Hostile, TwoRunsAtOnceDoNotMixTheirResults) {
  expect_two_runs_apart("> b.out");
  expect_two_runs_apart("1<> file.txt");
  // A socket, like a pipe, gets copies: a reference to the file's pages would show the bytes
  // the second run writes in place.
  expect_two_runs_apart("1<> file.txt", Channel::kSocket);
}

// promise: stdout-non-blocking
TEST(Hostile, FullNonBlockingPipeGetsEveryByteInOrder) {
  // The first fills the pipe exactly when the summary is due; the others need partial writes
  // resumed.
  for (const std::size_t size : {std::size_t{65486}, 3 * kStreamBufferSize + 5}) {
    const ScratchDir dir;
    const std::string input = random_bytes(size, 41, "ab \t\n9!");
    write_file(dir / "file.c", input);
    const RunResult run = run_remove_into_pipe(dir.path, {}, Channel::kFullNonBlockingPipe);
    const Expected expected = model_run(input);
    EXPECT_TRUE(run.waited_on_full_pipe) << size << ": the pipe was never full";
    EXPECT_TRUE(run.out == expected.transcript)
        << size << ": " << first_difference(run.out, expected.transcript);
    EXPECT_EQ(run.file_txt, expected.file_txt) << size;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
  }
}

// Sets up the directory for one of the runs that the descriptor checks go through.
struct Situation {
  const char* name;
  void (*prepare)(const ScratchDir&);
  bool into_file_txt = false;  // standard output appends to "file.txt"
};

// `argv` with standard output appending to "file.txt" where `situation` says so.
std::vector<std::string> with_output(const Situation& situation, std::vector<std::string> argv) {
  if (situation.into_file_txt) {
    argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$@\" >> file.txt", "sh"});
  }
  return argv;
}

const Situation kSituations[] = {
    {"normal run", [](const ScratchDir& dir) { write_file(dir / "file.c", "Hi 2\tu!\n"); }},
    {"missing file.c", [](const ScratchDir&) {}},
    {"directory file.txt",
     [](const ScratchDir& dir) {
       write_file(dir / "file.c", "abc\n");
       fs::create_directory(dir / "file.txt");
     }},
    {"file.txt linked to /dev/full",
     [](const ScratchDir& dir) {
       write_file(dir / "file.c", random_bytes(3 * kStreamBufferSize, 8, "ab "));
       fs::create_symlink("/dev/full", dir / "file.txt");
     }},
    {"file.txt linked to file.c",
     [](const ScratchDir& dir) {
       write_file(dir / "file.c", "abc\n");
       fs::create_symlink("file.c", dir / "file.txt");
     }},
    // The run reads the kernel's lease-break time, and must close that file too.
    {"a lease on file.c, let go when broken",
     [](const ScratchDir& dir) {
       write_file(dir / "file.c", "abc\n");
       run_shell(dir.path, std::string(kLeaseHolder) + "lease file.c > /dev/null 2>&1");
     }},
    // The lock on a standard output that is file.txt goes through a descriptor of its own.
    {"stdout appends to file.txt",
     [](const ScratchDir& dir) { write_file(dir / "file.c", "abc\n"); }, true},
};

TEST(Descriptors, ValgrindFindsNoLeakedDescriptorOrMemoryError) {
#if defined(REMOVE_SANITIZED)
  GTEST_SKIP() << "valgrind cannot run a program built with AddressSanitizer";
#endif
  if (kEmulated) {
    GTEST_SKIP() << "valgrind cannot run a program built for another CPU";
  }
  const auto valgrind = find_tool("valgrind");
  if (!valgrind) {
    GTEST_SKIP() << "valgrind is not installed";
  }
  for (const Situation& situation : kSituations) {
    const ScratchDir dir;
    const ScratchDir logs;
    situation.prepare(dir);
    const std::string log = (logs / "valgrind.log").string();
    const RunResult run = run_command(
        dir.path, with_output(situation, {*valgrind, "--tool=memcheck", "--track-fds=yes",
                                          "--error-exitcode=99", "--leak-check=full",
                                          "--errors-for-leak-kinds=definite,indirect",
                                          "--log-file=" + log, REMOVE_PATH}));
    const std::string report = read_file(log).value_or("");
    EXPECT_EQ(run.exit_status, 0) << situation.name << ":\n" << report;
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << situation.name;
    // Every descriptor open at exit came from the parent; one that the program opened would be
    // listed with the place it was opened instead.
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("Open file descriptor") != std::string::npos) {
        std::string next;
        std::getline(lines, next);
        EXPECT_NE(next.find("<inherited from parent>"), std::string::npos)
            << situation.name << ": leaked " << line << "\n"
            << next;
        EXPECT_TRUE(line.find("file.") == std::string::npos ||
                    (situation.into_file_txt && line.find("descriptor 1:") != std::string::npos))
            << situation.name << ": " << line;
      }
    }
  }
}

// promise: proc-read-for-leases-only
TEST(Descriptors, EveryFileOpenedIsClosedExactlyOnce) {
  const auto strace = find_tool("strace");
  if (!strace) {
    GTEST_SKIP() << "strace is not installed";
  }
  for (const Situation& situation : kSituations) {
    const ScratchDir dir;
    const ScratchDir logs;
    situation.prepare(dir);
    const std::string log = (logs / "strace.log").string();
    // LeakSanitizer cannot work under a tracer.
    const RunResult run = run_command(
        dir.path,
        with_output(situation, {*strace, "-o", log, "-e", "trace=open,openat,close", REMOVE_PATH}),
        {"ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"});
    ASSERT_EQ(run.exit_status, 0) << situation.name << ": " << run.err;
    std::map<int, std::string> open_files;  // descriptor -> file, while open
    int opened = 0;
    bool lease_time_read = false;
    std::istringstream lines(read_file(log).value_or(""));
    for (std::string line; std::getline(lines, line);) {
      // Lines look like: openat(AT_FDCWD, "file.c", O_RDONLY|O_CLOEXEC) = 3
      //                  close(3)                                   = 0
      const std::size_t equals = line.rfind(" = ");
      if (equals == std::string::npos) {
        continue;
      }
      const int result = std::stoi(line.substr(equals + 3));
      const bool is_open = line.starts_with("open(") || line.starts_with("openat(");
      const std::string file = line.find("\"file.c\"") != std::string::npos     ? "file.c"
                               : line.find("\"file.txt\"") != std::string::npos ? "file.txt"
                               : line.find("lease-break-time\"") != std::string::npos
                                   ? "lease-break-time"
                                   : "";
      lease_time_read |= is_open && file == "lease-break-time" && result >= 0;
      if (is_open && !file.empty() && result >= 0) {
        EXPECT_FALSE(open_files.contains(result)) << situation.name << ": " << line;
        open_files[result] = file;
        ++opened;
      } else if (line.starts_with("close(")) {
        EXPECT_NE(result, -1) << situation.name << ": close of a descriptor not open: " << line;
        open_files.erase(std::stoi(line.substr(6)));
      }
    }
    EXPECT_GT(opened, 0) << situation.name << ": the trace shows no open of the files";
    EXPECT_EQ(lease_time_read, std::string(situation.name).find("lease") != std::string::npos)
        << situation.name;
    EXPECT_TRUE(open_files.empty()) << situation.name << ": " << open_files.size()
                                    << " left open, the first " << open_files.begin()->second;
  }
}

// Bytes drawn with a bias towards what the rules treat specially.
std::string biased_bytes(std::size_t size, std::mt19937& generator) {
  static const std::string kWhitespace = " \t\n\r\v\f";
  static const std::string kAlnum = "azAZ09mM5";
  std::uniform_int_distribution<int> any(0, 255);
  std::uniform_int_distribution<int> high(0x80, 0xFF);
  std::discrete_distribution<int> kind({30, 30, 20, 20});
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    switch (kind(generator)) {
      case 0:
        c = kWhitespace[static_cast<std::size_t>(any(generator)) % kWhitespace.size()];
        break;
      case 1:
        c = kAlnum[static_cast<std::size_t>(any(generator)) % kAlnum.size()];
        break;
      case 2:
        c = static_cast<char>(high(generator));
        break;
      default:
        c = static_cast<char>(any(generator));
        break;
    }
  }
  return bytes;
}

// promise: byte-counts, kept-bytes
TEST(RandomRuns, TwoHundredSeededInputsMatchTheModel) {
  std::mt19937 generator(20261208);
  std::uniform_int_distribution<std::size_t> size_of(0, 3 * kStreamBufferSize);
  std::uniform_int_distribution<std::size_t> large_size_of(std::size_t{2} << 20,
                                                           std::size_t{6} << 20);
  for (int run_number = 0; run_number < 200; ++run_number) {
    const std::size_t size = run_number % 50 == 49 ? large_size_of(generator) : size_of(generator);
    const std::string input = biased_bytes(size, generator);
    const ScratchDir dir;
    write_file(dir / "file.c", input);
    const RunResult run = run_remove(dir.path);
    const Expected expected = model_run(input);
    const std::string what =
        "run " + std::to_string(run_number) + ", " + std::to_string(size) + " bytes";
    ASSERT_TRUE(run.out == expected.transcript)
        << what << ": " << first_difference(run.out, expected.transcript);
    ASSERT_TRUE(run.file_txt == expected.file_txt) << what;
    ASSERT_EQ(run.err, "") << what;
    ASSERT_EQ(run.exit_status, 0) << what;
  }
}

}  // namespace
