#include "RunRemove.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

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
  // Only regular files: a link to a device such as /dev/full would never end, and a FIFO
  // would not even open.
  std::error_code error;
  if (!fs::is_regular_file(path, error)) {
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

namespace {

// Starts argv[0] in `dir` with standard input from /dev/null, standard output to `out_fd`,
// standard error to `err_fd`, no other descriptor of the test open, and `env` added to the
// environment. Everything the child needs is built before fork, so the child only makes
// system calls.
pid_t start(const fs::path& dir, const std::vector<std::string>& argv,
            const std::vector<std::string>& env, int out_fd, int err_fd) {
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  std::vector<char*> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string_view inherited(*variable);
    const auto overridden = [&](const std::string& added) {
      return added.substr(0, added.find('=') + 1) == inherited.substr(0, inherited.find('=') + 1);
    };
    if (std::none_of(env.begin(), env.end(), overridden)) {
      environment.push_back(*variable);
    }
  }
  for (const std::string& variable : env) {
    environment.push_back(const_cast<char*>(variable.c_str()));
  }
  environment.push_back(nullptr);

  const pid_t child = ::fork();
  if (child == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0 ||
        ::chdir(dir.c_str()) != 0) {
      ::_exit(126);
    }
    ::close_range(3, ~0U, 0);
    // A run that never ends is a failure too; the alarm outlives exec and ends it.
    ::alarm(600);
    ::execve(args[0], args.data(), environment.data());
    ::_exit(127);
  }
  return child;
}

int wait_for(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

int exit_status_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

RunResult run_command(const fs::path& dir, const std::vector<std::string>& argv,
                      const std::vector<std::string>& env) {
  const ScratchDir capture;
  const fs::path out_path = capture / "stdout";
  const fs::path err_path = capture / "stderr";
  const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  RunResult result;
  result.exit_status = exit_status_of(wait_for(start(dir, argv, env, out, err)));
  ::close(out);
  ::close(err);
  result.out = read_file(out_path).value_or("<no stdout>");
  result.err = read_file(err_path).value_or("<no stderr>");
  result.file_txt = read_file(dir / "file.txt");
  return result;
}

RunResult run_remove_streaming(const fs::path& dir,
                               const std::function<void(std::string_view)>& consume,
                               Channel channel, const std::vector<std::string>& env) {
  const ScratchDir capture;
  const fs::path err_path = capture / "stderr";
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int pipe_ends[2];
  const bool full_nonblocking_pipe = channel == Channel::kFullNonBlockingPipe;
  if ((channel == Channel::kSocket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipe_ends)
                                   : ::pipe2(pipe_ends, O_CLOEXEC)) != 0) {
    std::abort();
  }
  if (full_nonblocking_pipe) {
    ::fcntl(pipe_ends[1], F_SETFL, ::fcntl(pipe_ends[1], F_GETFL) | O_NONBLOCK);
  }
  const pid_t child = start(dir, {REMOVE_PATH}, env, pipe_ends[1], err);
  ::close(pipe_ends[1]);
  bool waited = false;
  if (full_nonblocking_pipe) {
    // Read only once the program waits for room in the pipe (or after 20 s, failing the test).
    const std::string wait_channel = "/proc/" + std::to_string(child) + "/wchan";
    for (int wait = 0; wait < 20000 && !waited; ++wait) {
      waited = read_file(wait_channel).value_or("").find("poll") != std::string::npos;
      ::usleep(1000);
    }
  }
  // A pipeful at most, from a socket too: what is read at once is then never the whole rest.
  std::vector<char> buffer(std::size_t{1} << 16);
  for (ssize_t got; (got = ::read(pipe_ends[0], buffer.data(), buffer.size())) != 0;) {
    if (got > 0) {
      consume({buffer.data(), static_cast<std::size_t>(got)});
    } else if (errno != EINTR) {
      break;
    }
  }
  const int status = wait_for(child);
  ::close(pipe_ends[0]);
  ::close(err);
  RunResult result;
  result.exit_status = exit_status_of(status);
  result.err = read_file(err_path).value_or("<no stderr>");
  result.file_txt = read_file(dir / "file.txt");
  result.waited_on_full_pipe = waited;
  return result;
}

RunResult run_remove_into_pipe(const fs::path& dir, const std::vector<std::string>& env,
                               Channel channel) {
  std::string out;
  RunResult result = run_remove_streaming(
      dir, [&](std::string_view bytes) { out += bytes; }, channel, env);
  result.out = out;
  return result;
}

RunResult run_remove(const fs::path& dir, const std::vector<std::string>& args,
                     const std::vector<std::string>& env) {
  std::vector<std::string> argv{REMOVE_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(dir, argv, env);
}

bool can_run_as_nobody() {
  return ::geteuid() == 0 &&
         std::system("setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null") == 0;
}

RunResult run_remove_as_nobody(const fs::path& dir) {
  return run_shell(dir, "exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$REMOVE\"");
}

std::optional<std::string> find_tool(const char* name) {
  for (const char* directory : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
    const std::string path = std::string(directory) + name;
    if (::access(path.c_str(), X_OK) == 0) {
      return path;
    }
  }
  return std::nullopt;
}

std::vector<std::string> guest_command(std::vector<std::string> argv) {
  if (kEmulated) {
    argv.insert(argv.begin(), REMOVE_GUEST_RUNNER);
  }
  return argv;
}

RunResult run_shell(const fs::path& dir, const std::string& script) {
  return run_command(dir, {"/bin/sh", "-c", script}, {std::string("REMOVE=") + REMOVE_PATH});
}
