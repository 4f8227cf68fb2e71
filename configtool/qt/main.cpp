// ZolConfig: edits ZolConfig.xml and restarts the services.
#include <QApplication>

#include "configtool/qt/ConfigWindow.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("ZolConfig"));
  zolcfg::InstallQtMessagePresenter();
  zolcfg::ConfigDialog model;
  model.Initialize();
  zolcfg::ConfigWindow window(model);
  window.show();
  return app.exec();
}
