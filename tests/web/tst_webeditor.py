"""Drawing from the page in a real browser: headless Chromium against celvane-server --http with
--web-edit and --web-keys, checked against what a Celvane window (a TCP client) is relayed.

Usage: tst_webeditor.py SERVER
Exits 77 (skipped) where Chromium, its driver or Selenium is missing.
"""
import http.client
import http.server
import json
import os
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browsersupport as support  # noqa: E402

CLEAR, SET_COLORS, SET_CELL = 0, 1, 2
COLUMNS, ROWS = 40, 25  # format 3
ALICE = 'alice-key-0123456789'
BOSS = 'boss-key-abcdefghijklmn'
MARKER = (39, 24)


def cell_message(x, y, value):
    return support.command(SET_CELL, x, y, value)


class Page:
    """One tab of the browser on a server, with the window that watches the same server."""

    def __init__(self, browser, server, key=None):
        self.browser = browser
        self.run = browser.run
        # A new document: a change of the fragment alone would not load the page again.
        browser.open('about:blank')
        browser.open(server.url + '/' + ('#key=' + key if key else ''))
        support.wait_for(lambda: (browser.stats() or {}).get('updates', 0) >= 1 and
                         self.run('return window.celvane.role() !== null;'), what='the page')

    def stat(self, name):
        return self.browser.stats()[name]

    def cells(self):
        return self.run('return Array.from(window.celvane.picture().cells);')

    def cell(self, x, y):
        return self.cells()[y * COLUMNS + x]

    def point(self, x, y):
        return self.browser.cell_centre(y * COLUMNS + x)

    def edits(self, window, action):
        """Does action, then returns the edits the page sent, having checked that they are
        exactly what the window was relayed, in order, and what the page shows."""
        self.browser.sent_messages()
        relays, sent = self.stat('relays'), self.stat('sent')
        action()
        # The page hears its own edits back once the server has applied them.
        support.wait_for(lambda: self.stat('relays') - relays >= self.stat('sent') - sent,
                         what="the page's own relays")
        count = self.stat('sent') - sent
        edits = [m for m in self.browser.sent_messages() if m[0] != 1]
        assert len(edits) == count, (len(edits), count)
        relayed = window.sync(MARKER)
        support.wait_for(lambda: self.cell(*MARKER) == window.marker_value,
                         what="the marker on the page")
        assert relayed == edits, 'relayed %s, the page sent %s' % (relayed, edits)
        return edits


def mouse(browser):
    from selenium.webdriver.common.action_chains import ActionChains
    return ActionChains(browser.driver)


def canvas(browser):
    return browser.driver.find_element('id', 'picture')


def offset(browser, point):
    """A canvas pixel as an offset from the canvas's centre, as Selenium's actions take it."""
    width, height = browser.run('const c = document.getElementById("picture");'
                                'return [c.clientWidth, c.clientHeight];')
    return point[0] - width // 2, point[1] - height // 2


def check_line(edits, start, end, value):
    """A stroke's edits: every cell from start to end once, each next to the one before, so the
    line has no gap however far the pointer jumped."""
    cells = [(m[5], m[6]) for m in edits]
    assert all(m[:5] == bytes([3, 0, 4, 0, SET_CELL]) and m[7] == value for m in edits), edits
    assert cells[0] == start and cells[-1] == end, cells
    assert len(set(cells)) == len(cells) == max(abs(end[0] - start[0]),
                                                abs(end[1] - start[1])) + 1, cells
    for (x0, y0), (x1, y1) in zip(cells, cells[1:]):
        assert max(abs(x1 - x0), abs(y1 - y0)) == 1, cells


def touch(browser, kind, point=None):
    browser.driver.execute_cdp_cmd('Input.dispatchTouchEvent', {
        'type': kind, 'touchPoints': [{'x': point[0], 'y': point[1]}] if point else []})


