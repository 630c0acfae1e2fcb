#include "app/desktop/form_log.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStyle>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/desktop/log_export.h"
#include "app/desktop/log_table_model.h"

namespace quillfern {
namespace {

constexpr int FilterBarHeight = 36;
constexpr int HeaderHeight = 24;
// The widest text each column shows, besides its title; the operation takes the rest.
const char* const ColumnSamples[LogTableModel::ColumnCount] = {"0000-00-00 00:00:00", "BT_OP", "4",
                                                               ""};

const QString TextFilter = QStringLiteral("Text (*.txt)");
const QString CsvFilter = QStringLiteral("CSV (*.csv)");

}  // namespace

TFormLog::TFormLog(QWidget* parent)
    : QWidget(parent, Qt::Window),
      clock_([] { return std::chrono::system_clock::now(); }),
      confirm_(AskConfirmation),
      message_(ShowPlainMessage) {
  setObjectName(QStringLiteral("FormLog"));
  setWindowTitle(QStringLiteral("Log"));
  resize(640, 456);
  setMinimumSize(400, 300);

  auto* filterBar = new QWidget(this);
  filterBar->setMinimumHeight(FilterBarHeight);
  auto* bar = new QHBoxLayout(filterBar);
  bar->setContentsMargins(8, 2, 2, 0);
  bar->addSpacing(64);
  auto* serverLabel = new QLabel(QStringLiteral("Server"), filterBar);
  serverLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  serverLabel->setMinimumWidth(56);
  bar->addWidget(serverLabel);
  ComboBoxServer = new QComboBox(filterBar);
  ComboBoxServer->setObjectName(QStringLiteral("ComboBoxServer"));
  ComboBoxServer->addItems({QStringLiteral("All"), QStringLiteral("TCP"), QStringLiteral("BT_OP"),
                            QStringLiteral("BT_FB")});
  ComboBoxServer->setMinimumWidth(64);
  bar->addWidget(ComboBoxServer);
  bar->addSpacing(8);
  auto* slotLabel = new QLabel(QStringLiteral("Slot"), filterBar);
  slotLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  slotLabel->setMinimumWidth(25);
  bar->addWidget(slotLabel);
  ComboBoxSlot = new QComboBox(filterBar);
  ComboBoxSlot->setObjectName(QStringLiteral("ComboBoxSlot"));
  ComboBoxSlot->addItems({QStringLiteral("All"), QStringLiteral("1"), QStringLiteral("2"),
                          QStringLiteral("3"), QStringLiteral("4")});
  ComboBoxSlot->setMinimumWidth(48);
  bar->addWidget(ComboBoxSlot);
  bar->addSpacing(12);
  droppedLabel_ = new QLabel(filterBar);
  droppedLabel_->setObjectName(QStringLiteral("LabelDropped"));
  droppedLabel_->hide();
  bar->addWidget(droppedLabel_);
  bar->addStretch(1);
  ButtonSaveLog = new QToolButton(filterBar);
  ButtonSaveLog->setObjectName(QStringLiteral("ButtonSaveLog"));
  ButtonSaveLog->setAutoRaise(true);
  ButtonSaveLog->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  ButtonSaveLog->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
  ButtonSaveLog->setText(QStringLiteral("Save..."));
  ButtonSaveLog->setToolTip(QStringLiteral("Save the shown lines to a text or CSV file"));
  ButtonSaveLog->setMinimumHeight(34);
  bar->addWidget(ButtonSaveLog);
  SpeedButtonClearLog = new QToolButton(filterBar);
  SpeedButtonClearLog->setObjectName(QStringLiteral("SpeedButtonClearLog"));
  SpeedButtonClearLog->setAutoRaise(true);
  SpeedButtonClearLog->setFixedSize(42, 34);
  SpeedButtonClearLog->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
  SpeedButtonClearLog->setIconSize(QSize(24, 24));
  SpeedButtonClearLog->setToolTip(QStringLiteral("Clear Log"));
  bar->addWidget(SpeedButtonClearLog);

  model_ = new LogTableModel(records_, this);
  rows_ = new LogRowFilter(this);
  rows_->setSourceModel(model_);

  EasyListview1 = new QTableView(this);
  EasyListview1->setObjectName(QStringLiteral("EasyListview1"));
  EasyListview1->setModel(rows_);
  EasyListview1->setSelectionBehavior(QAbstractItemView::SelectRows);
  EasyListview1->setSelectionMode(QAbstractItemView::ExtendedSelection);
  EasyListview1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  EasyListview1->setShowGrid(false);
  EasyListview1->setWordWrap(false);
  // A line too long for its cell keeps its end in view: the device's address
  // after its name, and the request's result.
  EasyListview1->setTextElideMode(Qt::ElideMiddle);
  EasyListview1->setCornerButtonEnabled(false);
  // Rows of one height let the view place any of many thousand rows without measuring.
  QHeaderView* rowsHeader = EasyListview1->verticalHeader();
  rowsHeader->hide();
  rowsHeader->setSectionResizeMode(QHeaderView::Fixed);
  rowsHeader->setDefaultSectionSize(fontMetrics().height() + 6);
  QHeaderView* header = EasyListview1->horizontalHeader();
  header->setMinimumHeight(HeaderHeight);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setHighlightSections(false);
  header->setSectionsMovable(false);
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setStretchLastSection(true);
  SizeColumns();
  connect(EasyListview1->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
    // Only what the reader does: a scroll that the view makes to follow keeps it.
    if (!scrollPending_ && EasyListview1->isVisible()) {
      following_ = value == EasyListview1->verticalScrollBar()->maximum();
    }
  });

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(filterBar);
  layout->addWidget(EasyListview1, 1);

