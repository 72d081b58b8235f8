// Subcommands of the modemflash command-line host register themselves.
//
// Each tools/cmd_<name>.cpp defines, at namespace scope, one CommandRegistrar. Its setup
// function receives the subcommand's CLI::App, declares the options into storage it owns
// (captured by the returned action), and returns the action that main runs once the command
// line has been parsed. main.cpp never names a subcommand, so adding one touches no shared
// file: the tools CMake compiles every tools/*.cpp straight into the executable (never into a
// static library, where an unreferenced registrar would be dropped by the linker).
//
//   namespace {
//   const cli::CommandRegistrar registrar{
//       "wrap", "Make a wrapped archive from a payload", [](CLI::App& app) {
//           auto options = std::make_shared<WrapOptions>();
//           app.add_option("PAYLOAD", options->payload)->required();
//           return cli::Action([options] { return runWrap(*options); });
//       }};
//   }  // namespace
//
// An action returns the process exit status (see cli::EXIT_* for the shared meanings).
#ifndef MODEMFLASH_TOOLS_COMMAND_REGISTRY_H
#define MODEMFLASH_TOOLS_COMMAND_REGISTRY_H

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace cli {

// Exit statuses every subcommand shares. A subcommand may add its own (documented in its
// footer), starting at EXIT_FIRST_OWN.
enum ExitStatus {
    EXIT_OK = 0,         // the command did what was asked
    EXIT_FAILED = 1,     // the command ran and failed (a message on stderr says why)
    EXIT_USAGE = 2,      // the command line was not understood
    EXIT_FIRST_OWN = 3,  // first status a subcommand may give a meaning of its own
};

using Action = std::function<int()>;
using Setup = std::function<Action(CLI::App&)>;

struct Command {
    std::string name;
    std::string description;
    Setup setup;
};

// The registered subcommands, in name order (the order of registration depends on the
// linker, the listing should not).
std::vector<Command> registeredCommands();

// Adds a subcommand; called by CommandRegistrar during static initialisation.
void registerCommand(Command command);

class CommandRegistrar {
  public:
    CommandRegistrar(const char* name, const char* description, Setup setup) {
        registerCommand(Command{name, description, std::move(setup)});
    }
};

}  // namespace cli

#endif