def test_drawing(browser, server, window):
    page = Page(browser, server, ALICE)
    url = browser.driver.current_url
    assert ALICE not in url and '#' not in url, url
    assert browser.run('return document.getElementById("who").textContent;') == 'drawing as alice'

    # A mouse stroke that jumps across the grid in one move paints every cell on the way.
    browser.driver.find_element('css selector', 'button[data-color="5"]').click()
    start, end = page.point(3, 2), page.point(20, 9)
    edits = page.edits(window, lambda: mouse(browser).move_to_element_with_offset(
        canvas(browser), *offset(browser, start)).click_and_hold().move_by_offset(
        end[0] - start[0], end[1] - start[1]).release().perform())
    check_line(edits, (3, 2), (20, 9), 5)
    assert all(page.cell(m[5], m[6]) == 5 for m in edits)

    # Over cells that already hold the pen, nothing is sent.
    sent = page.stat('sent')
    mouse(browser).move_to_element_with_offset(canvas(browser), *offset(browser, start)) \
        .click_and_hold().move_by_offset(end[0] - start[0], end[1] - start[1]).release() \
        .perform()
    assert page.stat('sent') == sent

    # A second stroke, along a row.
    start, end = page.point(5, 16), page.point(25, 16)
    edits = page.edits(window, lambda: mouse(browser).move_to_element_with_offset(
        canvas(browser), *offset(browser, start)).click_and_hold().move_by_offset(
        end[0] - start[0], 0).release().perform())
    check_line(edits, (5, 16), (25, 16), 5)

    # The right button erases, a click and a drag alike, and no menu opens.
    edits = page.edits(window, lambda: mouse(browser).move_to_element_with_offset(
        canvas(browser), *offset(browser, page.point(20, 9))).context_click().perform())
    assert edits == [cell_message(20, 9, 255)], edits
    from selenium.webdriver.common.actions.action_builder import ActionBuilder
    from selenium.webdriver.common.actions.mouse_button import MouseButton

    def right_drag():
        actions = ActionBuilder(browser.driver)
        actions.pointer_action.move_to(canvas(browser), *offset(browser, page.point(24, 16))) \
            .pointer_down(MouseButton.RIGHT).move_to(canvas(browser),
                                                     *offset(browser, page.point(10, 16))) \
            .pointer_up(MouseButton.RIGHT)
        actions.perform()
    edits = page.edits(window, right_drag)
    check_line(edits, (24, 16), (10, 16), 255)

    # One finger draws, through the same path.
    browser.driver.find_element('css selector', 'button[data-color="9"]').click()
    edits = page.edits(window, lambda: (touch(browser, 'touchStart', page.point(2, 20)),
                                        touch(browser, 'touchMove', page.point(30, 12)),
                                        touch(browser, 'touchEnd')))
    check_line(edits, (2, 20), (30, 12), 9)

    # The keyboard: the cursor is where the stroke ended; ] steps the pen on.
    def keys():
        browser.run('document.getElementById("picture").focus();')
        canvas(browser).send_keys(']', ']', '\ue014', '\ue014', '\ue015', ' ', '\ue017', ' ')
    edits = page.edits(window, keys)
    assert edits == [cell_message(32, 13, 11), cell_message(32, 13, 255),
                     cell_message(32, 13, 11)], edits
    spoken = browser.run('return document.getElementById("announce").textContent;')
    assert spoken.startswith('Row 14, column 33: colour 11, '), spoken

    # The frame colours, both sent with each choice.
    background = page.run('return window.celvane.picture().background;')
    edits = page.edits(window, lambda: browser.driver.find_element(
        'css selector', 'button[data-border="4"]').click())
    assert edits == [support.command(SET_COLORS, 4, background, 0)], edits

    # A window's edit shows on the page.
    window.send(cell_message(30, 20, 6))
    support.wait_for(lambda: page.cell(30, 20) == 6, what="the window's edit on the page")
    window.sync(MARKER)

    # Clear asks first; keeping the picture sends nothing.
    sent = page.stat('sent')
    browser.driver.find_element('id', 'clear').click()
    browser.driver.find_element('id', 'clear-cancel').click()
    assert page.stat('sent') == sent
    edits = page.edits(window, lambda: (browser.driver.find_element('id', 'clear').click(),
                                        browser.driver.find_element('id', 'clear-confirm').click()))
    assert edits == [support.command(CLEAR)], edits
    assert set(page.cells()) == {255} | {window.marker_value}
    return page


def import_file(browser, page, window, path):
    """Imports through the page's file input, again after a second when the server asks it to."""
    def action():
        while True:
            browser.run('document.getElementById("tool-message").textContent = "";')
            browser.driver.find_element('id', 'import').send_keys(path)
            message = support.wait_for(lambda: browser.run(
                'const t = document.getElementById("tool-message").textContent;'
                'return t && t !== "Importing..." ? t : null;'), what='the import')
            if message.startswith('Imported'):
                return
            assert message == 'One import a second; try again', message
            time.sleep(0.3)  # paces the retries; the answer above is what is waited for
    return page.edits(window, action)


