/*
 * recorder.h - the public C interface of the 32-channel recording and playback library.
 *
 * A host application loads librecorder.so and drives it only through the 44 functions
 * declared here. Recorders take already-encoded frames per channel and store them in a
 * rotation set of pre-allocated data files (".VDB") with a minute index beside each
 * (".FIH"). File searches catalogue recorded index files and deliver the stored frames
 * back to the host's callbacks at the recorded pace, scaled by a play rate.
 *
 * Conventions:
 *  - Results are 32-bit integers: 1 for success, 0 for failure or "nothing done".
 *  - Channels are 0..31; an export that takes a channel refuses 32 or more (including
 *    a negative value passed as unsigned) before it looks at the handle.
 *  - A handle of 0 (NULL) never names an object; every export refuses it quietly.
 *  - No C++ exception and no signal crosses this interface.
 *  - Times are unsigned 32-bit seconds since 1970-01-01 00:00:00 UTC, so the interface (like
 *    the stored file formats) runs to 2106-02-07 06:28:15 UTC. Local times use the process's
 *    TZ.
 *  - Every "length in characters" is a byte count.
 *  - Every callback pointer may be null: that callback is then simply not called.
 *  - Threads: any export may be called from any host thread, for different objects at the
 *    same time. On one recorder the three write exports may run on several threads at once
 *    (each ring takes its frames one at a time) together with the settings and queries;
 *    START, STOP, END and the path settings wait for the writer threads' file work. END
 *    waits for calls already inside the object; every later call with that handle is
 *    refused. Callbacks have their own rules, stated at each type.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef RECORDER_H_
#define RECORDER_H_

/* Version of this header and of the library built from it (the library exports no version
 * function: compare these at build time). */
#define RECORDER_VERSION_MAJOR 1
#define RECORDER_VERSION_MINOR 0
#define RECORDER_VERSION_PATCH 0
#define RECORDER_VERSION_STRING "1.0.0"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of a recorder (from _RECORDER_INIT). */
typedef struct RecorderObject* RECORDER_HANDLE;
/* Opaque handle of a file search (from _RECORDER_FILESEARCH_INIT). */
typedef struct FileSearchObject* FILESEARCH_HANDLE;

/* Event codes passed to RecorderEventCallback. */
#define RECORDER_EVENT_FILE_DELETED 1 /* status 0; path = data or index file just deleted */
#define RECORDER_EVENT_FILE_OPENED 2  /* status 0 opened / -1 failed; path = file being opened */
#define RECORDER_EVENT_WRITE_FAILED 3 /* status -1; path = data or index file being written */

/* The largest payload (dataEnd - dataStart) a recorder stores and plays back: 8 MiB for video
 * and video-format rec data (a key frame of a 4K or 12-megapixel camera), 17,544 bytes for
 * audio and audio-format rec data. A longer frame is refused (the write export returns 0);
 * nothing of it is stored or counted. */
#define RECORDER_MAX_VIDEO_FRAME_BYTES 8388608u
#define RECORDER_MAX_AUDIO_FRAME_BYTES 17544u

/* Notification code passed to FileSearchNotifyCallback: play position progress. */
#define RECORDER_NOTIFY_PROGRESS 20

