#include "bench/third_party.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <system_error>
#include <vector>

namespace quillfern::bench {
namespace {

namespace fs = std::filesystem;

constexpr int ClientTimeoutSeconds = 600;
constexpr double LargeBudgetSeconds = 120;
constexpr double SmallBudgetSeconds = 30;
constexpr std::string_view LargeName = "large.bin";
constexpr std::string_view ListingOutput = "listing.xml";
// A request packet of a large PUT carries the packet head and a Body
// header's three bytes besides its data.
constexpr size_t PutPacketOverhead = 3 + 3;

// Server CPU in clock ticks: user and system time of all its threads.
uint64_t ServerCpuTicks(pid_t server) {
  std::ifstream stat("/proc/" + std::to_string(server) + "/stat");
  std::string text;
  std::getline(stat, text);
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
  // After the name: state is field 3, utime field 14 and stime field 15.
  if (values.size() < 13) return 0;
  return std::stoull(values[11]) + std::stoull(values[12]);
}

double TicksToSeconds(uint64_t ticks) {
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct ClientRun {
  bool ok = false;
  double seconds = 0;
  double serverCpuSeconds = 0;
  std::string error;
};

// Runs the client in folder, pinned to cpu, its output kept in a log file
// there; obexftp exits 255 after a successful last command, and both print
// "failed" or "error" on failure.
ClientRun RunClient(const std::vector<std::string>& arguments, const fs::path& folder, int cpu,
                    pid_t server, bool stdoutToListing) {
  ClientRun run;
  const std::string logPath = (folder / "client.log").string();
  const std::string outPath = stdoutToListing ? (folder / ListingOutput).string() : logPath;
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.data()));
  argv.push_back(nullptr);
  const uint64_t cpuBefore = ServerCpuTicks(server);
  const auto start = Clock::now();
  const pid_t child = fork();
  if (child < 0) {
    run.error = std::string("fork: ") + std::strerror(errno);
    return run;
  }
  if (child == 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int out = stdoutToListing
                        ? open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                        : log;
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log < 0 || out < 0 || null < 0 || chdir(folder.c_str()) != 0) _exit(126);
    dup2(null, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    alarm(ClientTimeoutSeconds);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.seconds = SecondsSince(start);
  run.serverCpuSeconds = TicksToSeconds(ServerCpuTicks(server) - cpuBefore);
  std::ifstream logFile(logPath);
  const std::string log{std::istreambuf_iterator<char>(logFile), {}};
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if ((code != 0 && code != 255) || log.find("failed") != std::string::npos ||
      log.find("error") != std::string::npos) {
    run.error = "client exit " + std::to_string(code) + ": " + log.substr(0, 300);
    return run;
  }
  run.ok = true;
  return run;
}

std::vector<std::string> Command(const ThirdPartyClient& client, uint16_t port,
                                 const std::string& verb, const std::vector<std::string>& names) {
  std::vector<std::string> arguments{client.program};
  if (client.obexftp) {
    arguments.insert(arguments.end(), {"-n", "127.0.0.1:" + std::to_string(port)});
    if (verb == "list") {
      arguments.insert(arguments.end(), {"-c", names.front(), "-l"});
    } else {
      for (const std::string& name : names) {
        arguments.push_back(verb == "put" ? "-p" : "-g");
        arguments.push_back(name);
      }
    }
    return arguments;
  }
  arguments.insert(arguments.end(),
                   {"-p", std::to_string(port), "-m", std::to_string(client.maxPacket)});
  if (verb == "get") {
    arguments.insert(arguments.end(), {"get", names.front(), names.front()});
  } else if (verb == "list") {
    arguments.insert(arguments.end(), {"cd", names.front(), "list", std::string(ListingOutput)});
  } else {
    arguments.push_back(verb);
    arguments.insert(arguments.end(), names.begin(), names.end());
  }
  return arguments;
}

bool WriteFile(const fs::path& path, std::span<const uint8_t> bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

bool SameBytes(const fs::path& path, std::span<const uint8_t> bytes) {
  std::ifstream file(path, std::ios::binary);
  std::vector<uint8_t> held(bytes.size() + 1);
  file.read(reinterpret_cast<char*>(held.data()), static_cast<std::streamsize>(held.size()));
  return static_cast<size_t>(file.gcount()) == bytes.size() &&
         std::memcmp(held.data(), bytes.data(), bytes.size()) == 0;
}

void RemoveEntries(const fs::path& folder) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) fs::remove_all(entry, ignored);
}

// Packets of a transfer of size bytes at the client's packet size: the
// requests of a PUT, the responses of a GET.
double PacketCount(size_t size, uint16_t maxPacket) {
  const size_t data = maxPacket - PutPacketOverhead;
  return static_cast<double>((size + data - 1) / data);
}

}  // namespace

