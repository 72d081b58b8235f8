// The modemflash command-line host: one subcommand per task, each registered by its own file.
#include <stdio.h>

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "cli/command_registry.h"

#ifndef MODEMFLASH_VERSION
#define MODEMFLASH_VERSION "0.0.0"
#endif

namespace {

const char kExitStatuses[] =
    "Exit status:\n"
    "  0  success\n"
    "  1  the command failed (the reason is printed on standard error)\n"
    "  2  the command line was not understood\n"
    "  Subcommands that give further statuses list them in their own --help.\n";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Writes firmware into USB cellular modems through their serial port.",
                 "modemflash"};
    app.set_version_flag("--version", "modemflash " MODEMFLASH_VERSION);
    app.footer(kExitStatuses);
    app.require_subcommand(0, 1);

    std::vector<cli::Command> commands = cli::registeredCommands();
    std::vector<std::pair<CLI::App*, cli::Action>> actions;
    actions.reserve(commands.size());
    for (const cli::Command& command : commands) {
        CLI::App* sub = app.add_subcommand(command.name, command.description);
        actions.emplace_back(sub, command.setup(*sub));
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return cli::EXIT_USAGE;
    }

    for (auto& entry : actions) {
        if (entry.first->parsed()) return entry.second ? entry.second() : cli::EXIT_OK;
    }
    fputs(app.help().c_str(), stderr);
    return cli::EXIT_USAGE;
}
