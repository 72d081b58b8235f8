// The list of subcommands that the registrars fill before main runs.
#include "cli/command_registry.h"

#include <algorithm>

namespace cli {
namespace {

// Built on first use, so registrars in other translation units may run in any order.
std::vector<Command>& commandList() {
    static std::vector<Command> commands;
    return commands;
}

}  // namespace

void registerCommand(Command command) {
    commandList().push_back(std::move(command));
}

std::vector<Command> registeredCommands() {
    std::vector<Command> sorted = commandList();
    std::sort(sorted.begin(), sorted.end(),
              [](const Command& a, const Command& b) { return a.name < b.name; });
    return sorted;
}

}  // namespace cli
