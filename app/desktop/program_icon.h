#pragma once

#include <QIcon>
#include <QPixmap>

namespace quillfern {

// The program's image, drawn rather than loaded, so the program needs no image
// plug-in: a blue rounded square with a white quill over an exchange arrow.
// size is in device-independent pixels; the picture has size times the ratio pixels.
QPixmap ProgramPixmap(int size, qreal devicePixelRatio = 1.0);
QIcon ProgramIcon();

// The title bar's button images: white line drawings for the blue bar.
enum class ToolbarImage { Folder, Log, Settings, About, Minimize, Close };
QIcon ToolbarIcon(ToolbarImage image);

}  // namespace quillfern