/*
 * Host event callback of a recorder.
 * Codes 2 and 3 are raised while the recorder holds its internal write lock: on its writer
 * threads, and on the host's own thread inside _RECORDER_START, _RECORDER_STOP,
 * _RECORDER_END and the four restarting settings. Code 1 comes from its deletion thread. No
 * process-wide lock is held meanwhile. From inside the callback the host may call every
 * query and setting that does not restart (GETCOUNT, GETNAME, GETFILEPATHCOUNT,
 * GETFILEPATH, GETCURRENTRECFILE, which names the file of a code-2 event inside it,
 * SET/GETOVERWRITEMODE, GETOVERWRITECOUNT, SET/GETRECORD, SET/GETSTATUS, GETBPS, GETFPS,
 * SETPREPOSTTIME, DELETEMAN_START, DELETEMAN_STOP), any export of another recorder or of a
 * file search. _RECORDER_START, _RECORDER_STOP, _RECORDER_END, SETHEADERFILEPATH,
 * ADDFILEPATH, REMOVEFILEPATH, CLEARFILEPATH, the stream writes and the frame writes of the
 * same recorder would wait for the callback's own thread: called from inside it they do
 * nothing and return their failure value at once.
 * Arguments: recorder, host context, event code, status (0 ok, -1 failure), zero-terminated
 * file path, path length in bytes (terminator not counted).
 * While the callback runs for a failure (code 2 with status -1, code 3), errno holds its
 * cause (ENOSPC for a full disk, EIO, EACCES, ENOENT for a missing directory, EWOULDBLOCK
 * for a data file another recorder records into).
 * Once _RECORDER_END returns no callback of that recorder starts, and none runs: END waits for
 * a code 2 or 3 callback in progress, and for a code-1 callback up to 5 s (one still running
 * then is left to finish). After _RECORDER_STOP the deletion worker, if switched on, still
 * calls with code 1; codes 2 and 3 come again only after a new START.
 */
typedef void (*RecorderEventCallback)(RECORDER_HANDLE recorder, uintptr_t context, int32_t code,
                                      int32_t status, const char* path, int32_t pathLength);

#if defined(__GNUC__) || defined(__clang__)
#define RECORDER_PACKED __attribute__((packed))
#else
#define RECORDER_PACKED
#endif

/*
 * The frame descriptor shared by the write exports (filled by the host, stamped with the
 * local time by the library) and by playback (filled by the library for the host).
 * Byte-packed. On a 32-bit target it is exactly the 110-byte layout of the interface; on a
 * 64-bit target the three pointer members are 8 bytes wide and the offsets after them move
 * by 4 or 8 bytes, while every unlisted gap keeps its size.
 * The audio form is the prefix through audioData; the progress form the first 26 bytes.
 *
 * Frame types (`type`): video 1, 2, 3, 4 and 6 are stored and played (1 and 3 at every rate;
 * 2, 4 and 6 only as key frames at rates other than 0 < r <= 1); 160 is stored, never played.
 * Audio 0, 17, 18, 33 and 34 are stored and played; 161 is stored, never played. Frames of
 * any other type are not stored. Rec data of kind 0 takes a video type, kind 1 an audio type.
 * Stored of a frame: channel, time (to the second), type, low 8 bits of subTypeWord, key
 * flag, why it was recorded (always / trigger A / trigger B) and the payload, plus tag for
 * video-format frames. Not stored: word4, word12, kind (playback sets it from the stored
 * format), statSize, millisecond and the unlisted bytes.
 */
typedef struct RECORDER_PACKED FrameDescriptor {
  uint32_t channel;   /* 0: channel number (filled by playback) */
  uint32_t word4;     /* 4: not read or stored; playback writes 4 */
  uint32_t kind;      /* 8: rec data: 0 video format, 1 audio format; playback: 0 video, 1 audio */
  uint32_t word12;    /* 12: not read or stored; playback writes 2 (0 in the progress form) */
  uint16_t year;      /* 16: local year, four digits (written by intake and by playback) */
  uint8_t month;      /* 18: 1..12 */
  uint8_t day;        /* 19: 1..31 */
  uint8_t hour;       /* 20: 0..23 */
  uint8_t minute;     /* 21 */
  uint8_t second;     /* 22 */
  uint8_t reserved23; /* 23: written as 0 */
  uint16_t millisecond;     /* 24: cleared by intake; playback: k * 1000 / n for the k-th of the n
                              frames shown in that second (the second's pace, not a stored time) */
  uint32_t statSize;        /* 26: byte count for the throughput statistics */
  uint32_t type;            /* 30: frame type, stored with the record */
  uint32_t dataStart;       /* 34: offset of the payload in the data buffer */
  uint32_t dataEnd;         /* 38: end offset of the payload; length = dataEnd - dataStart */
  uint32_t keyFlag;         /* 42: nonzero = key frame */
  uint32_t tag;             /* 46: stored with video-format records and played back as is */
  uint32_t subTypeWord;     /* 50: its low 8 bits are stored as the subtype */
  const uint8_t* audioData; /* 54: data buffer of audio-format records */
  uint32_t leadLength;      /* playback: 0 for a key frame, 100 otherwise */
  uint32_t decodeOnly;      /* playback: 1 when the frame is to be decoded but not shown */
  uint8_t reserved70[8];    /* unlisted */
  uint32_t triggerA;        /* nonzero = trigger A present in this frame */
  uint32_t triggerB;        /* nonzero = trigger B present in this frame */
  uint8_t reserved86[20];   /* unlisted */
  const uint8_t* leadBlock; /* playback: the 100-byte block leading a non-key body, else 0 */
  const uint8_t* videoData; /* data buffer of video-format records */
} FrameDescriptor;

