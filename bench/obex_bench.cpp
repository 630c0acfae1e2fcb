// Throughput, latency and memory of the headless quillfern server over
// loopback TCP, set against a bare socket ping-pong of the same packet sizes.
// One run prints the whole report; every figure is the median of several
// rounds. The exit code is non-zero only when a transfer failed.

#include <sched.h>
#include <signal.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_client.h"
#include "bench/bench_util.h"
#include "bench/figure.h"
#include "bench/ping_pong.h"
#include "bench/server_process.h"
#include "bench/third_party.h"

namespace quillfern::bench {
namespace {

namespace fs = std::filesystem;

constexpr size_t MiB = 1024 * 1024;
// The workloads at full size; --quick shrinks them to check that every path
// of the benchmark still works, in seconds.
constexpr WorkloadSizes FullSizes{256 * MiB, 4096, 1000, 10000};
constexpr WorkloadSizes QuickSizes{4 * MiB, 4096, 50, 500};
constexpr uint16_t ClientMaxPacket = 65535;
constexpr uint16_t ObexftpMaxPacket = 1024;  // fixed in obexftp
constexpr size_t BigSide = 65535;
constexpr size_t SmallSide = 3;
// About as many bytes per ping-pong run as the large object holds.
constexpr size_t FullPingPongExchanges = 4096;
constexpr size_t QuickPingPongExchanges = 64;
constexpr uint32_t ClientTimeoutMs = 30000;
constexpr int MaxRounds = 100;
constexpr long TmpfsMagic = 0x01021994;
constexpr int InterruptedExit = 130;

constexpr std::u16string_view LargeObjectName = u"large.bin";
constexpr std::string_view ListingFolder = "listing";
constexpr std::u16string_view ListingFolderName = u"listing";
constexpr std::string_view FolderListingType = "x-obex/folder-listing";

// Rounds stop early once a figure has used this much time, so a very slow
// server still finishes in a few minutes; the report says so.
constexpr double PingPongBudgetSeconds = 30;
constexpr double LargeTransferBudgetSeconds = 90;
constexpr double SmallPutBudgetSeconds = 20;
constexpr double ListingBudgetSeconds = 20;

constexpr double PutRatioTarget = 0.35;
constexpr double GetRatioTarget = 0.40;
constexpr double SmallPutsTargetSeconds = 0.08;
constexpr double ListingTargetMs = 30;
constexpr double PeakMemoryTargetMiB = 32;

struct Options {
  int rounds = 5;
  std::string dir;
  int cpu = -1;
  bool quick = false;
  bool thirdParty = true;
};

// Set once from the options before anything is measured.
WorkloadSizes Sizes = FullSizes;
size_t PingPongExchanges = FullPingPongExchanges;
size_t LargeObjectSize = FullSizes.largeObject;
size_t SmallObjectSize = FullSizes.smallObject;
size_t SmallObjectCount = FullSizes.smallObjectCount;
size_t ListingEntryCount = FullSizes.listingEntries;

void ApplySizes(bool quick) {
  Sizes = quick ? QuickSizes : FullSizes;
  PingPongExchanges = quick ? QuickPingPongExchanges : FullPingPongExchanges;
  LargeObjectSize = Sizes.largeObject;
  SmallObjectSize = Sizes.smallObject;
  SmallObjectCount = Sizes.smallObjectCount;
  ListingEntryCount = Sizes.listingEntries;
}

constexpr const char* Usage =
    "Usage: obex_bench [--rounds N] [--dir PATH] [--cpu N] [--quick] [--no-third-party]\n"
    "  --rounds N  rounds per figure, the median is reported (default 5)\n"
    "  --dir PATH  put the exchange folder under PATH instead of /dev/shm (tmpfs)\n"
    "  --cpu N     the CPU that client and server share (default: the last one allowed)\n"
    "  --quick     small sizes and one round: checks that every path still works\n"
    "  --no-third-party  only the benchmark's own client\n";

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == "--rounds" && hasValue) {
      options.rounds = std::atoi(argv[++i]);
      if (options.rounds < 1 || options.rounds > MaxRounds) return std::nullopt;
    } else if (argument == "--dir" && hasValue) {
      options.dir = argv[++i];
    } else if (argument == "--cpu" && hasValue) {
      options.cpu = std::atoi(argv[++i]);
    } else if (argument == "--quick") {
      options.quick = true;
      options.rounds = 1;
    } else if (argument == "--no-third-party") {
      options.thirdParty = false;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

// A fresh folder that is removed again with everything in it.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& parent) {
    std::string pattern = parent + "/quillfern-bench-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Deterministic bytes that no layer can compress or recognise.
std::vector<uint8_t> PseudoRandomBytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint64_t state = 0x5EED0B5EC0FFEEull;
  for (size_t i = 0; i < size; i += 8) {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t value = state;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    value ^= value >> 31;
    std::memcpy(bytes.data() + i, &value, std::min<size_t>(8, size - i));
  }
  return bytes;
}

uint64_t Checksum(std::span<const uint8_t> bytes) {
  uint64_t sum = 0xCBF29CE484222325ull ^ bytes.size();
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    sum = (sum ^ word) * 0x100000001B3ull;
    sum ^= sum >> 29;
  }
  for (; i < bytes.size(); ++i) sum = (sum ^ bytes[i]) * 0x100000001B3ull;
  return sum;
}

