// The soak: the real program, headless, serving TCP, Object Push and Folder Browsing
// (on the loopback Bluetooth stack) to twelve clients at once for a bounded time, then
// the checks: every acknowledged object on disk byte for byte, nothing unacknowledged
// under its name, memory flat, no descriptor or thread left over, every slot usable,
// one log line per request in order. Prints the figures; exits 1 on any failed check.

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "obex/packet.h"
#include "soak/log_book.h"
#include "soak/process_watch.h"
#include "soak/soak_client.h"
#include "tests/support/headless_process.h"

namespace quillfern::soak {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int DefaultSeconds = 600;
// The memory windows are a tenth of the run each: the second tenth against the last (the
// second minute against the last minute of the ten-minute run). The first tenth is the
// warm-up, in which the sessions' buffers and the allocator's arenas are first made.
constexpr int WindowsPerRun = 10;
constexpr double AllowedGrowth = 0.10;
constexpr uint32_t StartTimeoutMs = 10000;
constexpr auto SettleTimeout = std::chrono::seconds(20);
constexpr int ClientsPerService = 4;
constexpr auto RefusalCloseWait = std::chrono::milliseconds(1500);

std::atomic<bool> interrupted{false};

void OnSignal(int) {
  interrupted = true;
}

struct Options {
  int seconds = DefaultSeconds;
  fs::path base;
  bool keep = false;
  uint64_t seed = 0;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  const char* tmp = std::getenv("TMPDIR");
  options.base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  options.seed = static_cast<uint64_t>(Clock::now().time_since_epoch().count());
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == "--seconds" && hasValue) {
      options.seconds = std::atoi(argv[++i]);
    } else if (argument == "--dir" && hasValue) {
      options.base = argv[++i];
    } else if (argument == "--seed" && hasValue) {
      options.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (argument == "--keep") {
      options.keep = true;
    } else {
      std::fprintf(stderr,
                   "usage: quillfern_soak [--seconds N (default %d, at least 20)] [--dir PATH] "
                   "[--seed N] [--keep]\n",
                   DefaultSeconds);
      return false;
    }
  }
  if (options.seconds < 20) {
    std::fprintf(stderr, "--seconds must be at least 20\n");
    return false;
  }
  return true;
}

double MiB(uint64_t bytes) {
  return static_cast<double>(bytes) / (1 << 20);
}