def test_import(browser, server, page, window, folder):
    # Every cell a palette colour exactly, on the grid's own size: the rows are known.
    palette = json.loads(server.get('/formats.json'))['formats'][3]['palette']
    value = lambda x, y: (x * 3 + y) % 16  # noqa: E731
    pattern = os.path.join(folder, 'pattern.png')
    with open(pattern, 'wb') as file:
        file.write(support.png_bytes(COLUMNS, ROWS, lambda x, y: tuple(
            int(palette[value(x, y)][i:i + 2], 16) for i in (1, 3, 5))))
    edits = import_file(browser, page, window, pattern)
    assert edits == [support.row_data(y, [value(x, y) for x in range(COLUMNS)])
                     for y in range(ROWS)], edits

    # Stretched and mapped: the page sends what the server's import (the program's own
    # mapping) answers for the same file, asked for here from another address.
    halves = os.path.join(folder, 'halves.bmp')
    with open(halves, 'wb') as file:
        file.write(support.bmp_bytes(100, 60, lambda x, y: (255, 0, 0) if x < 50 else (0, 0, 255)))
    with open(halves, 'rb') as file:
        connection = http.client.HTTPConnection('127.0.0.1', server.http_port, timeout=10,
                                                source_address=('127.0.0.3', 0))
        connection.request('POST', '/import?format=3', body=file.read(),
                           headers={'Authorization': 'Bearer ' + ALICE})
        answer = connection.getresponse()
        expected = answer.read()
        assert answer.status == 200, (answer.status, expected)
    edits = import_file(browser, page, window, halves)
    assert b''.join(edits) == expected
    assert len(edits) == ROWS and len(set(m[8:] for m in edits)) == 1, edits


def cell_info(browser, page, x, y):
    """What #cell-info says once the mouse points at a cell."""
    mouse(browser).move_to_element_with_offset(canvas(browser),
                                               *offset(browser, page.point(x, y))).perform()
    where = 'Cell %d, %d: ' % (x, y)
    return support.wait_for(lambda: (lambda text: text if text.startswith(where) else None)(
        browser.run('const e = document.getElementById("cell-info");'
                    'return e.hidden ? "" : e.textContent;')), what='the cell info')


def inked(browser, page, x, y):
    """How many pixels of the overlay over a cell are drawn on."""
    return browser.run("""
        const r = window.celvane.geometry().cells[arguments[0]];
        const data = document.getElementById('overlay').getContext('2d')
            .getImageData(r.x, r.y, r.w, r.h).data;
        let count = 0;
        for (let i = 3; i < data.length; i += 4)
            count += data[i] > 0;
        return count;""", y * COLUMNS + x)


def test_cell_info(browser, server, page):
    """Who drew a cell: the page's editor by name, without the address; and each cell's
    palette number, on request, over the picture."""
    info = cell_info(browser, page, 5, 5)
    assert info.startswith('Cell 5, 5: alice, ') and 'from' not in info, info
    # On touch, a long press asks, and paints nothing.
    assert page.cell(7, 7) != browser.run('return window.celvane.pen();')
    sent = page.stat('sent')
    touch(browser, 'touchStart', page.point(7, 7))
    support.wait_for(lambda: browser.run(
        'return document.getElementById("cell-info").textContent;').startswith('Cell 7, 7: alice'),
        what='the long press')
    touch(browser, 'touchEnd')
    assert page.stat('sent') == sent
    assert inked(browser, page, 5, 5) == 0
    browser.driver.find_element('id', 'cell-numbers').click()
    support.wait_for(lambda: inked(browser, page, 5, 5) > 0, what='the numbers')
    # And remembers it.
    page = Page(browser, server, ALICE)
    assert browser.run('return document.getElementById("cell-numbers").checked;')
    support.wait_for(lambda: inked(browser, page, 5, 5) > 0, what='the numbers again')


