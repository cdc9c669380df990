#include "host/run_modes.h"

#include <cstdio>

#include "core/convert.h"
#include "core/log.h"
#include "host/service.h"
#include "host/service_control.h"
#include "host/settings_migration.h"
#include "platform/service_manager.h"
#include "platform/version.h"
#include "worker/order_worker_factory.h"

#ifdef Q2_WITH_QT
#include "properties/properties_app.h"
#endif

namespace q2 {

tRunMode ParseRunMode(const std::vector<std::string>& args) {
  tRunMode mode;
  for (const std::string& arg : args) {
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) continue;
    std::string name = UpperCaseAscii(arg.substr(1));
    if (name == "INSTALL") mode.install = true;
    if (name == "UNINSTALL") mode.uninstall = true;
    if (name == "SVC") mode.svc = true;
    if (name == "SILENT") mode.silent = true;
  }
  return mode;
}

namespace {

#ifdef Q2_WITH_QT
// The window's service operations are this subsystem's control operations.
class tHostServiceOps final : public tServiceOps {
 public:
  bool ServiceInstalled(const std::string& name) override { return q2::ServiceInstalled(name); }
  tServiceStatus QueryServiceState(const std::string& name) override {
    return q2::QueryServiceState(name);
  }
  void ControlTheService(const std::string& name, bool stop) override {
    q2::ControlTheService(name, stop);
  }
  tProgramResult RunAndWait(const std::string& path, const std::string& parameters,
                            const std::function<void()>& pump) override {
    return q2::RunAndWait(path, parameters, pump);
  }
};
#endif

int RunWindowMode(const std::vector<std::string>& args) {
#ifdef Q2_WITH_QT
  tHostServiceOps ops;
  return RunPropertiesWindow(args, ops);
#else
  (void)args;
  fprintf(stderr,
          "%s: the properties window is not built in (this build has no Qt).\n"
          "Usage: quillon2 /svc                  run the service in the foreground\n"
          "       quillon2 /install [/silent]    register the service\n"
          "       quillon2 /uninstall [/silent]  remove the registration\n",
          ProgramTitle().c_str());
  return 1;
#endif
}

}  // namespace

std::string ProgramTitle() { return "QUILLON " + GetFileVersionText(); }

int QuillonMain(const std::vector<std::string>& args) {
  const std::string title = ProgramTitle();
  MigrateSettings();
  ReadLogSettings();
  WriteLog("srvc: " + title + " launched", kLogNote, 0);

  tRunMode mode = ParseRunMode(args);
  int status = 0;
  try {
    if (mode.install) {
      status = InstallService(*OpenServiceManager(), mode.silent, &PrintMessage);
    } else if (mode.uninstall) {
      status = UninstallService(*OpenServiceManager(), mode.silent, &PrintMessage);
    } else if (mode.svc) {
      status = RunService(&MakeOrderWorker);
    } else {
      status = RunWindowMode(args);
    }
    WriteLog("srvc: finished", kLogNote, 0);
  } catch (const std::exception& e) {
    WriteLog(std::string("srvc: launch failed. ") + e.what(), kLogError, 0);
  }
  return status;
}

}  // namespace q2
