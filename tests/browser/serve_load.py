#!/usr/bin/python3
"""Load check of `dvrtool serve`, run by hand (it takes about three minutes):

    tests/browser/serve_load.py build/dvrtool [--browsers 4] [--seconds 60] [--size 1280x720]
                                              [--layout 4|1]

Records four channels of ffmpeg's test source at 25 fps for SECONDS + 15 s, then opens
BROWSERS headless Chromium windows, each playing all four channels in a 2x2 grid from the
start (--layout 1: each window plays one channel, the i-th window channel i mod 4), and
watches them for SECONDS: the longest stall of any player (the time its picture
stood still while it should have moved) and the server's CPU time per wall second. With
--readers, BROWSERS x 4 plain HTTP readers take the streams instead: the longest gap between
two arrivals, and the server's CPU without any browser competing for the cores.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

parser = argparse.ArgumentParser()
parser.add_argument('dvrtool')
parser.add_argument('--browsers', type=int, default=4)
parser.add_argument('--seconds', type=int, default=60)
parser.add_argument('--size', default='1280x720')
parser.add_argument('--layout', type=int, choices=(1, 4), default=4,
                    help='channels per window: a 2x2 grid of all four, or one each')
parser.add_argument('--readers', action='store_true',
                    help='plain HTTP readers instead of browsers: the server alone, no decoding')
args = parser.parse_args()

# Each player notes the longest time its currentTime stood still while playing.
WATCH = '''
window.stalls = [];
for (const [i, t] of state.tiles.entries()) {
  let last = t.video.currentTime, since = performance.now(), worst = 0;
  setInterval(() => {
    const now = performance.now();
    if (t.video.currentTime !== last) { last = t.video.currentTime; since = now; }
    worst = Math.max(worst, now - since);
    window.stalls[i] = { worst, time: t.video.currentTime,
      dropped: t.video.getVideoPlaybackQuality().droppedVideoFrames,
      corrupted: t.video.getVideoPlaybackQuality().corruptedVideoFrames };
  }, 50);
}
'''


def cpu_seconds(pid):
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def read_streams(url, pid):
    import json
    import urllib.request
    day = json.load(urllib.request.urlopen(url + 'api/dates?src=0'))['dates'][0]['date']
    midnight = int(time.mktime(time.strptime(day, '%Y-%m-%d')))
    slot = json.load(urllib.request.urlopen(f'{url}api/day?src=0&date={day}'))['slots'][0]['slot']
    gaps, sizes = [], []

    def read(channel):
        r = urllib.request.urlopen(f'{url}api/stream?src=0&ch={channel}&from={midnight + slot * 60}&rate16=16')
        last, worst, total, end = time.monotonic(), 0, 0, time.monotonic() + args.seconds
        while time.monotonic() < end:
            chunk = r.read1(65536)
            if not chunk:
                break
            now = time.monotonic()
            worst, last, total = max(worst, now - last), now, total + len(chunk)
        gaps.append(worst)
        sizes.append(total)

    threads = [threading.Thread(target=read, args=(i % 4,)) for i in range(args.browsers * 4)]
    cpu0, t0 = cpu_seconds(pid), time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    cpu = (cpu_seconds(pid) - cpu0) / (time.monotonic() - t0)
    print(f'{len(threads)} readers at {args.size}: longest gap {max(gaps):.2f} s, '
          f'{sum(sizes) / 1e6 / args.seconds:.1f} MB/s in all, server CPU {cpu:.2f} core')


def main():
    work = tempfile.mkdtemp(prefix='serve-load-', dir=os.environ.get('TMPDIR', '/tmp'))
    server, drivers = None, []
    try:
        os.chdir(work)
        seconds = args.seconds + 15
        subprocess.run(['ffmpeg', '-v', 'error', '-f', 'lavfi', '-i', f'testsrc2=size={args.size}:rate=25',
                        '-t', str(seconds + 2), '-c:v', 'libx264', '-preset', 'veryfast', '-b:v', '3M',
                        '-g', '50', '-bf', '0', '-x264-params', 'repeat-headers=1', '-pix_fmt', 'yuv420p',
                        'source.h264'], check=True)
        os.mkdir('rec')
        subprocess.run([args.dvrtool, 'record', '--dir', 'rec', '--files', '1', '--channels', '4',
                        '--seconds', str(seconds), '--input', 'source.h264', '-q'], check=True)
        server = subprocess.Popen([args.dvrtool, 'serve', '--listen', '127.0.0.1:0', 'rec'],
                                  stdout=subprocess.PIPE, text=True)
        url = re.search(r'(http://\S+/)', server.stdout.readline()).group(1)

        if args.readers:
            return read_streams(url, server.pid)

        def open_browser():
            options = webdriver.ChromeOptions()
            options.binary_location = shutil.which('chromium')
            for arg in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--mute-audio',
                        '--window-size=1400,1000'):
                options.add_argument(arg)
            d = webdriver.Chrome(service=Service(shutil.which('chromedriver')), options=options)
            d.set_script_timeout(30)
            d.get(url)
            for _ in range(100):
                if d.execute_script('return state.day && state.channels.length'):
                    break
                time.sleep(0.1)
            drivers.append(d)

        threads = [threading.Thread(target=open_browser) for _ in range(args.browsers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for i, d in enumerate(drivers):
            d.execute_script(f'document.getElementById("layout").value = "{args.layout}";'
                             f'play(state.channels[{i} % state.channels.length], state.day.slots[0].slot * 60);')
        # Wait until every player plays, then watch.
        for d in drivers:
            for _ in range(300):
                if d.execute_script('return state.tiles.every(t => t.root.dataset.state === "playing")'):
                    break
                time.sleep(0.1)
            d.execute_script(WATCH)
        cpu0, t0 = cpu_seconds(server.pid), time.monotonic()
        time.sleep(args.seconds)
        cpu = (cpu_seconds(server.pid) - cpu0) / (time.monotonic() - t0)
        results = [d.execute_script('return window.stalls') for d in drivers]
        states = [d.execute_script('return state.tiles.map(t => t.root.dataset.state === "error" ? t.label.textContent : t.root.dataset.state)') for d in drivers]
        print('players:', states)
        worst = max(s['worst'] for r in results for s in r) / 1000
        played = min(s['time'] for r in results for s in r)
        print(f'{args.browsers} browsers x {args.layout} channel{"s" if args.layout > 1 else ""} at {args.size}: longest stall {worst:.2f} s, '
              f'every player at least {played:.1f} s in, server CPU {cpu:.2f} core, '
              f'dropped {sum(s["dropped"] for r in results for s in r)} frames, '
              f'corrupted {sum(s["corrupted"] for r in results for s in r)}')
    finally:
        for d in drivers:
            d.quit()
        if server is not None:
            server.send_signal(signal.SIGTERM)
            server.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
