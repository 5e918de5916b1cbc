// The dvrtool commands. Each takes the words after its name and returns the exit status;
// bad input throws UsageError, failures while working and "nothing found" throw
// RuntimeError.
#pragma once

#include <string>
#include <vector>

#include "command_line.h"

namespace dvrtool {

using Words = std::vector<std::string>;

int RecordCommand(const Words& words);
int PlayCommand(const Words& words);
int DatesCommand(const Words& words);
int TimelineCommand(const Words& words);
int VerifyCommand(const Words& words);
int ExportCommand(const Words& words);
int DemoCommand(const Words& words);
int ServeCommand(const Words& words);

// The options and help of every command, in the order `dvrtool help` lists them; null for
// an unknown name.
const std::vector<CommandSyntax>& CommandTable();
const CommandSyntax* FindCommand(const std::string& name);

}  // namespace dvrtool