/*
 * Frame callback of a file search. Called on the file search's pacing thread while it
 * holds its queue lock; descriptor points to the video form (kind 0) or the audio form
 * (kind 1), valid only during the call (copy what you keep); the last argument is always 0.
 * Every file-search export is safe to call from inside it, and from any thread: SETPATH, START,
 * STOP, END, PLAYTIME and PLAYRATE of the same file search return their failure value at once
 * without acting there; the others work.
 * The payload lies where the write exports take it from: bytes dataStart to dataEnd of
 * videoData (video: dataStart is 4, the four bytes before the payload hold the tag) or of
 * audioData (audio: dataStart 0). A non-key frame's 100-byte lead is at leadBlock.
 * One pacing thread delivers every channel's frames one after another (800 a second for 32
 * channels at 25 fps, more at fast rates), so the callback should copy the frame or hand it to
 * a decoder queue and return within a fraction of a millisecond: while it blocks, every later
 * frame is late, and STOP, END and PLAYTIME of this search on other threads wait for it.
 */
typedef void (*FileSearchFrameCallback)(uintptr_t context, uint32_t channel,
                                        const FrameDescriptor* descriptor, int32_t reserved);

/*
 * Notification callback of a file search: code 20 with the progress form of a descriptor
 * on every fourth displayed video frame after a seek. The progress form holds channel,
 * word4, kind, word12 (0) and the frame's time; its statSize is the number of damaged records
 * playback has stepped over since START (each reported, the rest of the recording played).
 * Same thread and rules as the frame callback.
 */
typedef void (*FileSearchNotifyCallback)(FILESEARCH_HANDLE search, uintptr_t context, int32_t code,
                                         uint32_t channel, const FrameDescriptor* progress);

/* ---- Recorders ------------------------------------------------------------------- */

/* Creates a recorder named `name` (its writer threads start at once); 0 on failure. A handle is
 * never handed out again in the process, so a stale handle names no object.
 * The name is only for the host: GETNAME lists it to tell recorders apart. It need not be
 * unique, names no file and is not stored; a null name is the empty name. */
RECORDER_HANDLE _RECORDER_INIT(const char* name, uintptr_t context, RecorderEventCallback callback);
/* Stops the recorder as _RECORDER_STOP does (every frame taken in is stored), then destroys
 * it. The handle is dead from the start of the call; END waits for calls of other threads
 * already inside the recorder. Called from inside an event callback (of any recorder) it does
 * not wait: the recorder is destroyed when the last call inside it returns, so two recorders
 * whose callbacks end each other both go. An unknown, null or already ended handle does
 * nothing. */
void _RECORDER_END(RECORDER_HANDLE recorder);
/* Starts recording into the rotation set; 1 when recording afterwards (also when it already
 * was), 0 otherwise. It writes from the start of the file after the newest one of the set (the
 * first when none exists yet); a one-file set that exists is written again from its start
 * (overwrite mode 1, the default) or not at all (mode 0). START returns 0 when: the path list
 * is empty (or the header file is unreadable or lists nothing); the next file is past the last
 * with overwrite mode 0; the data file cannot be opened or created (event 2, status -1). */
int32_t _RECORDER_START(RECORDER_HANDLE recorder);
/* Stops recording: waits (at most 5 s) for the frames still queued, writes out what is
 * buffered and closes every file. */
