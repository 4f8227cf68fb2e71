// Renders each tab of ZolConfig into <folder>/zolconfig-<tab>.png, over a
// document with the default settings in a temporary folder.
#include <QApplication>
#include <QPixmap>
#include <QTabWidget>

#include <cstdio>
#include <filesystem>

#include "configtool/qt/ConfigWindow.h"
#include "platform/MessageBox.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ZolConfigScreenshots <folder>\n");
    return 2;
  }
  QApplication app(argc, argv);
  namespace fs = std::filesystem;
  const fs::path temp = fs::temp_directory_path() / ("zolconfig-shots-" + std::to_string(QCoreApplication::applicationPid()));
  fs::create_directories(temp);
  // No box may wait for a click here.
  sys::SetMessagePresenter([](const sys::MessageBoxRequest&) { return sys::MessageAnswer::No; });
  int rc = 0;
  {
    zolcfg::ConfigDialog model((temp / "ZolConfig.xml").wstring());
    model.Initialize();
    zolcfg::ConfigWindow window(model);
    window.resize(640, 520);
    window.show();
    const char* names[] = {"ports", "logging", "msr"};
    for (int tab = 0; tab < 3; ++tab) {
      window.tabs()->setCurrentIndex(tab);
      QApplication::processEvents();
      const QString file = QString::fromUtf8(argv[1]) + "/zolconfig-" + names[tab] + ".png";
      if (!window.grab().save(file)) {
        std::fprintf(stderr, "cannot write %s\n", file.toUtf8().constData());
        rc = 1;
      }
    }
  }
  fs::remove_all(temp);
  return rc;
}
