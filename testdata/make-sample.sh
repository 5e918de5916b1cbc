#!/usr/bin/env bash
# Makes testdata/sample.h264: 10 s of a synthetic test pattern, 640x360, 25 fps, H.264
# baseline profile (no B-frames), an IDR key frame every 25 frames, about 250 KiB.
# Only needed to remake the sample; the build, the tests and the demo use the file as is.
set -euo pipefail
cd "$(dirname "$0")"
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=640x360:rate=25 -t 10 \
  -c:v libx264 -profile:v baseline -pix_fmt yuv420p -g 25 -keyint_min 25 -sc_threshold 0 \
  -bf 0 -b:v 200k -maxrate 250k -bufsize 250k -x264-params repeat-headers=1 -f h264 sample.h264
