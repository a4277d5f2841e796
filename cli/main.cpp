#include <QCoreApplication>

#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "common/fdlimit.h"

namespace {

struct Subcommand {
  const char* name;
  const char* usage;
  int (*run)(int argc, char** argv);
};

constexpr Subcommand kSubcommands[] = {
    {"parse", "parse FILE", mivo::cli::Parse},
    {"fetch", "fetch URL", mivo::cli::Fetch},
    {"tunnel", "tunnel --type socks4|socks5|http --proxy HOST:PORT --target ADDRESS:PORT [--user U --password P]", mivo::cli::Tunnel},
    {"check", "check < ROWS   (one 'address port' or 'address:port' a line)", mivo::cli::Check},
    {"verify",
     "verify (--target ADDRESS:PORT | --judge URL) [--user U --password P] [--timeout SECONDS] "
     "[--format text|json|csv] < ROWS",
     mivo::cli::Verify},
};

int Usage() {
  std::fprintf(stderr, "usage:\n");
  for (const Subcommand& s : kSubcommands) std::fprintf(stderr, "  mivoproxy-cli %s\n", s.usage);
  std::fprintf(stderr, "  mivoproxy-cli --version\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  mivo::RaiseOpenFileLimit();
  QCoreApplication app(argc, argv);
  if (argc < 2) return Usage();
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("mivoproxy-cli %s\n", MIVO_VERSION);
    return 0;
  }
  for (const Subcommand& s : kSubcommands)
    if (std::strcmp(argv[1], s.name) == 0) return s.run(argc - 2, argv + 2);
  return Usage();
}
