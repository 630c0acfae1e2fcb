#pragma once

#include <QString>

// Whether "Open" may hand a received file to the desktop's opener. The
// opener runs what it is given the way the desktop runs it: a launcher's
// command, a program, a script's interpreter. A file of that kind, or one
// marked executable, is only shown in its folder.
namespace quillfern {

struct OpenCheck {
  bool open = false;  // false: show it in its folder instead
  QString reason;     // why not, in a few words ("it is a launcher"); empty when open
};

// Looks at the file as it is now: its kind on disk and its mode bits, and
// its type both by its name and by its content as the shared MIME database
// tells them; any one of them that says "runs" refuses. The file is read
// once, through one descriptor, without following a link or waiting on a
// pipe.
OpenCheck CheckOpen(const QString& path);

}  // namespace quillfern
