#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "bench/figure.h"

namespace quillfern::bench {

// An OBEX client that nobody here wrote, run as its own process for each
// workload: what a user's client sees, down to its packet size and its
// wake-ups.
struct ThirdPartyClient {
  std::string label;     // for the report
  std::string program;   // absolute path
  bool obexftp = false;  // obexftp's command line, else the libopenobex client's
  uint16_t maxPacket = 0;
};

// How big the workloads are; the full sizes unless a quick run asks less.
struct WorkloadSizes {
  size_t largeObject = 0;
  size_t smallObject = 0;
  size_t smallObjectCount = 0;
  size_t listingEntries = 0;
};

struct ThirdPartyFigures {
  Figure put;        // MB/s
  Figure get;        // MB/s
  Figure smallPuts;  // seconds
  Figure listing;    // ms
  // Server CPU (user + system) per request packet of the large PUT and GET,
  // in microseconds: what each packet costs the server, whatever the machine
  // does besides.
  Figure putCpuPerPacket;
  Figure getCpuPerPacket;
};

// Where the client program is, or empty when it is not installed.
std::string FindProgram(const std::string& name);

// Runs the four workloads with the client against the running server,
// checking every transfer's bytes. The server's exchange folder is root, and
// listingFolder (below root) holds the listing's entries.
void MeasureWithThirdPartyClient(const ThirdPartyClient& client, pid_t server, uint16_t port,
                                 const std::filesystem::path& root,
                                 const std::string& listingFolder, std::span<const uint8_t> object,
                                 const WorkloadSizes& sizes, int rounds, int cpu,
                                 ThirdPartyFigures& figures);

}  // namespace quillfern::bench
