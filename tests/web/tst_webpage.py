"""The web page in a real browser: headless Chromium against celvane-server --http.

Usage: tst_webpage.py SERVER HISTORY_STAND_IN
Exits 77 (skipped) where Chromium, its driver or Selenium is missing.
"""
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browsersupport as support  # noqa: E402

SET_CELL = 2
FORMAT_1_GREEN = (0, 255, 0)


def check_pixels(browser, server, export=None):
    """The canvas equals /picture.png at its size (and the export, when a picture file is
    given), pixel for pixel."""
    width, height, page = browser.canvas_rgb()
    image_width, image_height, served = support.decode_png(
        server.get('/picture.png?size=%dx%d' % (width, height)))
    assert (image_width, image_height) == (width, height), 'sizes differ'
    difference = support.first_difference(width, served, page)
    assert difference is None, 'page and /picture.png at %dx%d: %s' % (width, height, difference)
    if export:
        program, picture = export
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, 'export.png')
            subprocess.run([program, '--picture', picture, '--export-png', path,
                            '--export-size', '%dx%d' % (width, height)], check=True)
            with open(path, 'rb') as file:
                _, _, exported = support.decode_png(file.read())
        difference = support.first_difference(width, exported, page)
        assert difference is None, 'page and --export-png at %dx%d: %s' % (
            width, height, difference)
    return width, height


def wait_for_updates(browser, count):
    support.wait_for(lambda: (browser.stats() or {}).get('updates', 0) >= count,
                     what='the page to show the picture')


def test_live_page(program, folder):
    picture = os.path.join(folder, 'picture.cvp')
    server = support.Server(program, ['--format', '1', '--demo', '--picture', picture])
    browser = support.Browser(611, 457)
    client = None
    try:
        browser.open(server.url + '/')
        wait_for_updates(browser, 1)
        assert browser.status() == 'Live', browser.status()

        # Pixel for pixel, at the window's size and at others, row gap and all.
        check_pixels(browser, server, export=(program, picture))
        first_width, first_height, first_rgb = browser.canvas_rgb()
        for width, height in ((333, 517), (1024, 300)):
            browser.driver.set_window_size(width, height)
            support.wait_for(lambda: browser.run(
                'const c = document.getElementById("picture");'
                'const below = document.getElementById("controls").offsetHeight;'
                'return c.width === document.documentElement.clientWidth && below >= 28 &&'
                '       c.height === window.innerHeight - below;'),
                what='the canvas to follow the window')
            check_pixels(browser, server)

        # An edit sent over TCP shows on the page, drawn where the whole picture would be.
        before = support.metrics(server)
        client = support.TcpClient(server.port)
        columns = 80
        relays = browser.stats()['relays']
        x, y = browser.cell_centre(7 * columns + 5)
        erase = browser.pixel(x, y) == FORMAT_1_GREEN
        client.send(support.command(SET_CELL, 5, 7, 255 if erase else 1))
        expected = (0, 0, 0) if erase else FORMAT_1_GREEN
        support.wait_for(lambda: browser.pixel(x, y) == expected,
                         what='the edited cell to show on the canvas')
        client.send(support.row_data(3, [i % 2 for i in range(columns)]))
        support.wait_for(lambda: browser.stats()['relays'] >= relays + 2,
                         what='the row to show')
        check_pixels(browser, server)

        # The counters move with the session.
        after = support.wait_for(
            lambda: (lambda m: m if m['celvane_edits_applied_total'] >=
                     before['celvane_edits_applied_total'] + 2 else None)(
                support.metrics(server)), what='the counters')
        assert after['celvane_clients'] == 2, after['celvane_clients']
        assert after['celvane_web_viewers'] == 1
        assert after['celvane_connections_accepted_total'] >= 2
        assert after['celvane_edits_relayed_total'] >= before['celvane_edits_relayed_total'] + 4
        assert after['celvane_messages_received_total'] >= (
            before['celvane_messages_received_total'] + 3)
        assert after['process_start_time_seconds'] > 1.5e9
        client.close()
        client = None

        # The journal beside the picture file keeps the past: the slider is there, and the first
        # moment kept is the picture as the page first showed it.
        history = support.wait_for(
            lambda: (lambda h: h if h['last'] != h['first'] else None)(
                json.loads(server.get('/history'))), what='the journal to keep the edits')
        assert browser.run('return !document.getElementById("history").hidden;')
        _, _, first = support.decode_png(server.get('/picture.png?size=%dx%d&at=%s' % (
            first_width, first_height, urllib.parse.quote(history['first']))))
        difference = support.first_difference(first_width, first_rgb, first)
        assert difference is None, 'the first moment kept: %s' % difference
        # And the time-lapse of it all, made by the recovery commands' own code.
        assert history['timelapse']
        assert server.get('/timelapse.gif').startswith(b'GIF8')

        # A restart: the page says so, then shows the picture again by itself.
        updates = browser.stats()['updates']
        http_port = server.http_port
        server.stop()
        support.wait_for(lambda: 'reconnecting' in browser.status(),
                         what='the reconnect notice')
        server = support.Server(program, ['--picture', picture],
                                http='127.0.0.1:%d' % http_port)
        wait_for_updates(browser, updates + 1)
        assert browser.status() == 'Live', browser.status()
        check_pixels(browser, server, export=(program, picture))
    finally:
        if client:
            client.close()
        browser.quit()
        server.stop()



def test_slider(stand_in):
    server = support.Server(stand_in, ['--format', '2'])
    browser = support.Browser(500, 400)
    try:
        client = support.TcpClient(server.port)
        client.send(support.command(SET_CELL, 3, 4, 2))
        support.wait_for(lambda: support.metrics(server)['celvane_edits_applied_total'] >= 1,
                         what='the edit')
        browser.open(server.url + '/')
        wait_for_updates(browser, 1)
        support.wait_for(lambda: browser.run(
            'return !document.getElementById("history").hidden;'), what='the slider')
        # The slider's row takes room from the picture, which is drawn again at its new size.
        browser.settle()
        live = browser.canvas_rgb()

        # The left end is the first moment kept: the empty picture.
        browser.run('const s = document.getElementById("slider"); s.value = 0;'
                    's.dispatchEvent(new Event("input"));')
        support.wait_for(lambda: browser.stats().get('pastShown'), what='the earlier moment')
        width, height, past = browser.canvas_rgb()
        first = json.loads(server.get('/history'))['first']
        assert past != live[2], 'the slider showed the live picture'
        _, _, empty = support.decode_png(server.get(
            '/picture.png?size=%dx%d&at=%s' % (width, height, urllib.parse.quote(first))))
        difference = support.first_difference(width, empty, past)
        assert difference is None, 'the moment %s: %s' % (first, difference)
        assert server.get('/timelapse.gif').startswith(b'GIF89a')

        # Its right end is live again.
        browser.run('const s = document.getElementById("slider"); s.value = s.max;'
                    's.dispatchEvent(new Event("input"));')
        support.wait_for(lambda: browser.canvas_rgb()[2] == live[2], what='live again')
        client.close()
    finally:
        browser.quit()
        server.stop()


def main():
    support.exit_unless_browser()
    program, stand_in = sys.argv[1], sys.argv[2]
    started = time.monotonic()
    with tempfile.TemporaryDirectory() as folder:
        test_live_page(program, folder)
    test_slider(stand_in)
    print('PASS (%.1f s)' % (time.monotonic() - started))
    return 0


if __name__ == '__main__':
    sys.exit(main())
