#include "properties/properties_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <stdexcept>

#include "core/log.h"
#include "platform/ini.h"
#include "platform/program_folder.h"
#include "platform/version.h"
#include "properties/hue_to_color.h"

namespace q2 {

namespace {

constexpr const char* kSection = "Settings";
// The service the host registers (host/service.h); the window only names it.
constexpr const char* kServiceName = "Quillon2Service";
constexpr int kSaveColorTickMs = 24;
constexpr int kServiceStatePauseMs = 200;
constexpr int kServiceStateMaxQueries = 100;

QString Q(const std::string& text) { return QString::fromStdString(text); }

// The label of a field; a short label carries its full name as hint.
QLabel* MakeLabel(const char* text, const char* hint, QWidget* buddy) {
  auto* label = new QLabel(QString::fromUtf8(text));
  label->setBuddy(buddy);
  if (hint) {
    label->setToolTip(QString::fromUtf8(hint));
    buddy->setToolTip(QString::fromUtf8(hint));
  }
  return label;
}

}  // namespace

TfmProperties::TfmProperties(tServiceOps& ops, tTestWorkerFactory workerFactory,
                             std::unique_ptr<tPropertiesDialogs> dialogs, QWidget* parent)
    : QDialog(parent),
      ops_(ops),
      workerFactory_(std::move(workerFactory)),
      dialogs_(std::move(dialogs)) {
  if (!dialogs_) dialogs_ = MakeQtDialogs(this);
  setObjectName("fmProperties");
  setWindowTitle(Q("Quillon " + GetFileVersionText() + " - properties"));
  BuildControls();
  fThread.reset();
  fedited = false;
  c_counter = 0;
  LoadSettings();
  // The window's context ends the connection when the window goes.
  connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState s) {
    if (s != Qt::ApplicationActive || inActivation_) return;
    // A message box about a failure must not start the next activation round.
    inActivation_ = true;
    Guarded([this] { ResetButtons(); });
    inActivation_ = false;
  });
  saveTimer_ = new QTimer(this);
  saveTimer_->setInterval(kSaveColorTickMs);
  connect(saveTimer_, &QTimer::timeout, this, [this] { SaveColorTick(); });
  saveTimer_->start();
}

TfmProperties::~TfmProperties() {
  try {
    StopTestWorker();
  } catch (const std::exception&) {
  }
}

QLineEdit* TfmProperties::AddTextField(const char* objectName, const char* key,
                                       std::string windowDefault) {
  auto* edit = new QLineEdit;
  edit->setObjectName(objectName);
  connect(edit, &QLineEdit::textChanged, this, [this] { FieldChanged(); });
  fields_.push_back({tKind::kText, key, std::move(windowDefault), edit});
  return edit;
}

