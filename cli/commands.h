#pragma once

namespace mivo::cli {

// Each subcommand gets the arguments after its own name and returns the exit code.
int Parse(int argc, char** argv);
int Fetch(int argc, char** argv);
int Tunnel(int argc, char** argv);
int Check(int argc, char** argv);
int Verify(int argc, char** argv);

}  // namespace mivo::cli
