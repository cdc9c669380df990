#include "properties/properties_app.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "platform/program_folder.h"
#include "platform/version.h"
#include "properties/properties_form.h"
#include "worker/order_worker_factory.h"

namespace q2 {

namespace {

bool Set(const char* name) {
  const char* value = getenv(name);
  return value && *value;
}

}  // namespace

int RunPropertiesWindow(const std::vector<std::string>& args, tServiceOps& ops) {
  // Qt ends the process when it cannot connect to a display; a headless server gets a
  // message instead.
  if (!Set("QT_QPA_PLATFORM") && !Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) {
    fprintf(stderr,
            "quillon2: no display for the properties window (DISPLAY is not set).\n"
            "Use /install, /uninstall or /svc, or set QT_QPA_PLATFORM.\n");
    return 1;
  }
  // QApplication keeps argc and argv for its lifetime.
  std::vector<std::string> storage{ExecutablePath()};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  int argc = static_cast<int>(storage.size());
  QApplication app(argc, argv.data());
  app.setApplicationName(QString::fromStdString("QUILLON " + GetFileVersionText()));
  TfmProperties window(ops, &MakeOrderWorker);
  window.show();
  return app.exec();
}

}  // namespace q2