void TfmProperties::BuildControls() {
  const std::string exe = ProgramFolder();
  auto* left = new QGridLayout;
  auto* right = new QGridLayout;
  int leftRow = 0, rightRow = 0;
  auto addLeft = [&](const char* label, const char* hint, QWidget* field, QWidget* extra) {
    left->addWidget(MakeLabel(label, hint, field), leftRow, 0);
    left->addWidget(field, leftRow, 1);
    if (extra) left->addWidget(extra, leftRow, 2);
    ++leftRow;
  };
  auto addRight = [&](const char* label, const char* hint, QWidget* field, QWidget* extra) {
    right->addWidget(MakeLabel(label, hint, field), rightRow, 0);
    right->addWidget(field, rightRow, 1);
    if (extra) right->addWidget(extra, rightRow, 2);
    ++rightRow;
  };
  // The "..." buttons choose, from top to bottom, LogDir, CMDDir, XMLDir, EQDir, UnpDir
  // and ResultDir.
  auto chooser = [this](QLineEdit* edit) {
    auto* button = new QPushButton("...");
    button->setObjectName("bChoose_" + edit->objectName());
    button->setAutoDefault(false);
    button->setFixedWidth(28);
    connect(button, &QPushButton::clicked, this,
            [this, edit] { Guarded([this, edit] { ChooseAFile(edit); }); });
    return button;
  };

  // Table order: this is the order of LoadSettings and SaveSettings.
  QLineEdit* e;
  e = AddTextField("eLogDir", "LogDir", exe + "logs/");
  addLeft("Log Dir", nullptr, e, chooser(e));
  e = AddTextField("eCMDDir", "CMDDir", exe + "commands/");
  addLeft("CMD Dir", nullptr, e, chooser(e));
  e = AddTextField("eXMLDir", "XMLDir", exe + "orders/");
  addLeft("XML Dir", nullptr, e, chooser(e));
  e = AddTextField("eEQDir", "EQDir", exe + "EQ/");
  addLeft("EQ Dir", nullptr, e, chooser(e));
  e = AddTextField("eUnpDir", "UnpDir", exe + "Unpaid/");
  addLeft("Unpaid Dir", nullptr, e, chooser(e));
  e = AddTextField("eResultDir", "ResultDir", exe + "result/");
  addLeft("Result Dir", nullptr, e, chooser(e));
  addLeft("VDU Id", nullptr, AddTextField("eVDUID", "VDUID", "0"), nullptr);
  addLeft("Unit", nullptr, AddTextField("eUnit", "Unit", "0"), nullptr);
  addLeft("VDU Unit", nullptr, AddTextField("eVDUUnit", "VDUUnit", "0"), nullptr);
  addLeft("VDU Waiter", nullptr, AddTextField("eVDUWaiter", "VDUWaiter", ""), nullptr);
  addLeft("Dlv. Waiter", "Delivery Waiter", AddTextField("eDelivWaiter", "DelivWaiter", ""),
          nullptr);
  addLeft("Offline Waiter", nullptr, AddTextField("eOfflineWaiter", "OfflineWaiter", ""), nullptr);

  auto* help = new QPushButton("?");
  help->setObjectName("bHelp");
  help->setAutoDefault(false);
  help->setFixedWidth(28);
  connect(help, &QPushButton::clicked, this, [this] { Guarded([this] { HelpClick(); }); });
  addRight("XML Interface", nullptr, AddTextField("eCashIP", "XMLInterface", "127.0.0.1:20200"),
           help);

  chbHTTP_ = new QRadioButton("HTTP Interface");
  chbHTTP_->setObjectName("chbHTTP");
  chbDLL_ = new QRadioButton("TCP Interface");
  chbDLL_->setObjectName("chbDLL");
  chbDLL_->setChecked(true);
  connect(chbHTTP_, &QRadioButton::clicked, this, [this] { FieldChanged(); });
  connect(chbDLL_, &QRadioButton::clicked, this, [this] { FieldChanged(); });
  fields_.push_back({tKind::kSource, "XMLSource", "", nullptr});
  auto* sources = new QHBoxLayout;
  sources->addWidget(chbHTTP_);
  sources->addWidget(chbDLL_);
  sources->addStretch();
  right->addLayout(sources, rightRow++, 1, 1, 2);

  auto* heading = new QLabel("Status response URLs");
  heading->setObjectName("lStatusURLs");
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  right->addWidget(heading, rightRow++, 0, 1, 3);
  addRight("Orders URL", nullptr, AddTextField("eOrdersURL", "OrdersURL", ""), nullptr);
  addRight("Checks URL", nullptr, AddTextField("eChecksURL", "ChecksURL", ""), nullptr);
  addRight("Cancels URL", nullptr, AddTextField("eCancelsURL", "CancelsURL", ""), nullptr);
  addRight("Ping URL", nullptr, AddTextField("ePingURL", "PingURL", ""), nullptr);
  addRight("XML FTP", nullptr, AddTextField("eXMLFTP", "XMLFTP", ""), nullptr);
  addRight("CMD FTP", nullptr, AddTextField("eCMDFTP", "CMDFTP", ""), nullptr);

  // The numbers, in two columns below.
  auto* numbers = new QGridLayout;
  int numberIndex = 0;
  auto addNumber = [&](const char* label, const char* hint, QWidget* field) {
    int row = numberIndex / 3, column = (numberIndex % 3) * 2;
    numbers->addWidget(MakeLabel(label, hint, field), row, column);
    numbers->addWidget(field, row, column + 1);
    ++numberIndex;
  };
  addNumber("Table Code", nullptr, AddTextField("eTableCode", "TableCode", "0"));
  addNumber("Del.R.Code", "Delete Reason Code", AddTextField("eDelRCode", "DelRCode", "0"));
  addNumber("MsgTTL, s", nullptr, AddTextField("eMsgTTL", "MsgTTL", "3"));
  addNumber("View Wait, s", nullptr, AddTextField("eViewWait", "ViewWait", "3"));
  cbEQType_ = new QComboBox;
  cbEQType_->setObjectName("cbEQType");
  cbEQType_->addItems({"English", "Russian", "Numeric"});
  connect(cbEQType_, &QComboBox::currentIndexChanged, this, [this] { FieldChanged(); });
  fields_.push_back({tKind::kEQType, "EQType", "", nullptr});
  addNumber("EQ Type", nullptr, cbEQType_);
  addNumber("Interval (sec)", nullptr, AddTextField("eInterval", "Interval", "5"));
  addNumber("after error", nullptr, AddTextField("eErrorInterval", "ErrorInterval", "60"));
  addNumber("Dep.R.Id", "Deposit Reason Id",
            AddTextField("eDepReason", "DepositReason", "1026957"));
  addNumber("T.A.Maket Id", "TakeAway Receipt Maket ID",
            AddTextField("eTAMaketID", "TakeAwayReceiptMaketIdent", "0"));
  addNumber("Dlv.Mkt.Id", "Delivery Receipt Maket ID",
            AddTextField("eDlvMaketID", "DeliveryReceiptMaketIdent", "0"));
  addNumber("Log Level", nullptr, AddTextField("eLogLevel", "LogLevel", "0"));

  auto* note = new QLabel("Hint: hover over shorted names");
  note->setObjectName("lHint");
  note->setToolTip("... to see the full version of it");
  bUU_ = new QPushButton("INSTALL");
  bUU_->setObjectName("bUU");
  bSS_ = new QPushButton("START");
  bSS_->setObjectName("bSS");
  bTEST_ = new QPushButton("START TEST");
  bTEST_->setObjectName("bTEST");
  bTEST_->setVisible(LogLevel() > 1);
  mbOK_ = new QPushButton(QString::fromUtf8("\u2666 SAVE"));
  mbOK_->setObjectName("mbOK");
  for (QPushButton* b : {bUU_, bSS_, bTEST_}) b->setAutoDefault(false);
  mbOK_->setDefault(true);
  connect(bUU_, &QPushButton::clicked, this, [this] { Guarded([this] { bUUClick(); }); });
  connect(bSS_, &QPushButton::clicked, this, [this] { Guarded([this] { bSSClick(); }); });
  connect(bTEST_, &QPushButton::clicked, this, [this] { Guarded([this] { bTESTClick(); }); });
  connect(mbOK_, &QPushButton::clicked, this, [this] { Guarded([this] { mbOKClick(); }); });

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(note);
  bottom->addStretch();
  bottom->addWidget(bUU_);
  bottom->addWidget(bSS_);
  bottom->addWidget(bTEST_);
  bottom->addWidget(mbOK_);

  auto* columns = new QHBoxLayout;
  columns->addLayout(left, 1);
  columns->addSpacing(16);
  auto* rightColumn = new QVBoxLayout;
  rightColumn->addLayout(right);
  rightColumn->addStretch();
  columns->addLayout(rightColumn, 1);
  auto* all = new QVBoxLayout(this);
  all->addLayout(columns);
  all->addSpacing(8);
  all->addLayout(numbers);
  all->addSpacing(8);
  all->addLayout(bottom);
  resize(860, sizeHint().height());
}

