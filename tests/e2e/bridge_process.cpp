#include "bridge_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace strandel::e2e {
namespace {

using Clock = std::chrono::steady_clock;

/// A pipe whose ends close on destruction.
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() {
    if (::pipe2(fds, O_CLOEXEC) != 0)
      throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (fds[0] >= 0) ::close(fds[0]);
    fds[0] = -1;
  }
  void closeWrite() {
    if (fds[1] >= 0) ::close(fds[1]);
    fds[1] = -1;
  }
};

/// Spawns `argv` with its stdout (and, when `both`, its stderr) on the pipe's write end, or its
/// stderr into the file `stderr_path` when that is given, and its stdin on `stdin_fd` when that is
/// not negative.
pid_t spawn(const std::vector<std::string>& argv, Pipe& pipe, bool both,
            const std::string& stderr_path = {}, int stdin_fd = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdin_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdin_fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe.fds[1], STDOUT_FILENO);
  if (both) posix_spawn_file_actions_adddup2(&actions, pipe.fds[1], STDERR_FILENO);
  if (!stderr_path.empty())
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  pipe.closeWrite();
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

/// Reads what is available from `fd` into `out`, waiting at most until `deadline`. False at end
/// of file or when the deadline has passed.
bool readSome(int fd, std::string& out, Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  pollfd entry{fd, POLLIN, 0};
  const int ready = ::poll(&entry, 1, static_cast<int>(left));
  if (ready == 0) return false;
  if (ready < 0) return errno == EINTR;
  char chunk[4096];
  const ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n <= 0) return n < 0 && errno == EINTR;
  out.append(chunk, static_cast<std::size_t>(n));
  return true;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

/// Waits for `pid` until `deadline`; kills it with SIGKILL after that. Returns its decoded status,
/// or -1 when it had to be killed.
int waitFor(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  while (Clock::now() < deadline) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return decodeStatus(status);
    if (done < 0 && errno != EINTR) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

}  // namespace

std::string bridgeExecutable() { return STRANDEL_MOCK_BRIDGE_EXECUTABLE; }

BridgeProcess::BridgeProcess(const std::vector<std::string>& extra_args,
                             const BridgeLaunch& launch) {
  std::vector<std::string> argv = {bridgeExecutable(), "--host", "127.0.0.1", "--port",
                                   std::to_string(launch.port)};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  Pipe out;
  pid_ = spawn(argv, out, false, launch.stderr_path);
  if (launch.open_files != 0) {
    const rlimit limit{launch.open_files, launch.open_files};
    if (::prlimit(pid_, RLIMIT_NOFILE, &limit, nullptr) != 0) {
      const int error = errno;
      stop();
      throw std::runtime_error(std::string("cannot limit the bridge's descriptors: ") +
                               std::strerror(error));
    }
  }
  std::string text;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (text.find('\n') == std::string::npos && readSome(out.fds[0], text, deadline)) {}
  const std::string line = text.substr(0, text.find('\n'));
  const std::string prefix = "listening on http://127.0.0.1:";
  if (line.rfind(prefix, 0) == 0 && line.size() > prefix.size() + 1 && line.back() == '/') {
    port_ = static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size())));
  }
  if (port_ == 0) {
    stop();
    throw std::runtime_error("the bridge did not announce its port; its first line was '" + line +
                             "'");
  }
}

BridgeProcess::~BridgeProcess() {
  if (pid_ > 0) stop();
}

std::string BridgeProcess::httpUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}
std::string BridgeProcess::wsUrl() const { return "ws://127.0.0.1:" + std::to_string(port_) + "/"; }

bool BridgeProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    exitStatus_ = decodeStatus(status);
    pid_ = -1;
    return false;
  }
  return true;
}

double BridgeProcess::cpuSeconds() const {
  std::ifstream file("/proc/" + std::to_string(pid_) + "/stat");
  std::string text;
  std::getline(file, text);
  // The fields after the parenthesised command name start with the state (field 3); utime and
  // stime are fields 14 and 15, in clock ticks.
  const std::size_t close = text.rfind(')');
  if (pid_ <= 0 || close == std::string::npos)
    throw std::runtime_error("cannot read the bridge's CPU time");
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  unsigned long long ticks = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number)
    if (number >= 14) ticks += std::stoull(field);
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int BridgeProcess::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    exitStatus_ = waitFor(pid_, Clock::now() + std::chrono::seconds(20));
    pid_ = -1;
  }
  return exitStatus_;
}

ProgramResult runProgram(const std::vector<std::string>& argv, std::chrono::seconds bound,
                         const std::optional<std::string>& input) {
  Pipe out;
  std::optional<Pipe> in;
  if (input) {
    // Written whole before the program starts: a pipe holds 64 KiB without a reader.
    in.emplace();
    if (::write(in->fds[1], input->data(), input->size()) != static_cast<ssize_t>(input->size()))
      throw std::runtime_error("cannot write the program's input");
    in->closeWrite();
  }
  const pid_t pid = spawn(argv, out, true, {}, in ? in->fds[0] : -1);
  if (in) in->closeRead();
  ProgramResult result;
  const auto deadline = Clock::now() + bound;
  while (readSome(out.fds[0], result.output, deadline)) {}
  result.exit_code = waitFor(pid, deadline);
  return result;
}

}  // namespace strandel::e2e
