#include "RunRemove.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "remove-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path = pattern;
  // Readable by everyone, so that a test can run the program as another user.
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::optional<std::string> read_file(const fs::path& path) {
  // Only regular files: a link to a device such as /dev/full would never end.
  std::error_code error;
  std::ifstream in(path, std::ios::binary);
  if (!in || !fs::is_regular_file(path, error)) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

namespace {

RunResult spawn(const fs::path& dir, const std::vector<std::string>& argv,
                const std::vector<std::string>& env) {
  const ScratchDir capture;
  const fs::path out_path = capture / "stdout";
  const fs::path err_path = capture / "stderr";
  const pid_t child = ::fork();
  if (child == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
        ::dup2(err, 2) < 0 || ::chdir(dir.c_str()) != 0) {
      ::_exit(126);
    }
    for (const std::string& variable : env) {
      ::putenv(const_cast<char*>(variable.c_str()));
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
      args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    // A run that never ends is a failure too; the alarm outlives exec and ends it.
    ::alarm(300);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  RunResult result;
  result.out = read_file(out_path).value_or("<no stdout>");
  result.err = read_file(err_path).value_or("<no stderr>");
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.file_txt = read_file(dir / "file.txt");
  return result;
}

}  // namespace

RunResult run_remove(const fs::path& dir, const std::vector<std::string>& args,
                     const std::vector<std::string>& env) {
  std::vector<std::string> argv{REMOVE_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return spawn(dir, argv, env);
}

RunResult run_shell(const fs::path& dir, const std::string& script) {
  return spawn(dir, {"/bin/sh", "-c", script}, {std::string("REMOVE=") + REMOVE_PATH});
}

namespace {

const std::string kBanner = "\n\n\t********** Printing data from file.*********\t\n\n";
const std::string kFileError = "\nfile error\n";

std::string model_summary(const std::string& counted) {
  long long newlines = 0;
  long long tabs = 0;
  long long spaces = 0;
  for (const char c : counted) {
    newlines += c == '\n';
    tabs += c == '\t';
    spaces += c == ' ';
  }
  const long long characters = static_cast<long long>(counted.size()) - newlines - tabs - spaces;
  return "\n\t....********quntity displaying*********.....\n No. of characters in file.. " +
         std::to_string(characters) + " ...\n No. of newlines in file.." +
         std::to_string(newlines) + " ...\n No. of tab's " + std::to_string(tabs) +
         "...\n No. of spaces " + std::to_string(spaces) + "...\n";
}

std::string model_kept(const std::string& input) {
  static const std::string kAlnum =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string kept;
  for (const char c : input) {
    if (c != '\0' && kAlnum.find(c) != std::string::npos) {
      kept += c;
    }
  }
  return kept;
}

}  // namespace

Expected model_run(const std::optional<std::string>& input, ReadBack read_back) {
  const std::string counted = input.value_or("");
  const std::string kept = model_kept(counted);
  Expected expected;
  expected.transcript = kBanner + (input ? *input : kFileError) + model_summary(counted) + kBanner +
                        (read_back == ReadBack::kShown ? kept : kFileError);
  expected.file_txt = read_back == ReadBack::kShown ? kept : "";
  return expected;
}

std::string model_cut_short(const std::string& echoed, ReadBack read_back) {
  return kBanner + echoed + kFileError + model_summary(echoed) + kBanner +
         (read_back == ReadBack::kShown ? model_kept(echoed) : kFileError);
}

std::string first_difference(const std::string& actual, const std::string& expected) {
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
    ++at;
  }
  if (at == actual.size() && at == expected.size()) {
    return "identical";
  }
  const auto hex = [at](const std::string& bytes) {
    std::ostringstream text;
    const std::size_t from = at < 8 ? 0 : at - 8;
    for (std::size_t i = from; i < bytes.size() && i < at + 8; ++i) {
      char digits[4];
      std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(bytes[i]));
      text << (i == at ? "[" : " ") << digits << (i == at ? "]" : "");
    }
    return text.str();
  };
  std::ostringstream text;
  text << "sizes " << actual.size() << " (actual) and " << expected.size()
       << " (expected); first difference at byte " << at << "\n  actual:  " << hex(actual)
       << "\n  expected:" << hex(expected);
  return text.str();
}

std::string random_bytes(std::size_t size, unsigned seed, const std::string& alphabet) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  if (alphabet.empty()) {
    std::uniform_int_distribution<int> pick(0, 255);
    for (char& c : bytes) {
      c = static_cast<char>(pick(generator));
    }
  } else {
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (char& c : bytes) {
      c = alphabet[pick(generator)];
    }
  }
  return bytes;
}