bool WaitUntil(const std::function<bool()>& condition, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

// Reads the program's first lines: the port, the two channels and the two L2CAP PSMs,
// with the notes the program may print between them (who may push, for one).
bool ReadEndpoints(testing::HeadlessProcess& process, Endpoints& endpoints, std::string& error) {
  constexpr int MostLines = 12;
  constexpr int Services = 2;
  int psms = 0;
  for (int read = 0;
       read < MostLines && (endpoints.tcpPort == 0 || endpoints.objectPushChannel == 0 ||
                            endpoints.folderBrowsingChannel == 0 || psms < Services);
       ++read) {
    std::string line;
    if (!process.ReadLine(line, StartTimeoutMs)) {
      error = "the program did not say where it serves: " + process.ReadAllErrors(500);
      return false;
    }
    if (line.starts_with("Port: ")) {
      endpoints.tcpPort = static_cast<uint16_t>(std::atoi(line.c_str() + 6));
    } else if (line.starts_with("Scn: ") && line.ends_with(" BT_OP")) {
      endpoints.objectPushChannel = static_cast<uint8_t>(std::atoi(line.c_str() + 5));
    } else if (line.starts_with("Scn: ") && line.ends_with(" BT_FB")) {
      endpoints.folderBrowsingChannel = static_cast<uint8_t>(std::atoi(line.c_str() + 5));
    } else if (line.starts_with("Psm: ")) {
      ++psms;
    }
  }
  if (endpoints.tcpPort == 0 || endpoints.objectPushChannel == 0 ||
      endpoints.folderBrowsingChannel == 0 || psms < Services) {
    error = "the program did not start all three services, each Bluetooth one on both links";
    return false;
  }
  return true;
}

// Every service takes four clients at once after the soak; a fifth is turned away.
void CheckSlots(std::vector<std::unique_ptr<SoakClient>>& clients,
                std::vector<std::string>& faults) {
  for (int service = 0; service < 3; ++service) {
    std::vector<std::pair<std::unique_ptr<ObexLink>, LogBook::SessionId>> held;
    SoakClient* first = nullptr;
    for (int i = 0; i < ClientsPerService; ++i) {
      SoakClient& client = *clients[static_cast<size_t>(service * ClientsPerService + i)];
      if (first == nullptr) first = &client;
      LogBook::SessionId session = 0;
      uint8_t code = 0;
      auto link = client.OpenForSlotCheck(session, code);
      if (!link) {
        faults.push_back(client.Name() + ": slot " + std::to_string(i + 1) +
                         " could not be used after the soak (CONNECT answered " +
                         std::string(ResponseText(code)) + ")");
        continue;
      }
      held.emplace_back(std::move(link), session);
    }
    if (held.size() == ClientsPerService) {
      LogBook::SessionId session = 0;
      uint8_t code = 0;
      auto fifth = first->OpenForSlotCheck(session, code);
      if (fifth || code != RspServiceUnavailable) {
        faults.push_back(first->Name() + ": a fifth client was not turned away with 0xD3");
        if (fifth) first->FinishSlotCheck(*fifth, session);
      }
    }
    for (size_t i = 0; i < held.size(); ++i) {
      clients[static_cast<size_t>(service * ClientsPerService) + i]->FinishSlotCheck(
          *held[i].first, held[i].second);
    }
  }
}

int RunSoak(const Options& options) {
  char pattern[PATH_MAX];
  std::snprintf(pattern, sizeof pattern, "%s/quillfern-soak-XXXXXX", options.base.c_str());
  if (::mkdtemp(pattern) == nullptr) {
    std::fprintf(stderr, "cannot make a folder below %s: %s\n", options.base.c_str(),
                 std::strerror(errno));
    return 2;
  }
  const fs::path work = pattern;
  Endpoints endpoints;
  endpoints.exchange = work / "exchange";
  endpoints.air = work / "air";
  fs::create_directories(endpoints.exchange);

  std::printf("Soak: %d s, 4 TCP, 4 Object Push and 4 Folder Browsing clients, seed %llu, in %s\n",
              options.seconds, static_cast<unsigned long long>(options.seed), work.c_str());
  std::fflush(stdout);

  testing::HeadlessProcess process(
      {QUILLFERN_BINARY, "--headless", "--no-settings", "--root", endpoints.exchange.string(),
       "--port", "0", "--listen", "127.0.0.1", "--services", "tcp,op,fb"},
      {"QUILLFERN_BLUETOOTH=loopback:" + endpoints.air.string()});
  std::string startError;
  if (!ReadEndpoints(process, endpoints, startError)) {
    std::fprintf(stderr, "%s\n", startError.c_str());
    return 2;
  }
  const pid_t pid = process.Pid();

  LogBook log;
  std::atomic<bool> stopReader{false};
  std::atomic<uint64_t> outputLines{0};
  // The program's output is kept beside the exchange folder, for a run kept with --keep.
  std::thread reader([&] {
    std::ofstream copy(work / "quillfern.log");
    std::string line;
    while (!stopReader.load()) {
      if (process.ReadLine(line, 100)) {
        ++outputLines;
        copy << line << '\n';
        log.Record(line);
      }
    }
  });

  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto fresh = SampleProcess(pid);
  const std::vector<std::string> descriptorsFresh = DescribeDescriptors(pid);
  std::vector<std::string> faults;

  std::vector<std::unique_ptr<SoakClient>> clients;
  for (const Service service : {Service::Tcp, Service::ObjectPush, Service::FolderBrowsing}) {
    for (int number = 1; number <= ClientsPerService; ++number) {
      clients.push_back(std::make_unique<SoakClient>(service, number, endpoints, log,
                                                     options.seed * 31 + clients.size()));
    }
  }
  // Every slot serves once before the counts are taken: what a slot keeps for its next
  // peer (the transport's pipe from socket to file) is made then, and a leak is what
  // grows beyond it.
  CheckSlots(clients, faults);
  // A peer turned away is closed about a second after its answer.
  std::this_thread::sleep_for(RefusalCloseWait);
  std::optional<ProcessSample> before;
  if (!WaitUntil(
          [&] {
            before = SampleProcess(pid);
            return log.Settled() && before && fresh && before->threads == fresh->threads;
          },
          SettleTimeout)) {
    faults.push_back("the sessions of the warm-up did not end");
  }
  const std::vector<std::string> descriptorsBefore = DescribeDescriptors(pid);
  // What the slots keep for their next peers, by kind ("pipe", "socket", a path).
  std::map<std::string, int> keptBySlots;
  for (const auto& descriptor : descriptorsBefore) {
    if (std::find(descriptorsFresh.begin(), descriptorsFresh.end(), descriptor) !=
        descriptorsFresh.end()) {
      continue;
    }
    std::string target = descriptor.substr(descriptor.find(" -> ") + 4);
    target = target.substr(0, target.find(":["));
    ++keptBySlots[target];
  }
  if (!before) faults.push_back("the program could not be sampled at the start");

  ProcessWatch watch;
  ProcessWatch ownWatch;
  watch.Start(pid);
  ownWatch.Start(::getpid());
  const auto start = Clock::now();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (auto& client : clients) threads.emplace_back([&client, &stop] { client->Run(stop); });
  const auto end = start + std::chrono::seconds(options.seconds);
  int lastReport = 0;
  while (Clock::now() < end && !interrupted.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const int elapsed =
        static_cast<int>(std::chrono::duration<double>(Clock::now() - start).count());
    if (elapsed / 60 > lastReport) {
      lastReport = elapsed / 60;
      const auto now = SampleProcess(pid);
      std::printf("  %3d s: %llu requests logged, RSS %.1f MiB\n", elapsed,
                  static_cast<unsigned long long>(log.RequestLines()),
                  now ? static_cast<double>(now->rssKiB) / 1024 : 0.0);
      std::fflush(stdout);
    }
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  const double loadSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  watch.Stop();

  if (interrupted.load()) faults.push_back("interrupted");
  if (!WaitUntil([&] { return log.Settled(); }, SettleTimeout)) {
    faults.push_back("the log did not account for every session within 20 s of the end");
  }
  CheckSlots(clients, faults);
  if (!WaitUntil([&] { return log.Settled(); }, SettleTimeout)) {
    faults.push_back("the log did not account for the slot check's sessions");
  }
  std::this_thread::sleep_for(RefusalCloseWait);
  std::optional<ProcessSample> after;
  WaitUntil(
      [&] {
        after = SampleProcess(pid);
        return after && before && after->descriptors == before->descriptors &&
               after->threads == before->threads;
      },
      std::chrono::seconds(10));
  ownWatch.Stop();
  // With no client connected nothing in the exchange folder stays open: a folder on a
  // removable disk could not be unmounted otherwise.
  for (const auto& descriptor : DescribeDescriptors(pid)) {
    const std::string target = descriptor.substr(descriptor.find(" -> ") + 4);
    if (target == endpoints.exchange.string() ||
        target.starts_with(endpoints.exchange.string() + "/")) {
      faults.push_back("the idle program holds open " + target);
    }
  }
  if (before && after && after->descriptors != before->descriptors) {
    for (const auto& descriptor : DescribeDescriptors(pid)) {
      if (std::find(descriptorsBefore.begin(), descriptorsBefore.end(), descriptor) ==
          descriptorsBefore.end()) {
        faults.push_back("open after the soak, not before: " + descriptor);
      }
    }
  }

  uint64_t checkedObjects = 0;
  uint64_t checkedBytes = 0;
  for (const auto& client : clients)
    client->CheckExchangeFolder(faults, checkedObjects, checkedBytes);
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(endpoints.exchange, error)) {
    const std::string name = entry.path().filename().string();
    const bool owned = std::any_of(clients.begin(), clients.end(),
                                   [&name](const auto& client) { return client->Owns(name); });
    if (!owned)
      faults.push_back("the exchange folder holds \"" + name + "\", which no client stored");
  }

  process.Signal(SIGTERM);
  const int exitCode = process.Wait(10000);
  stopReader = true;
  reader.join();
  const std::string errors = process.ReadAllErrors(500);
  if (exitCode != 0) faults.push_back("the program exited with " + std::to_string(exitCode));
  if (!errors.empty()) faults.push_back("the program wrote to standard error: " + errors);

  // Figures.
  ClientFigures total;
  for (const auto& client : clients) {
    const ClientFigures& figures = client->Figures();
    total.requests += figures.requests;
    total.sessions += figures.sessions;
    total.busyAnswers += figures.busyAnswers;
    total.displaced += figures.displaced;
    total.bytesUp += figures.bytesUp;
    total.bytesDown += figures.bytesDown;
    total.stored += figures.stored;
    total.aborts += figures.aborts;
    total.vanishings += figures.vanishings;
    total.largest = std::max(total.largest, figures.largest);
    total.errorCount += figures.errorCount;
    for (const auto& text : figures.errors) faults.push_back(text);
  }
  for (const auto& text : log.Faults(true)) faults.push_back(text);

  const double window = options.seconds / static_cast<double>(WindowsPerRun);
  const uint64_t secondPeak = watch.PeakRssKiB(window, 2 * window);
  const uint64_t lastPeak = watch.PeakRssKiB(options.seconds - window, options.seconds + 1.0);
  uint64_t overallPeak = 0;
  for (const auto& sample : watch.Samples()) overallPeak = std::max(overallPeak, sample.rssKiB);
  uint64_t ownPeak = 0;
  for (const auto& sample : ownWatch.Samples()) ownPeak = std::max(ownPeak, sample.rssKiB);
  if (secondPeak == 0 || lastPeak == 0) {
    faults.push_back("too few memory samples");
  } else if (static_cast<double>(lastPeak) >
             static_cast<double>(secondPeak) * (1 + AllowedGrowth)) {
    faults.push_back("memory grew: peak RSS " + std::to_string(lastPeak) +
                     " KiB in the last window, " + std::to_string(secondPeak) +
                     " KiB in the second");
  }
  if (!before || !after || after->descriptors != before->descriptors) {
    faults.push_back("descriptors leaked");
  }
  if (!before || !after || after->threads != before->threads) faults.push_back("threads leaked");
  const uint64_t logged = log.RequestLines();
  if (logged != total.requests) {
    faults.push_back("the log holds " + std::to_string(logged) + " request lines for " +
                     std::to_string(total.requests) + " requests");
  }

  std::printf("\nSoak figures (%.0f s of load, %d clients):\n", loadSeconds,
              static_cast<int>(clients.size()));
  std::printf("  requests            %llu (%.0f/s), %llu log lines for them\n",
              static_cast<unsigned long long>(total.requests), total.requests / loadSeconds,
              static_cast<unsigned long long>(logged));
  std::printf(
      "  sessions            %llu; retried: %llu turned away busy (0xD3), %llu closed "
      "before CONNECT was answered (slot given to a newcomer)\n",
      static_cast<unsigned long long>(total.sessions),
      static_cast<unsigned long long>(total.busyAnswers),
      static_cast<unsigned long long>(total.displaced));
  std::printf("  bytes pushed        %.1f MiB (%llu objects stored, largest %.1f MiB)\n",
              MiB(total.bytesUp), static_cast<unsigned long long>(total.stored),
              MiB(total.largest));
  std::printf("  bytes fetched       %.1f MiB\n", MiB(total.bytesDown));
  std::printf("  on disk at the end  %llu objects, %.1f MiB, each compared byte for byte\n",
              static_cast<unsigned long long>(checkedObjects), MiB(checkedBytes));
  std::printf("  aborts              %llu\n", static_cast<unsigned long long>(total.aborts));
  std::printf("  vanishings          %llu\n", static_cast<unsigned long long>(total.vanishings));
  std::printf(
      "  server RSS          %.1f MiB peak in the second window, %.1f MiB in the last "
      "(windows of %.0f s; %+.1f %%), %.1f MiB peak overall\n",
      secondPeak / 1024.0, lastPeak / 1024.0, window,
      secondPeak ? 100.0 * (static_cast<double>(lastPeak) - secondPeak) / secondPeak : 0.0,
      overallPeak / 1024.0);
  std::printf("  server descriptors  %d before, %d after (%d before any client came)\n",
              before ? before->descriptors : -1, after ? after->descriptors : -1,
              fresh ? fresh->descriptors : -1);
  std::string kept;
  for (const auto& [target, count] : keptBySlots) {
    kept += (kept.empty() ? "" : ", ") + std::to_string(count) + " " + target;
  }
  std::printf("  kept by the slots   %s\n", kept.empty() ? "nothing" : kept.c_str());
  std::printf("  server threads      %d before, %d after (%d before any client came)\n",
              before ? before->threads : -1, after ? after->threads : -1,
              fresh ? fresh->threads : -1);
  std::printf("  soak's own RSS      %.1f MiB peak\n", ownPeak / 1024.0);
  std::printf("  errors              %zu\n", faults.size());
  for (size_t i = 0; i < faults.size() && i < 50; ++i) std::printf("    %s\n", faults[i].c_str());
  std::printf("%s\n", faults.empty() ? "Soak passed." : "Soak FAILED.");

  if (!options.keep) {
    fs::remove_all(work, error);
  } else {
    std::printf("Kept %s\n", work.c_str());
  }
  return faults.empty() ? 0 : 1;
}

}  // namespace
}  // namespace quillfern::soak

int main(int argc, char** argv) {
  quillfern::soak::Options options;
  if (!quillfern::soak::ParseOptions(argc, argv, options)) return 2;
  struct sigaction action {};
  action.sa_handler = quillfern::soak::OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return quillfern::soak::RunSoak(options);
}
