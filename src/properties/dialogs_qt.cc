// The window's questions as Qt message boxes and the directory dialog.
#include <QCoreApplication>
#include <QFileDialog>
#include <QMessageBox>

#include "properties/dialogs.h"

namespace q2 {

namespace {

class tQtDialogs final : public tPropertiesDialogs {
 public:
  explicit tQtDialogs(QWidget* parent) : parent_(parent) {}

  tAnswer AskYesNoCancel(const std::string& text) override {
    auto answer = QMessageBox::question(parent_, Title(), QString::fromStdString(text),
                                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                        QMessageBox::Yes);
    if (answer == QMessageBox::Yes) return tAnswer::kYes;
    if (answer == QMessageBox::No) return tAnswer::kNo;
    return tAnswer::kCancel;
  }

  void ShowMessage(const std::string& text) override {
    QMessageBox::information(parent_, Title(), QString::fromStdString(text));
  }

  void ShowError(const std::string& text) override {
    QMessageBox::critical(parent_, Title(), QString::fromStdString(text));
  }

  std::optional<std::string> ChooseFolder(const std::string& title,
                                          const std::string& initialFolder) override {
    QString folder = QFileDialog::getExistingDirectory(parent_, QString::fromStdString(title),
                                                       QString::fromStdString(initialFolder));
    if (folder.isEmpty()) return std::nullopt;
    return folder.toStdString();
  }

 private:
  static QString Title() { return QCoreApplication::applicationName(); }
  QWidget* parent_;
};

}  // namespace

std::unique_ptr<tPropertiesDialogs> MakeQtDialogs(QWidget* parent) {
  return std::make_unique<tQtDialogs>(parent);
}

}  // namespace q2