std::u16string Utf16(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

std::string SmallObjectName(size_t i) {
  char name[32];
  std::snprintf(name, sizeof name, "small-%04zu.bin", i);
  return name;
}

struct PingPongFigures {
  Figure requestSame;  // 65535-byte request, 3-byte answer
  Figure answerSame;   // 3-byte request, 65535-byte answer
  Figure requestApart;
  Figure answerApart;
};

void MeasurePingPong(PingPongFigures& figures, int rounds, int cpu, int otherCpu) {
  auto measure = [&](Figure& figure, int echoCpu, size_t request, size_t answer) {
    RunRounds(figure, rounds, PingPongBudgetSeconds,
              [&](int, std::string& error) -> std::optional<double> {
                const PingPongResult result =
                    RunPingPong({cpu, echoCpu, request, answer, PingPongExchanges});
                if (!result.ok) {
                  error = result.error;
                  return std::nullopt;
                }
                return MegabytesPerSecond(static_cast<double>(PingPongExchanges * BigSide),
                                          result.seconds);
              });
  };
  measure(figures.requestSame, cpu, BigSide, SmallSide);
  measure(figures.answerSame, cpu, SmallSide, BigSide);
  if (otherCpu >= 0) {
    measure(figures.requestApart, otherCpu, BigSide, SmallSide);
    measure(figures.answerApart, otherCpu, SmallSide, BigSide);
  }
}

bool CreateListingFolder(const fs::path& folder, std::string& error) {
  std::error_code failure;
  fs::create_directory(folder, failure);
  if (failure) {
    error = "cannot create " + folder.string() + ": " + failure.message();
    return false;
  }
  for (size_t i = 0; i < ListingEntryCount; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "entry-%05zu.txt", i);
    FILE* file = std::fopen((folder / name).c_str(), "wb");
    if (file == nullptr || std::fputc('x', file) == EOF || std::fclose(file) != 0) {
      error = "cannot create the listing files in " + folder.string();
      return false;
    }
  }
  return true;
}

