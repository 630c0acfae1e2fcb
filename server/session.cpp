#include "server/session.h"

#include "obex/packet.h"
#include "platform/clock.h"
#include "server/exchange_folder.h"
#include "server/push_gate.h"
#include "server/server_thread.h"

namespace quillfern {

std::string ResultText(int result) {
  switch (result) {
    case ResultCancelled:
      return "Cancelled by the user";
    case ResultRefusedByPolicy:
      return "Refused by the push policy";
    case ResultRefusedByUser:
      return "Refused by the user";
    case ResultNoAnswer:
      return "Refused: no answer came in time";
    case ResultQuestionAbandoned:
      return "Ended before the user answered: the connection closed";
    case ResultNotChosen:
      return "Refused: the device is not trusted";
    case ResultCutOffByUser:
      return "Cut off: the user disconnected the client";
    case ResultCutOffByStop:
      return "Cut off: the service was switched off";
    default:
      return std::string(ResponseText(result));
  }
}

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
  AcceptedForSession = false;
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

int TOBEXServerConnection::RequestCancel(std::optional<uint64_t> transfer) {
  const uint64_t serial = transferSerialShared_.load();
  if (serial % 2 == 0 || (transfer && *transfer != serial)) return -1;
  cancelSerial_.store(serial);
  return 0;
}

int TOBEXServerConnection::LoggedResult(int result) const {
  // No response code is zero or negative: the link broke.
  if (result > 0) return result;
  switch (ClosedBy.load()) {
    case SessionCloser::User:
      return ResultCutOffByUser;
    case SessionCloser::ServiceStop:
      return ResultCutOffByStop;
    case SessionCloser::None:
      break;
  }
  return result;
}

void TOBEXServerConnection::BeginTransfer(const std::string& object, TransferDirection direction,
                                          std::optional<uint64_t> total) {
  transferSerial_ += transferSerial_ % 2 == 0 ? 1 : 2;  // the next odd number
  transferSerialShared_.store(transferSerial_);
  progressTransfer_ = transferSerial_;
  progressObject_ = object;
  progressDirection_ = direction;
  progressTotal_ = total;
  progressBytes_ = 0;
  progressReportedMs_ = MonotonicMs();
  progressTold_ = false;
}

void TOBEXServerConnection::EndTransfer() {
  if (transferSerial_ % 2 == 0) return;
  ++transferSerial_;
  transferSerialShared_.store(transferSerial_);
  if (progressTold_) ReportProgress(true);
  progressObject_.clear();
  progressTold_ = false;
}

void TOBEXServerConnection::ReportProgressSometimes() {
  // One look at the clock per packet: a few tens of nanoseconds.
  if (MonotonicMs() - progressReportedMs_ >= ProgressIntervalMs) ReportProgress(false);
}

void TOBEXServerConnection::ReportProgress(bool finished) {
  progressReportedMs_ = MonotonicMs();
  progressTold_ = true;
  ServerEvent event;
  event.kind = ServerEventKind::Progress;
  event.transfer = progressTransfer_;
  event.object = progressObject_;
  event.bytes = progressBytes_;
  event.total = progressTotal_;
  event.direction = progressDirection_;
  event.finished = finished;
  Server.SessionEvent(*this, std::move(event));
}

bool TOBEXServerConnection::PeerChosen() const {
  return PeerTrusted || Server.Pushes().AlwaysAccepted(PeerAddress);
}

std::string TOBEXServerConnection::RefusalText(int result) const {
  std::string text = ResultText(result);
  if (result == ResultNotChosen) text += "; " + ChooseDeviceHint(PeerAddress);
  return text;
}

int TOBEXServerConnection::PushPermission(const std::string& object,
                                          std::optional<uint64_t> total) {
  if (Mode != ModeInbox) return 0;
  const PushPolicy policy = Server.Pushes().Policy();
  if (policy == PushPolicy::AcceptAll || AcceptedForSession || PeerChosen()) return 0;
  if (policy == PushPolicy::ChosenOnly) return ResultRefusedByPolicy;
  ServerEvent asked;
  asked.kind = ServerEventKind::PushQuestion;
  asked.object = object;
  asked.total = total;
  const int answer = AskUser(std::move(asked));
  if (answer == ResultQuestionAbandoned || !Link().PacketWaiting()) return answer;
  // The client was to wait for the answer to its first packet, in Single Response Mode too;
  // one that tired of waiting sends ABORT, and that is what it hears answered, whatever the
  // user chose: an answer to the push as well would put every later answer one behind.
  if (Link().ReceivePacket() > 0 && Link().ReceivedPacket()[0] == OpAbort) return ResultAborted;
  // Anything else leaves no answer that the client could pair with its request.
  CloseTransport();
  return ResultQuestionAbandoned;
}

int TOBEXServerConnection::DeletePermission() const {
  // A push cannot take anything from the user, a delete can: no answer to a
  // push question and no policy lets a device the user never chose remove
  // what others pushed.
  if (Mode != ModeInbox || PeerChosen()) return 0;
  return ResultNotChosen;
}

int TOBEXServerConnection::BrowsePermission() {
  if (!AskToBrowse || PeerChosen()) return 0;
  ServerEvent asked;
  asked.kind = ServerEventKind::BrowseQuestion;
  return AskUser(std::move(asked));
}

int TOBEXServerConnection::AskUser(ServerEvent question) {
  PushGate& gate = Server.Pushes();
  question.question = gate.OpenQuestion(PeerAddress);
  question.address = PeerAddress;
  const uint64_t id = question.question;
  const std::string object = question.object;
  Server.SessionEvent(*this, std::move(question));
  // A browse question comes before the CONNECT is answered: the peer is
  // there as long as its link is.
  const bool connecting = !Connected.load();
  const PushQuestionOutcome outcome = gate.WaitForAnswer(
      id, [this, connecting] { return Link().Active.load() && (connecting || Connected.load()); });
  ServerEvent ended;
  ended.kind = ServerEventKind::PushQuestionEnded;
  ended.question = id;
  ended.object = object;
  ended.address = PeerAddress;
  int result = 0;
  switch (outcome) {
    case PushQuestionOutcome::AcceptedUntilDisconnect:
      AcceptedForSession = true;
      [[fallthrough]];
    case PushQuestionOutcome::Accepted:
      ended.text = "Accepted";
      break;
    case PushQuestionOutcome::Rejected:
      result = ResultRefusedByUser;
      break;
    case PushQuestionOutcome::TimedOut:
      result = ResultNoAnswer;
      break;
    case PushQuestionOutcome::Abandoned:
      result = ResultQuestionAbandoned;
      break;
  }
  if (result != 0) ended.text = ResultText(result);
  Server.SessionEvent(*this, std::move(ended));
  return result;
}

}  // namespace quillfern
