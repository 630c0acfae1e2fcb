#pragma once

#include <QAbstractButton>
#include <QString>
#include <cstdint>

namespace quillfern {

// One connection slot's lamp: lit (enabled) exactly while a client is
// connected in the slot. It keeps the peer text that came with the connect
// event, so what it shows is never a later peer's. UI thread only.
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

  QSize sizeHint() const override { return {60, 56}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const int server_;  // index of the server the lamp belongs to
  const int slot_;
  QString peer_;             // UI thread
  uint64_t generation_ = 0;  // UI thread
};

}  // namespace quillfern