size_t CountOccurrences(std::string_view text, std::string_view what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

struct ObexFigures {
  Figure put;
  Figure get;
  Figure smallPuts;
  Figure listing;
  std::string verification;
  std::string memoryTrace;
};

void MeasureLargeTransfers(ObexFigures& figures, ServerProcess& server, const fs::path& root,
                           std::span<const uint8_t> object, int rounds) {
  BenchClient client(ClientTimeoutMs);
  std::string error;
  if (!client.Connect(server.Port(), ClientMaxPacket, error)) {
    figures.put.error = error;
    return;
  }
  std::printf("  server maximum packet: %u bytes\n", client.ServerMaxPacket());
  // Faulted in once here, so the first GET does not pay for the pages.
  std::vector<uint8_t> received(object.size() + 1, 0);
  received.clear();
  const fs::path file = root / "large.bin";
  figures.put.plannedRounds = figures.get.plannedRounds = rounds;
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    std::error_code ignored;
    fs::remove(file, ignored);
    auto begin = Clock::now();
    if (Interrupted) {
      figures.put.error = "interrupted";
      break;
    }
    if (!client.Put(LargeObjectName, object, figures.put.error)) break;
    figures.put.samples.push_back(
        MegabytesPerSecond(static_cast<double>(object.size()), SecondsSince(begin)));
    const auto stored = fs::file_size(file, ignored);
    if (ignored || stored != object.size()) {
      figures.put.error = "the stored file holds " + std::to_string(stored) + " bytes, not " +
                          std::to_string(object.size());
      break;
    }

    begin = Clock::now();
    if (!client.Get(LargeObjectName, {}, received, object.size() + 1, figures.get.error)) break;
    figures.get.samples.push_back(
        MegabytesPerSecond(static_cast<double>(received.size()), SecondsSince(begin)));
    if (i == 0) {
      const uint64_t sent = Checksum(object);
      const uint64_t back = Checksum(received);
      char text[160];
      std::snprintf(text, sizeof text,
                    "GET returned %zu bytes, checksum %016llx (sent %zu, %016llx)", received.size(),
                    static_cast<unsigned long long>(back), object.size(),
                    static_cast<unsigned long long>(sent));
      figures.verification = text;
      if (received.size() != object.size() || back != sent ||
          std::memcmp(received.data(), object.data(), object.size()) != 0) {
        figures.get.error = "the object came back different: " + figures.verification;
        break;
      }
    }
    if (i + 1 < rounds && SecondsSince(start) > LargeTransferBudgetSeconds) {
      figures.put.outOfTime = figures.get.outOfTime = true;
      break;
    }
  }
  std::error_code ignored;
  fs::remove(file, ignored);
  client.Disconnect();
}

void MeasureSmallPuts(ObexFigures& figures, ServerProcess& server, const fs::path& root,
                      std::span<const uint8_t> source, int rounds) {
  std::vector<std::u16string> names;
  for (size_t i = 0; i < SmallObjectCount; ++i) names.push_back(Utf16(SmallObjectName(i)));
  RunRounds(
      figures.smallPuts, rounds, SmallPutBudgetSeconds,
      [&](int round, std::string& error) -> std::optional<double> {
        // Every round creates the files anew.
        for (size_t i = 0; i < SmallObjectCount; ++i) {
          std::error_code ignored;
          fs::remove(root / SmallObjectName(i), ignored);
        }
        BenchClient client(ClientTimeoutMs);
        if (!client.Connect(server.Port(), ClientMaxPacket, error)) return std::nullopt;
        const auto begin = Clock::now();
        for (size_t i = 0; i < SmallObjectCount; ++i) {
          if (!client.Put(names[i], source.subspan(i * SmallObjectSize, SmallObjectSize), error)) {
            error = "object " + std::to_string(i) + ": " + error;
            return std::nullopt;
          }
        }
        const double seconds = SecondsSince(begin);
        client.Disconnect();
        if (round == 0) {
          for (size_t i = 0; i < SmallObjectCount; ++i) {
            std::error_code failure;
            if (fs::file_size(root / SmallObjectName(i), failure) != SmallObjectSize || failure) {
              error = SmallObjectName(i) + " was not stored whole";
              return std::nullopt;
            }
          }
        }
        return seconds;
      });
  for (size_t i = 0; i < SmallObjectCount; ++i) {
    std::error_code ignored;
    fs::remove(root / SmallObjectName(i), ignored);
  }
}