void _RECORDER_STOP(RECORDER_HANDLE recorder);
/* Number of live recorders. */
int32_t _RECORDER_GETCOUNT(void);
/* Copies the name of the index-th recorder (ascending handle order) when it and its terminator
 * fit *size bytes; always returns 0 (success shows only in the buffer). */
int32_t _RECORDER_GETNAME(int32_t index, char* buffer, const int32_t* size);
/* Names the header file listing the rotation set; source 0 = path list, 1 = header file.
 * Restarts a running recording. */
void _RECORDER_SETHEADERFILEPATH(RECORDER_HANDLE recorder, const char* path, int32_t source);
/* Appends a data file of the rotation set (a path naming a directory is no file of the set, it
 * only tells the deletion worker where to look); restarts a running recording. The data
 * file's index file is the same path with the file name's extension (from its last '.')
 * replaced by ".FIH", or ".FIH" appended to a file name without one: "/srv/rec.1/0001.VDB"
 * gives "/srv/rec.1/0001.FIH", "f0" gives "f0.FIH", ".f0.VDB" gives ".f0.FIH" (a leading '.'
 * starts no extension). A path ending in '/' has no index file. */
void _RECORDER_ADDFILEPATH(RECORDER_HANDLE recorder, const char* path);
/* Removes the first path equal to `path` (case-sensitive); restarts a running recording. */
void _RECORDER_REMOVEFILEPATH(RECORDER_HANDLE recorder, const char* path);
/* Removes every path; restarts a running recording. */
void _RECORDER_CLEARFILEPATH(RECORDER_HANDLE recorder);
/* Number of paths in the list. */
int32_t _RECORDER_GETFILEPATHCOUNT(RECORDER_HANDLE recorder);
/* Copies path `index` when it and its terminator fit `size` bytes; 1 copied, 0 not. */
int32_t _RECORDER_GETFILEPATH(RECORDER_HANDLE recorder, int32_t index, char* buffer, int32_t size);
/* Copies the path of the data file being recorded; 1 copied, 0 when no data file is open or
 * the buffer is too small. While the recorder changes file it names the old or the new one. */
int32_t _RECORDER_GETCURRENTRECFILE(RECORDER_HANDLE recorder, char* buffer, int32_t size);
/* 0: refuse to wrap from the last file of the set to the first (recording then rewrites the
 * last file); nonzero (the default, 1): wrap and overwrite the oldest file. */
void _RECORDER_SETOVERWRITEMODE(RECORDER_HANDLE recorder, int32_t mode);
/* The overwrite mode. */
int32_t _RECORDER_GETOVERWRITEMODE(RECORDER_HANDLE recorder);
/* 1 when the latest change of file wrapped to the first file of the set, else 0. */
int32_t _RECORDER_GETOVERWRITECOUNT(RECORDER_HANDLE recorder);
/* Switches recording of a channel on (nonzero) or off (0, the default: nothing is stored for a
 * channel until this is called). */
void _RECORDER_SETRECORD(RECORDER_HANDLE recorder, uint32_t channel, int32_t enabled);
/* The record switch of a channel. */
int32_t _RECORDER_GETRECORD(RECORDER_HANDLE recorder, uint32_t channel);
/* Reason bits of a channel: 1 record always (default), 2 on trigger A, 4 on trigger B. */
void _RECORDER_SETSTATUS(RECORDER_HANDLE recorder, uint32_t channel, uint32_t status);
/* The reason bits of a channel. */
uint32_t _RECORDER_GETSTATUS(RECORDER_HANDLE recorder, uint32_t channel);
/* Bytes per second of a channel's recent frames; 1 stored, 0 refused.
 * Rates are measured over windows of about 2 s: each read gives the last closed window (a
 * window closes with the first frame more than 2 s after it opened), so a change shows within
 * 2 to 4 s. The sum is of the statSize of every video and kind-0 rec-data frame taken in,
 * counted before anything could drop it; audio is not counted. A channel whose window opened
 * more than 5 s ago reads 0; after such a pause the rates show again about 2 s after frames
 * resume. */
