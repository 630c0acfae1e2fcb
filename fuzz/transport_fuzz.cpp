// Fuzz target: the transport's packet assembly from a byte stream that arrives in
// arbitrary pieces. The first byte picks how packets are received (whole, by prefix then
// the rest, or by prefix then the rest into a file), the next four the sizes of the pieces
// the stream arrives in, in turn; the rest is the stream. Every packet handed out must be
// the next packet of the stream, byte for byte, and the stream's end or a length field
// below the packet head must end the link.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "obex/connection.h"
#include "obex/packet.h"
#include "obex/transport.h"
#include "platform/event_loop.h"
#include "platform/unique_fd.h"

namespace {

using namespace quillfern;

void Check(bool condition) {
  if (!condition) std::abort();
}

// A transport whose bytes come from memory, in pieces of the sizes given, then the end
// of the stream.
class PieceTransport : public TOBEXTransportBase {
 public:
  using TOBEXTransportBase::TOBEXTransportBase;

  void Feed(std::span<const uint8_t> stream, std::span<const uint8_t> pieceSizes) {
    stream_ = stream;
    pieceSizes_ = pieceSizes;
    Active = true;
  }

  int Open() override { return 0; }
  int Close() override { return 0; }
  int BytesAvailable() override { return static_cast<int>(stream_.size() - taken_); }
  int ReceiveBytes(std::span<uint8_t> buffer) override {
    const size_t count = std::min(buffer.size(), NextPiece());
    std::copy_n(stream_.begin() + static_cast<ptrdiff_t>(taken_), count, buffer.begin());
    taken_ += count;
    return static_cast<int>(count);
  }
  bool CanReceiveIntoFile() override { return true; }

 protected:
  int ReceiveBytesIntoFile(int file, size_t count, bool& fileShort) override {
    const size_t take = std::min(count, NextPiece());
    if (take > 0 && !fileShort) {
      const ssize_t written = write(file, stream_.data() + taken_, take);
      if (written != static_cast<ssize_t>(take)) fileShort = true;
    }
    taken_ += take;
    return static_cast<int>(take);
  }

 private:
  // The bytes the next read may take: what is left of the current piece.
  size_t NextPiece() {
    const size_t left = stream_.size() - taken_;
    if (left == 0) return 0;
    if (pieceLeft_ == 0) {
      const uint8_t code = pieceSizes_.empty() ? 0 : pieceSizes_[piece_++ % pieceSizes_.size()];
      pieceLeft_ = code == 0 ? left : code;
    }
    const size_t count = std::min(pieceLeft_, left);
    pieceLeft_ -= count;
    return count;
  }

  std::span<const uint8_t> stream_;
  std::span<const uint8_t> pieceSizes_;
  size_t taken_ = 0;
  size_t piece_ = 0;
  size_t pieceLeft_ = 0;
};

std::vector<uint8_t> FileContent(int file) {
  std::vector<uint8_t> content(static_cast<size_t>(lseek(file, 0, SEEK_END)));
  Check(pread(file, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size()));
  return content;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static EventLoop loop;
  static UniqueFd file(memfd_create("transport_fuzz", 0));
  TOBEXConnection connection;
  PieceTransport transport(loop, connection);
  transport.Timeout = 1;
  const uint8_t how = data[0] % 3;
  const size_t prefix = static_cast<size_t>(data[0]) * 64;
  const std::span<const uint8_t> stream(data + 5, size - 5);
  transport.Feed(stream, std::span(data + 1, 4));

  size_t position = 0;
  for (;;) {
    const size_t left = stream.size() - position;
    const size_t length = left >= ObexPacketHeadSize ? PacketLength(stream.subspan(position)) : 0;
    const auto expected = left >= length && length >= ObexPacketHeadSize
                              ? stream.subspan(position, length)
                              : std::span<const uint8_t>{};
    int result;
    if (how == 0) {
      result = transport.ReceivePacket();
    } else {
      result = transport.ReceivePacketPrefix(prefix);
      if (result > 0 && !transport.PacketComplete()) {
        const auto head = transport.PacketPrefix();
        const auto rest = stream.subspan(position);
        Check(head.size() <= rest.size() && std::equal(head.begin(), head.end(), rest.begin()));
        if (how == 1) {
          result = transport.ReceivePacket();
        } else {
          Check(ftruncate(file.Get(), 0) == 0 && lseek(file.Get(), 0, SEEK_SET) == 0);
          bool fileShort = false;
          result = transport.ReceivePacketRestIntoFile(ObexPacketHeadSize, file.Get(), fileShort);
          if (result > 0) {
            Check(!fileShort);
            const auto content = FileContent(file.Get());
            Check(std::equal(content.begin(), content.end(), expected.begin() + ObexPacketHeadSize,
                             expected.end()));
            position += static_cast<size_t>(result);
            continue;
          }
        }
      }
    }
    // No piece is ever missing, so the time limit can never run out.
    Check(result != 0);
    if (left >= ObexPacketHeadSize && length < ObexPacketHeadSize) {
      Check(result == ResultPacketLengthTooSmall && !transport.Active.load());
      break;
    }
    if (expected.empty()) {
      Check(result == ResultFailed && !transport.Active.load());
      break;
    }
    Check(result == static_cast<int>(length));
    const auto packet = transport.ReceivedPacket();
    Check(packet.size() == expected.size() &&
          std::equal(packet.begin(), packet.end(), expected.begin()));
    position += length;
  }
  return 0;
}