void MeasureListing(ObexFigures& figures, ServerProcess& server, int rounds) {
  BenchClient client(ClientTimeoutMs);
  std::string error;
  if (!client.Connect(server.Port(), ClientMaxPacket, error) ||
      !client.SetPath(ListingFolderName, error)) {
    figures.listing.error = error;
    return;
  }
  std::vector<uint8_t> listing;
  constexpr size_t ListingLimit = 64 * MiB;
  listing.reserve(ListingLimit / 8);
  RunRounds(figures.listing, rounds, ListingBudgetSeconds,
            [&](int round, std::string& failure) -> std::optional<double> {
              const auto begin = Clock::now();
              if (!client.Get({}, FolderListingType, listing, ListingLimit, failure)) {
                return std::nullopt;
              }
              const double ms = SecondsSince(begin) * 1000;
              if (round == 0) {
                const std::string_view text(reinterpret_cast<const char*>(listing.data()),
                                            listing.size());
                const size_t entries = CountOccurrences(text, "<file ");
                std::printf("  listing: %zu bytes, %zu file entries\n", listing.size(), entries);
                if (entries != ListingEntryCount || text.find("</folder-listing>") == text.npos) {
                  failure = "the listing holds " + std::to_string(entries) + " file entries, not " +
                            std::to_string(ListingEntryCount);
                  return std::nullopt;
                }
              }
              return ms;
            });
  client.Disconnect();
}

struct ThirdPartyRun {
  ThirdPartyClient client;
  ThirdPartyFigures figures;
  std::string skipped;  // why the client was not run
};

std::vector<ThirdPartyRun> ThirdPartyClients() {
  std::vector<ThirdPartyRun> runs(2);
  runs[0].client = {"obexftp", FindProgram("obexftp"), true, ObexftpMaxPacket};
  if (runs[0].client.program.empty()) runs[0].skipped = "obexftp is not installed";
  runs[1].client = {"libopenobex", QUILLFERN_OPENOBEX_CLIENT, false, ClientMaxPacket};
  return runs;
}

void MeasureThirdParty(std::vector<ThirdPartyRun>& runs, const ServerProcess& server,
                       const fs::path& root, std::span<const uint8_t> object, int rounds, int cpu) {
  for (ThirdPartyRun& run : runs) {
    std::printf("\nThird-party client: %s (announces a %u-byte maximum packet)\n",
                run.client.label.c_str(), run.client.maxPacket);
    if (!run.skipped.empty()) {
      std::printf("  skipped: %s\n", run.skipped.c_str());
      continue;
    }
    std::fflush(stdout);
    MeasureWithThirdPartyClient(run.client, server.Pid(), server.Port(), root,
                                std::string(ListingFolder), object, Sizes, rounds, cpu,
                                run.figures);
    PrintRounds("PUT, MB/s", run.figures.put, "%.1f");
    PrintRounds("PUT, server CPU us per packet", run.figures.putCpuPerPacket, "%.2f");
    PrintRounds("GET, MB/s", run.figures.get, "%.1f");
    PrintRounds("GET, server CPU us per packet", run.figures.getCpuPerPacket, "%.2f");
    PrintRounds("small PUTs, s", run.figures.smallPuts, "%.3f");
    PrintRounds("folder listing, ms", run.figures.listing, "%.1f");
  }
}

bool AnyThirdPartyFailure(const std::vector<ThirdPartyRun>& runs) {
  for (const ThirdPartyRun& run : runs) {
    const ThirdPartyFigures& f = run.figures;
    if (f.put.Failed() || f.get.Failed() || f.smallPuts.Failed() || f.listing.Failed()) return true;
  }
  return false;
}

