#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace mivo::test {

// A program of this build, by its path below the build folder.
inline QString BuiltProgram(const char* relative) { return QStringLiteral(MIVO_BUILD_DIR "/") + relative; }

struct CliResult {
  int exitCode = -1;
  QByteArray out;
  QByteArray err;
};

// Runs the built mivoproxy-cli with `args`, feeding `input` on stdin.
inline CliResult RunCli(const QStringList& args, const QByteArray& input = {}, int timeoutMs = 60000) {
  QProcess p;
  p.start(BuiltProgram("cli/mivoproxy-cli"), args);
  CliResult r;
  if (!p.waitForStarted(timeoutMs)) return r;
  p.write(input);
  p.closeWriteChannel();
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished();
    return r;
  }
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = p.readAllStandardOutput();
  r.err = p.readAllStandardError();
  return r;
}

}  // namespace mivo::test
