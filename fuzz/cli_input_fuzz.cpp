// What the command-line program reads: rows on standard input and the
// arguments of every subcommand. Nothing may throw or crash; every error
// comes back with a message.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/row_input.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mivo::fuzz::Input in(data, size);
  std::vector<std::string> args(static_cast<std::size_t>(in.Below(9)));
  for (std::string& a : args) a = in.String();
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  const int argc = static_cast<int>(argv.size());

  std::string error;
  if (!mivo::cli::ParseTunnelArgs(argc, argv.data(), error) && error.empty()) __builtin_trap();
  error.clear();
  if (!mivo::cli::ParseVerifyArgs(argc, argv.data(), error) && error.empty()) __builtin_trap();
  error.clear();
  if (!mivo::cli::SingleOperand(argc, argv.data(), "FILE", error) && error.empty()) __builtin_trap();

  std::istringstream rest(in.Rest());
  for (const mivo::cli::InputRow& row : mivo::cli::ReadRows(rest)) {
    if (row.address.find_first_of("\t\n") != std::string::npos) __builtin_trap();
    if (row.port.find_first_of("\t\n") != std::string::npos) __builtin_trap();
    if (row.type.find_first_of("\t\n") != std::string::npos) __builtin_trap();
  }
  return 0;
}
