// Draws the properties window as a fresh installation shows it (service installed and
// stopped, log level 2 so that START TEST shows) into a PNG file, for the documentation.
// Usage: properties_screenshot OUT.png   (QUILLON2_HOME names an empty program folder)
#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "core/log.h"
#include "platform/program_folder.h"
#include "properties/properties_form.h"

namespace {

class tInstalledStopped final : public q2::tServiceOps {
 public:
  bool ServiceInstalled(const std::string&) override { return true; }
  q2::tServiceStatus QueryServiceState(const std::string&) override { return {}; }
  void ControlTheService(const std::string&, bool) override {}
  q2::tProgramResult RunAndWait(const std::string&, const std::string&,
                                const std::function<void()>&) override {
    return {};
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  q2::SetLogSettings(q2::ProgramFolder() + "logs/", 2);
  tInstalledStopped ops;
  q2::TfmProperties window(ops, [] { return std::unique_ptr<q2::TVDUThread>(); });
  window.show();
  int status = 1;
  // Once the first ResetButtons has run and the window is drawn.
  QTimer::singleShot(500, [&] {
    status = window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
    app.quit();
  });
  app.exec();
  if (status != 0) fprintf(stderr, "cannot write %s\n", argv[1]);
  return status;
}
