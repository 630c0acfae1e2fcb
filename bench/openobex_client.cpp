// A small OBEX folder-browsing client on libopenobex, the library most Linux
// OBEX software is built on, so that the benchmark also measures the server
// against a client that nobody here wrote. Bodies are streamed from and to
// disk; every command runs in one session.
//
//   quillfern_openobex_client [-a ADDR] [-p PORT] [-m MTU] COMMAND...
//     put FILE...       pushes each file under its base name
//     get NAME OUTFILE  fetches NAME into OUTFILE
//     list OUTFILE      fetches the current folder's listing
//     cd FOLDER         enters FOLDER
// MTU is the largest packet announced in CONNECT and sent (default 65535).
// Exit code 0 when every command succeeded.

#include <fcntl.h>
#include <netdb.h>
#include <openobex/obex.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::array<uint8_t, 16> FolderBrowsingTarget = {
    0xF9, 0xEC, 0x7B, 0xC4, 0x95, 0x3C, 0x11, 0xD2, 0x98, 0x4E, 0x52, 0x54, 0x00, 0xDC, 0x9E, 0x09};
constexpr size_t StreamChunk = 65536;
constexpr int InputTimeoutSeconds = 30;
constexpr char FolderListingType[] = "x-obex/folder-listing";

class Client {
 public:
  Client() : handle_(OBEX_Init(OBEX_TRANS_INET, &Client::OnEvent, 0)) {
    if (handle_ != nullptr) OBEX_SetUserData(handle_, this);
  }
  ~Client() {
    if (handle_ != nullptr) OBEX_Cleanup(handle_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connect(const std::string& address, const std::string& port, uint16_t mtu) {
    if (handle_ == nullptr) return false;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), port.c_str(), &hints, &found) != 0) return false;
    OBEX_SetTransportMTU(handle_, mtu, mtu);
    const int connected =
        TcpOBEX_TransportConnect(handle_, found->ai_addr, static_cast<int>(found->ai_addrlen));
    freeaddrinfo(found);
    if (connected < 0) return false;
    obex_object_t* object = OBEX_ObjectNew(handle_, OBEX_CMD_CONNECT);
    obex_headerdata_t value{};
    value.bs = FolderBrowsingTarget.data();
    OBEX_ObjectAddHeader(handle_, object, OBEX_HDR_TARGET, value, FolderBrowsingTarget.size(),
                         OBEX_FL_FIT_ONE_PACKET);
    return Run(object, false);
  }

  bool Put(const std::string& path) {
    const std::string_view base = BaseName(path);
    input_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (input_ < 0 || fstat(input_, &info) != 0) {
      std::perror(path.c_str());
      return false;
    }
    obex_object_t* object = NewRequest(OBEX_CMD_PUT);
    AddName(object, base);
    obex_headerdata_t value{};
    value.bq4 = static_cast<uint32_t>(info.st_size);
    OBEX_ObjectAddHeader(handle_, object, OBEX_HDR_LENGTH, value, 4, 0);
    value.bs = nullptr;
    OBEX_ObjectAddHeader(handle_, object, OBEX_HDR_BODY, value, 0, OBEX_FL_STREAM_START);
    const bool ok = Run(object, false);
    close(input_);
    input_ = -1;
    return ok;
  }

  bool Get(std::string_view name, const std::string& outPath) {
    output_ = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output_ < 0) {
      std::perror(outPath.c_str());
      return false;
    }
    obex_object_t* object = NewRequest(OBEX_CMD_GET);
    if (name.empty()) {
      obex_headerdata_t value{};
      value.bs = reinterpret_cast<const uint8_t*>(FolderListingType);
      OBEX_ObjectAddHeader(handle_, object, OBEX_HDR_TYPE, value, sizeof FolderListingType,
                           OBEX_FL_FIT_ONE_PACKET);
    } else {
      AddName(object, name);
    }
    const bool ok = Run(object, true);
    if (close(output_) != 0) writeFailed_ = true;
    output_ = -1;
    return ok && !writeFailed_;
  }

  bool ChangeFolder(std::string_view name) {
    obex_object_t* object = NewRequest(OBEX_CMD_SETPATH);
    const std::array<uint8_t, 2> flags = {0x02, 0x00};  // do not create
    OBEX_ObjectSetNonHdrData(object, flags.data(), flags.size());
    AddName(object, name);
    return Run(object, false);
  }

  void Disconnect() {
    Run(NewRequest(OBEX_CMD_DISCONNECT), false);
    OBEX_TransportDisconnect(handle_);
  }

  int LastResponse() const { return lastResponse_; }
  int ServerMtu() const { return serverMtu_; }

 private:
  static std::string_view BaseName(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
  }

  obex_object_t* NewRequest(uint8_t command) {
    obex_object_t* object = OBEX_ObjectNew(handle_, command);
    if (haveConnectionId_) {
      obex_headerdata_t value{};
      value.bq4 = connectionId_;
      OBEX_ObjectAddHeader(handle_, object, OBEX_HDR_CONNECTION, value, 4, OBEX_FL_FIT_ONE_PACKET);
    }
    return object;
  }

  // Names are ASCII here: each byte becomes one UTF-16 big-endian unit.
  void AddName(obex_object_t* object, std::string_view name) {
    std::vector<uint8_t> unicode(2 * name.size() + 2, 0);
    for (size_t i = 0; i < name.size(); ++i) unicode[2 * i + 1] = static_cast<uint8_t>(name[i]);
    obex_headerdata_t value{};
    value.bs = unicode.data();
    OBEX_ObjectAddHeader(handle_, object, OBEX_HDR_NAME, value,
                         static_cast<uint32_t>(unicode.size()), OBEX_FL_FIT_ONE_PACKET);
  }

  bool Run(obex_object_t* object, bool streamIn) {
    done_ = false;
    lastResponse_ = 0;
    if (OBEX_Request(handle_, object) < 0) return false;
    if (streamIn) OBEX_ObjectReadStream(handle_, object, nullptr);
    while (!done_) {
      if (OBEX_HandleInput(handle_, InputTimeoutSeconds) <= 0) {
        std::fprintf(stderr, "openobex client: timeout or link error\n");
        return false;
      }
    }
    return lastResponse_ == OBEX_RSP_SUCCESS;
  }

  static void OnEvent(obex_t* handle, obex_object_t* object, int, int event, int command,
                      int response) {
    static_cast<Client*>(OBEX_GetUserData(handle))->Handle(object, event, command, response);
  }

  void Handle(obex_object_t* object, int event, int command, int response) {
    switch (event) {
      case OBEX_EV_STREAMEMPTY: {
        const ssize_t got = input_ >= 0 ? read(input_, chunk_.data(), chunk_.size()) : 0;
        obex_headerdata_t value{};
        value.bs = chunk_.data();
        const auto length = static_cast<uint32_t>(got > 0 ? got : 0);
        OBEX_ObjectAddHeader(handle_, object, OBEX_HDR_BODY, value, length,
                             got > 0 ? OBEX_FL_STREAM_DATA : OBEX_FL_STREAM_DATAEND);
        break;
      }
      case OBEX_EV_STREAMAVAIL: {
        const uint8_t* data = nullptr;
        const int length = OBEX_ObjectReadStream(handle_, object, &data);
        if (length > 0 && output_ >= 0 &&
            write(output_, data, static_cast<size_t>(length)) != static_cast<ssize_t>(length)) {
          writeFailed_ = true;
        }
        break;
      }
      case OBEX_EV_REQDONE:
        lastResponse_ = response;
        done_ = true;
        if (command == OBEX_CMD_CONNECT) ReadConnectResponse(object);
        break;
      case OBEX_EV_LINKERR:
      case OBEX_EV_PARSEERR:
      case OBEX_EV_ABORT:
        lastResponse_ = -1;
        done_ = true;
        break;
      default:
        break;
    }
  }

  void ReadConnectResponse(obex_object_t* object) {
    uint8_t* head = nullptr;
    if (OBEX_ObjectGetNonHdrData(object, &head) >= 4) serverMtu_ = (head[2] << 8) | head[3];
    uint8_t id = 0;
    obex_headerdata_t value{};
    uint32_t length = 0;
    while (OBEX_ObjectGetNextHeader(handle_, object, &id, &value, &length) != 0) {
      if (id == OBEX_HDR_CONNECTION) {
        connectionId_ = value.bq4;
        haveConnectionId_ = true;
      }
    }
  }

  obex_t* handle_;
  bool done_ = false;
  int lastResponse_ = 0;
  int serverMtu_ = 0;
  uint32_t connectionId_ = 0;
  bool haveConnectionId_ = false;
  int input_ = -1;
  int output_ = -1;
  bool writeFailed_ = false;
  std::vector<uint8_t> chunk_ = std::vector<uint8_t>(StreamChunk);
};

