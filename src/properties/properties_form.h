// TfmProperties, the properties window: edits the settings file, installs, starts, stops
// and uninstalls the service, and at log levels above 1 runs the worker in this process
// as a test. Controls carry the object names of their table (eLogDir, chbHTTP, bUU...), so
// that tests find them with findChild.
// Lives on the GUI thread; every handler runs there and may block it (the service calls).
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "properties/dialogs.h"
#include "properties/service_ops.h"
#include "worker/vdu_thread.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;

namespace q2 {

using tTestWorkerFactory = std::function<std::unique_ptr<TVDUThread>()>;

// The note shown by the "?" button: the syntax of the endpoint fields.
inline constexpr const char* kURLSyntaxText =
    "[PROTOCOL://][LOGIN:PASSWORD@] HOST [:PORT][/ROUTE][?PARAMETERS&&VARIABLES=VALUES]";

class TfmProperties final : public QDialog {
  Q_OBJECT

 public:
  // On create: the caption, the flags, LoadSettings, and the activation handler (each
  // activation of the application runs ResetButtons). `dialogs` null: Qt's message boxes.
  TfmProperties(tServiceOps& ops, tTestWorkerFactory workerFactory,
                std::unique_ptr<tPropertiesDialogs> dialogs = nullptr, QWidget* parent = nullptr);
  // Stops a test worker that still runs; failures of that are ignored.
  ~TfmProperties() override;

  // Every control from the settings file in table order, with the window's defaults for
  // missing keys; then fedited := false.
  void LoadSettings();
  // Every control into the settings file in table order, unchecked; XMLSource as 0 (HTTP
  // Interface) or 1, EQType as the list index; then fedited := false. Throws
  // "Unable to write to <file>".
  void SaveSettings();
  // Captions, enabled state and visibility of bUU, bSS and bTEST from the service's
  // registration and state, the log level in effect and the test worker. Throws the
  // service manager's failures.
  void ResetButtons();
  // Waits for the end state of a stop (stopped) or a start (stopped or running): 200 ms,
  // then a query, then up to 100 more queries 200 ms apart. Returns the state reached;
  // throws "Process taking too long".
  uint32_t WaitForServiceState(bool stop);
  // The folder dialog for one of the six folder fields; a chosen folder goes into the
  // field with a trailing "/".
  void ChooseAFile(QLineEdit* edit);

  // Click handlers (public so that tests and the window's buttons share one path). A
  // failure is shown in a message box; the window stays open.
  void bUUClick();
  void bSSClick();
  void bTESTClick();
  void mbOKClick();
  void HelpClick();
  // One tick of the SAVE caption's colour timer (every 24 ms).
  void SaveColorTick();

  bool fedited = false;                 // a field changed since the last load or save
  uint8_t c_counter = 0;                // colour step of the SAVE caption, 0..255
  std::unique_ptr<TVDUThread> fThread;  // the test worker, or none

 protected:
  // The close query: after a change, "Save Settings?" with Yes, No and Cancel.
  void closeEvent(QCloseEvent* event) override;
  // Escape closes through the close query as well.
  void reject() override;
  void showEvent(QShowEvent* event) override;

 private:
  enum class tKind { kText, kSource, kEQType };
  struct tField {
    tKind kind;
    const char* key;
    std::string windowDefault;  // kText only
    QLineEdit* edit = nullptr;  // kText only
  };

  void BuildControls();
  QLineEdit* AddTextField(const char* objectName, const char* key, std::string windowDefault);
  // Runs a handler; a failure goes to the message box.
  void Guarded(const std::function<void()>& handler);
  void RunProgramWithSwitch(const std::string& parameters);
  void StopTestWorker();
  void FieldChanged() { fedited = true; }

  tServiceOps& ops_;
  tTestWorkerFactory workerFactory_;
  std::unique_ptr<tPropertiesDialogs> dialogs_;
  std::vector<tField> fields_;  // in table order
  bool shownOnce_ = false;
  bool inActivation_ = false;

  QRadioButton* chbHTTP_ = nullptr;
  QRadioButton* chbDLL_ = nullptr;
  QComboBox* cbEQType_ = nullptr;
  QPushButton* bUU_ = nullptr;
  QPushButton* bSS_ = nullptr;
  QPushButton* bTEST_ = nullptr;
  QPushButton* mbOK_ = nullptr;
  QTimer* saveTimer_ = nullptr;
};

}  // namespace q2
