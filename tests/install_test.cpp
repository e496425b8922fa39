// The installed program and its manual page: what `cmake --install` lays down, and a manual
// page that renders cleanly and whose example is what the program really prints.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "RunRemove.hpp"

namespace fs = std::filesystem;

namespace {

const fs::path kManualSource = fs::path(REMOVE_SOURCE_DIR) / "man" / "remove.1";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The lines of the rendered section `heading`, up to the next section heading.
std::vector<std::string> section(const std::vector<std::string>& page, const std::string& heading) {
  std::vector<std::string> lines;
  bool inside = false;
  for (const std::string& line : page) {
    const bool is_heading = !line.empty() && line.front() != ' ';
    if (is_heading) {
      inside = line == heading;
    } else if (inside) {
      lines.push_back(line);
    }
  }
  return lines;
}

struct ShellStep {
  std::string command;
  std::string output;
};

// The displayed session at the end of the examples: "$ command" lines, each followed by its
// output, indented as the first command is.
std::vector<ShellStep> shell_session(const std::vector<std::string>& lines) {
  std::vector<ShellStep> steps;
  std::size_t indent = std::string::npos;
  for (const std::string& line : lines) {
    const std::size_t text = line.find_first_not_of(' ');
    if (indent == std::string::npos) {
      if (text != std::string::npos && line.compare(text, 2, "$ ") == 0) {
        indent = text;
      } else {
        continue;
      }
    }
    if (line.empty()) {
      continue;  // the blank lines that close the section
    }
    EXPECT_TRUE(text != std::string::npos && text >= indent) << "outside the example: " << line;
    const std::string shown = line.substr(std::min(indent, line.size()));
    if (shown.rfind("$ ", 0) == 0) {
      steps.push_back({shown.substr(2), ""});
    } else {
      steps.back().output += shown + "\n";
    }
  }
  return steps;
}

struct ManualCheck {
  const char* tool;     // the command, skipped where it is not installed
  const char* options;  // given before the page's path
  std::string output;   // all it may print, on either stream
};

TEST(Manual, FormattersAndLintersFindNothingToWarnAbout) {
  const std::string page = kManualSource.string();
  const ManualCheck checks[] = {
      {"groff", "-ww -man -z", ""},
      {"mandoc", "-T lint -W style", ""},
      // The line that whatis and apropos show, as man-db parses it from NAME.
      {"lexgrog", "",
       page + ": \"remove - echo and count file.c, and keep its letters and digits in "
              "file.txt\"\n"},
  };
  const ScratchDir dir;
  int ran = 0;
  for (const ManualCheck& check : checks) {
    if (!find_tool(check.tool)) {
      std::cout << "skipped: " << check.tool << " is not installed\n";
      continue;
    }
    ++ran;
    const RunResult run =
        run_shell(dir.path, std::string(check.tool) + " " + check.options + " '" + page + "'");
    EXPECT_EQ(run.exit_status, 0) << check.tool;
    EXPECT_EQ(run.out + run.err, check.output) << check.tool;
  }
  if (ran == 0) {
    GTEST_SKIP() << "none of groff, mandoc and lexgrog is installed";
  }
}

// promise: example-session
TEST(Manual, ExampleIsWhatTheProgramPrints) {
  if (!find_tool("groff")) {
    GTEST_SKIP() << "groff is not installed";
  }
  const ScratchDir dir;
  const RunResult page =
      run_shell(dir.path, "groff -man -Tutf8 -P-cbou '" + kManualSource.string() + "'");
  ASSERT_EQ(page.exit_status, 0) << page.err;
  const std::vector<ShellStep> steps = shell_session(section(lines_of(page.out), "EXAMPLES"));
  ASSERT_GE(steps.size(), 2U) << "no example session found";

  // The built program stands in for the installed one.
  const std::string path = fs::path(REMOVE_PATH).parent_path().string() + ":/usr/bin:/bin";
  bool ran_remove = false;
  for (const ShellStep& step : steps) {
    ran_remove = ran_remove || step.command.find("remove") != std::string::npos;
    const RunResult run = run_command(dir.path, {"/bin/sh", "-c", step.command}, {"PATH=" + path});
    EXPECT_EQ(run.exit_status, 0) << step.command;
    EXPECT_EQ(run.err, "") << step.command;
    EXPECT_TRUE(run.out == step.output)
        << step.command << ": " << first_difference(run.out, step.output);
  }
  EXPECT_TRUE(ran_remove);
}

std::string mode_of(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return "missing";
  }
  std::ostringstream octal;
  octal << std::oct << (info.st_mode & 07777);
  return octal.str();
}

