// brivasto-window-start: starts the window as brivasto does (interactive
// mode), lets it be shown and painted once, and prints how long after the
// process started that was, in seconds; then quits. For measuring start-up
// under Qt's offscreen platform (scripts/bench.sh).
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "app/window.h"

namespace {

// Seconds since the machine booted when this process started, from
// /proc/self/stat (field 22, in clock ticks); a negative value when unknown.
double ProcessStartSeconds() {
  std::ifstream stat("/proc/self/stat");
  std::string line;
  std::getline(stat, line);
  // The command name (field 2) may hold blanks; the fields after it don't.
  const std::size_t afterName = line.rfind(')');
  if (afterName == std::string::npos) return -1;
  std::istringstream fields(line.substr(afterName + 2));
  std::string value;
  for (int field = 3; field <= 22 && fields >> value; ++field) {
  }
  const long ticks = sysconf(_SC_CLK_TCK);
  return ticks > 0 ? std::stod(value) / static_cast<double>(ticks) : -1;
}

double BootSeconds() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  int toolkitArgc = argc > 0 ? 1 : 0;
  char* toolkitArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
  QApplication application(toolkitArgc, toolkitArgv);
  QApplication::setApplicationName(QStringLiteral("Brivasto"));

  brivasto::FormSetup setup;
  setup.context = brivasto::DefaultRunContext();
  setup.programDirectory = QDir::tempPath().toStdString();
  brivasto::TMForm form(std::move(setup));
  form.show();
  QApplication::processEvents();
  form.repaint();
  const double start = ProcessStartSeconds();
  if (start < 0) {
    std::fprintf(stderr, "No se pudo leer el inicio del proceso en /proc/self/stat\n");
    return 1;
  }
  std::printf("%.3f\n", BootSeconds() - start);
  return form.isVisible() ? 0 : 1;
}