void PrintThirdPartySummary(const std::vector<ThirdPartyRun>& runs) {
  std::printf(
      "\nThird-party clients (medians; whole client runs, connect and disconnect included)\n");
  std::printf("  %-12s %9s %9s %9s %9s %12s %12s\n", "client", "PUT MB/s", "GET MB/s", "PUTs s",
              "list ms", "PUT us/pkt", "GET us/pkt");
  for (const ThirdPartyRun& run : runs) {
    const ThirdPartyFigures& f = run.figures;
    auto cell = [](const Figure& figure, const char* format) {
      return figure.Failed()     ? std::string("FAILED")
             : figure.Measured() ? Format(format, figure.Value())
                                 : std::string("-");
    };
    std::printf("  %-12s %9s %9s %9s %9s %12s %12s\n", run.client.label.c_str(),
                cell(f.put, "%.1f").c_str(), cell(f.get, "%.1f").c_str(),
                cell(f.smallPuts, "%.3f").c_str(), cell(f.listing, "%.1f").c_str(),
                cell(f.putCpuPerPacket, "%.2f").c_str(), cell(f.getCpuPerPacket, "%.2f").c_str());
  }
}

std::string MiBText(uint64_t kib) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kib) / 1024);
  return text;
}

void PrintRow(const char* label, const Figure& figure, const std::string& value,
              const std::string& ratio, const char* target, bool met) {
  // A figure whose rounds broke off is reported as failed even with some
  // rounds measured: its transfers did not all work.
  const char* result = figure.Failed()      ? "FAILED"
                       : !figure.Measured() ? "n/a"
                       : met                ? "PASS"
                                            : "MISS";
  std::printf("  %-34s %14s %7s   %-16s %s\n", label, figure.Measured() ? value.c_str() : "-",
              figure.Measured() ? ratio.c_str() : "", target, result);
}

