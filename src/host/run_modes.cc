#include "host/run_modes.h"

#include <cstdio>

#include "core/convert.h"
#include "core/log.h"
#include "host/service.h"
#include "host/settings_migration.h"
#include "platform/version.h"
#include "worker/order_worker_factory.h"

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

std::string ProgramTitle() { return "QUILLON " + GetFileVersionText(); }

int QuillonMain(const std::vector<std::string>& args) {
  const std::string title = ProgramTitle();
  MigrateSettings();
  ReadLogSettings();
  WriteLog("srvc: " + title + " launched", kLogNote, 0);

  tRunMode mode = ParseRunMode(args);
  int status = 0;
  try {
    if (mode.install || mode.uninstall) {
      fprintf(stderr, "Service installation is not available yet.\n");
      status = 1;
    } else if (mode.svc) {
      status = RunService(&MakeOrderWorker);
    } else {
      printf("%s\nUsage: quillon2 /svc          run the service in the foreground\n"
             "       quillon2 /install [/silent]    register the service\n"
             "       quillon2 /uninstall [/silent]  remove the registration\n",
             title.c_str());
    }
    WriteLog("srvc: finished", kLogNote, 0);
  } catch (const std::exception& e) {
    WriteLog(std::string("srvc: launch failed. ") + e.what(), kLogError, 0);
  }
  return status;
}

}  // namespace q2
