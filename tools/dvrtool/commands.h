// The dvrtool commands. Each takes the words after its name and returns the exit status;
// bad input throws UsageError, failures while working throw RuntimeError.
#pragma once

#include <string>
#include <vector>

namespace dvrtool {

using Words = std::vector<std::string>;

int RecordCommand(const Words& words);
int PlayCommand(const Words& words);
int DatesCommand(const Words& words);
int TimelineCommand(const Words& words);
int VerifyCommand(const Words& words);
int ExportCommand(const Words& words);
int DemoCommand(const Words& words);

}  // namespace dvrtool
