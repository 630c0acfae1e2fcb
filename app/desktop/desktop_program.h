#pragma once

#include <string>
#include <vector>

namespace quillfern {

class EndSignals;
class TFormMain;

// "/minimize" in any case, or "--minimize": start in the notification area.
bool MinimizeRequested(const std::vector<std::string>& arguments);

// Whether a window can be shown: a display (DISPLAY or WAYLAND_DISPLAY) or a
// Qt platform chosen explicitly (QT_QPA_PLATFORM, e.g. offscreen).
bool DisplayAvailable();

// Binds the program's end: SIGINT, SIGTERM and the session's end end the window
// without questions, whatever window is open, and its close ends the application's
// loop.
void EndWith(TFormMain& form, EndSignals& endSignals);

// The desktop program: settings, single instance, main window, until it
// closes. Returns the process exit code.
int RunDesktop(int& argc, char** argv, const std::vector<std::string>& arguments);

}  // namespace quillfern
