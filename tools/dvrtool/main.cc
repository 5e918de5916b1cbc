// dvrtool: records, lists, plays back, verifies and exports recordings of the recorder
// library, and shows it all in one `demo`. Exit status: 0 done, 1 failed or nothing found,
// 2 bad input. Messages go to standard error, results to standard output.
#include <cstdio>
#include <exception>
#include <string>

#include "commands.h"
#include "errors.h"
#include "json_writer.h"
#include "media_library.h"
#include "recorder.h"

namespace {

void PrintUsage(FILE* to) {
  std::fputs("usage: dvrtool COMMAND [ARGS] [OPTIONS]\n\ncommands:\n", to);
  for (const dvrtool::CommandSyntax& syntax : dvrtool::CommandTable()) {
    std::fprintf(to, "  %-9s %s\n", syntax.name.c_str(), syntax.synopsis.c_str());
  }
  std::fputs(
      "\n'dvrtool help COMMAND' or 'dvrtool COMMAND --help' explains a command's options.\n"
      "'dvrtool --version' prints the version.\n"
      "Times are printed as local time with the zone's offset; --utc prints them in UTC.\n"
      "Exit status: 0 done, 1 failed or nothing found, 2 bad input.\n",
      to);
}

int Dispatch(const std::string& command, const dvrtool::Words& words) {
  using namespace dvrtool;
  if (command == "demo") return DemoCommand(words);
  if (command == "record") return RecordCommand(words);
  if (command == "dates") return DatesCommand(words);
  if (command == "timeline") return TimelineCommand(words);
  if (command == "play") return PlayCommand(words);
  if (command == "verify") return VerifyCommand(words);
  if (command == "export") return ExportCommand(words);
  if (command == "serve") return ServeCommand(words);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace dvrtool;
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitBadInput;
  }
  const std::string command = argv[1];
  Words words;
  for (int i = 2; i < argc; ++i) {
    if (std::string(argv[i]) == "--utc") {
      PrintTimesInUtc();
    } else {
      words.emplace_back(argv[i]);
    }
  }
  if (command == "--version" || command == "version") {
    std::printf("dvrtool %s (recorder.h %s%s)\n", RECORDER_VERSION_STRING, RECORDER_VERSION_STRING,
                HaveMediaLibrary() ? ", MP4/MKV export with libavformat" : ", .h264 export only");
    return kExitOk;
  }
  if (command == "help" || command == "--help" || command == "-h") {
    if (words.empty()) {
      PrintUsage(stdout);
      return kExitOk;
    }
    const CommandSyntax* syntax = FindCommand(words[0]);
    if (syntax == nullptr || words.size() > 1) {
      std::fprintf(stderr, "dvrtool help: unknown command '%s' (try dvrtool help)\n",
                   words[0].c_str());
      return kExitBadInput;
    }
    std::fputs(HelpText(*syntax).c_str(), stdout);
    return kExitOk;
  }
  const CommandSyntax* syntax = FindCommand(command);
  if (syntax == nullptr) {
    std::fprintf(stderr, "dvrtool: unknown command '%s' (try dvrtool help)\n", command.c_str());
    return kExitBadInput;
  }
  if (WantsHelp(words)) {
    std::fputs(HelpText(*syntax).c_str(), stdout);
    return kExitOk;
  }
  try {
    std::fflush(stdout);
    const int status = Dispatch(command, words);
    std::fflush(stdout);
    return status;
  } catch (const UsageError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "dvrtool %s: %s\n", command.c_str(), EscapeText(e.what()).c_str());
    return kExitBadInput;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "dvrtool %s: %s\n", command.c_str(), EscapeText(e.what()).c_str());
    return kExitFailed;
  }
}