int Usage() {
  std::fprintf(stderr,
               "usage: quillfern_openobex_client [-a ADDR] [-p PORT] [-m MTU] "
               "put FILE... | get NAME OUT | list OUT | cd FOLDER ...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string address = "127.0.0.1";
  std::string port = "650";
  long mtu = 65535;
  int option;
  while ((option = getopt(argc, argv, "+a:p:m:")) != -1) {
    switch (option) {
      case 'a':
        address = optarg;
        break;
      case 'p':
        port = optarg;
        break;
      case 'm':
        mtu = std::strtol(optarg, nullptr, 10);
        if (mtu < 255 || mtu > 65535) return Usage();
        break;
      default:
        return Usage();
    }
  }
  Client client;
  if (!client.Connect(address, port, static_cast<uint16_t>(mtu))) {
    std::fprintf(stderr, "openobex client: CONNECT failed (0x%02x)\n", client.LastResponse());
    return 1;
  }
  std::fprintf(stderr, "openobex client: client_mtu=%ld server_mtu=%d\n", mtu, client.ServerMtu());
  bool ok = true;
  std::string_view command;
  for (int i = optind; i < argc && ok;) {
    const std::string_view word = argv[i];
    if (word == "put" || word == "get" || word == "list" || word == "cd") {
      command = word;
      ++i;
      continue;
    }
    if (command == "put") {
      ok = client.Put(argv[i++]);
    } else if (command == "get" && i + 1 < argc) {
      ok = client.Get(argv[i], argv[i + 1]);
      i += 2;
    } else if (command == "list") {
      ok = client.Get({}, argv[i++]);
    } else if (command == "cd") {
      ok = client.ChangeFolder(argv[i++]);
    } else {
      return Usage();
    }
    if (!ok) {
      std::fprintf(stderr, "openobex client: %s failed, response 0x%02x\n",
                   std::string(command).c_str(), client.LastResponse());
    }
  }
  client.Disconnect();
  return ok ? 0 : 1;
}
