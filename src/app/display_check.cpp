#include "app/display_check.h"

#include <unistd.h>

#include <QString>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace mero::app {
namespace {

// A message and where it came from; the context's strings live as long as the program.
struct Held {
  QtMsgType type;
  const char* file;
  int line;
  const char* function;
  const char* category;
  QString text;
};

std::vector<Held>* g_held = nullptr;
QtMessageHandler g_previous = nullptr;

void Hold(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg) {
    std::fprintf(stderr,
                 "mero-control: cannot open the window: the display %s does not answer "
                 "(is the X session or ssh forwarding still there?)\n",
                 DisplayCheck::DisplayName().c_str());
    std::fflush(stderr);
    ::_exit(1);
  }
  g_held->push_back({type, context.file, context.line, context.function, context.category, text});
}

}  // namespace

DisplayCheck::DisplayCheck() {
  g_held = new std::vector<Held>();
  g_previous = qInstallMessageHandler(Hold);
}

DisplayCheck::~DisplayCheck() {
  qInstallMessageHandler(g_previous);
  for (const Held& held : *g_held) {
    const QMessageLogContext context(held.file, held.line, held.function, held.category);
    if (g_previous) {
      g_previous(held.type, context, held.text);
    } else {
      qt_message_output(held.type, context, held.text);
    }
  }
  delete g_held;
  g_held = nullptr;
}

std::string DisplayCheck::DisplayName() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return '"' + std::string(value) + "\" (" + name + ")";
  }
  return "(none)";
}

}  // namespace mero::app