def test_moderation(browser, server, window):
    alice = browser.driver.current_window_handle
    browser.driver.switch_to.new_window('tab')
    boss = Page(browser, server, BOSS)
    assert not browser.run('return document.getElementById("moderation").hidden;')
    message = 'return document.getElementById("moderation-message").textContent;'
    info = cell_info(browser, boss, 5, 5)
    assert info.startswith('Cell 5, 5: alice, ') and info.endswith(', from 127.0.0.1'), info

    # An area dragged out on the picture is locked: a window's edit there is refused and put
    # right, and the lock is listed until it is lifted.
    browser.driver.find_element('id', 'lock-mode').click()
    start, end = boss.point(6, 22), boss.point(2, 20)
    sent = boss.stat('sent')
    mouse(browser).move_to_element_with_offset(canvas(browser), *offset(browser, start)) \
        .click_and_hold().move_by_offset(end[0] - start[0], end[1] - start[1]).release().perform()
    support.wait_for(lambda: browser.run(message) == 'Locked 5 x 3 cells at 2, 20',
                     what='the lock')
    assert boss.stat('sent') == sent, 'the drag painted'
    support.wait_for(lambda: browser.run('return document.querySelectorAll("#locks li").length;')
                     == 1, what='the lock listed')
    held = boss.cell(3, 21)
    window.send(cell_message(3, 21, 7 if held != 7 else 8))
    assert window.sync(MARKER) == [cell_message(3, 21, held)]
    browser.run('document.querySelector("#locks button.unlock").click();')
    support.wait_for(lambda: browser.run('return document.querySelectorAll("#locks li").length;')
                     == 0, what='the lock lifted')
    window.send(cell_message(3, 21, 7 if held != 7 else 8))
    assert window.sync(MARKER) == [cell_message(3, 21, 7 if held != 7 else 8)]
    button = 'document.querySelector(\'#authors button.%s[data-author="alice"]\')'
    support.wait_for(lambda: browser.run('return %s !== null;' % (button % 'revert')),
                     what='alice among the authors')

    # The preview is drawn over the picture and changes nothing.
    before = boss.cells()
    browser.run((button % 'revert') + '.click();')
    support.wait_for(lambda: browser.run('return !document.getElementById("revert-box").hidden;'),
                     what='the preview')
    summary = browser.run('return document.getElementById("revert-summary").textContent;')
    assert summary.startswith('Reverting alice changes '), summary
    assert window.sync(MARKER) == []
    browser.run('document.getElementById("revert-apply").click();')
    support.wait_for(lambda: browser.run(message).startswith('Reverted'), what='the revert')
    # Every window, and the page, end with the server's picture.
    fresh = support.TcpClient(server.port, '127.0.0.4')
    expected = list(fresh.update[8:])
    fresh.close()
    support.wait_for(lambda: boss.cells() == expected, what='the revert on the page')
    assert expected != before

    # A ban with its revert closes alice's page, and her key no longer admits her.
    browser.run((button % 'ban') + '.click();')
    browser.run('document.getElementById("ban-confirm").click();')
    support.wait_for(lambda: browser.run(message).startswith('Banned alice'), what='the ban')
    browser.driver.switch_to.window(alice)
    support.wait_for(lambda: 'key not accepted' in browser.status() or
                     not browser.run('return window.celvane.key();'), what="alice's page closed")
    browser.driver.switch_to.window(browser.driver.window_handles[-1])
    browser.driver.close()
    browser.driver.switch_to.window(alice)


def test_without_key(browser, server, window):
    """A server with --web-keys only: a page without a key watches and cannot send."""
    Page(browser, server)
    assert browser.run('return document.getElementById("tools").hidden;')
    assert not browser.run('return window.celvane.edit([window.celvane.command(2, 1, 1, 3)]);')
    # Nor can a script in the page that writes the messages itself.
    code = browser.driver.execute_async_script('''
        const done = arguments[0];
        const socket = new WebSocket('ws://' + location.host + '/live');
        socket.binaryType = 'arraybuffer';
        socket.onopen = () => socket.send('{}');
        socket.onmessage = (event) => {
            if (typeof event.data === 'string')
                socket.send(new Uint8Array([1, 0, 4, 0, 3, 0, 0, 0, 3, 0, 4, 0, 2, 1, 1, 3]));
        };
        socket.onclose = (event) => done(event.code);''')
    assert code == 1008, code
    assert window.sync(MARKER) == []
    # A key the server does not know is turned away, and the page says so.
    browser.open('about:blank')
    browser.open(server.url + '/#key=not-a-key-of-anyone')
    support.wait_for(lambda: 'key not accepted' in browser.status(), what='the refusal')



def test_refused_corrected(browser, server):
    """An edit the server refuses (here the cooldown's) is shown at once, then put right by the
    server's correction, as in a Celvane window."""
    window = support.TcpClient(server.port, '127.0.0.5')
    page = Page(browser, server, ALICE)
    paint = 'window.celvane.paintCells([{x: arguments[0], y: arguments[1]}], 6);'
    edits = page.edits(window, lambda: browser.run(paint, 10, 10))
    assert edits == [cell_message(10, 10, 6)], edits
    # Drawn at once, before the server's answer can have come.
    assert browser.run(paint + 'return window.celvane.picture().cells[10 * 40 + 11];', 11, 10) == 6
    support.wait_for(lambda: page.cell(11, 10) == 255, what='the correction')
    fresh = support.TcpClient(server.port, '127.0.0.6')
    assert page.cells() == list(fresh.update[8:])
    fresh.close()
    window.close()