void TfmProperties::LoadSettings() {
  tIniFile ini(SettingsFilePath());
  for (const tField& f : fields_) {
    switch (f.kind) {
      case tKind::kText:
        f.edit->setText(Q(ini.ReadString(kSection, f.key, f.windowDefault)));
        break;
      case tKind::kSource:
        // 0 is HTTP; 1 and every other value leave TCP selected.
        if (ini.ReadInteger(kSection, f.key, 1) == 0) {
          chbHTTP_->setChecked(true);
        } else {
          chbDLL_->setChecked(true);
        }
        break;
      case tKind::kEQType: {
        int index = ini.ReadInteger(kSection, f.key, 2);
        cbEQType_->setCurrentIndex(index >= 0 && index < cbEQType_->count() ? index : -1);
        break;
      }
    }
  }
  fedited = false;
}

void TfmProperties::SaveSettings() {
  tIniFile ini(SettingsFilePath());
  for (const tField& f : fields_) {
    switch (f.kind) {
      case tKind::kText:
        ini.WriteString(kSection, f.key, f.edit->text().toStdString());
        break;
      case tKind::kSource:
        ini.WriteInteger(kSection, f.key, chbHTTP_->isChecked() ? 0 : 1);
        break;
      case tKind::kEQType:
        ini.WriteInteger(kSection, f.key, cbEQType_->currentIndex());
        break;
    }
  }
  fedited = false;
}

void TfmProperties::ResetButtons() {
  if (ops_.ServiceInstalled(kServiceName)) {
    bUU_->setText("Uninstall");
    bSS_->setEnabled(true);
    bool running = ops_.QueryServiceState(kServiceName).currentState == kServiceRunning;
    bSS_->setText(running ? "Stop" : "Start");
  } else {
    bUU_->setText("Install");
    bSS_->setText("Start");
    bSS_->setEnabled(false);
  }
  bTEST_->setVisible(LogLevel() > 1);
  bTEST_->setText(fThread ? "STOP TEST" : "START TEST");
}