int32_t _RECORDER_GETBPS(RECORDER_HANDLE recorder, uint32_t channel, double* bytesPerSecond);
/* Frames per second of a channel's recent frames; 1 stored, 0 refused. Same window as GETBPS. */
int32_t _RECORDER_GETFPS(RECORDER_HANDLE recorder, uint32_t channel, double* framesPerSecond);
/* Seconds a channel that records on a trigger (status 2 or 4 without 1) records around it;
 * both 5 in a new recorder, taken from the next frame on. Pre (0..30, clamped): while no
 * trigger is set, the channel's frames (from the key frame at or before now - pre) and audio
 * are kept in memory, not written (WRITEVIDEO returns 0), and the frame that sets a trigger
 * writes them first, with their own times and its reason. Memory: at most 8 MiB of frames
 * per channel (256 MiB for 32); at a higher rate the oldest whole groups of pictures go
 * first, so fewer seconds are kept. Post (0..300, clamped): recording goes on for post
 * seconds after the last frame with a trigger set, with that frame's reason; a trigger
 * within them extends it. STOP and END drop kept frames unwritten. 0 and 0: only frames
 * with a trigger set are recorded. */
void _RECORDER_SETPREPOSTTIME(RECORDER_HANDLE recorder, int32_t preSeconds, int32_t postSeconds);
/* Takes in a video frame (110-byte form); stamps the local time into *frame. 1 taken in
 * (stored, or dropped for lack of room), 0 refused: a type outside the video family
 * 1, 2, 3, 4, 6, 160, a payload over RECORDER_MAX_VIDEO_FRAME_BYTES, or no data file open
 * (a rotation whose next file could not be opened: event 2, status -1; the recorder tries
 * the file after it at the next second). The payload is copied before the call returns, so the host
 * may reuse its buffer at once. A channel need not start with a key frame, but frames recorded
 * before a channel's first key frame cannot be decoded on playback: send a key frame first after
 * START.
 *
 * Types. The library reads no codec from the type; it decides how playback thins the stream.
 * 1 and 3 are the channel's main pictures, played at every rate (thinned as PLAYRATE says);
 * they behave alike (the key flag, not the type, marks a key frame): give 1 to key frames
 * (I/IDR) and 3 to the pictures that depend on others, P- and B-frames. 2, 4 and 6 are for
 * secondary pictures (a camera's second stream, snapshots): played whole at 0 < rate <= 1
 * only, as key frames alone at every other rate, so a P- or B-frame given one of them is left
 * out of fast and backward play. 160 is stored and never played. Hand frames in decode order;
 * playback returns that order.
 *
 * Largest frame: 8 MiB of payload (dataEnd - dataStart, RECORDER_MAX_VIDEO_FRAME_BYTES). A
 * longer frame is refused with 0: nothing of it is stored or counted.
 *
 * Drops. A frame that returns 0 is not stored: refused for its channel, switches, type or size,
 * or because no data file is open (a frame kept only for pre-record, SETPREPOSTTIME, returns 0
 * too and is stored if a trigger follows). A frame that returns 1 is stored, except when the
 * writer had no room for it for 5 s (a disk that stalls): the call then gives up after that
 * wait and returns 1, so a write that took 5 s is the only sign of such a drop. A data file
 * that fails to open or to be written is reported through the event callback (codes 2 and 3).
 *
 * Time. The stamp is the wall clock's second at the call, as local time in the TZ in force
 * then. A change of TZ (or of the zone file) applies within a second; stored times are
 * instants, so only the local day that files are split by and that the tables show follows the
 * new zone. A clock step is taken as it comes: a forward step leaves a gap; a backward step of
 * more than a minute starts a new data file, as a change of day does, so the new footage is
 * listed and played at its own times at once. Playback paces by a monotonic clock. */
int32_t _RECORDER_WRITEVIDEO(RECORDER_HANDLE recorder, uint32_t channel, FrameDescriptor* frame);
/* Takes in an audio frame (audio form: through audioData); same results, payload copied (types
 * of the audio family 0, 17, 18, 33, 34, 161). Largest frame: 17,544 bytes of payload
 * (RECORDER_MAX_AUDIO_FRAME_BYTES); a longer one is refused with 0. */
