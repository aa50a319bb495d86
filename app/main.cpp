#include <QApplication>
#include <cstdio>

#include "NorvoApp.h"

namespace {

void Print(const norvo::CommandLine& line) {
  if (!line.out.isEmpty()) std::fputs(line.out.toLocal8Bit().constData(), stdout);
  if (!line.err.isEmpty()) std::fputs(line.err.toLocal8Bit().constData(), stderr);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setApplicationName("norvo");
  QCoreApplication::setApplicationVersion(NORVO_VERSION);
  // --help and --version are answered before the window system is touched:
  // they need no display and open no window.
  QStringList raw;
  for (int i = 0; i < argc; ++i) raw << QString::fromLocal8Bit(argv[i]);
  if (norvo::AsksOnlyForText(raw)) {
    const norvo::CommandLine line = norvo::ParseCommandLine(raw);
    Print(line);
    return line.status;
  }
  QApplication qapp(argc, argv);
  // Qt's own options (-platform, -style ...) are gone from arguments() by now.
  const norvo::CommandLine line = norvo::ParseCommandLine(QApplication::arguments());
  if (line.exit) {
    Print(line);
    return line.status;
  }
  QStringList arguments = QApplication::arguments();
  arguments.removeFirst();
  norvo::CMyNorvoApp app(arguments, line.options);
  return app.InitInstance();
}