  connect(ComboBoxServer, &QComboBox::currentIndexChanged, this, &TFormLog::ComboBoxServerChange);
  connect(ComboBoxSlot, &QComboBox::currentIndexChanged, this, &TFormLog::ComboBoxSlotChange);
  connect(SpeedButtonClearLog, &QToolButton::clicked, this, &TFormLog::SpeedButtonClearLogClick);
  connect(ButtonSaveLog, &QToolButton::clicked, this, &TFormLog::ButtonSaveLogClick);
  auto* saveAction = new QAction(QStringLiteral("Save..."), this);
  saveAction->setShortcut(QKeySequence::Save);
  connect(saveAction, &QAction::triggered, this, &TFormLog::ButtonSaveLogClick);
  addAction(saveAction);
}

TFormLog::~TFormLog() = default;

const QAbstractItemModel* TFormLog::ShownRows() const {
  return rows_;
}

void TFormLog::AddLog(uint8_t kind, uint16_t slot, const std::string& text) {
  const size_t removed = records_.Append(TLogRecord{clock_(), kind, slot, text});
  model_->RecordsAdded(removed, CurrentFilter());
  if (removed > 0) ShowDropped();
  // A reader at the end of the table keeps seeing the newest line; one who scrolled
  // back keeps the place.
  FollowNewest();
}

void TFormLog::FollowNewest() {
  // Scrolling makes the view work out the place of every row, so it waits until the
  // lines that arrive together are in, and happens once for all of them.
  if (!following_ || scrollPending_ || !EasyListview1->isVisible()) return;
  scrollPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        EasyListview1->scrollToBottom();
        scrollPending_ = false;
      },
      Qt::QueuedConnection);
}

void TFormLog::SizeColumns() {
  // Wide enough for the header and the widest cell in the window's font, whatever
  // its size.
  const QFontMetrics cells = EasyListview1->fontMetrics();
  const QFontMetrics titles = EasyListview1->horizontalHeader()->fontMetrics();
  const int padding = 2 * style()->pixelMetric(QStyle::PM_HeaderMargin) +
                      style()->pixelMetric(QStyle::PM_HeaderMarkSize) + 12;
  for (int column = 0; column + 1 < LogTableModel::ColumnCount; ++column) {
    const QString title = model_->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    const int width = std::max(cells.horizontalAdvance(QString::fromLatin1(ColumnSamples[column])),
                               titles.horizontalAdvance(title));
    EasyListview1->horizontalHeader()->resizeSection(column, width + padding);
  }
}

