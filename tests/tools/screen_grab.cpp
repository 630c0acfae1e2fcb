// Saves the X screen, or the part of it given, as a PNG: the screenshot
// script's camera, so it needs nothing beyond Qt.
//   screen_grab FILE.png [X Y WIDTH HEIGHT]
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  QGuiApplication application(argc, argv);
  if (argc != 2 && argc != 6) {
    std::fprintf(stderr, "Usage: screen_grab FILE.png [X Y WIDTH HEIGHT]\n");
    return 2;
  }
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return 1;
  QPixmap shot = argc == 6 ? screen->grabWindow(0, std::atoi(argv[2]), std::atoi(argv[3]),
                                                std::atoi(argv[4]), std::atoi(argv[5]))
                           : screen->grabWindow(0);
  return shot.save(argv[1], "PNG") ? 0 : 1;
}