uint32_t TfmProperties::WaitForServiceState(bool stop) {
  auto isEnd = [stop](uint32_t s) {
    return s == kServiceStopped || (!stop && s == kServiceRunning);
  };
  ops_.Pause(kServiceStatePauseMs);
  uint32_t state = ops_.QueryServiceState(kServiceName).currentState;
  int queries = 0;
  while (!isEnd(state)) {
    if (queries >= kServiceStateMaxQueries) throw std::runtime_error("Process taking too long");
    ops_.Pause(kServiceStatePauseMs);
    state = ops_.QueryServiceState(kServiceName).currentState;
    ++queries;
  }
  QCoreApplication::processEvents();
  return state;
}

void TfmProperties::ChooseAFile(QLineEdit* edit) {
  std::optional<std::string> folder =
      dialogs_->ChooseFolder("Chose a folder", edit->text().toStdString());
  if (folder && !folder->empty()) edit->setText(Q(IncludeTrailingDelimiter(*folder)));
}

void TfmProperties::RunProgramWithSwitch(const std::string& parameters) {
  // The program reports on its output; the window shows that in a message box.
  bUU_->setEnabled(false);
  bool ssEnabled = bSS_->isEnabled();
  bSS_->setEnabled(false);
  tProgramResult result;
  try {
    result =
        ops_.RunAndWait(ExecutablePath(), parameters, [] { QCoreApplication::processEvents(); });
  } catch (...) {
    bUU_->setEnabled(true);
    bSS_->setEnabled(ssEnabled);
    throw;
  }
  bUU_->setEnabled(true);
  bSS_->setEnabled(ssEnabled);
  std::string text = result.out + result.err;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (result.exitStatus != 0) {
    if (text.empty()) {
      text = ExecutableName() + " " + parameters + " ended with status " +
             std::to_string(result.exitStatus);
    }
    dialogs_->ShowError(text);
  } else if (!text.empty()) {
    dialogs_->ShowMessage(text);
  }
}

void TfmProperties::bUUClick() {
  if (ops_.ServiceInstalled(kServiceName)) {
    if (ops_.QueryServiceState(kServiceName).currentState != kServiceStopped) {
      ops_.ControlTheService(kServiceName, true);
    }
    RunProgramWithSwitch("/uninstall");
  } else {
    RunProgramWithSwitch("/install");
  }
  ResetButtons();
}

void TfmProperties::bSSClick() {
  try {
    if (ops_.QueryServiceState(kServiceName).currentState == kServiceStopped) {
      SaveSettings();
      ops_.ControlTheService(kServiceName, false);
      if (WaitForServiceState(false) == kServiceStopped) {
        throw std::runtime_error("Service didn't start");
      }
    } else {
      ops_.ControlTheService(kServiceName, true);
      WaitForServiceState(true);
    }
  } catch (...) {
    try {
      ResetButtons();
    } catch (const std::exception&) {
    }
    throw;
  }
  ResetButtons();
}

void TfmProperties::StopTestWorker() {
  if (!fThread) return;
  fThread->RequestTerminate();
  fThread->Signal();
  fThread->WaitFor();
  fThread.reset();
}

void TfmProperties::bTESTClick() {
  if (fThread) {
    StopTestWorker();
  } else {
    SaveSettings();
    std::unique_ptr<TVDUThread> worker = workerFactory_();
    worker->LoadSettings();  // on failure the worker is ended by its destructor
    worker->Signal();
    fThread = std::move(worker);
  }
  ResetButtons();
}

void TfmProperties::mbOKClick() {
  SaveSettings();
  close();
}

void TfmProperties::HelpClick() { dialogs_->ShowMessage(kURLSyntaxText); }

void TfmProperties::SaveColorTick() {
  c_counter = c_counter == 255 ? 0 : static_cast<uint8_t>(c_counter + 1);
  tRGB c = HueToColor(c_counter / 255.0);
  QPalette palette = mbOK_->palette();
  palette.setColor(QPalette::ButtonText, QColor(c.red, c.green, c.blue));
  mbOK_->setPalette(palette);
}

void TfmProperties::closeEvent(QCloseEvent* event) {
  if (fedited) {
    switch (dialogs_->AskYesNoCancel("Save Settings?")) {
      case tAnswer::kCancel:
        event->ignore();
        return;
      case tAnswer::kYes:
        try {
          SaveSettings();
        } catch (const std::exception& e) {
          // Closing now would lose the changes.
          dialogs_->ShowError(e.what());
          event->ignore();
          return;
        }
        break;
      case tAnswer::kNo:
        break;
    }
  }
  event->accept();
}

void TfmProperties::reject() { close(); }

void TfmProperties::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Without a window manager the application may never be activated: bring the buttons
  // up to date once anyway.
  if (!shownOnce_) {
    shownOnce_ = true;
    QTimer::singleShot(0, this, [this] { Guarded([this] { ResetButtons(); }); });
  }
}

void TfmProperties::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    dialogs_->ShowError(e.what());
  }
}

}  // namespace q2
