#include "server/session.h"

#include "obex/packet.h"
#include "server/exchange_folder.h"
#include "server/server_thread.h"

namespace quillfern {

TOBEXServerConnection::TOBEXServerConnection(TOBEXServer& server, uint8_t mode) : Server(server) {
  Mode = mode;
}

TOBEXServerConnection::~TOBEXServerConnection() {
  // The transport is closed first, so the worker ends; then it is waited for.
  if (Transport() != nullptr) CloseTransport();
  StopWorker();
}

int TOBEXServerConnection::SetRootPath(const std::string& path) {
  RootPath = NormalisedRoot(path);
  // The exchange folder is opened here, once: every request of the session
  // resolves its names beneath this descriptor.
  Names = NameResolver(RootPath);
  return 0;
}

int TOBEXServerConnection::StartSession() {
  StopWorker();
  // A session closed from the main thread while its worker was still
  // answering a CONNECT may have been marked connected after the close.
  Connected = false;
  RequiredTarget = requiredTargetSetting_;
  ServerKind = Server.Kind;
  Worker = std::make_unique<TOBEXServerThread>(*this);
  Link().AttachWorker();
  if (!Worker->Start()) {
    Link().DetachWorker();
    Worker.reset();
    CloseTransport();
    return -1;
  }
  return 0;
}

int TOBEXServerConnection::StopWorker() {
  if (!Worker) return -1;
  Worker->WaitFor();
  Worker.reset();
  return 0;
}

int TOBEXServerConnection::CloseTransport() {
  if (!Link().Active.load()) return -1;
  Link().Close();
  Connected = false;
  return 0;
}

int TOBEXServerConnection::Respond(uint8_t code) {
  const auto response = BareResponse(code);
  return Link().SendData(response);
}

void TOBEXServerConnection::Log(const std::string& line) {
  Server.SessionLog(*this, line);
}

}  // namespace quillfern
