// The strandel command line run as a user runs it, against a stand-in started by the test on a
// free port: what each subcommand prints and writes, and its exit status on every kind of failure.
// Against hostile bridges (the scripted peers, serving exactly the bytes a test writes): answers
// and messages nested without end, camera frames whose arrays collide in name or cannot be held,
// directories holding what capture did not write, and Ctrl-C while the bridge never answers.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include <strandel/isaacsim_client.hpp>

#include "bridge_process.hpp"
#include "camera_frame_writer.hpp"
#include "raw_connection.hpp"
#include "support/scripted_peer.hpp"
#include "support/websocket_peer.hpp"

extern char** environ;

namespace strandel::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 120s;

/// Runs strandel with `args` (the bridge's URL given by the caller when it needs one).
ProgramResult strandel(std::vector<std::string> args,
                       const std::optional<std::string>& input = std::nullopt) {
  args.insert(args.begin(), STRANDEL_CLI_EXECUTABLE);
  return runProgram(args, kBound, input);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

/// The last 300 bytes of `text` (all of it when shorter), for failure messages.
std::string tail(const std::string& text) {
  return text.size() > 300 ? text.substr(text.size() - 300) : text;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::string fileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void writeText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
}

/// The keys of the JSON object `line` in the order written.
std::vector<std::string> keysOf(const std::string& line) {
  std::vector<std::string> keys;
  const nlohmann::ordered_json object = nlohmann::ordered_json::parse(line);
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

/// Whether `text` is a UTC time as recordings write it: six fractional digits and "Z".
bool isRecordedTime(const std::string& text) {
  static const std::regex pattern(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)");
  return std::regex_match(text, pattern);
}

/// Checks the stamps of recorded lines: a time as recordings write it, offsets that start at 0
/// and never decrease.
void expectStamped(const std::vector<json>& recorded) {
  double last = 0.0;
  for (std::size_t i = 0; i < recorded.size(); ++i) {
    EXPECT_TRUE(isRecordedTime(recorded[i]["time"].get<std::string>())) << recorded[i].dump();
    const double offset = recorded[i]["offset"].get<double>();
    if (i == 0) {
      EXPECT_EQ(offset, 0.0) << recorded[i].dump();
    }
    EXPECT_GE(offset, last) << recorded[i].dump();
    last = offset;
  }
}

/// A fresh, empty directory for one test's files, removed when the test ends.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& name)
      : path_(std::filesystem::path(::testing::TempDir()) /
              ("strandel_" + name + "_" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

/// A tmpfs of `bytes` mounted on a scratch directory: a disk that fills up. Unmounted when
/// destroyed; mounted() is false where the test may not mount one (not root, no CAP_SYS_ADMIN).
class SmallDisk {
 public:
  SmallDisk(const std::string& name, std::size_t bytes) : scratch_(name) {
    const std::string options = "size=" + std::to_string(bytes);
    mounted_ = ::geteuid() == 0 && ::mount("tmpfs", scratch_.path().c_str(), "tmpfs",
                                           MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(scratch_.path().c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool mounted() const { return mounted_; }
  const std::filesystem::path& path() const { return scratch_.path(); }

 private:
  ScratchDirectory scratch_;
  bool mounted_ = false;
};

/// The "end" member of a recording's last line, checked to be the last line's only member after
/// the stamp.
json endOf(const std::vector<std::string>& recorded) {
  if (recorded.empty()) return json();
  if (keysOf(recorded.back()) != std::vector<std::string>{"time", "offset", "end"}) return json();
  const nlohmann::ordered_json end = nlohmann::ordered_json::parse(recorded.back())["end"];
  EXPECT_EQ(keysOf(end.dump()),
            (std::vector<std::string>{"messages", "cause", "close_code", "close_reason", "error"}))
      << recorded.back();
  return json::parse(end.dump());
}

/// The names of the entries of `dir`.
std::set<std::string> entriesOf(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.insert(entry.path().filename().string());
  return names;
}

/// strandel started in the background with stdout and stderr on one pipe, for tests that signal
/// it while it waits. Killed and reaped when destroyed if it still runs.
class BackgroundStrandel {
 public:
  explicit BackgroundStrandel(std::vector<std::string> args) {
    args.insert(args.begin(), STRANDEL_CLI_EXECUTABLE);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    out_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) throw std::runtime_error("cannot start strandel");
  }
  ~BackgroundStrandel() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }
  BackgroundStrandel(const BackgroundStrandel&) = delete;
  BackgroundStrandel& operator=(const BackgroundStrandel&) = delete;

  void signal(int number) { ::kill(pid_, number); }

  /// Sends SIGSTOP and waits (at most 10 s) until the process is stopped; whether it is.
  bool suspend() {
    ::kill(pid_, SIGSTOP);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
      std::string line;
      std::getline(stat, line);
      const std::size_t end = line.rfind(')');  // the state follows the command's name
      if (end != std::string::npos && line.compare(end, 4, ") T ") == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  /// Reads its output until `text` appears at or after offset `from` of what it printed so far, at
  /// most for `bound`. The offset of `text`, or npos when it did not appear (or the process ended
  /// first).
  std::size_t waitFor(const std::string& text, std::chrono::milliseconds bound,
                      std::size_t from = 0) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      const std::size_t at = seen_.find(text, from);
      if (at != std::string::npos) return at;
      if (std::chrono::steady_clock::now() >= deadline || !readSome()) return std::string::npos;
    }
  }

  /// Reads its output until it exits, at most for `bound`; then kills it. The exit code as
  /// runProgram reports it (-1 when it had to be killed). The output includes what waitFor read.
  ProgramResult finish(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline && readSome()) {}
    ProgramResult result;
    result.output = seen_;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        result.exit_code = WIFEXITED(status)     ? WEXITSTATUS(status)
                           : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                                 : -1;
        return result;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return result;  // the destructor kills it
  }

 private:
  /// Waits up to 20 ms for output and appends what arrived; false at end of file (it exited or
  /// closed its output).
  bool readSome() {
    pollfd entry{out_, POLLIN, 0};
    if (::poll(&entry, 1, 20) <= 0) return true;
    char chunk[4096];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    seen_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string seen_;
};

/// `depth` opening brackets, `inner`, and `depth` closing ones.
std::string nested(std::size_t depth, const std::string& inner = "") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

/// The placeholder of array `index` in a frame's structure.
json placeholder(std::size_t index) { return {{"__ndarray__", index}}; }

/// One array of a scripted camera frame.
struct FrameArray {
  std::vector<std::uint64_t> shape;
  std::string dtype;
  std::string bytes;
};

/// A capture answer holding `structure` and `arrays` back to back, as any bridge may send it.
testing_util::ScriptedAnswer frameAnswer(const json& structure,
                                         const std::vector<FrameArray>& arrays) {
  json descriptors = json::array();
  std::string data;
  for (const FrameArray& array : arrays) {
    descriptors.push_back({{"shape", array.shape},
                           {"dtype", array.dtype},
                           {"offset", data.size()},
                           {"nbytes", array.bytes.size()}});
    data += array.bytes;
  }
  testing_util::ScriptedAnswer answer;
  answer.header_lines = {"Content-Type: application/octet-stream"};
  answer.body = strandel::detail::writeCameraFrame(
      json{{"structure", structure}, {"arrays", descriptors}}.dump(), data);
  return answer;
}

class Cli : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(bridge.stop(), 0) << "the stand-in did not stop cleanly"; }

  ProgramResult run(std::vector<std::string> args,
                    const std::optional<std::string>& input = std::nullopt) {
    args.insert(args.begin(), {"--url", bridge.httpUrl()});
    return strandel(std::move(args), input);
  }

  BridgeProcess bridge;
  IsaacSimClient client{"e2e", bridge.httpUrl(), bridge.wsUrl()};
};

TEST_F(Cli, HttpVerbsPrintTheAnswerAndExitByItsStatus) {
  // PUT with BODY as text: the answer pretty-printed with a two-space indent.
  const ProgramResult created =
      run({"put", "articulations", R"({"prim_path":"/World/arm","urdf_path":null})"});
  ASSERT_EQ(created.exit_code, 0) << created.output;
  const json arm = json::parse(created.output);
  EXPECT_EQ(arm["articulation_id"], "arm");
  EXPECT_EQ(created.output, arm.dump(2) + "\n");

  // POST with BODY from stdin, then GET shows what it changed.
  const ProgramResult set =
      run({"post", "articulations/arm/set_j", "-"}, R"({"indices":[2],"joint_positions":[0.3]})");
  EXPECT_EQ(set.exit_code, 0) << set.output;
  const ProgramResult state = run({"get", "/articulations/arm/joints_state"});
  ASSERT_EQ(state.exit_code, 0) << state.output;
  EXPECT_EQ(json::parse(state.output)["joint_positions"],
            client.articulations.getJointsState("arm")["joint_positions"]);
  EXPECT_EQ(json::parse(state.output)["joint_positions"][2], 0.3);

  // -i: the status line and headers before the body.
  const ProgramResult head = run({"get", "/", "-i"});
  EXPECT_EQ(head.exit_code, 0);
  EXPECT_EQ(head.output.rfind("HTTP 200\n", 0), 0u) << head.output;
  EXPECT_TRUE(contains(head.output, "Content-Type: application/json\n")) << head.output;

  // An answer outside 2xx: exit 1, the library's text after method and URL, the body on stderr.
  const ProgramResult missing = run({"get", "no/such/path"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_TRUE(contains(missing.output,
                       "GET " + bridge.httpUrl() + "no/such/path: Bridge returned status 404\n"))
      << missing.output;
  EXPECT_TRUE(contains(missing.output, R"("error": "no endpoint at /no/such/path")"))
      << missing.output;

  const ProgramResult removed = run({"delete", "articulations/arm"});
  EXPECT_EQ(removed.exit_code, 0) << removed.output;
  EXPECT_EQ(json::parse(removed.output)["removed"], true);

  const ProgramResult ping = run({"ping"});
  EXPECT_EQ(ping.exit_code, 0);
  EXPECT_TRUE(contains(ping.output, bridge.httpUrl() + ": answered 200 in ")) << ping.output;
}

TEST_F(Cli, StreamPrintsJsonLinesOrTheirRate) {
  client.articulations.create("/World/arm");
  const ProgramResult positions =
      run({"stream", "articulations/arm/stream_joint_positions", "--count", "5"});
  EXPECT_EQ(positions.exit_code, 0) << positions.output;
  const std::vector<std::string> messages = lines(positions.output);
  ASSERT_EQ(messages.size(), 5u) << positions.output;
  long long last_sequence = -1;
  for (const std::string& line : messages) {
    const json message = json::parse(line);
    EXPECT_EQ(line, message.dump());  // compact, one per line
    EXPECT_EQ(message["articulation_id"], "arm");
    EXPECT_GT(message["sequence"].get<long long>(), last_sequence);
    last_sequence = message["sequence"];
  }

  const ProgramResult rate =
      run({"stream", "/articulations/arm/stream_articulation_state", "--rate", "--seconds", "1.5"});
  EXPECT_EQ(rate.exit_code, 0) << rate.output;
  ASSERT_FALSE(lines(rate.output).empty());
  // A line a second over the window, then the summary: about 60 Hz from the stand-in.
  const std::vector<std::string> rate_lines = lines(rate.output);
  ASSERT_EQ(rate_lines.size(), 2u) << rate.output;
  std::smatch parts;
  const std::regex summary_form(
      R"(summary after [0-9.]+ s: ([0-9.]+) Hz over (\d+) intervals: min [0-9.]+ ms, max [0-9.]+ )"
      R"(ms, std dev [0-9.]+ ms, largest gap [0-9.]+ ms, (\d+) messages)");
  ASSERT_TRUE(std::regex_match(rate_lines[1], parts, summary_form)) << rate.output;
  EXPECT_GT(std::stod(parts[1]), 1.0) << rate.output;
  EXPECT_EQ(std::stol(parts[2]) + 1, std::stol(parts[3])) << rate.output;
  EXPECT_EQ(rate_lines[0].find(" Hz over "), rate_lines[0].find_first_of(' ')) << rate.output;

  // An articulation the bridge does not have: the bridge refuses the handshake, which exits 1
  // as any refusal does, with the status and the bridge's body.
  const ProgramResult unknown =
      run({"stream", "articulations/ghost/stream_joint_positions", "--count", "1"});
  EXPECT_EQ(unknown.exit_code, 1);
  const std::string url = bridge.wsUrl() + "articulations/ghost/stream_joint_positions";
  EXPECT_TRUE(contains(unknown.output, "STREAM " + url + ": WebSocket handshake failed for " + url))
      << unknown.output;
  EXPECT_TRUE(
      contains(unknown.output, " (status 404)\n{\n  \"error\": \"articulation 'ghost' not found\""))
      << unknown.output;
}

TEST_F(Cli, StreamRecordsStampedLinesIntoANewFile) {
  client.articulations.create("/World/arm");
  ScratchDirectory scratch("record");
  const std::string file = (scratch.path() / "run.jsonl").string();
  const std::string path = "articulations/arm/stream_joint_positions";
  const ProgramResult recorded = run({"stream", path, "--count", "5", "--out", file, "--rate"});
  ASSERT_EQ(recorded.exit_code, 0) << recorded.output;
  // The messages go to the file, the statistics to stdout.
  EXPECT_EQ(lines(recorded.output).size(), 1u) << recorded.output;
  EXPECT_TRUE(contains(recorded.output, " Hz over 4 intervals: ")) << recorded.output;
  const std::string text = fileText(file);
  std::vector<std::string> written = lines(text);
  ASSERT_EQ(written.size(), 6u) << text;
  // The last line says how the recording ended; the ones before hold the messages.
  EXPECT_EQ(endOf(written), json::parse(R"({"messages":5,"cause":"count","close_code":null,)"
                                        R"("close_reason":null,"error":null})"));
  std::vector<json> parsed = {json::parse(written.back())};
  written.pop_back();
  long long last_sequence = -1;
  for (const std::string& line : written) {
    EXPECT_EQ(keysOf(line), (std::vector<std::string>{"time", "offset", "message"})) << line;
    parsed.push_back(json::parse(line));
    EXPECT_EQ(parsed.back()["message"]["articulation_id"], "arm");
    EXPECT_GT(parsed.back()["message"]["sequence"].get<long long>(), last_sequence);
    last_sequence = parsed.back()["message"]["sequence"];
  }
  parsed.push_back(parsed.front());
  parsed.erase(parsed.begin());
  expectStamped(parsed);
  EXPECT_GT(parsed.back()["offset"].get<double>(), 0.0);

  // An existing file is refused unless --force, which replaces it; a symbolic link never.
  const ProgramResult refused = run({"stream", path, "--count", "1", "--out", file});
  EXPECT_EQ(refused.exit_code, 2) << refused.output;
  EXPECT_TRUE(contains(refused.output,
                       "cannot create '" + file + "': File exists (--force replaces a file)\n"))
      << refused.output;
  EXPECT_EQ(fileText(file), text);
  EXPECT_EQ(run({"stream", path, "--count", "1", "--out", file, "--force"}).exit_code, 0);
  EXPECT_EQ(lines(fileText(file)).size(), 2u);
  const std::filesystem::path link = scratch.path() / "link.jsonl";
  std::filesystem::create_symlink(file, link);
  EXPECT_EQ(run({"stream", path, "--count", "1", "--out", link.string(), "--force"}).exit_code, 2);
  EXPECT_EQ(lines(fileText(file)).size(), 2u);

  // A full disk ends the stream with status 2 and the reason.
  if (std::filesystem::exists("/dev/full")) {
    const ProgramResult full = run({"stream", path, "--out", "/dev/full", "--force"});
    EXPECT_EQ(full.exit_code, 2) << full.output;
    EXPECT_TRUE(contains(full.output, "cannot write '/dev/full': No space left on device\n"))
        << full.output;
  }

  // Ctrl-C while recording: status 0 and a file of whole lines.
  const std::string interrupted = (scratch.path() / "interrupted.jsonl").string();
  BackgroundStrandel running({"--url", bridge.httpUrl(), "stream", path, "--out", interrupted});
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (lines(fileText(interrupted)).size() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  running.signal(SIGINT);
  const ProgramResult ended = running.finish(30s);
  EXPECT_EQ(ended.exit_code, 0) << ended.output;
  const std::string kept = fileText(interrupted);
  ASSERT_GE(lines(kept).size(), 4u) << kept;
  EXPECT_EQ(kept.back(), '\n');
  for (const std::string& line : lines(kept)) EXPECT_TRUE(json::accept(line)) << line;
  const json end = endOf(lines(kept));
  EXPECT_EQ(end["cause"], "interrupted") << tail(kept);
  EXPECT_EQ(end["messages"], lines(kept).size() - 1) << tail(kept);
}

TEST_F(Cli, ARecordingThatFillsTheDiskKeepsWholeLinesOnly) {
  SmallDisk disk("full_disk", 16 * 1024);
  if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  client.articulations.create("/World/arm");
  const std::string file = (disk.path() / "run.jsonl").string();
  const ProgramResult full =
      run({"stream", "articulations/arm/stream_joint_positions", "--out", file, "--seconds", "60"});
  EXPECT_EQ(full.exit_code, 2) << full.output;
  EXPECT_TRUE(contains(full.output, "cannot write '" + file + "': No space left on device\n"))
      << full.output;
  // The line the disk cut is gone: whole lines only, the end line last when there was room.
  const std::string kept = fileText(file);
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.back(), '\n') << tail(kept);
  std::vector<std::string> recorded = lines(kept);
  for (const std::string& line : recorded) ASSERT_TRUE(json::accept(line)) << line;
  const json end = endOf(recorded);
  if (!end.is_null()) {
    recorded.pop_back();
    EXPECT_EQ(end["cause"], "error");
    EXPECT_EQ(end["error"], "cannot write '" + file + "': No space left on device");
    EXPECT_EQ(end["messages"], recorded.size());
  }
  EXPECT_GT(recorded.size(), 10u);
  for (const std::string& line : recorded) EXPECT_TRUE(contains(line, "\"message\":{")) << line;
}

TEST(CliStreamReconnect, ARecordingHoldsALineForEachReopen) {
  // The first connection delivers one message and closes; the reopened one delivers the rest.
  std::atomic<int> connections{0};
  testing_util::WebSocketPeer peer([&](testing_util::WebSocketSession& session) {
    using testing_util::Opcode;
    using testing_util::serverFrame;
    if (connections++ == 0) {
      if (!session.write(serverFrame(Opcode::Text, R"({"n":1})"))) return;
      if (!session.write(serverFrame(Opcode::Close, std::string("\x03\xe9", 2) + "gone"))) return;
    } else {
      if (!session.write(serverFrame(Opcode::Text, R"({"n":2})"))) return;
      if (!session.write(serverFrame(Opcode::Text, R"({"n":3})"))) return;
    }
    session.recordUntilClosed(false);
  });
  ScratchDirectory scratch("record_reconnect");
  const std::string file = (scratch.path() / "run.jsonl").string();
  const ProgramResult recorded = strandel(
      {"--url", "http://127.0.0.1:" + std::to_string(peer.port()) + "/", "stream",
       "articulations/arm/stream_joint_positions", "--reconnect", "--count", "3", "--out", file});
  ASSERT_EQ(recorded.exit_code, 0) << recorded.output;
  EXPECT_TRUE(contains(recorded.output, ": reconnected (1 so far) after ")) << recorded.output;
  const std::vector<std::string> written = lines(fileText(file));
  ASSERT_EQ(written.size(), 5u) << fileText(file);
  EXPECT_EQ(endOf(written)["messages"], 3);
  std::vector<json> parsed;
  for (const std::string& line : written) parsed.push_back(json::parse(line));
  expectStamped(parsed);
  EXPECT_EQ(keysOf(written[1]), (std::vector<std::string>{"time", "offset", "reconnect"}));
  EXPECT_EQ(written[1].substr(written[1].find("\"reconnect\":")),
            "\"reconnect\":{\"reconnects\":1,\"downtime_ms\":" +
                std::to_string(parsed[1]["reconnect"]["downtime_ms"].get<long long>()) +
                ",\"reason\":\"closed by the bridge: 1001 gone\"}}");
  EXPECT_EQ(parsed[0]["message"], json({{"n", 1}}));
  EXPECT_EQ(parsed[2]["message"], json({{"n", 2}}));
  EXPECT_EQ(parsed[3]["message"], json({{"n", 3}}));
}

TEST(CliStreamReconnect, ReconnectSurvivesARestartOfTheBridgeAndEndsWhenTheArticulationIsGone) {
  std::optional<BridgeProcess> bridge;
  bridge.emplace();
  const std::uint16_t port = bridge->port();
  IsaacSimClient client("e2e", bridge->httpUrl(), bridge->wsUrl());
  client.articulations.create("/World/arm");
  const std::string label =
      "STREAM " + bridge->wsUrl() + "articulations/arm/stream_joint_positions: ";
  const std::vector<std::string> stream = {"--url",     bridge->httpUrl(),
                                           "stream",    "articulations/arm/stream_joint_positions",
                                           "--seconds", "100"};
  std::vector<std::string> with_flag = stream;
  with_flag.push_back("--reconnect");
  BackgroundStrandel reconnecting(with_flag);
  BackgroundStrandel plain(stream);
  ASSERT_NE(reconnecting.waitFor("\"sequence\"", 30s), std::string::npos);
  ASSERT_NE(plain.waitFor("\"sequence\"", 30s), std::string::npos);

  // Without the flag, the bridge going away ends the stream as a transport failure.
  ASSERT_EQ(bridge->stop(), 0);
  const ProgramResult ended = plain.finish(30s);
  EXPECT_EQ(ended.exit_code, 3) << tail(ended.output);
  EXPECT_TRUE(contains(ended.output, label + "WebSocket receive failed: ")) << ended.output;

  // The restarted world starts empty: strandel waits, stopped, until the arm is back, so that no
  // reopen meets the empty world.
  ASSERT_TRUE(reconnecting.suspend());
  BridgeLaunch same_port;
  same_port.port = port;
  bridge.emplace(std::vector<std::string>{}, same_port);
  client.articulations.create("/World/arm");
  reconnecting.signal(SIGCONT);
  const std::size_t reopened = reconnecting.waitFor(label + "reconnected (1 so far) after ", 30s);
  ASSERT_NE(reopened, std::string::npos);
  const std::size_t reason = reconnecting.waitFor("\n", 30s, reopened);
  ASSERT_NE(reason, std::string::npos);
  ASSERT_NE(reconnecting.waitFor("\"sequence\"", 30s, reason), std::string::npos);

  // Removing the arm closes the stream; the reopen that follows is refused: status 1, the body.
  client.articulations.remove("arm");
  const ProgramResult refused = reconnecting.finish(30s);
  EXPECT_EQ(refused.exit_code, 1) << tail(refused.output);
  const std::string report = refused.output.substr(reopened, reason - reopened);
  EXPECT_TRUE(contains(report, " ms: WebSocket receive failed: ")) << report;
  EXPECT_FALSE(contains(refused.output, "reconnected (2")) << refused.output;
  EXPECT_TRUE(
      contains(refused.output, " (status 404)\n{\n  \"error\": \"articulation 'arm' not found\""))
      << tail(refused.output);
  EXPECT_EQ(bridge->stop(), 0);
}

TEST_F(Cli, ARecordingEndedByARefusedReopenSaysWhyInItsLastLine) {
  client.articulations.create("/World/arm");
  ScratchDirectory scratch("record_refused");
  const std::string file = (scratch.path() / "run.jsonl").string();
  BackgroundStrandel running({"--url", bridge.httpUrl(), "stream",
                              "articulations/arm/stream_joint_positions", "--reconnect", "--out",
                              file});
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (lines(fileText(file)).size() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  // Removing the arm closes the stream, and the bridge refuses the reopen.
  client.articulations.remove("arm");
  const ProgramResult refused = running.finish(30s);
  EXPECT_EQ(refused.exit_code, 1) << tail(refused.output);
  const std::vector<std::string> written = lines(fileText(file));
  ASSERT_GE(written.size(), 4u);
  const json end = endOf(written);
  ASSERT_TRUE(end.is_object()) << written.back();
  EXPECT_EQ(end["cause"], "error");
  EXPECT_EQ(end["messages"], written.size() - 1);
  EXPECT_EQ(end["close_code"], nullptr);
  const std::string error = end["error"].is_string() ? end["error"].get<std::string>() : "";
  EXPECT_TRUE(contains(error, "STREAM " + bridge.wsUrl() +
                                  "articulations/arm/stream_joint_positions: WebSocket handshake "
                                  "failed for "))
      << error;
  EXPECT_TRUE(contains(error, " (status 404)")) << error;
  // What strandel printed on stderr, the bridge's reason included when there was one.
  EXPECT_TRUE(contains(refused.output, error.substr(0, error.find('\n')) + "\n")) << error;
  EXPECT_EQ(contains(error, "articulation 'arm' not found"),
            contains(refused.output, "articulation 'arm' not found"))
      << error;
}

TEST_F(Cli, CaptureWritesPicturesAndArraysThatHoldTheFrame) {
  ASSERT_EQ(run({"put", "cameras", R"({"prim_path":"/World/cam","resolution":[64,48]})"}).exit_code,
            0);
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                    ("strandel_capture_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  const ProgramResult captured =
      run({"capture", "cam", "--types", "rgb,depth", "--out", dir.string()});
  ASSERT_EQ(captured.exit_code, 0) << captured.output;
  for (const char* file : {"rgb.png", "depth.png", "depth_preview.png", "depth.npy", "frame.json"})
    EXPECT_TRUE(contains(captured.output, "wrote " + (dir / file).string() + "\n"))
        << file << captured.output;

  int width = 0, height = 0, channels = 0;
  stbi_uc* rgb = stbi_load((dir / "rgb.png").c_str(), &width, &height, &channels, 0);
  ASSERT_NE(rgb, nullptr);
  stbi_image_free(rgb);
  EXPECT_EQ(std::vector<int>({width, height, channels}), std::vector<int>({64, 48, 3}));
  stbi_uc* preview = stbi_load((dir / "depth_preview.png").c_str(), &width, &height, &channels, 0);
  ASSERT_NE(preview, nullptr);
  stbi_image_free(preview);
  EXPECT_EQ(std::vector<int>({width, height, channels}), std::vector<int>({64, 48, 3}));
  EXPECT_TRUE(stbi_is_16_bit((dir / "depth.png").c_str()));
  stbi_us* depth_mm = stbi_load_16((dir / "depth.png").c_str(), &width, &height, &channels, 0);
  ASSERT_NE(depth_mm, nullptr);
  const std::vector<std::uint16_t> millimetres(depth_mm, depth_mm + width * height * channels);
  stbi_image_free(depth_mm);
  EXPECT_EQ(std::vector<int>({width, height, channels}), std::vector<int>({64, 48, 1}));

  // The same camera through the library: the world stands still, so the depth is the same.
  const CameraFrame frame = client.cameras.capture("cam", std::vector<std::string>{"depth"});
  const CameraOutput* depth = frame.output("depth");
  ASSERT_NE(depth, nullptr);
  ASSERT_EQ(depth->data.size(), 64u * 48u * 4u);
  std::vector<float> metres(64 * 48);
  std::memcpy(metres.data(), depth->data.data(), depth->data.size());
  ASSERT_EQ(millimetres.size(), metres.size());
  std::size_t finite = 0;
  for (std::size_t i = 0; i < metres.size(); ++i) {
    const double mm = std::round(metres[i] * 1000.0);
    const bool in_range = std::isfinite(mm) && mm >= 0.0 && mm <= 65535.0;
    finite += in_range ? 1 : 0;
    EXPECT_EQ(millimetres[i], in_range ? static_cast<std::uint16_t>(mm) : 0)
        << "pixel " << i << ": " << metres[i];
  }
  EXPECT_GT(finite, 0u);
  EXPECT_LT(finite, metres.size());  // the sky is not finite

  // The .npy file holds the metres as the frame does, after a 64-byte aligned header.
  const std::string npy = fileText(dir / "depth.npy");
  ASSERT_GT(npy.size(), 10u);
  const std::size_t header = static_cast<unsigned char>(npy[8]) | static_cast<unsigned char>(npy[9])
                                                                      << 8;
  EXPECT_EQ(npy.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
  EXPECT_EQ((10 + header) % 64, 0u);
  EXPECT_TRUE(contains(npy.substr(10, header),
                       "{'descr': '<f4', 'fortran_order': False, 'shape': (48, 64), }"));
  EXPECT_EQ(npy.substr(10 + header), std::string(depth->data.begin(), depth->data.end()));

  const json described = json::parse(fileText(dir / "frame.json"));
  EXPECT_EQ(described["rgb"],
            (json{{"dtype", "uint8"}, {"file", "rgb.png"}, {"shape", {48, 64, 3}}}));
  EXPECT_EQ(described["depth"]["file"], "depth.npy");
  EXPECT_EQ(described["depth"]["pictures"], (json{"depth.png", "depth_preview.png"}));
  EXPECT_EQ(described["camera_id"], "cam");
  std::filesystem::remove_all(dir);

  const ProgramResult missing = run({"capture", "ghost", "--out", dir.string()});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_TRUE(contains(missing.output, "POST " + bridge.httpUrl() +
                                           "cameras/ghost/capture: Bridge returned status 404"))
      << missing.output;
  EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST_F(Cli, CaptureSeriesWritesNumberedFramesAndAnIndexOfCompleteOnes) {
  ASSERT_EQ(run({"put", "cameras", R"({"prim_path":"/World/cam","resolution":[16,12]})"}).exit_code,
            0);
  ScratchDirectory scratch("series");
  const std::filesystem::path dir = scratch.path() / "out";
  const ProgramResult series =
      run({"capture", "cam", "--count", "3", "--rate", "20", "--out", dir.string()});
  ASSERT_EQ(series.exit_code, 0) << series.output;
  EXPECT_EQ(series.output, "wrote " + (dir / "frames.jsonl").string() + " (3 of 3 frames)\n");
  EXPECT_EQ(entriesOf(dir), (std::set<std::string>{".strandel-capture", "000001", "000002",
                                                   "000003", "frames.jsonl"}));
  const std::vector<std::string> index = lines(fileText(dir / "frames.jsonl"));
  ASSERT_EQ(index.size(), 3u) << fileText(dir / "frames.jsonl");
  std::vector<json> frames;
  for (std::size_t i = 0; i < index.size(); ++i) {
    EXPECT_EQ(keysOf(index[i]),
              (std::vector<std::string>{"frame", "dir", "time", "offset", "sim_time", "files"}));
    frames.push_back(json::parse(index[i]));
    const std::string name = "00000" + std::to_string(i + 1);
    EXPECT_EQ(frames[i]["frame"], i + 1);
    EXPECT_EQ(frames[i]["dir"], name);
    EXPECT_TRUE(frames[i]["sim_time"].is_number()) << index[i];
    EXPECT_EQ(frames[i]["files"],
              json::array({name + "/depth.npy", name + "/depth.png", name + "/depth_preview.png",
                           name + "/rgb.png", name + "/frame.json"}));
    for (const auto& file : frames[i]["files"])
      EXPECT_TRUE(std::filesystem::is_regular_file(dir / file.get<std::string>())) << file;
  }
  expectStamped(frames);
  // Paced: the third capture started two periods (0.1 s) after the first.
  EXPECT_GT(frames[2]["offset"].get<double>(), 0.05) << index[2];

  // One capture into the directory removes the series first; a series removes it in turn.
  const ProgramResult single = run({"capture", "cam", "--out", dir.string()});
  ASSERT_EQ(single.exit_code, 0) << single.output;
  EXPECT_TRUE(contains(single.output, "removed " + (dir / "000002").string() + "\n"))
      << single.output;
  EXPECT_EQ(entriesOf(dir).count("000001"), 0u);
  EXPECT_TRUE(std::filesystem::exists(dir / "frame.json"));
  const ProgramResult again = run({"capture", "cam", "--count", "2", "--out", dir.string()});
  ASSERT_EQ(again.exit_code, 0) << again.output;
  EXPECT_EQ(again.output, "wrote " + (dir / "frames.jsonl").string() +
                              " (2 of 2 frames), after removing 5 files of an earlier capture\n");
  EXPECT_EQ(entriesOf(dir),
            (std::set<std::string>{".strandel-capture", "000001", "000002", "frames.jsonl"}));

  // A file no capture wrote inside a frame directory: refused, nothing changed.
  writeText(dir / "000002" / "notes.txt", "mine");
  const ProgramResult foreign = run({"capture", "cam", "--count", "1", "--out", dir.string()});
  EXPECT_EQ(foreign.exit_code, 2) << foreign.output;
  EXPECT_TRUE(contains(foreign.output, "it holds '000002/notes.txt', which no earlier capture "))
      << foreign.output;
  EXPECT_EQ(entriesOf(dir / "000002").size(), 7u);
  std::filesystem::remove(dir / "000002" / "notes.txt");

  // Ctrl-C ends a series with status 0: the index holds a line for every frame directory.
  // --verbose tells each file removed and written.
  BackgroundStrandel running({"--url", bridge.httpUrl(), "capture", "cam", "--count", "1000",
                              "--rate", "10", "--verbose", "--out", dir.string()});
  ASSERT_NE(running.waitFor("removed " + (dir / "000002" / "rgb.png").string() + "\n", 30s),
            std::string::npos);
  ASSERT_NE(running.waitFor("wrote " + (dir / "000002" / "frame.json").string(), 30s),
            std::string::npos);
  running.signal(SIGINT);
  const ProgramResult ended = running.finish(30s);
  EXPECT_EQ(ended.exit_code, 0) << tail(ended.output);
  const std::size_t complete = lines(fileText(dir / "frames.jsonl")).size();
  EXPECT_GE(complete, 2u);
  EXPECT_TRUE(contains(ended.output, " (" + std::to_string(complete) +
                                         " of 1000 frames), after removing 13 files of an earlier "
                                         "capture\n"))
      << tail(ended.output);
  EXPECT_EQ(entriesOf(dir).size(), complete + 2);  // the frames, the index and the manifest
}

TEST_F(Cli, ACaptureSeriesStaysInItsDirectoryWhenThePathIsSwappedForALink) {
  ASSERT_EQ(run({"put", "cameras", R"({"prim_path":"/World/cam","resolution":[16,12]})"}).exit_code,
            0);
  ScratchDirectory scratch("series_swap");
  const std::filesystem::path dir = scratch.path() / "out";
  const std::filesystem::path moved = scratch.path() / "moved";
  const std::filesystem::path target = scratch.path() / "target";
  std::filesystem::create_directories(target);
  BackgroundStrandel running({"--url", bridge.httpUrl(), "capture", "cam", "--count", "20",
                              "--rate", "5", "--out", dir.string()});
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (lines(fileText(dir / "frames.jsonl")).size() < 2 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  // Mid-series, the directory moves away and a link to another one takes its place.
  const std::size_t before = lines(fileText(dir / "frames.jsonl")).size();
  std::filesystem::rename(dir, moved);
  std::filesystem::create_directory_symlink(target, dir);
  const ProgramResult ended = running.finish(60s);
  ASSERT_EQ(ended.exit_code, 0) << ended.output;
  EXPECT_GE(before, 2u);
  EXPECT_LT(before, 20u);
  EXPECT_EQ(entriesOf(target), std::set<std::string>{});
  const std::vector<std::string> index = lines(fileText(moved / "frames.jsonl"));
  ASSERT_EQ(index.size(), 20u);
  for (const std::string& line : index) {
    const json frame = json::parse(line);
    for (const auto& file : frame["files"])
      EXPECT_TRUE(std::filesystem::is_regular_file(moved / file.get<std::string>())) << file;
  }
  EXPECT_EQ(entriesOf(moved).size(), 22u);  // the frames, the index and the manifest

  // A link at --out is never followed.
  const ProgramResult linked = run({"capture", "cam", "--count", "1", "--out", dir.string()});
  EXPECT_EQ(linked.exit_code, 2) << linked.output;
  EXPECT_TRUE(contains(
      linked.output, "cannot create the directory '" + dir.string() + "': it is a symbolic link\n"))
      << linked.output;
  EXPECT_EQ(entriesOf(target), std::set<std::string>{});
}

TEST(CliWithoutABridge, EveryCommandExitsWith3) {
  RefusingPort refusing;
  const ProgramResult get = strandel({"get", "/", "--url", refusing.url()});
  EXPECT_EQ(get.exit_code, 3);
  EXPECT_TRUE(contains(get.output, "GET " + refusing.url() + ": HTTP request failed: "))
      << get.output;
  const ProgramResult ping = strandel({"--url", refusing.url(), "ping"});
  EXPECT_EQ(ping.exit_code, 3);
  EXPECT_TRUE(contains(ping.output, refusing.url() + ": no answer after ")) << ping.output;
  const ProgramResult stream =
      strandel({"--url", refusing.url(), "stream", "articulations/arm/stream_joint_positions",
                "--count", "1"});
  EXPECT_EQ(stream.exit_code, 3) << stream.output;
}

TEST(CliCommandLine, UsageErrorsExitWith2AndShowTheUsage) {
  const ProgramResult none = strandel({});
  EXPECT_EQ(none.exit_code, 2);
  EXPECT_TRUE(contains(none.output, "Usage: strandel [OPTIONS] SUBCOMMAND")) << none.output;
  const ProgramResult path = strandel({"stream", "cameras/cam"});
  EXPECT_EQ(path.exit_code, 2);
  EXPECT_TRUE(contains(path.output,
                       "the path must be articulations/ID/stream_joint_positions or "
                       "articulations/ID/stream_articulation_state"))
      << path.output;
  EXPECT_TRUE(contains(path.output, "Usage: strandel stream [OPTIONS] PATH")) << path.output;
  const ProgramResult body = strandel({"post", "x", "{not json"});
  EXPECT_EQ(body.exit_code, 2);
  EXPECT_TRUE(contains(body.output, "strandel: BODY is not JSON: ")) << body.output;
  const ProgramResult count =
      strandel({"stream", "articulations/a/stream_joint_positions", "--count", "many"});
  EXPECT_EQ(count.exit_code, 2);
  EXPECT_TRUE(contains(count.output, "Usage: strandel stream")) << count.output;
  const ProgramResult idle =
      strandel({"stream", "articulations/a/stream_joint_positions", "--idle-timeout", "1"});
  EXPECT_EQ(idle.exit_code, 2);
  EXPECT_TRUE(contains(idle.output, "--idle-timeout requires --reconnect")) << idle.output;

  const ProgramResult series_rate = strandel({"capture", "cam", "--out", "x", "--rate", "2"});
  EXPECT_EQ(series_rate.exit_code, 2);
  EXPECT_TRUE(contains(series_rate.output, "--rate requires --count")) << series_rate.output;
  const ProgramResult verbose = strandel({"capture", "cam", "--out", "x", "--verbose"});
  EXPECT_EQ(verbose.exit_code, 2);
  EXPECT_TRUE(contains(verbose.output, "--verbose requires --count")) << verbose.output;

  const ProgramResult help = strandel({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(contains(help.output, "Exit status:\n  0  success\n  1  ")) << help.output;
  // The statuses retried are the library's default ones.
  EXPECT_TRUE(contains(help.output, "408, 409, 429, 500 or 502 and up")) << help.output;
  const ProgramResult capture_help = strandel({"capture", "--help"});
  EXPECT_EQ(capture_help.exit_code, 0);
  EXPECT_TRUE(contains(capture_help.output, "Examples:\n  strandel put cameras"))
      << capture_help.output;
}

TEST(CliWithoutABridge, AUrlOfAnotherSchemeIsRefusedWithoutReadingIt) {
  ScratchDirectory dir("file_url");
  writeText(dir.path() / "secret.txt", "strandel-secret-marker");
  const ProgramResult get =
      strandel({"--url", "file://" + dir.path().string() + "/", "get", "secret.txt"});
  EXPECT_EQ(get.exit_code, 3) << get.output;
  EXPECT_FALSE(contains(get.output, "strandel-secret-marker")) << get.output;
}

/// strandel against one scripted peer that answers whatever the test queued.
class CliAgainstAHostileBridge : public ::testing::Test {
 protected:
  ProgramResult run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--url", peer.baseUrl()});
    return strandel(std::move(args));
  }
  std::string captureLabel() const { return "POST " + peer.baseUrl() + "cameras/cam/capture: "; }

  testing_util::ScriptedPeer peer;
};

TEST_F(CliAgainstAHostileBridge, AnswersTooDeepOrTooWideToIndentArePrintedAsReceived) {
  const std::string deep = nested(3000, "1");
  const std::string very_deep = nested(1000000);  // 2 MB
  // 60 levels, then 30000 elements, each of which indentation would widen 60 times.
  std::string wide = std::string(60, '[') + "0";
  for (int i = 0; i < 30000; ++i) wide += ",0";
  wide += std::string(60, ']');
  peer.enqueue({testing_util::ScriptedAnswer::json(200, deep),
                testing_util::ScriptedAnswer::json(200, very_deep),
                testing_util::ScriptedAnswer::json(200, wide),
                testing_util::ScriptedAnswer::json(500, deep)});

  for (const std::string& body : {deep, very_deep, wide}) {
    const ProgramResult got = run({"get", "x"});
    EXPECT_EQ(got.exit_code, 0) << got.output.substr(0, 200);
    EXPECT_TRUE(got.output == body) << got.output.size() << " bytes: " << got.output.substr(0, 200);
  }
  const ProgramResult refused = run({"get", "x"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_TRUE(contains(refused.output, "x: Bridge returned status 500\n" + deep + "\n"))
      << refused.output.substr(0, 200);

  // A stream message as deep is one line too: the text as received, without its whitespace.
  testing_util::WebSocketPeer stream_peer;
  stream_peer.sendWithUpgrade(
      testing_util::serverFrame(testing_util::Opcode::Text, nested(100000, " \"a b\" ")));
  const ProgramResult line =
      strandel({"--url", "http://127.0.0.1:" + std::to_string(stream_peer.port()) + "/", "stream",
                "articulations/arm/stream_joint_positions", "--count", "1"});
  EXPECT_EQ(line.exit_code, 0) << line.output.substr(0, 200);
  EXPECT_TRUE(line.output == nested(100000, "\"a b\"") + "\n") << line.output.substr(0, 200);
}

TEST_F(CliAgainstAHostileBridge, FailuresExitByTheirKind) {
  // An answer that does not come in time: a transport failure.
  testing_util::ScriptedAnswer stall;
  stall.action = testing_util::ScriptedAnswer::Action::Stall;
  peer.enqueue(stall);
  const ProgramResult slow = run({"--timeout", "0.2", "get", "slow"});
  EXPECT_EQ(slow.exit_code, 3) << slow.output;
  EXPECT_TRUE(contains(slow.output, "GET " + peer.baseUrl() + "slow: HTTP request failed: "))
      << slow.output;

  // A 2xx capture answer that is not a camera frame: a malformed answer, nothing written.
  testing_util::ScriptedAnswer garbage;
  garbage.header_lines = {"Content-Type: application/octet-stream"};
  garbage.body = "not a frame at all";
  peer.enqueue(garbage);
  ScratchDirectory scratch("capture_garbage");
  const ProgramResult malformed =
      run({"capture", "cam", "--out", (scratch.path() / "out").string()});
  EXPECT_EQ(malformed.exit_code, 4) << malformed.output;
  EXPECT_TRUE(contains(malformed.output,
                       captureLabel() + "camera response is not a binary frame: expected it to "
                                        "start with \"QXB1\"\n"))
      << malformed.output;
  EXPECT_FALSE(std::filesystem::exists(scratch.path() / "out"));
}

TEST_F(CliAgainstAHostileBridge, CaptureKeepsEveryArrayInAFileOfItsOwn) {
  // "q~" becomes q_ once made file-safe, as "q_" does; the files of arrays 0 and 4 would both be
  // output_4.npy; the long shape needs a header past what .npy version 1.0 can announce.
  const json structure = {{"q_", placeholder(0)},
                          {"q~", placeholder(1)},
                          {"q__1", placeholder(2)},
                          {"output_4", placeholder(0)},
                          {"long", placeholder(3)}};
  peer.enqueue(frameAnswer(structure, {{{3}, "uint8", "AAA"},
                                       {{3}, "uint8", "BBB"},
                                       {{3}, "uint8", "CCC"},
                                       {std::vector<std::uint64_t>(30000, 1), "uint8", "L"},
                                       {{1}, "int16", std::string("\x01\x00", 2)}}));
  ScratchDirectory scratch("capture_names");
  const std::filesystem::path dir = scratch.path() / "out";
  const ProgramResult captured = run({"capture", "cam", "--out", dir.string()});
  ASSERT_EQ(captured.exit_code, 0) << captured.output;

  const json described = json::parse(fileText(dir / "frame.json"));
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"q_", "AAA"}, {"q~", "BBB"}, {"q__1", "CCC"}, {"output_4", "AAA"}};
  std::set<std::string> files;
  for (const auto& [key, bytes] : expected) {
    const std::string file = described[key]["file"];
    files.insert(file);
    const std::string npy = fileText(dir / file);
    EXPECT_EQ(npy.substr(npy.size() - 3), bytes) << key << " in " << file;
  }
  EXPECT_EQ(files.size(), expected.size()) << described.dump();
  EXPECT_EQ(described["q~"]["file"], "q__2.npy");
  EXPECT_TRUE(contains(captured.output,
                       "wrote " + (dir / "q__2.npy").string() + " (the array at \"q~\")\n"))
      << captured.output;
  const std::string unnamed = fileText(dir / "output_4_2.npy");
  EXPECT_EQ(unnamed.substr(unnamed.size() - 2), std::string("\x01\x00", 2));
  EXPECT_TRUE(contains(captured.output, "wrote " + (dir / "output_4_2.npy").string() +
                                            " (array 4, named by no placeholder)\n"))
      << captured.output;

  // Version 2.0: a 4-byte header length, the data at a multiple of 64.
  const std::string npy = fileText(dir / described["long"]["file"].get<std::string>());
  ASSERT_GT(npy.size(), 12u);
  EXPECT_EQ(npy.substr(0, 8), std::string("\x93NUMPY\x02\x00", 8));
  std::size_t header = 0;
  for (int i = 3; i >= 0; --i) header = header << 8 | static_cast<unsigned char>(npy[8 + i]);
  EXPECT_GT(header, 65535u);
  EXPECT_EQ((12 + header) % 64, 0u);
  ASSERT_EQ(npy.size(), 12 + header + 1);
  const std::string start = "{'descr': '|u1', 'fortran_order': False, 'shape': (1, 1, ";
  EXPECT_EQ(npy.substr(12, start.size()), start);
  EXPECT_EQ(npy.substr(12 + header - 1), "\nL");
}

TEST_F(CliAgainstAHostileBridge, CaptureWritesOnlyNewFilesIntoADirectoryOfItsOwn) {
  const FrameArray rgb{{2, 2, 3}, "uint8", std::string(12, '\x7f')};
  const FrameArray depth{{2, 2}, "float32", std::string(16, '\0')};
  ScratchDirectory scratch("capture_dir");
  const std::filesystem::path dir = scratch.path() / "out";
  const auto capture = [&](const testing_util::ScriptedAnswer& answer) {
    peer.enqueue(answer);
    return run({"capture", "cam", "--out", dir.string()});
  };

  // A shape whose element count wraps around 64 bits: refused before anything is written.
  const ProgramResult huge =
      capture(frameAnswer({{"huge", placeholder(0)}}, {{{1ull << 32, 1ull << 32}, "uint8", ""}}));
  EXPECT_EQ(huge.exit_code, 4);
  EXPECT_TRUE(contains(huge.output, captureLabel() +
                                        "the array 'huge' has the shape [4294967296, 4294967296], "
                                        "more elements than fit in memory\n"))
      << huge.output;
  EXPECT_FALSE(std::filesystem::exists(dir));

  // A later capture into the same directory removes the earlier one's files first.
  const testing_util::ScriptedAnswer only_rgb = frameAnswer({{"rgb", placeholder(0)}}, {rgb});
  ASSERT_EQ(capture(frameAnswer({{"rgb", placeholder(0)}, {"depth", placeholder(1)}}, {rgb, depth}))
                .exit_code,
            0);
  EXPECT_EQ(entriesOf(dir).size(), 6u);
  const ProgramResult again = capture(only_rgb);
  EXPECT_EQ(again.exit_code, 0) << again.output;
  EXPECT_TRUE(contains(again.output, "removed " + (dir / "depth_preview.png").string() + "\n"))
      << again.output;
  EXPECT_EQ(entriesOf(dir), (std::set<std::string>{".strandel-capture", "frame.json", "rgb.png"}));

  // A symbolic link the earlier capture's files name is removed, never followed.
  const std::filesystem::path target = scratch.path() / "target.txt";
  writeText(target, "keep");
  std::filesystem::remove(dir / "rgb.png");
  std::filesystem::create_symlink(target, dir / "rgb.png");
  EXPECT_EQ(capture(only_rgb).exit_code, 0);
  EXPECT_EQ(fileText(target), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "rgb.png"));

  // Anything else in the directory, a planted link included: refused, nothing changed.
  writeText(dir / "notes.txt", "mine");
  const ProgramResult foreign = capture(only_rgb);
  EXPECT_EQ(foreign.exit_code, 2);
  EXPECT_TRUE(contains(foreign.output, "cannot write into '" + dir.string() +
                                           "': it holds 'notes.txt', which no earlier capture "
                                           "wrote there"))
      << foreign.output;
  EXPECT_EQ(fileText(dir / "notes.txt"), "mine");
  EXPECT_EQ(entriesOf(dir).size(), 4u);

  const std::filesystem::path planted = scratch.path() / "planted";
  std::filesystem::create_directories(planted);
  std::filesystem::create_symlink(target, planted / "rgb.png");
  peer.enqueue(only_rgb);
  const ProgramResult linked = run({"capture", "cam", "--out", planted.string()});
  EXPECT_EQ(linked.exit_code, 2) << linked.output;
  EXPECT_TRUE(contains(linked.output, "it holds 'rgb.png'")) << linked.output;
  EXPECT_EQ(fileText(target), "keep");
  EXPECT_EQ(entriesOf(planted), std::set<std::string>{"rgb.png"});
}

TEST_F(CliAgainstAHostileBridge, CtrlCEndsAPendingHandshakeOrRequestAtOnceWith130) {
  testing_util::ScriptedAnswer stall;
  stall.action = testing_util::ScriptedAnswer::Action::Stall;
  peer.setDefault(stall);
  const std::vector<std::pair<std::vector<std::string>, std::string>> commands = {
      {{"stream", "articulations/arm/stream_joint_positions"},
       "STREAM " + peer.wsBaseUrl() + "articulations/arm/stream_joint_positions: interrupted\n"},
      {{"get", "slow"}, "GET " + peer.baseUrl() + "slow: interrupted\n"},
  };
  for (std::size_t i = 0; i < commands.size(); ++i) {
    std::vector<std::string> args = {"--url", peer.baseUrl(), "--timeout", "60"};
    args.insert(args.end(), commands[i].first.begin(), commands[i].first.end());
    BackgroundStrandel running(args);
    ASSERT_TRUE(peer.waitForRequests(i + 1, std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto sent = std::chrono::steady_clock::now();
    running.signal(SIGINT);
    const ProgramResult result = running.finish(std::chrono::seconds(20));
    const auto took = std::chrono::steady_clock::now() - sent;
    EXPECT_EQ(result.exit_code, 130) << result.output;
    EXPECT_LT(took, std::chrono::seconds(3)) << commands[i].second;
    EXPECT_TRUE(contains(result.output, commands[i].second)) << result.output;
  }
}

TEST_F(CliAgainstAHostileBridge, RateStatisticsCoverTheWindowAndTheLargestGapSinceTheStart) {
  // Two pauses of 400 ms, then three messages in one write: the window of the last two intervals
  // holds only the short ones, the largest gap is a pause.
  testing_util::WebSocketPeer stream_peer([](testing_util::WebSocketSession& session) {
    using testing_util::Opcode;
    using testing_util::serverFrame;
    const std::string message = serverFrame(Opcode::Text, R"({"n":0})");
    for (int pause = 0; pause < 2; ++pause) {
      if (!session.write(message)) return;
      session.pause(std::chrono::milliseconds(400));
    }
    if (!session.write(message + message + message)) return;
    session.recordUntilClosed();
  });
  const ProgramResult rate = strandel(
      {"--url", "http://127.0.0.1:" + std::to_string(stream_peer.port()) + "/", "stream",
       "articulations/arm/stream_joint_positions", "--count", "5", "--rate", "--window", "2"});
  ASSERT_EQ(rate.exit_code, 0) << rate.output;
  std::smatch parts;
  const std::regex summary_form(
      R"(summary after [0-9.]+ s: ([0-9.]+) Hz over 2 intervals: min ([0-9.]+) ms, max ([0-9.]+) )"
      R"(ms, std dev ([0-9.]+) ms, largest gap ([0-9.]+) ms, 5 messages)");
  const std::string summary = lines(rate.output).back();
  ASSERT_TRUE(std::regex_match(summary, parts, summary_form)) << rate.output;
  EXPECT_LE(std::stod(parts[2]), std::stod(parts[3])) << summary;
  EXPECT_LT(std::stod(parts[3]), 100.0) << summary;  // the pauses have left the window
  EXPECT_GE(std::stod(parts[5]), 300.0) << summary;  // but not the largest gap
  EXPECT_GT(std::stod(parts[1]), 10.0) << summary;
}

TEST_F(CliAgainstAHostileBridge, AStreamMessageInFragmentsIsOneLineAndTheBridgesCloseEndsIt) {
  const std::string message =
      json{{"articulation_id", "arm"}, {"pad", std::string(6000, 'x')}}.dump();
  testing_util::WebSocketPeer stream_peer([&](testing_util::WebSocketSession& session) {
    using testing_util::Opcode;
    using testing_util::serverFrame;
    if (!session.write(serverFrame(Opcode::Text, message.substr(0, 2000), false))) return;
    session.pause(std::chrono::milliseconds(20));
    if (!session.write(serverFrame(Opcode::Continuation, message.substr(2000, 3000), false)))
      return;
    if (!session.write(serverFrame(Opcode::Continuation, message.substr(5000), true))) return;
    if (!session.write(serverFrame(Opcode::Close, std::string("\x03\xe8", 2) + "done"))) return;
    session.recordUntilClosed(false);
  });
  const ProgramResult streamed =
      strandel({"--url", "http://127.0.0.1:" + std::to_string(stream_peer.port()) + "/", "stream",
                "articulations/arm/stream_joint_positions", "--seconds", "20"});
  EXPECT_EQ(streamed.exit_code, 3) << streamed.output.substr(0, 300);
  const std::vector<std::string> printed = lines(streamed.output);
  ASSERT_EQ(printed.size(), 2u) << streamed.output.substr(0, 300);
  EXPECT_EQ(printed[0], message);
  const std::string closed = "STREAM ws://127.0.0.1:" + std::to_string(stream_peer.port()) +
                             "/articulations/arm/stream_joint_positions: the bridge closed the "
                             "stream after 1 messages (1000 done)";
  EXPECT_EQ(printed[1], closed);

  // --rate: the summary of what came is printed before the close ends the stream.
  const ProgramResult rate =
      strandel({"--url", "http://127.0.0.1:" + std::to_string(stream_peer.port()) + "/", "stream",
                "articulations/arm/stream_joint_positions", "--seconds", "20", "--rate"});
  EXPECT_EQ(rate.exit_code, 3) << rate.output;
  const std::vector<std::string> rate_lines = lines(rate.output);
  ASSERT_EQ(rate_lines.size(), 2u) << rate.output;
  EXPECT_TRUE(std::regex_match(
      rate_lines[0], std::regex(R"(summary after [0-9.]+ s: 1 message, no interval yet)")))
      << rate.output;
  EXPECT_EQ(rate_lines[1], closed);

  // A recording ends with a line holding the bridge's close code and reason.
  ScratchDirectory scratch("record_closed");
  const std::string file = (scratch.path() / "closed.jsonl").string();
  const ProgramResult recorded =
      strandel({"--url", "http://127.0.0.1:" + std::to_string(stream_peer.port()) + "/", "stream",
                "articulations/arm/stream_joint_positions", "--seconds", "20", "--out", file});
  EXPECT_EQ(recorded.exit_code, 3) << recorded.output;
  const std::vector<std::string> written = lines(fileText(file));
  ASSERT_EQ(written.size(), 2u) << fileText(file).substr(0, 300);
  EXPECT_EQ(endOf(written), json::parse(R"({"messages":1,"cause":"closed","close_code":1000,)"
                                        R"("close_reason":"done","error":null})"));
}

// `strandel view` as a server: what it refuses to start with, and what it answers to requests no
// page sends (the browser test, tests/view/, checks what the page shows). Its bridge refuses
// every connection here; the view serves regardless.
TEST(CliView, RefusesAnAddressItCannotListenOnAndAStreamPathOfAnotherForm) {
  RefusingPort bridge;
  const ProgramResult unbindable =
      strandel({"--url", bridge.url(), "view", "--host", "192.0.2.1", "--port", "0"});
  EXPECT_EQ(unbindable.exit_code, 2) << unbindable.output;
  EXPECT_TRUE(contains(unbindable.output, "strandel view: cannot listen on 192.0.2.1:0: "))
      << unbindable.output;
  const ProgramResult named = strandel({"--url", bridge.url(), "view", "--host", "sim-host"});
  EXPECT_EQ(named.exit_code, 2) << named.output;
  EXPECT_TRUE(contains(named.output, "strandel view: cannot listen on sim-host:8212: "))
      << named.output;
  const ProgramResult path =
      strandel({"--url", bridge.url(), "view", "--port", "0", "--stream", "articulations/arm"});
  EXPECT_EQ(path.exit_code, 2) << path.output;
  EXPECT_TRUE(contains(path.output, "cannot follow the stream 'articulations/arm'")) << path.output;

  // Served beyond this machine: said on stderr, after the address.
  BackgroundStrandel wide({"--url", bridge.url(), "view", "--host", "0.0.0.0", "--port", "0"});
  const std::size_t url = wide.waitFor("strandel view: http://0.0.0.0:", 30s);
  ASSERT_NE(url, std::string::npos);
  EXPECT_NE(
      wide.waitFor("strandel view: warning: serving on 0.0.0.0, beyond this machine", 30s, url),
      std::string::npos);
  wide.signal(SIGINT);
  EXPECT_EQ(wide.finish(30s).exit_code, 0);
}

TEST(CliView, AnswersOnlyItsOwnPathsAndOutlivesBrokenRequests) {
  const std::string kUpgrade =
      "GET /live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  RefusingPort bridge;
  BackgroundStrandel view(
      {"--url", bridge.url(), "view", "--port", "0", "--chart-js", "/nonexistent/chart.js"});
  const std::string prefix = "strandel view: http://127.0.0.1:";
  const std::size_t at = view.waitFor(prefix, 30s);
  ASSERT_NE(at, std::string::npos);
  ASSERT_NE(view.waitFor(" (bridge " + bridge.url() + ")\n", 30s, at), std::string::npos);
  const ProgramResult seen = view.finish(0ms);  // reads nothing more; it keeps running
  const auto port = static_cast<std::uint16_t>(std::stoi(seen.output.substr(at + prefix.size())));
  // The view answers only requests whose Host names it with its port.
  const auto named = [&](std::string request, const std::string& host = "127.0.0.1") {
    const std::string bare = "Host: 127.0.0.1\r\n";
    return request.replace(request.find(bare), bare.size(),
                           "Host: " + host + ":" + std::to_string(port) + "\r\n");
  };
  const std::string upgrade = named(kUpgrade);

  const auto get = [&](RawConnection& connection, const std::string& method,
                       const std::string& target) {
    EXPECT_TRUE(connection.send(named(httpRequest(method, target))));
    return connection.readResponse();
  };
  {
    RawConnection connection(port);  // one kept-alive connection for every answer
    const std::optional<RawResponse> page = get(connection, "GET", "/?transport=poll");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_TRUE(contains(page->body, "<title>strandel view</title>"));
    EXPECT_TRUE(contains(page->head, "Content-Security-Policy: default-src 'self'"));
    const std::vector<std::pair<std::string, int>> answers = {
        {"/view.js", 200}, {"/view.css", 200}, {"/chart.js", 404},     {"/frame/rgb.jpg", 503},
        {"/live", 426},    {"/nothing", 404},  {"/../etc/passwd", 404}};
    for (const auto& [target, status] : answers) {
      const std::optional<RawResponse> answer = get(connection, "GET", target);
      ASSERT_TRUE(answer) << target;
      EXPECT_EQ(answer->status, status) << target;
    }
    const std::optional<RawResponse> post = get(connection, "POST", "/");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);
    EXPECT_TRUE(contains(post->head, "Allow: GET, HEAD"));
  }
  for (const std::string& foreign : {named(httpRequest("GET", "/"), "attacker.example"),
                                     named(kUpgrade, "attacker.example"), kUpgrade}) {
    RawConnection connection(port);
    connection.send(foreign);
    const std::optional<RawResponse> answer = connection.readResponse();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 403) << foreign.substr(0, 40);
  }
  // Garbage, a header past the limit, and clients that leave in the middle of an answer.
  for (const auto& [request, status] : std::vector<std::pair<std::string, int>>{
           {std::string("\x16\x03\x01\x02\x00 garbage\r\n\r\n", 18), 400},
           {"GET / HTTP/1.1\r\nX-Long: " + std::string(20000, 'x') + "\r\n\r\n", 431},
           {"GET / HTTP/1.1\r\nContent-Length: 20000\r\n\r\n" + std::string(20000, 'b'), 413}}) {
    RawConnection connection(port);
    connection.send(request);
    const std::optional<RawResponse> answer = connection.readResponse();
    ASSERT_TRUE(answer) << request.substr(0, 20);
    EXPECT_EQ(answer->status, status) << request.substr(0, 20);
  }
  for (int i = 0; i < 20; ++i) {
    RawConnection leaving(port);
    leaving.send(i % 2 ? named(httpRequest("GET", "/view.js")) : upgrade);
    leaving.reset();
  }
  // Still serving: a tab's live connection opens with the greeting naming the bridge.
  RawConnection tab(port);
  tab.send(upgrade);
  const std::optional<RawResponse> upgraded = tab.readResponse();
  ASSERT_TRUE(upgraded);
  EXPECT_EQ(upgraded->status, 101);
  const std::optional<RawFrame> hello = tab.readFrame();
  ASSERT_TRUE(hello);
  EXPECT_EQ(json::parse(hello->payload).at("bridge"), bridge.url());

  view.signal(SIGINT);
  const ProgramResult ended = view.finish(30s);
  EXPECT_EQ(ended.exit_code, 0) << tail(ended.output);
  EXPECT_TRUE(contains(ended.output, "cannot read Chart.js at '/nonexistent/chart.js'"))
      << ended.output;
  EXPECT_FALSE(contains(ended.output, "without authentication")) << ended.output;
}

}  // namespace
}  // namespace strandel::e2e