class ForeignPage:
    """A page from another origin (another address and port) that tries /live."""

    def __init__(self):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = b'<!DOCTYPE html><title>elsewhere</title>'
                self.send_response(200)
                self.send_header('Content-Type', 'text/html')
                self.send_header('Content-Length', str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *arguments):
                pass
        self.server = http.server.HTTPServer(('127.0.0.3', 0), Handler)
        self.origin = 'http://127.0.0.3:%d' % self.server.server_port
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()


def test_foreign_origin(browser, foreign, allowed, refused):
    browser.open(foreign.origin + '/')
    results = browser.driver.execute_async_script('''
        const done = arguments[2];
        function attempt(port) {
            return new Promise((resolve) => {
                const socket = new WebSocket('ws://127.0.0.1:' + port + '/live');
                let answer = null;
                socket.onopen = () => socket.send('{}');
                socket.onmessage = (event) => { answer = event.data; socket.close(); };
                socket.onclose = (event) => resolve([answer, event.code]);
            });
        }
        Promise.all([attempt(arguments[0]), attempt(arguments[1])]).then(done);''',
                                                allowed.http_port, refused.http_port)
    # Named by --web-origin: answered; not named: refused before it opens.
    assert json.loads(results[0][0]) == {'edit': False, 'name': None, 'moderator': False}, \
        results
    assert results[1] == [None, 1006], results


def test_flood(browser, server, rate):
    """A page that sends faster than --max-edits-per-second is held to the rate, like a window."""
    Page(browser, server)
    observer = support.TcpClient(server.port, '127.0.0.2')
    flooder = support.TcpClient(server.port, '127.0.0.3')
    count = 50
    sent = time.monotonic()
    flooder.send(b''.join(cell_message(i % COLUMNS, 3 + i // COLUMNS, 4) for i in range(count)))
    browser.run('window.celvane.paintCells(arguments[0], 7);',
                [{'x': i % COLUMNS, 'y': 10 + i // COLUMNS} for i in range(count)])
    arrivals = {4: [], 7: []}
    while len(arrivals[4]) < count or len(arrivals[7]) < count:
        message = observer.read_message()
        arrivals[message[7]].append(time.monotonic() - sent)
    # Twice the rate at once, then the rate: edit i cannot have been applied earlier than this.
    for value, times in arrivals.items():
        for i, arrival in enumerate(times):
            # Qt's timers may fire up to 5 % early.
            assert arrival >= 0.95 * (i + 1 - 2 * rate) / rate - 0.02, (value, i, arrival)
    observer.close()
    flooder.close()


def main():
    support.exit_unless_browser()
    program = sys.argv[1]
    started = time.monotonic()
    servers = []
    browser = None
    foreign = ForeignPage()
    with tempfile.TemporaryDirectory() as folder:
        try:
            keys = support.keys_file(folder, ['# the editors', 'alice ' + ALICE,
                                              'boss ' + BOSS + ' moderator'])
            editing = support.Server(program, [
                '--format', '3', '--picture', os.path.join(folder, 'picture.cvp'),
                '--web-edit', '--web-keys', keys])
            servers.append(editing)
            watching = support.Server(program, ['--format', '3', '--web-keys', keys,
                                                '--web-origin', foreign.origin,
                                                '--cooldown', '60'])
            servers.append(watching)
            rate = 20
            flooded = support.Server(program, ['--format', '3', '--web-edit',
                                               '--max-edits-per-second', str(rate)])
            servers.append(flooded)
            browser = support.Browser(800, 600, log_frames=True)

            window = support.TcpClient(editing.port, '127.0.0.2')
            page = test_drawing(browser, editing, window)
            test_import(browser, editing, page, window, folder)
            test_cell_info(browser, editing, page)
            test_moderation(browser, editing, window)
            window.close()

            window = support.TcpClient(watching.port, '127.0.0.2')
            test_without_key(browser, watching, window)
            window.close()
            test_refused_corrected(browser, watching)
            test_foreign_origin(browser, foreign, watching, editing)
            test_flood(browser, flooded, rate)
        finally:
            if browser:
                browser.quit()
            foreign.stop()
            for server in servers:
                server.stop()
    print('PASS (%.1f s)' % (time.monotonic() - started))
    return 0


if __name__ == '__main__':
    sys.exit(main())
