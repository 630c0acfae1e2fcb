#include "app/desktop/desktop_program.h"

#include <QApplication>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/desktop/desktop_parts.h"
#include "app/desktop/end_signals.h"
#include "app/desktop/form_log.h"
#include "app/desktop/form_main.h"
#include "app/desktop/program_icon.h"
#include "app/desktop/single_instance.h"
#include "app/service_push_settings.h"
#include "app/settings_store.h"
#include "app/user_places.h"
#include "platform/debug.h"

namespace quillfern {
namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool MinimizeRequested(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    const std::string lower = Lower(argument);
    if (lower == "/minimize" || lower == "--minimize") return true;
  }
  return false;
}

bool DisplayAvailable() {
  return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM");
}

void EndWith(TFormMain& form, EndSignals& endSignals) {
  QObject::connect(&form, &TFormMain::Closed, qApp, &QCoreApplication::quit);
  // Ctrl+C and SIGTERM end the services in order, as the session's end does.
  QObject::connect(&endSignals, &EndSignals::Received, &form, [&form] {
    DebugOutput("Quillfern: ending on a signal\n");
    form.EndWithoutQuestions();
  });
  QObject::connect(qApp, &QGuiApplication::commitDataRequest, &form,
                   [&form] { form.EndWithoutQuestions(); });
}

int RunDesktop(int& argc, char** argv, const std::vector<std::string>& arguments) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Quillfern");
  QApplication::setDesktopFileName("quillfern");
  QApplication::setWindowIcon(ProgramIcon());
  // Hidden in the notification area the program has no window, and runs on.
  QApplication::setQuitOnLastWindowClosed(false);
  // From here on SIGINT and SIGTERM wait for the first event loop, whichever
  // window runs it.
  EndSignals endSignals;

  SettingsStore settings(SettingsFilePath().value_or(std::filesystem::path()));
  settings.LoadSettings();

  SingleInstance instance(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation));
  if (!instance.Claim()) return 0;

  DesktopParts parts(settings);  // outlives the window, whose last events it logs
  TFormMain form(settings);
  parts.Bind(form);
  // What the settings file says that cannot be used as written (a value read as the
  // strictest one, a file that cannot be read) is the log's first word, and the
  // terminal's.
  for (const std::string& warning : SettingsWarnings(settings)) {
    std::fprintf(stderr, "%s\n", warning.c_str());
    parts.Log().AddLog(0, 0, warning);
  }
  QObject::connect(&instance, &SingleInstance::ShowRequested, &form,
                   &TFormMain::ActionRestoreExecute);
  EndWith(form, endSignals);
  form.Start();
  // Ended while the first start's settings were open: no loop is left to run.
  if (form.Closing()) return 0;

  if (!MinimizeRequested(arguments)) {
    form.show();
  } else if (QSystemTrayIcon::isSystemTrayAvailable()) {
    DebugOutput("Quillfern: started in the notification area\n");
    form.MinimizeToTray();
  } else {
    // Without a notification area a hidden window could not be reached: it
    // waits on the task bar instead.
    DebugOutput("Quillfern: no notification area; started minimized\n");
    form.showMinimized();
  }
  DebugOutput("Quillfern: the window is ready\n");
  return QApplication::exec();
}

}  // namespace quillfern
