#!/usr/bin/python3
"""The review page of `dvrtool serve` in headless Chromium.

Records ffmpeg's test source on four channels through `dvrtool record`, serves it, and
drives the page through chromedriver: the timeline against the day table, the picture after
a click against ffmpeg's decode of the recorded frame, playback at 1x, 4x and backwards, and
a range download against the recorded frames. Exit 77 (skipped) without Chromium.

usage: serve_page_test.py DVRTOOL [--screenshot FILE]
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

DVRTOOL = sys.argv[1]
SCREENSHOT = sys.argv[sys.argv.index('--screenshot') + 1] if '--screenshot' in sys.argv else None
SECONDS = 20  # recorded per channel
CHANNELS = 4


def skip(why):
    print('SKIPPED: ' + why)
    sys.exit(77)


for tool in ('chromium', 'chromedriver', 'ffmpeg', 'ffprobe'):
    if shutil.which(tool) is None:
        skip(tool + ' is not installed (apt-get install chromium chromium-driver ffmpeg)')
try:
    from selenium import webdriver
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    skip('python3-selenium is not installed')


def run(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=120, **kw).stdout


def wait_for(what, predicate, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError('timed out waiting for ' + what)


def framemd5(path, *extra):
    """The MD5 of every decoded picture of a file, in order."""
    out = run('ffmpeg', '-v', 'error', *extra, '-i', path, '-map', '0:v', '-fps_mode', 'passthrough',
              '-f', 'framemd5', '-')
    return [line.split(',')[-1].strip() for line in out.splitlines() if line and line[0] != '#']


def psnr(a, b):
    err = subprocess.run(['ffmpeg', '-v', 'info', '-i', a, '-i', b, '-lavfi',
                          '[0:v]format=rgb24[x];[1:v]format=rgb24[y];[x][y]psnr', '-f', 'null', '-'],
                         capture_output=True, text=True, timeout=60).stderr
    m = re.search(r'average:(\S+)', err)
    return float('inf') if m.group(1) == 'inf' else float(m.group(1))


class Page:
    def __init__(self, driver, url):
        self.d = driver
        self.d.get(url)
        wait_for('the timeline', lambda: self.d.find_elements(By.CSS_SELECTOR, '#timeline rect.any'))
        self.svg = self.d.find_element(By.ID, 'timeline')
        self.midnight = self.js('return state.day.midnight')

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def view_at(self, epoch, span_minutes=1):
        """Zooms to about a minute around `epoch` so a click lands on its second."""
        self.js('state.view=[0, state.day.hours*3600]; state.cursor=arguments[0]; zoom(arguments[1]/(state.day.hours*60), arguments[0]);',
                epoch - self.midnight, span_minutes)

    def x_of(self, epoch):
        a = float(self.svg.get_attribute('data-view-start'))
        b = float(self.svg.get_attribute('data-view-end'))
        left = float(self.svg.get_attribute('data-left'))
        right = float(self.svg.get_attribute('data-right'))
        return left + (epoch + 0.5 - self.midnight - a) / (b - a) * (self.svg.size['width'] - left - right)

    def row_point(self, channel, epoch):
        rows = self.js('return state.channels')
        y = 24 + rows.index(channel) * 22 + 9
        return self.x_of(epoch) - self.svg.size['width'] / 2, y - self.svg.size['height'] / 2

    def click(self, channel, epoch):
        self.view_at(epoch)
        x, y = self.row_point(channel, epoch)
        ActionChains(self.d).move_to_element_with_offset(self.svg, x, y).click().perform()

    def drag(self, channel, first, last):
        self.view_at((first + last) / 2, 2)
        x1, y = self.row_point(channel, first)
        x2, _ = self.row_point(channel, last)
        (ActionChains(self.d).move_to_element_with_offset(self.svg, x1, y).click_and_hold()
         .move_by_offset((x2 - x1) / 2, 0).move_by_offset((x2 - x1) / 2, 0).release().perform())

    def choose(self, select_id, value):
        Select(self.d.find_element(By.ID, select_id)).select_by_value(str(value))

    def tiles(self, state):
        return wait_for('tiles ' + state, lambda: (lambda t: t if t and all(
            x.get_attribute('data-state') == state for x in t) else None)(
                self.d.find_elements(By.CSS_SELECTOR, '.tile')))

    def video(self, what, index=0):
        return self.js('const v = document.querySelectorAll("video")[arguments[0]]; return ' + what, index)

    def canvas_png(self, path, index=0):
        data = self.js('''const v = document.querySelectorAll("video")[arguments[0]];
            const c = document.createElement("canvas"); c.width = v.videoWidth; c.height = v.videoHeight;
            c.getContext("2d").drawImage(v, 0, 0); return c.toDataURL("image/png");''', index)
        import base64
        with open(path, 'wb') as f:
            f.write(base64.b64decode(data.split(',', 1)[1]))

    def picture_spread(self, index=0):
        """Standard deviation of the luma on screen: 0 for a blank or missing picture."""
        return self.js('''const v = document.querySelectorAll("video")[arguments[0]];
            const c = document.createElement("canvas"); c.width = v.videoWidth; c.height = v.videoHeight;
            if (!c.width) return 0; const g = c.getContext("2d"); g.drawImage(v, 0, 0);
            const p = g.getImageData(0, 0, c.width, c.height).data; let s = 0, q = 0, n = p.length / 4;
            for (let i = 0; i < p.length; i += 4) { const y = (p[i] + p[i+1] + p[i+2]) / 3; s += y; q += y * y; }
            return Math.sqrt(q / n - (s / n) ** 2);''', index)


def main():
    work = tempfile.mkdtemp(prefix='serve-page-', dir=os.environ.get('TMPDIR', '/tmp'))
    server = driver = None
    try:
        os.chdir(work)
        run('ffmpeg', '-v', 'error', '-f', 'lavfi', '-i', 'testsrc2=size=320x240:rate=25',
            '-t', str(SECONDS + 4), '-c:v', 'libx264', '-preset', 'veryfast', '-g', '25', '-bf', '0',
            '-x264-params', 'repeat-headers=1', '-pix_fmt', 'yuv420p', '-colorspace', 'bt709',
            '-color_primaries', 'bt709', '-color_trc', 'bt709', '-color_range', 'tv', 'source.h264')
        os.mkdir('rec')
        out = run(DVRTOOL, 'record', '--dir', 'rec', '--files', '1', '--channels', str(CHANNELS),
                  '--seconds', str(SECONDS), '--input', 'source.h264', '-q')
        print(out.strip())
        # Channel 0 exported whole: the recorded frames with their recorded times.
        out = run(DVRTOOL, 'export', 'rec', '--channel', '0', '--out', 'whole.mp4', '-q')
        first = int(time.mktime(time.strptime(re.search(r', (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)', out).group(1),
                                              '%Y-%m-%d %H:%M:%S')))
        pts = [float(x) for x in run('ffprobe', '-v', 'error', '-select_streams', 'v', '-show_entries',
                                     'packet=pts_time', '-of', 'csv=p=0', 'whole.mp4').split()]
        whole = framemd5('whole.mp4')
        source = framemd5('source.h264')
        assert source[:len(whole)] == whole, 'the recording is not the source'
        last = first + int(pts[-1])
        date = time.strftime('%Y-%m-%d', time.localtime(first))

        server = subprocess.Popen([DVRTOOL, 'serve', '--listen', '127.0.0.1:0', 'rec'],
                                  stdout=subprocess.PIPE, text=True)
        url = re.search(r'(http://\S+/)', server.stdout.readline()).group(1)

        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which('chromium')
        for arg in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--mute-audio',
                    '--window-size=1400,1060', '--autoplay-policy=no-user-gesture-required'):
            options.add_argument(arg)
        options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        from selenium.webdriver.chrome.service import Service
        driver = webdriver.Chrome(service=Service(shutil.which('chromedriver')), options=options)
        driver.set_page_load_timeout(20)
        driver.set_script_timeout(20)
        page = Page(driver, url)

        # The timeline marks exactly the minutes the day table lists, per channel.
        table = json.loads(run(DVRTOOL, 'timeline', 'rec', '--date', date, '--json'))
        want = {(c, m['slot']) for m in table['minutes'] for c in range(32) if m['any'] >> c & 1}
        shown = set()
        for r in driver.find_elements(By.CSS_SELECTOR, '#timeline rect.any, #timeline rect.trigger-a, #timeline rect.trigger-b'):
            for s in range(int(r.get_attribute('data-first')), int(r.get_attribute('data-last')) + 1):
                shown.add((int(r.get_attribute('data-ch')), s))
        assert shown == want, f'timeline {sorted(shown)} != day table {sorted(want)}'
        assert 'UTC' in driver.find_element(By.ID, 'zone').text or os.environ.get('TZ', '') in driver.find_element(By.ID, 'zone').text

        # Paused, a click at T shows the frame recorded at T.
        t = first + 7
        driver.find_element(By.ID, 'pause').click()
        page.click(0, t)
        page.tiles('shown')
        assert int(driver.find_element(By.CSS_SELECTOR, '.tile').get_attribute('data-shown-ms')) == t * 1000
        # The export of second T alone starts with its first picture (the pictures before it
        # that decoding needs are cut by the file's edit list).
        stamp = time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(t))
        run(DVRTOOL, 'export', 'rec', '--channel', '0', '--from', stamp, '--to', stamp, '-o', 'second.mp4', '-q')
        run('ffmpeg', '-v', 'error', '-i', 'second.mp4', '-vf', 'scale=in_color_matrix=bt709:in_range=tv',
            '-frames:v', '1', 'want.png')
        page.canvas_png('shown.png')
        db = psnr('shown.png', 'want.png')
        print(f'picture after a click at +7 s: PSNR {db:.1f} dB against the recorded frame')
        assert db >= 30, f'PSNR {db:.1f} dB'

        # Playing, the clock moves and every picture decodes.
        driver.find_element(By.ID, 'pause').click()
        page.click(0, first + 2)
        page.tiles('playing')
        start, t0 = page.video('v.currentTime'), time.monotonic()
        wait_for('3 s of playback', lambda: page.video('v.currentTime') - start >= 3, timeout=10)
        wait_for('60 decoded frames', lambda: page.video('v.getVideoPlaybackQuality().totalVideoFrames') >= 60, timeout=10)
        quality = page.video('[v.getVideoPlaybackQuality().totalVideoFrames, v.getVideoPlaybackQuality().corruptedVideoFrames]')
        print(f'1x: 3 s of video in {time.monotonic() - t0:.1f} s, {quality[0]} frames decoded, {quality[1]} corrupted')
        assert quality[1] == 0

        # A 2x2 grid; its picture goes into the docs when asked.
        page.choose('layout', 4)
        page.click(0, first + 3)
        page.tiles('playing')
        if SCREENSHOT:
            time.sleep(2)
            driver.save_screenshot(SCREENSHOT)
        page.choose('layout', 1)

        # 4x forwards and key frames backwards show pictures that decode.
        for rate16, at in ((64, first + 1), (-16, first + 15)):
            page.choose('rate', rate16)
            page.click(0, at)
            page.tiles('playing')
            shown0 = page.js('return document.querySelector(".tile") && state.tiles[0].recordedMs()')
            wait_for(f'playback at {rate16/16}x', lambda: abs(page.js('return state.tiles[0].recordedMs()') - shown0) >= 2000, timeout=10)
            moved = page.js('return state.tiles[0].recordedMs()') - shown0
            assert (moved > 0) == (rate16 > 0), f'rate {rate16/16}: moved {moved} ms'
            assert page.video('v.getVideoPlaybackQuality().corruptedVideoFrames') == 0
            assert page.picture_spread() > 5, f'rate {rate16/16}: no picture'
            print(f'{rate16/16}x: recorded time moved {moved/1000:.1f} s, picture spread {page.picture_spread():.0f}')
        page.choose('rate', 16)

        # A range selected on the timeline downloads the recorded frames of that range.
        downloads = os.path.join(work, 'downloads')
        os.mkdir(downloads)
        driver.execute_cdp_cmd('Page.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': downloads})
        page.drag(0, first + 5, first + 9)
        link = driver.find_element(By.ID, 'export')
        href = link.get_attribute('href')
        got_from, got_to = (int(x) for x in re.search(r'from=(\d+)&to=(\d+)', href).groups())
        assert (got_from, got_to) == (first + 5, first + 9), href
        link.click()
        name = wait_for('the download', lambda: [f for f in os.listdir(downloads) if f.endswith('.mp4')], timeout=20)[0]
        got = framemd5(os.path.join(downloads, name))
        # The recorded pictures of the range, as `dvrtool export` writes them: a run of the
        # source's pictures, five seconds of them.
        stamps = [time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(x)) for x in (first + 5, first + 9)]
        run(DVRTOOL, 'export', 'rec', '--channel', '0', '--from', stamps[0], '--to', stamps[1], '-o', 'range.mp4', '-q')
        want = framemd5('range.mp4')
        at = source.index(got[0]) if got and got[0] in source else -1
        assert got == want and source[at:at + len(got)] == got and abs(len(got) - 125) <= 25, \
            f'{len(got)} frames downloaded, {len(want)} exported, run in the source at {at}'
        print(f'export of 5 s: {len(got)} frames, the recorded range of the source')

        errors = [e for e in driver.get_log('browser') if e['level'] == 'SEVERE']
        assert not errors, errors
        assert server.poll() is None
        print('PASS')
    finally:
        if driver is not None:
            driver.quit()
        if server is not None:
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(10)
            except subprocess.TimeoutExpired:
                server.kill()
        if 'SERVE_TEST_KEEP' not in os.environ:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
