#include "app/desktop/push_questions.h"

#include <QAction>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <span>
#include <utility>

#include "app/desktop/desktop_notifications.h"
#include "app/desktop/shown_text.h"
#include "app/desktop/transfer_text.h"
#include "app/service_push_settings.h"
#include "app/settings_store.h"
#include "bluetooth/address.h"

namespace quillfern {
namespace {

struct Choice {
  const char* key;
  const char* label;
  PushAnswer answer;
};

constexpr std::array<Choice, 4> PushChoices = {{
    {"accept", "Accept", PushAnswer::Accept},
    {"reject", "Reject", PushAnswer::Reject},
    {"accept-session", "Accept all from this device until it disconnects",
     PushAnswer::AcceptUntilDisconnect},
    {"always-accept", "Always accept from this device", PushAnswer::AlwaysAccept},
}};

// "Always" makes the device a chosen one, as trusting it would.
constexpr std::array<Choice, 3> BrowseChoices = {{
    {"allow-once", "Allow once", PushAnswer::Accept},
    {"allow-always", "Always", PushAnswer::AlwaysAccept},
    {"refuse", "Refuse", PushAnswer::Reject},
}};

bool IsBrowse(const ServerEvent& event) {
  return event.kind == ServerEventKind::BrowseQuestion;
}

std::span<const Choice> ChoicesOf(const ServerEvent& event) {
  if (IsBrowse(event)) return BrowseChoices;
  return PushChoices;
}

QString TitleOf(const ServerEvent& event) {
  return IsBrowse(event) ? "Allow browsing?" : "Accept a file?";
}

}  // namespace

TPushQuestions::TPushQuestions(TDesktopNotifications& notifications, SettingsStore& settings,
                               QObject* parent)
    : QObject(parent), notifications_(notifications), settings_(settings) {
  connect(&notifications_, &TDesktopNotifications::ActionInvoked, this,
          [this](uint32_t id, const QString& action) {
            for (auto& [question, open] : open_) {
              if (open.notification != id || id == 0) continue;
              for (const Choice& choice : ChoicesOf(open.event)) {
                if (action == choice.key) {
                  Answer(question, choice.answer);
                  return;
                }
              }
              return;
            }
          });
  connect(&notifications_, &TDesktopNotifications::NotificationClosed, this,
          [this](uint32_t id, uint32_t) {
            for (auto& [question, open] : open_) {
              if (open.notification != id || id == 0) continue;
              open.notification = 0;
              // Closed without an answer: the question waits in the tray's menu.
              ShowInMenu(question);
              return;
            }
          });
}

TPushQuestions::~TPushQuestions() {
  for (auto& [question, open] : open_) {
    delete open.dialog;
    delete open.menu;
  }
}

void TPushQuestions::Bind(AnswerFunction answer, QMenu* trayMenu) {
  answer_ = std::move(answer);
  trayMenu_ = trayMenu;
}

void TPushQuestions::Event(const ServerEvent& event) {
  if (event.kind == ServerEventKind::PushQuestionEnded) {
    End(event.question);
    return;
  }
  if (event.kind != ServerEventKind::PushQuestion && !IsBrowse(event)) return;
  open_[event.question].event = event;
  const uint64_t question = event.question;
  notifications_.WhenActionsKnown([this, question](bool actions) { Ask(question, actions); });
}

QString TPushQuestions::Text(const ServerEvent& event) const {
  if (IsBrowse(event)) {
    return QString("Let %1 browse and change the files in the exchange folder?")
        .arg(PeerShown(event));
  }
  QString object = ShownQString(event.object);
  if (event.total) object += QString(", %1").arg(QString::fromStdString(HumanSize(*event.total)));
  return QString("%1 wants to send %2").arg(PeerShown(event), object);
}

void TPushQuestions::Ask(uint64_t question, bool actions) {
  const auto entry = open_.find(question);
  if (entry == open_.end()) return;  // ended before it could be shown
  if (!actions) {
    ShowDialog(question);
    return;
  }
  TDesktopNotifications::Note note;
  note.summary = TitleOf(entry->second.event);
  note.body = Text(entry->second.event);
  for (const Choice& choice : ChoicesOf(entry->second.event)) {
    note.actions << choice.key << choice.label;
  }
  note.hints.insert("resident", true);
  note.hints.insert("urgency", QVariant::fromValue<uchar>(2));
  note.hints.insert("category", QString("transfer"));
  note.timeoutMs = 0;
  notifications_.Notify(note, [this, question](uint32_t id) {
    const auto shown = open_.find(question);
    if (shown == open_.end()) {
      notifications_.Close(id);  // ended meanwhile
      return;
    }
    if (id == 0) {
      ShowDialog(question);  // the server went away
      return;
    }
    shown->second.notification = id;
    emit Shown(question);
  });
}

void TPushQuestions::ShowDialog(uint64_t question) {
  Open& open = open_[question];
  auto* dialog = new QDialog(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint);
  dialog->setObjectName(IsBrowse(open.event) ? "BrowseQuestionDialog" : "PushQuestionDialog");
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(TitleOf(open.event));
  auto* layout = new QVBoxLayout(dialog);
  auto* text = new QLabel(Text(open.event), dialog);
  text->setObjectName("PushQuestionText");
  text->setTextFormat(Qt::PlainText);  // the peer names itself: never markup
  text->setWordWrap(true);
  layout->addWidget(text);
  auto* buttons = new QVBoxLayout;
  for (const Choice& choice : ChoicesOf(open.event)) {
    auto* button = new QPushButton(choice.label, dialog);
    button->setObjectName(choice.key);
    // No default answer: an Enter meant for another window accepts nothing.
    button->setAutoDefault(false);
    const PushAnswer answer = choice.answer;
    connect(button, &QPushButton::clicked, this,
            [this, question, answer] { Answer(question, answer); });
    buttons->addWidget(button);
  }
  layout->addLayout(buttons);
  // Closed by the window's frame without an answer: the tray's menu keeps it.
  connect(dialog, &QDialog::rejected, this, [this, question] {
    const auto entry = open_.find(question);
    if (entry != open_.end()) ShowInMenu(question);
  });
  open.dialog = dialog;
  dialog->show();  // not modal: the core's events go on meanwhile
  emit Shown(question);
}

void TPushQuestions::ShowInMenu(uint64_t question) {
  Open& open = open_[question];
  if (!trayMenu_ || open.menu) return;
  // The peer names itself: an '&' in its name is shown, never taken as a mnemonic.
  auto* menu = new QMenu(Text(open.event).replace(u'&', QLatin1String("&&")), trayMenu_);
  for (const Choice& choice : ChoicesOf(open.event)) {
    const PushAnswer answer = choice.answer;
    menu->addAction(choice.label, this, [this, question, answer] { Answer(question, answer); });
  }
  QAction* first = trayMenu_->actions().isEmpty() ? nullptr : trayMenu_->actions().front();
  trayMenu_->insertMenu(first, menu);
  open.menu = menu;
}

void TPushQuestions::Answer(uint64_t question, PushAnswer answer) {
  const auto entry = open_.find(question);
  if (entry == open_.end()) return;
  const std::string address = entry->second.event.address;
  if (answer == PushAnswer::AlwaysAccept && !address.empty()) {
    std::vector<std::string> unreadable;
    std::vector<std::string> devices = PushSettingsFrom(settings_, unreadable).alwaysAccepted;
    if (const auto parsed = ParseAddressText(address)) {
      const std::string text = AddressText(*parsed);
      if (std::find(devices.begin(), devices.end(), text) == devices.end()) {
        // Added to the words as written: one that is no address stays, for
        // the settings dialog to show and the user to mend or remove.
        const std::string& written = settings_.Text(Setting::AlwaysAcceptDevices);
        settings_.SetSetting(Setting::AlwaysAcceptDevices,
                             written.empty() ? text : written + ' ' + text);
        settings_.SaveSettings();
      }
    }
  }
  if (answer_) answer_(question, answer);
  End(question);  // the server's PushQuestionEnded finds nothing left
}

void TPushQuestions::End(uint64_t question) {
  const auto entry = open_.find(question);
  if (entry == open_.end()) return;
  Open open = std::move(entry->second);
  open_.erase(entry);
  if (open.notification != 0) notifications_.Close(open.notification);
  if (open.dialog) {
    open.dialog->disconnect(this);
    open.dialog->close();
  }
  if (open.menu) {
    // Out of the tray's menu at once; the menu itself may be the one that
    // delivered the answer, so it goes once its signal has returned.
    if (trayMenu_) trayMenu_->removeAction(open.menu->menuAction());
    open.menu->deleteLater();
  }
}

QDialog* TPushQuestions::DialogOf(uint64_t question) const {
  const auto entry = open_.find(question);
  return entry == open_.end() ? nullptr : entry->second.dialog.data();
}

QMenu* TPushQuestions::MenuOf(uint64_t question) const {
  const auto entry = open_.find(question);
  return entry == open_.end() ? nullptr : entry->second.menu.data();
}

uint32_t TPushQuestions::NotificationOf(uint64_t question) const {
  const auto entry = open_.find(question);
  return entry == open_.end() ? 0 : entry->second.notification;
}

}  // namespace quillfern
