#pragma once

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>
#include <functional>
#include <string>

namespace mero::test {

struct ProgramRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// The program as a script starts it, with no display of any kind in its environment.
// `whileRunning` runs once the program has started, before waiting for its end.
inline ProgramRun RunProgram(const QStringList& args,
                             const std::function<void()>& whileRunning = {}) {
  constexpr int kWaitMs = 20000;
  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    environment.remove(QString::fromLatin1(name));
  }
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(MERO_CONTROL_BINARY), args);
  ProgramRun run;
  if (!program.waitForStarted(kWaitMs)) {
    ADD_FAILURE() << "the program did not start";
    return run;
  }
  if (whileRunning) whileRunning();
  if (!program.waitForFinished(kWaitMs) || program.exitStatus() != QProcess::NormalExit) {
    ADD_FAILURE() << "the program did not end by itself: " << args.join(u' ').toStdString();
    program.kill();
    program.waitForFinished(kWaitMs);
    return run;
  }
  run.exitCode = program.exitCode();
  run.out = program.readAllStandardOutput().toStdString();
  run.err = program.readAllStandardError().toStdString();
  return run;
}

inline QString Arg(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace mero::test