TEST(Install, LaysDownProgramManualAndDocumentsUnderThePrefix) {
  const ScratchDir dir;
  const fs::path prefix = dir / "prefix";
  // Under the strictest umask, which must not show in the modes below.
  const RunResult install =
      run_command(dir.path, {"/bin/sh", "-c", "umask 077 && exec \"$0\" \"$@\"", CMAKE_COMMAND,
                             "--install", REMOVE_BINARY_DIR, "--prefix", prefix.string()});
  ASSERT_EQ(install.exit_status, 0) << install.out << install.err;

  // Every file, with its mode: nothing missing, nothing extra (no test or benchmark program).
  std::vector<std::string> installed;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(prefix)) {
    const std::string kind = entry.is_directory() ? "dir " : "file ";
    installed.push_back(kind + fs::relative(entry.path(), prefix).string() + " " +
                        mode_of(entry.path()));
  }
  std::sort(installed.begin(), installed.end());
  const std::vector<std::string> expected = {
      "dir bin 755",
      "dir share 755",
      "dir share/doc 755",
      "dir share/doc/remove 755",
      "dir share/man 755",
      "dir share/man/man1 755",
      "file bin/remove 755",
      "file share/doc/remove/LICENSE 644",
      "file share/doc/remove/NEWS 644",
      "file share/doc/remove/README.md 644",
      "file share/man/man1/remove.1.gz 644",
  };
  EXPECT_EQ(installed, expected);

  // Compressed without a name or time stamp, so a rebuild gives the same bytes; and whole.
  for (const char* compressed : {"share/man/man1/remove.1.gz"}) {
    const std::string bytes = read_file(prefix / compressed).value_or("");
    ASSERT_GE(bytes.size(), 10U) << compressed;
    EXPECT_EQ(bytes.substr(0, 2), "\x1f\x8b") << compressed;
    EXPECT_EQ(bytes[3], '\0') << compressed << ": gzip header flags (a file name?)";
    EXPECT_EQ(bytes.substr(4, 4), std::string(4, '\0')) << compressed << ": time stamp";
  }
  const RunResult unpacked = run_shell(dir.path, "gzip -dc prefix/share/man/man1/remove.1.gz");
  EXPECT_TRUE(unpacked.out == read_file(kManualSource).value_or("-")) << "manual page differs";

  // The installed program is a working one.
  const fs::path work = dir / "work";
  fs::create_directory(work);
  write_file(work / "file.c", "Hi 2\tu!\n");
  const RunResult run = run_command(work, guest_command({(prefix / "bin" / "remove").string()}));
  const Expected model = model_run("Hi 2\tu!\n");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.out == model.transcript) << first_difference(run.out, model.transcript);
  EXPECT_EQ(run.file_txt, model.file_txt);

  // And man finds the page there the way it does for any prefix on PATH.
  if (find_tool("man")) {
    const RunResult page = run_command(
        work, {"/bin/sh", "-c", "unset MANPATH; man --warnings remove"},
        {"PATH=" + (prefix / "bin").string() + ":/usr/bin:/bin", "MANPAGER=cat", "MANWIDTH=80"});
    EXPECT_EQ(page.exit_status, 0) << page.err;
    EXPECT_EQ(page.err, "");
    EXPECT_NE(page.out.find("DIAGNOSTICS"), std::string::npos);
  }
}

