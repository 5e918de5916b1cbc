// What each command takes, with its defaults: the parser checks the words against these and
// `dvrtool CMD --help` prints them.
#include "commands.h"

namespace dvrtool {

const std::vector<CommandSyntax>& CommandTable() {
  static const std::vector<CommandSyntax> commands = {
      {"demo",
       "[options]",
       "Records the bundled H.264 sample on every channel with audio on channel 0, lists the\n"
       "dates, draws the day's timeline, plays channel 0 back at 4x and checks every frame,\n"
       "exports channel 0 and verifies the files. Removes the files it wrote when every check\n"
       "passes; keeps them, and says where, when one fails (exit 1).",
       {{"dir", 0, "DIR", "record into DIR (default: a new directory under $TMPDIR or /tmp)"},
        {"seconds", 0, "N", "seconds to record, 1..3600 (default 20)"},
        {"channels", 0, "N", "channels to record, 1..32 (default 32)"},
        {"keep", 0, "", "keep the recording, picture and export (default: removed on success)"}}},
      {"record",
       "--dir DIR --files N [options]",
       "Records an H.264 or H.265 elementary stream (one access unit per frame, key frames at\n"
       "IDR / IRAP pictures) on several channels through the library, at the stream's frame\n"
       "rate. A file is looped for --seconds; standard input (-) or a FIFO is recorded as it\n"
       "arrives, until it ends. A recording already in DIR is continued after its newest file.\n"
       "Ctrl-C or SIGTERM ends the recording early: every frame taken in so far is stored, the\n"
       "summary printed, and the exit status is 130 or 143.",
       {{"dir", 0, "DIR", "directory of the rotation set dvr00.VDB, dvr01.VDB, ... (required)"},
        {"files", 0, "N", "data files in the rotation set, 1..1000 (required)"},
        {"channels", 0, "N", "channels to record, 1..32 (default 4)"},
        {"seconds", 0, "N",
         "seconds of video per channel, 1..86400 (default 10; a pipe: to its end)"},
        {"input", 0, "FILE",
         "H.264/H.265 stream to record, - for stdin (default: the bundled sample)"},
        {"fps", 0, "R", "frame rate of a stream that states none (default 25)"},
        {"fast", 0, "", "hand frames over as fast as the recorder takes them"},
        {"yes", 'y', "", "replace a recording already in DIR (default: continue it)"},
        {"audio", 0, "", "also record a 440 Hz tone as audio on channel 0 (default: no audio)"},
        {"quiet", 'q', "", "no progress line (default: one on a terminal)"}}},
      {"dates",
       "DIR [options]",
       "Lists the recorded days of the index files in DIR, with their first and last recorded\n"
       "time, recorded minutes and minutes per channel. Unreadable index files, and files that\n"
       "are no index files, are named on standard error and skipped. Exit 1 when nothing is\n"
       "recorded.",
       {{"json", 0, "", "print JSON instead of text"}}},
      {"timeline",
       "DIR --date YYYY-MM-DD [options]",
       "Shows the day table of one date: which channels recorded in which minute, and why.\n"
       "Exit 1 when nothing is recorded that day.",
       {{"date", 0, "YYYY-MM-DD", "the day to show (required)"},
        {"svg", 0, "FILE", "also draw the day as an SVG picture into FILE"},
        {"yes", 'y', "", "overwrite an existing --svg file (default: refuse)"},
        {"by-channel", 0, "", "rows of channels by hours (default: hours by minutes)"},
        {"dst", 0, "M/D/H-M/D/H", "daylight-saving range for the day table (default: none)"},
        {"json", 0, "", "print JSON instead of text"}}},
      {"play",
       "DIR --from \"YYYY-MM-DD HH:MM:SS\" [options]",
       "Plays one channel through a file search and reports the frames delivered and their\n"
       "lateness against the recorded pace. Exit 1 when nothing is recorded at or after --from\n"
       "on its day. Ctrl-C or SIGTERM stops the playback, reports it and exits 130 or 143.",
       {{"from", 0, "TIME", "local time to play from (required)"},
        {"rate", 0, "R", "play rate, -100..100; 1 normal, <0 backward (default 1)"},
        {"channel", 0, "C", "channel to play, 0..31 (default 0)"},
        {"seconds", 0, "S", "wall-clock seconds to play at most, 0.1..86400 (default 10)"},
        {"out", 'o', "FILE", "write the played video frames as .h264 to FILE, - for stdout"},
        {"yes", 'y', "", "overwrite an existing --out file (default: refuse)"},
        {"json", 0, "", "print the report as JSON"}}},
      {"verify",
       "DIR [options]",
       "Checks every data/index pair of DIR offline: every record up to the index's dataBytes\n"
       "parses and the index summary agrees with the records. Each problem names the file and\n"
       "the byte offset. Exit 1 when there is a problem or no recording file.",
       {{"json", 0, "", "print JSON instead of text"},
        {"quiet", 'q', "", "only problems and the totals; no progress line"}}},
      {"export",
       "DIR --channel C --out FILE [options]",
       "Writes one channel's video in recorded order: as the camera's stream (.h264) or\n"
       "as MP4, Matroska or MPEG-TS (.mp4, .mkv, .ts) at the stream's frame rate. A range starts\n"
       "at the key frame at or before --from; players show it from --from (MP4). Exit 1 when the\n"
       "range holds no video of the channel (no file is left then).",
       {{"channel", 0, "C", "channel to export, 0..31 (required)"},
        {"from", 0, "TIME", "first second, \"YYYY-MM-DD HH:MM:SS\" (default: the first)"},
        {"to", 0, "TIME", "last second, \"YYYY-MM-DD HH:MM:SS\" (default: the last)"},
        {"out", 'o', "FILE", "output file, - for standard output (required)"},
        {"format", 0, "F", "h264, mp4, mkv or ts (default: from FILE's extension; h264 for -)"},
        {"yes", 'y', "", "overwrite an existing FILE (default: refuse)"},
        {"json", 0, "", "print the report as JSON"},
        {"quiet", 'q', "", "no progress line (default: one on a terminal)"}}},
      {"serve",
       "DIR... [options]",
       "Serves a review page of the recordings in the DIRs to a web browser: the recorded\n"
       "days, a timeline per channel, playback from any second (one channel or a grid) and\n"
       "MP4 downloads of a range. Read-only. Ctrl-C or SIGTERM ends it.",
       {{"listen", 0, "ADDR:PORT",
         "address to answer on, port 0 picks one (default 127.0.0.1:8080)"},
        {"stream-buffer", 0, "KIB",
         "KiB held for a viewer that reads slowly, 16..65536 (default 2048)"}}},
  };
  return commands;
}

const CommandSyntax* FindCommand(const std::string& name) {
  for (const CommandSyntax& syntax : CommandTable()) {
    if (syntax.name == name) return &syntax;
  }
  return nullptr;
}

}  // namespace dvrtool
