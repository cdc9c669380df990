// The window's questions to its user: message boxes and the folder chooser, behind an
// interface so that tests can answer them. MakeQtDialogs() gives the real ones.
#pragma once

#include <memory>
#include <optional>
#include <string>

class QWidget;

namespace q2 {

enum class tAnswer { kYes, kNo, kCancel };

class tPropertiesDialogs {
 public:
  virtual ~tPropertiesDialogs() = default;
  // A confirmation with the buttons Yes, No and Cancel.
  virtual tAnswer AskYesNoCancel(const std::string& text) = 0;
  virtual void ShowMessage(const std::string& text) = 0;
  // A failure that reached the window (what the application's standard handler shows).
  virtual void ShowError(const std::string& text) = 0;
  // A folder picked by the user, or nothing when the dialog was cancelled.
  virtual std::optional<std::string> ChooseFolder(const std::string& title,
                                                  const std::string& initialFolder) = 0;
};

// Message boxes and the directory dialog of Qt, owned by `parent` for their placement.
std::unique_ptr<tPropertiesDialogs> MakeQtDialogs(QWidget* parent);

}  // namespace q2