TEST(Program, LoadsTheCLibraryAndNothingElse) {
#if defined(REMOVE_SANITIZED)
  GTEST_SKIP() << "a sanitized build links the sanitizers' run-time libraries by design";
#endif
  const auto readelf = find_tool("readelf");
  if (!readelf) {
    GTEST_SKIP() << "readelf (binutils) is not installed";
  }
  const RunResult dynamic = run_command(".", {*readelf, "--dynamic", REMOVE_BINARY});
  ASSERT_EQ(dynamic.exit_status, 0) << dynamic.err;
  // The loader's name is the one the program asks for, whatever it is on this CPU (ld.so.1,
  // ld-linux-armhf.so.3, ld64.so.2, ...).
  const RunResult headers = run_command(".", {*readelf, "--program-headers", REMOVE_BINARY});
  const std::string marker = "[Requesting program interpreter: ";
  const std::size_t at = headers.out.find(marker);
  ASSERT_NE(at, std::string::npos) << headers.out;
  const std::string interpreter =
      headers.out.substr(at + marker.size(), headers.out.find(']', at) - at - marker.size());
  const std::string loader = fs::path(interpreter).filename().string();
  std::vector<std::string> needed;
  for (const std::string& line : lines_of(dynamic.out)) {
    if (line.find("(NEEDED)") != std::string::npos) {
      needed.push_back(line.substr(line.find('[') + 1, line.find(']') - line.find('[') - 1));
    }
  }
  // The C library and, on some machines, the dynamic loader by name; no C++ run-time library.
  EXPECT_NE(std::find(needed.begin(), needed.end(), "libc.so.6"), needed.end());
  for (const std::string& library : needed) {
    EXPECT_TRUE(library == "libc.so.6" || library == loader) << library << ", loader " << loader;
  }
}

// The fault preload must stand in for every entry point the program calls, in whatever ABI the
// build chose: with 64-bit time on a 32-bit machine, fstat is __fstat64_time64, clock_gettime
// __clock_gettime64. A fault on a name the preload misses would silently not strike.
TEST(Program, FaultPreloadDefinesEveryVariantTheProgramCalls) {
  const auto readelf = find_tool("readelf");
  if (!readelf) {
    GTEST_SKIP() << "readelf (binutils) is not installed";
  }
  const auto symbols = [&](const char* file, bool defined) {
    std::vector<std::string> names;
    const RunResult table = run_command(".", {*readelf, "--dyn-syms", "--wide", file});
    for (const std::string& line : lines_of(table.out)) {
      std::istringstream words(line);
      // Num, Value, Size, Type, Bind, Vis (ppc64 adds "[<localentry>: 8]"), Ndx, Name and an
      // undefined name's version, as "(2)".
      std::vector<std::string> fields{std::istream_iterator<std::string>(words), {}};
      if (!fields.empty() && fields.back().starts_with('(')) {
        fields.pop_back();
      }
      if (fields.size() >= 8 && fields[3] == "FUNC" &&
          (fields[fields.size() - 2] == "UND") != defined) {
        names.push_back(fields.back().substr(0, fields.back().find('@')));
      }
    }
    return names;
  };
  // open, open64 and __open64_time64 all stand for one call.
  const auto stem = [](std::string name) {
    for (const std::string suffix : {"_time64", "64"}) {
      if (name.ends_with(suffix)) {
        name.resize(name.size() - suffix.size());
      }
    }
    return name.substr(name.find_first_not_of('_'));
  };
  const std::vector<std::string> faked = symbols(FAULT_LIB_PATH, true);
  ASSERT_NE(std::find(faked.begin(), faked.end(), "write"), faked.end());
  for (const std::string& called : symbols(REMOVE_BINARY, false)) {
    const bool stands_in = std::any_of(
        faked.begin(), faked.end(), [&](const std::string& f) { return stem(f) == stem(called); });
    if (stands_in) {
      EXPECT_NE(std::find(faked.begin(), faked.end(), called), faked.end()) << called;
    }
  }
}

}  // namespace