int Run(const Options& options) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) == 0) {
    std::fprintf(stderr, "cannot read this process's CPU set\n");
    return 1;
  }
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  }
  const int cpu = options.cpu >= 0 ? options.cpu : cpus.back();
  if (options.cpu >= 0 && !CPU_ISSET(cpu, &allowed)) {
    std::fprintf(stderr, "CPU %d is not available to this process\n", cpu);
    return 2;
  }
  int otherCpu = -1;
  for (const int candidate : cpus) {
    if (candidate != cpu) {
      otherCpu = candidate;
      break;
    }
  }
  if (!PinCurrentThread(cpu)) {
    std::perror("sched_setaffinity");
    return 1;
  }

  const std::string parent = options.dir.empty() ? "/dev/shm" : options.dir;
  const ScratchFolder scratch(parent);
  if (scratch.Path().empty()) {
    std::fprintf(stderr, "cannot create a folder under %s: %s\n", parent.c_str(),
                 std::strerror(errno));
    return 1;
  }
  struct statfs fileSystem {};
  statfs(scratch.Path().c_str(), &fileSystem);
  const bool onTmpfs = static_cast<long>(fileSystem.f_type) == TmpfsMagic;

  std::printf("quillfern OBEX benchmark\n");
  std::printf("  server binary   %s\n", QUILLFERN_BINARY);
  std::printf("  exchange folder %s (%s)\n", scratch.Path().c_str(),
              onTmpfs ? "tmpfs" : "not tmpfs");
  std::printf("  CPUs            client and server on CPU %d; other CPU %s\n", cpu,
              otherCpu >= 0 ? std::to_string(otherCpu).c_str() : "none");
  std::printf("  rounds          %d per figure, the median is reported\n", options.rounds);
  std::printf("  units           MB = 10^6 bytes, MiB = 2^20 bytes\n\n");
  std::fflush(stdout);

  std::printf(
      "TCP ping-pong over loopback, no OBEX, no disk (blocking sockets, SO_SNDBUF and\n"
      "SO_RCVBUF 65535 on both ends, %zu exchanges a round; MB/s of the 65535-byte side)\n",
      PingPongExchanges);
  PingPongFigures pingPong;
  MeasurePingPong(pingPong, options.rounds, cpu, otherCpu);
  std::printf("  %-38s %10s %10s\n", "median MB/s", "same CPU", "2 CPUs");
  auto pingPongRow = [](const char* label, const Figure& same, const Figure& apart) {
    const std::string other = apart.Measured() ? Format("%.0f", apart.Value()) : "-";
    std::printf("  %-38s %10s %10s\n", label,
                same.Measured() ? Format("%.0f", same.Value()).c_str() : "-", other.c_str());
  };
  pingPongRow("65535 B request, 3 B answer", pingPong.requestSame, pingPong.requestApart);
  pingPongRow("3 B request, 65535 B answer", pingPong.answerSame, pingPong.answerApart);
  std::printf("  rounds, MB/s:\n");
  PrintRounds("65535 B request, 3 B answer, same CPU", pingPong.requestSame, "%.0f");
  PrintRounds("3 B request, 65535 B answer, same CPU", pingPong.answerSame, "%.0f");
  if (otherCpu >= 0) {
    PrintRounds("65535 B request, 3 B answer, 2 CPUs", pingPong.requestApart, "%.0f");
    PrintRounds("3 B request, 65535 B answer, 2 CPUs", pingPong.answerApart, "%.0f");
  }
  std::printf("\n");
  if (Interrupted) {
    std::printf("Interrupted.\n");
    return InterruptedExit;
  }

  ObexFigures obex;
  std::vector<ThirdPartyRun> thirdParty =
      options.thirdParty ? ThirdPartyClients() : std::vector<ThirdPartyRun>();
  std::optional<uint64_t> peakKiB;
  uint64_t idleKiB = 0;
  bool serverStopped = true;
  {
    std::printf("Preparing: %zu files in %s/, a %zu MiB object in memory\n", ListingEntryCount,
                std::string(ListingFolder).c_str(), LargeObjectSize / MiB);
    std::fflush(stdout);
    std::string error;
    const fs::path root = scratch.Path();
    const bool listingReady = CreateListingFolder(root / ListingFolder, error);
    if (!listingReady) obex.listing.error = error;
    const std::vector<uint8_t> object = PseudoRandomBytes(LargeObjectSize);

    ServerProcess server;
    if (!server.Start(QUILLFERN_BINARY, scratch.Path(), cpu, otherCpu >= 0 ? otherCpu : cpu,
                      error)) {
      std::fprintf(stderr, "the server did not start: %s\n", error.c_str());
      return 1;
    }
    idleKiB = server.IdleRssKiB();
    std::printf("Server pid %d, pinned by %s, idle VmRSS %s\n\n", static_cast<int>(server.Pid()),
                server.PinnedBy().c_str(), MiBText(idleKiB).c_str());
    auto traceMemory = [&](const char* after) {
      const auto hwm = server.StatusKiB("VmHWM");
      if (hwm) obex.memoryTrace += std::string(after) + " " + MiBText(*hwm) + ", ";
    };

    std::printf("OBEX over loopback TCP (client announces a %u-byte maximum packet)\n",
                ClientMaxPacket);
    std::fflush(stdout);
    MeasureLargeTransfers(obex, server, root, object, options.rounds);
    if (!obex.verification.empty()) std::printf("  %s\n", obex.verification.c_str());
    PrintRounds("PUT 256 MiB, MB/s", obex.put, "%.0f");
    PrintRounds("GET 256 MiB, MB/s", obex.get, "%.0f");
    traceMemory("after PUT/GET");

    MeasureSmallPuts(obex, server, root, object, options.rounds);
    PrintRounds("1000 PUTs of 4 KiB, s", obex.smallPuts, "%.4f");
    traceMemory("after small PUTs");

    if (listingReady) MeasureListing(obex, server, options.rounds);
    PrintRounds("folder listing of 10000, ms", obex.listing, "%.2f");
    traceMemory("after listing");

    if (options.thirdParty) {
      MeasureThirdParty(thirdParty, server, root, object, options.rounds, cpu);
      traceMemory("after third-party clients");
    }

    peakKiB = server.StatusKiB("VmHWM");
    serverStopped = server.Stop();
    const std::string diagnostics = server.Diagnostics();
    const bool anyFailure =
        obex.put.Failed() || obex.get.Failed() || obex.smallPuts.Failed() || obex.listing.Failed();
    if (anyFailure && !diagnostics.empty()) std::printf("%s", diagnostics.c_str());
  }
  if (!obex.memoryTrace.empty()) {
    obex.memoryTrace.resize(obex.memoryTrace.size() - 2);
    std::printf("  server VmHWM: %s\n", obex.memoryTrace.c_str());
  }
  if (!serverStopped) std::printf("  note: the server did not exit cleanly on SIGTERM\n");

  const double putBase = pingPong.requestSame.Value();
  const double getBase = pingPong.answerSame.Value();
  const double putRatio = putBase > 0 ? obex.put.Value() / putBase : 0;
  const double getRatio = getBase > 0 ? obex.get.Value() / getBase : 0;
  Figure memory;
  if (peakKiB) {
    memory.samples.push_back(static_cast<double>(*peakKiB - std::min(*peakKiB, idleKiB)) / 1024);
  }

  std::printf("\nSummary (medians; ratios against the same-CPU ping-pong in the same direction)\n");
  std::printf("  %-34s %14s %7s   %-16s %s\n", "figure", "value", "ratio", "target", "result");
  PrintRow("PUT 256 MiB object", obex.put, Format("%.0f MB/s", obex.put.Value()),
           Format("%.2f", putRatio), "ratio >= 0.35", putRatio >= PutRatioTarget);
  PrintRow("GET 256 MiB object", obex.get, Format("%.0f MB/s", obex.get.Value()),
           Format("%.2f", getRatio), "ratio >= 0.40", getRatio >= GetRatioTarget);
  PrintRow("1000 PUTs of 4 KiB, one session", obex.smallPuts,
           Format("%.4f s", obex.smallPuts.Value()), "", "< 0.08 s",
           obex.smallPuts.Value() < SmallPutsTargetSeconds);
  PrintRow("folder listing, 10000 entries", obex.listing, Format("%.2f ms", obex.listing.Value()),
           "", "< 30 ms", obex.listing.Value() < ListingTargetMs);
  PrintRow("server peak memory above idle", memory, Format("%.1f MiB", memory.Value()), "",
           "< 32 MiB", memory.Value() < PeakMemoryTargetMiB);
  std::printf("  (ping-pong same CPU: %.0f MB/s request side, %.0f MB/s answer side)\n", putBase,
              getBase);
  if (!thirdParty.empty()) PrintThirdPartySummary(thirdParty);

  const bool failed = pingPong.requestSame.Failed() || pingPong.answerSame.Failed() ||
                      pingPong.requestApart.Failed() || pingPong.answerApart.Failed() ||
                      obex.put.Failed() || obex.get.Failed() || obex.smallPuts.Failed() ||
                      obex.listing.Failed() || AnyThirdPartyFailure(thirdParty);
  if (Interrupted) {
    std::printf("\nInterrupted.\n");
    return InterruptedExit;
  }
  if (failed) std::printf("\nSome transfers FAILED; see above.\n");
  return failed ? 1 : 0;
}

void OnStopSignal(int) {
  Interrupted = 1;
}

void OnBrokenPipe(int) {}

// Handlers rather than ignoring or blocking: the server inherits ignored
// dispositions and the signal mask through exec, but caught signals revert
// to their defaults there. A closed standard output (obex_bench | head) must
// not kill the run before it has stopped the server and removed its files.
void CatchSignals() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  action.sa_handler = OnStopSignal;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  action.sa_handler = OnBrokenPipe;
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace
}  // namespace quillfern::bench

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::printf("%s", quillfern::bench::Usage);
      return 0;
    }
  }
  const auto options = quillfern::bench::ParseOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr, "%s", quillfern::bench::Usage);
    return 2;
  }
  quillfern::bench::ApplySizes(options->quick);
  quillfern::bench::CatchSignals();
  return quillfern::bench::Run(*options);
}