LogFilter TFormLog::CurrentFilter() const {
  return LogFilter{static_cast<uint8_t>(std::max(0, ComboBoxServer->currentIndex())),
                   static_cast<uint16_t>(std::max(0, ComboBoxSlot->currentIndex()))};
}

void TFormLog::ApplyFilters() {
  model_->ApplyFilters(CurrentFilter());
  rows_->Refilter();
  // A reader who was at the newest line stays there among the lines now shown.
  FollowNewest();
}

void TFormLog::ComboBoxServerChange() {
  {
    const QSignalBlocker quiet(ComboBoxSlot);
    ComboBoxSlot->setCurrentIndex(0);
  }
  ComboBoxSlot->setEnabled(ComboBoxServer->currentIndex() > 0);
  ApplyFilters();
}

void TFormLog::ComboBoxSlotChange() {
  ApplyFilters();
}

void TFormLog::SpeedButtonClearLogClick() {
  if (!confirm_(this, QStringLiteral("Clear log?"))) return;
  records_.Clear();
  model_->RecordsCleared();
  ShowDropped();
}

void TFormLog::ButtonSaveLogClick() {
  // Qt's own dialog on every desktop, so the filter choice works the same everywhere.
  QFileDialog dialog(this, QStringLiteral("Save Log"));
  dialog.setObjectName(QStringLiteral("SaveLogDialog"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({TextFilter, CsvFilter});
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
    dialog.setDefaultSuffix(filter == CsvFilter ? QStringLiteral("csv") : QStringLiteral("txt"));
  });
  // The folder of the last save, at first the user's documents folder: never the
  // folder the program happened to be started in.
  QString folder = saveFolder_;
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
    folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!QFileInfo(folder).isDir()) folder = QDir::homePath();
  }
  dialog.setDirectory(folder);
  dialog.selectFile(QStringLiteral("Quillfern log.txt"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString fileName = dialog.selectedFiles().constFirst();
  // The name's own ending decides; a name with another ending gets the chosen filter's.
  const QString suffix = QFileInfo(fileName).suffix().toLower();
  LogExportFormat format = LogExportFormatOf(fileName);
  if (suffix != QLatin1String("txt") && suffix != QLatin1String("csv")) {
    format =
        dialog.selectedNameFilter() == CsvFilter ? LogExportFormat::Csv : LogExportFormat::Text;
  }
  if (SaveShownRows(fileName, format)) saveFolder_ = QFileInfo(fileName).absolutePath();
}

bool TFormLog::SaveShownRows(const QString& fileName, LogExportFormat format) {
  QString error;
  if (WriteLogExport(fileName, LogExport(*rows_, format), error)) return true;
  message_(this, QStringLiteral("Cannot save the log to %1: %2")
                     .arg(QDir::toNativeSeparators(fileName), error));
  return false;
}

void TFormLog::ShowDropped() {
  const uint64_t dropped = records_.Dropped();
  droppedLabel_->setText(QStringLiteral("%1 oldest lines removed").arg(dropped));
  droppedLabel_->setToolTip(
      QStringLiteral("The log keeps its newest %1 lines.").arg(LogRecordLimit));
  droppedLabel_->setVisible(dropped > 0);
}

void TFormLog::closeEvent(QCloseEvent* event) {
  // The window and its records live as long as the program: closing hides it.
  hide();
  event->ignore();
}

void TFormLog::showEvent(QShowEvent* event) {
  if (!placed_) {
    placed_ = true;
    if (const QScreen* shown = screen()) {
      QRect frame = frameGeometry();
      frame.moveCenter(shown->availableGeometry().center());
      move(frame.topLeft());
    }
  }
  QWidget::showEvent(event);
  // The window opens at the newest line, unless the reader had scrolled back.
  FollowNewest();
}

void TFormLog::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange) SizeColumns();
}

}  // namespace quillfern
