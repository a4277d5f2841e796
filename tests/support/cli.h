// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include "tests/support/wait.h"

namespace mivo::test {

// A program of this build, by its path below the build folder.
inline QString BuiltProgram(const char* relative) { return QStringLiteral(MIVO_BUILD_DIR "/") + relative; }

struct CliResult {
  int exitCode = -1;
  QByteArray out;
  QByteArray err;  // empty when merged into `out`
};

// Runs the built mivoproxy-cli with `args`, feeding `input` on stdin; with
// `merged` its standard error goes into `out` as it comes. The event loop
// runs meanwhile, so that servers of this process answer it.
inline CliResult RunCli(const QStringList& args, const QByteArray& input = {}, bool merged = false,
                        int timeoutMs = 60000) {
  QProcess p;
  if (merged) p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(BuiltProgram("cli/mivoproxy-cli"), args);
  CliResult r;
  if (!p.waitForStarted(timeoutMs)) return r;
  p.write(input);
  p.closeWriteChannel();
  if (!WaitUntil([&] { return p.state() == QProcess::NotRunning; }, timeoutMs)) {
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