int32_t _RECORDER_WRITEAUDIO(RECORDER_HANDLE recorder, uint32_t channel, FrameDescriptor* frame);
/* Takes in recording data, payload copied: kind 0 video format (video family types), kind 1
 * audio format (audio family types); other kinds and types are refused with 0. */
int32_t _RECORDER_WRITERECDATA(RECORDER_HANDLE recorder, uint32_t channel, FrameDescriptor* frame);
/* While recording: copies up to 2,896 summary bytes into the current index summary and writes
 * it to the index file; 1 written, 0 not. */
int32_t _RECORDER_WRITESTREAMHEADER(RECORDER_HANDLE recorder, int32_t unused1, const void* data,
                                    uint32_t count, int32_t unused2);
/* Raw stream data. This library never leaves its intake disabled, so this returns 0 in every
 * call and writes nothing: hosts record frames through the three write exports. */
int32_t _RECORDER_WRITESTREAMDATA(RECORDER_HANDLE recorder, int32_t unused1, const void* data,
                                  uint32_t count, int32_t fileId, int32_t unused2, int32_t unused3);
/* Switches the deletion worker on: every ten minutes it deletes data and index files older than
 * days + hours in the directories of the path list's data files (and in listed directories). */
void _RECORDER_DELETEMAN_START(RECORDER_HANDLE recorder, int32_t days, int32_t hours);
/* Switches the deletion worker off (no further scan starts). */
void _RECORDER_DELETEMAN_STOP(RECORDER_HANDLE recorder);

/* ---- File searches (playback) ------------------------------------------------------ */

/* Creates a file search for channelCount channels (at most 32); its pacing thread starts at once.
 */
FILESEARCH_HANDLE _RECORDER_FILESEARCH_INIT(uint32_t channelCount, uintptr_t context,
                                            FileSearchFrameCallback frameCallback,
                                            FileSearchNotifyCallback notifyCallback);
/* Names index files: flag 0 sets one index file, nonzero adds one (its data file must exist).
 * Ignored while started. Nothing is read here: START skips, without a report, every index
 * file it cannot open or read, and the date table shows what it could. */
void _RECORDER_FILESEARCH_SETPATH(FILESEARCH_HANDLE search, const char* directory, const char* name,
                                  int32_t flag);
/* Builds the catalogue and starts the playback thread; 1 started, 0 already running (an empty
 * or unreadable set of index files still starts, with an empty date table). Nothing plays
 * until the first PLAYTIME.
 * The catalogue is a snapshot of the index files taken here: what a recorder writes after it
 * is neither listed nor played. To follow a recording in progress, STOP, START and PLAYTIME
 * again (every minute, say, playing somewhat behind live). */
int32_t _RECORDER_FILESEARCH_START(FILESEARCH_HANDLE search);
/* Stops playback and clears the catalogue. Called on any thread but the pacing thread, it
 * waits for a frame or notify callback in progress; once it returns none runs or starts until
 * the next PLAYTIME after a new START. So a callback must not wait for the thread calling it. */
void _RECORDER_FILESEARCH_STOP(FILESEARCH_HANDLE search);
/* Stops and destroys a file search; an unknown or null handle does nothing. As with STOP, no
 * callback of the search runs or starts once it returns. */
void _RECORDER_FILESEARCH_END(FILESEARCH_HANDLE search);
/* Selects the channel whose audio is played (32 or more: no audio). */
void _RECORDER_FILESEARCH_SETCURRENTCHANNEL(FILESEARCH_HANDLE search, uint32_t channel);
/* Sets which channels are shown: count words, nonzero = shown (clamped to the channel count).
 * Every channel starts hidden: nothing is shown and no audio plays before this call. */
void _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(FILESEARCH_HANDLE search, const uint32_t* display,
                                             int32_t count);
