// dvrtool: records, lists, plays back, verifies and exports recordings of the recorder
// library, and shows it all in one `demo`. Exit status: 0 done, 1 failed or found a
// problem, 2 bad input.
#include <cstdio>
#include <exception>
#include <string>

#include "commands.h"
#include "errors.h"

namespace {

const char kUsage[] =
    "usage: dvrtool COMMAND ...\n"
    "  demo     [--dir DIR] [--seconds N] [--channels N]\n"
    "  record   --dir DIR --files N [--channels N] [--seconds N] [--input FILE.h264] [--fast]"
    " [--audio]\n"
    "  dates    DIR\n"
    "  timeline DIR --date YYYY-MM-DD [--svg FILE] [--by-channel] [--dst M/D/H-M/D/H]\n"
    "  play     DIR --from \"YYYY-MM-DD HH:MM:SS\" [--rate R] [--channel C] [--seconds S]"
    " [--out FILE.h264]\n"
    "  verify   DIR\n"
    "  export   DIR --channel C [--from T] [--to T] --out FILE.h264\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace dvrtool;
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kExitBadInput;
  }
  const std::string command = argv[1];
  const Words words(argv + 2, argv + argc);
  try {
    if (command == "demo") return DemoCommand(words);
    if (command == "record") return RecordCommand(words);
    if (command == "dates") return DatesCommand(words);
    if (command == "timeline") return TimelineCommand(words);
    if (command == "play") return PlayCommand(words);
    if (command == "verify") return VerifyCommand(words);
    if (command == "export") return ExportCommand(words);
    if (command == "help" || command == "--help" || command == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    std::fprintf(stderr, "dvrtool: unknown command '%s' (try dvrtool help)\n", command.c_str());
    return kExitBadInput;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "dvrtool %s: %s\n", command.c_str(), e.what());
    return kExitBadInput;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dvrtool %s: %s\n", command.c_str(), e.what());
    return kExitFailed;
  }
}
