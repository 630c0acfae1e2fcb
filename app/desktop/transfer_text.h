#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace quillfern {

class TransferState;

// Sizes as people read them, in powers of 1000 with one decimal where it
// says something: "512 B", "1.5 kB", "12.3 MB", "40 MB".
std::string HumanSize(uint64_t bytes);
// "1.2 MB/s".
std::string HumanSpeed(double bytesPerSecond);
// "45 s left", "3 min 5 s left", "2 h 10 min left".
std::string HumanTimeLeft(std::chrono::seconds left);

// A lamp's tooltip while its slot transfers: the peer, what moves and which
// way, how far it got ("12.3 MB of 40 MB", or "12.3 MB" without a total),
// and the speed with the time left once they are known. One fact a line;
// the peer's and the object's texts are shown as ShownText gives them.
std::string TransferTip(const std::string& peer, const TransferState& transfer);

// The notification-area tooltip: the title alone while nothing moves, else
// the title with the running transfers summed up
// ("Quillfern — 2 transfers, 12.3 MB of 40 MB"; the "of" only when every
// total is known).
std::string TransfersSummary(const std::string& title,
                             const std::vector<const TransferState*>& transfers);

}  // namespace quillfern
