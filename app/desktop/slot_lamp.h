#pragma once

#include <QAbstractButton>
#include <QString>
#include <cstdint>
#include <optional>

#include "app/desktop/transfer_state.h"
#include "server/server_event.h"

class QTimer;

namespace quillfern {

// One connection slot's lamp: lit (enabled) exactly while a client is
// connected in the slot. It keeps the peer text that came with the connect
// event, so what it shows is never a later peer's. While the slot transfers
// an object, a ring around the lamp's rim shows how far it got (an arc that
// runs round while the total is unknown) and the tooltip tells the figures.
// UI thread only.
class TSlotLamp : public QAbstractButton {
  Q_OBJECT

 public:
  TSlotLamp(int server, int slot, QWidget* parent = nullptr);

  int Server() const { return server_; }
  int Slot() const { return slot_; }  // 0-based
  bool IsLit() const { return isEnabled(); }
  const QString& Peer() const { return peer_; }
  // Counts the connects, so that a question asked about one peer is not
  // applied to the next peer of the slot.
  uint64_t Generation() const { return generation_; }

  void Light(const QString& peer);
  void Darken();

  // A Progress event of the slot's current peer: begins or moves on the
  // transfer, or ends it when finished. A dark lamp ignores it.
  void ShowProgress(const ServerEvent& event);
  // The running transfer; null when none runs.
  const TransferState* Transfer() const { return transfer_ ? &*transfer_ : nullptr; }
  // The connect of the peer whose transfer runs (see Generation).
  uint64_t TransferGeneration() const { return transferGeneration_; }
  // The server's number of the running transfer (the Progress events'), by
  // which a cancel names it.
  uint64_t TransferNumber() const { return transferNumber_; }

  QSize sizeHint() const override { return {60, 56}; }
  // The lamp's rim, which sets it off from the window lit or dark, on any palette.
  QColor RimColour() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void EndTransfer();
  void UpdateTip();
  void PaintRing(QPainter& painter, const QRectF& glyph) const;

  const int server_;  // index of the server the lamp belongs to
  const int slot_;
  QString peer_;             // UI thread
  uint64_t generation_ = 0;  // UI thread
  std::optional<TransferState> transfer_;
  uint64_t transferGeneration_ = 0;
  uint64_t transferNumber_ = 0;
  QTimer* spin_ = nullptr;  // turns the ring while the total is unknown
  int spinAngle_ = 0;       // degrees
};

}  // namespace quillfern