std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    const std::string candidate = folder + "/" + name;
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

void MeasureWithThirdPartyClient(const ThirdPartyClient& client, pid_t server, uint16_t port,
                                 const fs::path& root, const std::string& listingFolder,
                                 std::span<const uint8_t> object, const WorkloadSizes& sizes,
                                 int rounds, int cpu, ThirdPartyFigures& figures) {
  // The client's own files live beside the exchange folder, never in it.
  const fs::path work = root.parent_path() / (root.filename().string() + "-client");
  const fs::path small = work / "small";
  std::error_code failure;
  fs::create_directories(small, failure);
  const auto large = object.first(sizes.largeObject);
  std::vector<std::string> smallNames;
  for (size_t i = 0; i < sizes.smallObjectCount; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "s%04zu.bin", i);
    smallNames.emplace_back(name);
    WriteFile(small / name, object.subspan(i * sizes.smallObject, sizes.smallObject));
  }
  const double packets = PacketCount(sizes.largeObject, client.maxPacket);
  const std::string largeName(LargeName);

  RunRounds(figures.put, rounds, LargeBudgetSeconds,
            [&](int, std::string& error) -> std::optional<double> {
              fs::remove(root / largeName, failure);
              if (!WriteFile(work / largeName, large)) {
                error = "cannot write the object into " + work.string();
                return std::nullopt;
              }
              const ClientRun run =
                  RunClient(Command(client, port, "put", {largeName}), work, cpu, server, false);
              fs::remove(work / largeName, failure);
              if (!run.ok) {
                error = run.error;
                return std::nullopt;
              }
              if (!SameBytes(root / largeName, large)) {
                error = "the stored object differs from the one sent";
                return std::nullopt;
              }
              figures.putCpuPerPacket.samples.push_back(run.serverCpuSeconds * 1e6 / packets);
              return MegabytesPerSecond(static_cast<double>(large.size()), run.seconds);
            });

  RunRounds(figures.get, rounds, LargeBudgetSeconds,
            [&](int, std::string& error) -> std::optional<double> {
              if (!fs::exists(root / largeName) && !WriteFile(root / largeName, large)) {
                error = "cannot place the object in the exchange folder";
                return std::nullopt;
              }
              fs::remove(work / largeName, failure);
              const ClientRun run =
                  RunClient(Command(client, port, "get", {largeName}), work, cpu, server, false);
              if (!run.ok) {
                error = run.error;
                return std::nullopt;
              }
              const bool same = SameBytes(work / largeName, large);
              fs::remove(work / largeName, failure);
              if (!same) {
                error = "the object came back different";
                return std::nullopt;
              }
              figures.getCpuPerPacket.samples.push_back(run.serverCpuSeconds * 1e6 / packets);
              return MegabytesPerSecond(static_cast<double>(large.size()), run.seconds);
            });
  fs::remove(root / largeName, failure);

  RunRounds(figures.smallPuts, rounds, SmallBudgetSeconds,
            [&](int, std::string& error) -> std::optional<double> {
              for (const std::string& name : smallNames) fs::remove(root / name, failure);
              const ClientRun run =
                  RunClient(Command(client, port, "put", smallNames), small, cpu, server, false);
              if (!run.ok) {
                error = run.error;
                return std::nullopt;
              }
              for (size_t i = 0; i < smallNames.size(); ++i) {
                if (!SameBytes(root / smallNames[i],
                               object.subspan(i * sizes.smallObject, sizes.smallObject))) {
                  error = smallNames[i] + " was not stored whole";
                  return std::nullopt;
                }
              }
              return run.seconds;
            });
  for (const std::string& name : smallNames) fs::remove(root / name, failure);

  RunRounds(figures.listing, rounds, SmallBudgetSeconds,
            [&](int, std::string& error) -> std::optional<double> {
              fs::remove(work / ListingOutput, failure);
              const ClientRun run = RunClient(Command(client, port, "list", {listingFolder}), work,
                                              cpu, server, client.obexftp);
              if (!run.ok) {
                error = run.error;
                return std::nullopt;
              }
              std::ifstream file(work / ListingOutput);
              const std::string text{std::istreambuf_iterator<char>(file), {}};
              size_t entries = 0;
              for (size_t at = text.find("<file "); at != std::string::npos;
                   at = text.find("<file ", at + 1)) {
                ++entries;
              }
              if (entries != sizes.listingEntries) {
                error = "the listing holds " + std::to_string(entries) + " files, not " +
                        std::to_string(sizes.listingEntries);
                return std::nullopt;
              }
              return run.seconds * 1000;
            });
  RemoveEntries(work);
  fs::remove_all(work, failure);
}

}  // namespace quillfern::bench