/* Plays from a local time; an ambiguous or missing local time resolves to the earlier instant.
 * Set PLAYRATE first: the seek reads in the direction of the rate in force. Forwards, each
 * shown channel starts with its first frame at or after that time (preceded by decode-only
 * frames from its key frame, however far back that lies); backwards, with its last frame at or
 * before it. Frames keep their recorded times, but a stretch without recordings holds the
 * picture for at most 2 s of wall time. Play runs through the recording in time order, across
 * files and days alike, and at its end wraps to its start (backward: from its start to its
 * end), the first frame after the wrap due one frame interval (at most 1 s) after the last; a
 * host notices the wrap as a frame time earlier than the one before (later, backward), after
 * which each channel starts again at a key frame. A time after the last recording plays the
 * last recorded day. Returns 1 for every live handle.
 * Nothing else tells the host that the data ended or that a seek found nothing: no callback
 * reports it. With no recorded day no frame ever comes. A host that must know looks first:
 * GetDateTable lists the recorded days and GetDayTable their recorded minutes. */
int32_t _RECORDER_FILESEARCH_PLAYTIME(FILESEARCH_HANDLE search, int32_t year, int32_t month,
                                      int32_t day, int32_t hour, int32_t minute, int32_t second);
/* Play rate: 1.0 normal (the only rate with audio), >0 faster/slower, <0 backward, 0 pause,
 * 100.0 / -100.0 single step. A change of direction (a step against it too) goes on from the
 * last frame shown: the next frame shown is its neighbour in the new direction, so PLAYTIME is
 * needed only to jump. Returns 1 for every live handle.
 * What a decoder gets, per shown channel, forwards: at 0 < rate <= 1 every frame; at
 * 1 < rate <= 8 still every frame in recorded order, those the pace leaves out (all but one in
 * each ceil(rate)) marked decodeOnly; above 8 key frames only (27 < rate <= 30: every second,
 * third or fourth key frame). A change of direction shows no frame recorded after (turning
 * forwards: before) the last one shown.
 * Backward, frames come a group of pictures at a time, newest group first: the group's key
 * frame marked decodeOnly, then its frames from the newest down to that key frame, shown. A
 * decoder needs the group forwards, so a host showing backward play buffers one whole group
 * per shown channel (every frame from a key frame up to the next one: the camera's key-frame
 * interval, 25 frames at one key frame a second), then decodes it and shows it in reverse.
 * Single step: each call with 100.0 shows one frame, the next shown frame after the one on
 * screen (preceded by the decode-only frames its decoding needs), then pauses; -100.0 shows
 * the one before it. GETPLAYRATE still gives the step rate afterwards. */
int32_t _RECORDER_FILESEARCH_PLAYRATE(FILESEARCH_HANDLE search, float rate);
/* Stores the last rate given to PLAYRATE (1.0 before the first); 1 stored. */
int32_t _RECORDER_FILESEARCH_GETPLAYRATE(FILESEARCH_HANDLE search, float* rate);
/* Accepted and ignored; returns 0. */
int32_t _RECORDER_FILESEARCH_SETSTATUS(FILESEARCH_HANDLE search, int32_t status);
/* Daylight-saving range applied to the day table (shown one hour later inside it). */
void _RECORDER_FILESEARCH_SetDSTRange(FILESEARCH_HANDLE search, int32_t enabled, int32_t startMonth,
                                      int32_t startDay, int32_t startHour, int32_t endMonth,
                                      int32_t endDay, int32_t endHour);
/* Recorded days as local midnights; a null table stores only the count. */
void _RECORDER_FILESEARCH_GetDateTable(FILESEARCH_HANDLE search, uint32_t* table, int32_t* count);
/* Per-minute channel masks of one day, 25 DST hour flags, day kind and hour count; `date` is
 * seconds since 1970 (any instant of the day). Null pointers: does nothing. Each mask table has
 * 1,500 slots, 25 hour rows of 60 minutes: slot hour * 60 + minute holds bit c when channel c
 * recorded in that minute (any reason; reason 1 always, 2 trigger A, 4 trigger B; audio). Row
 * 24 is used only on the 25-hour last day of the DST range. */
void _RECORDER_FILESEARCH_GetDayTable(FILESEARCH_HANDLE search, uint32_t date, uint32_t* anyMask,
                                      uint32_t* reason1Mask, uint32_t* reason2Mask,
                                      uint32_t* reason4Mask, uint32_t* audioMask,
                                      uint32_t* dstHours, int32_t* dayKind, int32_t* hourCount);

#ifdef __cplusplus
}
#endif

#endif /* RECORDER_H_ */
