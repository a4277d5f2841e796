// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/gbk.h"
#include "tools/location_db_writer.h"
#include "tools/sample_site.h"

namespace {

constexpr const char* kUsage =
    "usage: mivo-sample-site [--address 127.0.0.1] [--port 8086] [--no-proxies] [--any-proxy-ports] "
    "[--echo-port 7007]\n"
    "                        [--https-port N] [--write-ca FILE] [--write-location-db FILE]\n"
    "       mivo-sample-site --rows N   (writes a list page of N rows to stdout, GBK)\n"
    "       mivo-sample-site --help | --version\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// Asked for, the usage is the output, as the other programs give it.
int Help() { return std::fputs(kUsage, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1; }

bool ParseInt(const char* text, int low, int high, int& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  mivo::sample::SampleSiteOptions options;
  std::string caFile, locationDb;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--version") {
      std::printf("mivo-sample-site %s\n", MIVO_VERSION);
      return 0;
    } else if (arg == "--port" && hasValue) {
      int port = 0;
      if (!ParseInt(argv[++i], 0, 65535, port)) return Usage();
      options.port = static_cast<quint16>(port);
    } else if (arg == "--address" && hasValue) {
      options.address = QHostAddress(QString::fromLocal8Bit(argv[++i]));
      if (options.address.isNull()) return Usage();
    } else if (arg == "--echo-port" && hasValue) {
      int port = 0;
      if (!ParseInt(argv[++i], 0, 65535, port)) return Usage();
      options.echoPort = static_cast<quint16>(port);
    } else if (arg == "--help" || arg == "-h") {
      return Help();
    } else if (arg == "--https-port" && hasValue) {
      int port = 0;
      if (!ParseInt(argv[++i], 0, 65535, port)) return Usage();
      options.httpsPort = static_cast<quint16>(port);
    } else if (arg == "--write-ca" && hasValue) {
      caFile = argv[++i];
    } else if (arg == "--write-location-db" && hasValue) {
      locationDb = argv[++i];
    } else if (arg == "--no-proxies") {
      options.proxies = false;
    } else if (arg == "--any-proxy-ports") {
      options.fixedProxyPorts = false;
    } else if (arg == "--rows" && hasValue) {
      int rows = 0;
      if (!ParseInt(argv[++i], 0, mivo::sample::kMaxGeneratedRows, rows)) return Usage();
      const std::string page = mivo::ToGbk(mivo::sample::GeneratedPageText(rows));
      return std::fwrite(page.data(), 1, page.size(), stdout) == page.size() ? 0 : 1;
    } else {
      return Usage();
    }
  }

  std::string error;
  if (!caFile.empty()) {
    const mivo::sample::TestPki* pki = mivo::sample::TestCertificates(&error);
    if (!pki || !mivo::sample::WritePemFile(caFile, pki->ca.certPem, &error)) {
      std::fprintf(stderr, "mivo-sample-site: %s\n", error.c_str());
      return 1;
    }
  }
  if (!locationDb.empty() && !mivo::sample::WriteLocationDb(locationDb, mivo::sample::LoopbackLocations(), &error)) {
    std::fprintf(stderr, "mivo-sample-site: %s\n", error.c_str());
    return 1;
  }
  mivo::sample::SampleSite site;
  if (!site.Start(options, &error)) {
    std::fprintf(stderr, "mivo-sample-site: %s\n", error.c_str());
    return 1;
  }
  for (const std::string& warning : site.Warnings()) std::fprintf(stderr, "mivo-sample-site: %s\n", warning.c_str());
  std::printf("mivo-sample-site: %s/\n", site.Origin().c_str());
  if (site.HttpsPort() != 0)
    std::printf("mivo-sample-site: https://%s:%u/judge\n", options.address.toString().toUtf8().constData(),
                unsigned{site.HttpsPort()});
  if (site.EchoPort() != 0) std::printf("mivo-sample-site: echo 127.0.0.1:%u\n", unsigned{site.EchoPort()});
  std::fflush(stdout);
  return app.exec();
}
