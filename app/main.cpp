#include <QApplication>

#include "NorvoApp.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  QApplication::setApplicationName("norvo");
  QStringList arguments = QApplication::arguments();
  arguments.removeFirst();
  norvo::CMyNorvoApp app(arguments);
  return app.InitInstance();
}
