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

// `program` with `args` in `environment`; `whileRunning` runs once it has started, before
// waiting for its end.
inline ProgramRun RunProgramAs(const QString& program, const QStringList& args,
                               const QProcessEnvironment& environment,
                               const std::function<void()>& whileRunning = {}) {
  constexpr int kWaitMs = 20000;
  QProcess process;
  process.setProcessEnvironment(environment);
  process.start(program, args);
  ProgramRun run;
  if (!process.waitForStarted(kWaitMs)) {
    ADD_FAILURE() << program.toStdString() << " did not start";
    return run;
  }
  if (whileRunning) whileRunning();
  if (!process.waitForFinished(kWaitMs) || process.exitStatus() != QProcess::NormalExit) {
    ADD_FAILURE() << program.toStdString()
                  << " did not end by itself: " << args.join(u' ').toStdString();
    process.kill();
    process.waitForFinished(kWaitMs);
    return run;
  }
  run.exitCode = process.exitCode();
  run.out = process.readAllStandardOutput().toStdString();
  run.err = process.readAllStandardError().toStdString();
  return run;
}

// The program as a script starts it, with no display of any kind in its environment.
inline ProgramRun RunProgram(const QStringList& args,
                             const std::function<void()>& whileRunning = {}) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    environment.remove(QString::fromLatin1(name));
  }
  return RunProgramAs(QStringLiteral(MERO_CONTROL_BINARY), args, environment, whileRunning);
}

inline QString Arg(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace mero::test
