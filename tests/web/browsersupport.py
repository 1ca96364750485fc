"""Helpers for the tests and benchmarks that drive the web page in headless Chromium.

Everything connects to 127.0.0.1 only, on ports the servers picked themselves.
"""
import base64
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request
import zlib

SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests

HELLO = bytes([1, 0, 4, 0, 3, 0, 0, 0])


def command(opcode, a=0, b=0, c=0):
    return bytes([3, 0, 4, 0, opcode, a, b, c])


def row_data(row, cells):
    return bytes([4, 0, 4 + len(cells), 0, row, len(cells), 0, 0]) + bytes(cells)


def browser_missing():
    """Why the browser tests cannot run here, or None."""
    for program in ('chromium', 'chromedriver'):
        if shutil.which(program) is None:
            return program + ' is not installed (Debian packages chromium, chromium-driver)'
    try:
        import selenium  # noqa: F401
    except ImportError:
        return 'python3-selenium is not installed'
    return None


def exit_unless_browser():
    """Ends the program with CTest's skip code, saying why, where the browser cannot run."""
    missing = browser_missing()
    if missing:
        print('SKIP: ' + missing)
        sys.exit(SKIP)


def wait_for(condition, timeout=20.0, what='a condition'):
    """Polls condition until it returns something true; the deadline only catches a hang."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError('timed out waiting for ' + what)
        time.sleep(0.02)


class Server:
    """A celvane-server (or a stand-in with the same output) on loopback ports of its choosing."""

    def __init__(self, program, arguments, http='0'):
        # Its log, for the failure message of a server that does not end well (a sanitizer's
        # report included).
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [program, '--listen', '127.0.0.1', '--port', '0', '--http', http] + arguments,
            stdout=subprocess.PIPE, stderr=self.log, text=True)
        self.port = None
        self.http_port = None
        # The web line follows the listening line; both come before anything else.
        for line in self.process.stdout:
            match = re.match(r'listening on 127\.0\.0\.1:(\d+)', line)
            if match:
                self.port = int(match.group(1))
            match = re.match(r'web page at http://127\.0\.0\.1:(\d+)/', line)
            if match:
                self.http_port = int(match.group(1))
                break
        if not self.port or not self.http_port:
            self.process.kill()
            raise AssertionError('the server did not say where it listens')
        self.url = 'http://127.0.0.1:%d' % self.http_port

    def get(self, path):
        with urllib.request.urlopen(self.url + path, timeout=10) as answer:
            return answer.read()

    def stop(self):
        """Stops the server with SIGTERM; fails unless it ends with status 0."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=30)
        if status != 0:
            self.log.seek(0)
            raise AssertionError('the server ended with status %d:\n%s' % (
                status, self.log.read().decode(errors='replace')[-3000:]))


class TcpClient:
    """A Celvane window stand-in: says Hello, reads everything it is sent, message by message."""

    def __init__(self, port, source='127.0.0.1'):
        self.socket = socket.create_connection(('127.0.0.1', port), timeout=10,
                                               source_address=(source, 0))
        self.socket.sendall(HELLO)
        self.received = b''
        self.update = self.read_update()

    def read_message(self):
        """The next whole message, header included."""
        while len(self.received) < 4 or len(self.received) < 4 + (
                self.received[2] | (self.received[3] << 8)):
            data = self.socket.recv(65536)
            if not data:
                raise AssertionError('the server closed the connection')
            self.received += data
        length = self.received[2] | (self.received[3] << 8)
        message = self.received[:4 + length]
        self.received = self.received[4 + length:]
        return message

    read_update = read_message

    def messages(self, count):
        return [self.read_message() for _ in range(count)]

    def send(self, message):
        self.socket.sendall(message)

    def sync(self, marker=(0, 0)):
        """Everything relayed before an edit of this client's own, which it sends now: once the
        server has applied what came before (the page's relays of its own edits say so), the
        messages read up to the marker's relay are exactly the relays of those edits."""
        x, y = marker
        self.marker_value = 3 if getattr(self, 'marker_value', 2) == 2 else 2
        sent = command(2, x, y, self.marker_value)
        self.send(sent)
        before = []
        while True:
            message = self.read_message()
            if message == sent:
                return before
            before.append(message)

    def close(self):
        self.socket.close()


def split_messages(data):
    """Protocol messages in a byte string that holds whole ones."""
    messages = []
    while data:
        length = data[2] | (data[3] << 8)
        messages.append(data[:4 + length])
        data = data[4 + length:]
    return messages


def png_bytes(width, height, pixel):
    """An 8-bit RGB PNG; pixel(x, y) gives (r, g, b)."""
    raw = b''.join(b'\x00' + bytes(c for x in range(width) for c in pixel(x, y))
                   for y in range(height))

    def chunk(kind, body):
        return (struct.pack('>I', len(body)) + kind + body +
                struct.pack('>I', zlib.crc32(kind + body) & 0xffffffff))
    return (b'\x89PNG\r\n\x1a\n' +
            chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b''))


def bmp_bytes(width, height, pixel):
    """A 24-bit BMP, rows from the bottom; pixel(x, y) gives (r, g, b)."""
    stride = (width * 3 + 3) & ~3
    rows = b''.join(bytes(c for x in range(width) for c in reversed(pixel(x, y))).ljust(
        stride, b'\x00') for y in reversed(range(height)))
    return (b'BM' + struct.pack('<IHHI', 54 + len(rows), 0, 0, 54) +
            struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(rows), 2835, 2835,
                        0, 0) + rows)


def keys_file(folder, lines):
    """A --web-keys file only its owner may read, as the server demands."""
    path = os.path.join(folder, 'web-keys')
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), 'w') as file:
        file.write('\n'.join(lines) + '\n')
    return path


def metrics(server):
    """/metrics parsed: {'name{labels}': value}; fails on any line not in the text format."""
    values = {}
    line_format = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*(\{[^}]*\})?) (\S+)$')
    for line in server.get('/metrics').decode('utf-8').splitlines():
        if line.startswith('# HELP ') or line.startswith('# TYPE '):
            continue
        match = line_format.match(line)
        if not match:
            raise AssertionError('not a metrics line: %r' % line)
        values[match.group(1)] = float(match.group(3))
    return values


def decode_png(data):
    """(width, height, RGB bytes) of an 8-bit RGB or RGBA PNG without interlacing."""
    if data[:8] != b'\x89PNG\r\n\x1a\n':
        raise AssertionError('not a PNG')
    at = 8
    idat = b''
    while at < len(data):
        length, kind = struct.unpack('>I4s', data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        at += 12 + length
        if kind == b'IHDR':
            width, height, depth, colour, _, _, interlace = struct.unpack('>IIBBBBB', body)
            if depth != 8 or colour not in (2, 6) or interlace:
                raise AssertionError('PNG kind not handled here')
        elif kind == b'IDAT':
            idat += body
    channels = 3 if colour == 2 else 4
    stride = width * channels
    raw = zlib.decompress(idat)
    previous = bytearray(stride)
    rgb = bytearray()
    for y in range(height):
        line = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        kind, row = line[0], bytearray(line[1:])
        for i in range(stride):
            left = row[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                row[i] = (row[i] + left) & 255
            elif kind == 2:
                row[i] = (row[i] + up) & 255
            elif kind == 3:
                row[i] = (row[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                predictor = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                row[i] = (row[i] + predictor) & 255
        previous = row
        if channels == 3:
            rgb += row
        else:
            for x in range(width):
                rgb += row[x * 4:x * 4 + 3]
    return width, height, bytes(rgb)


class Browser:
    """Headless Chromium on a fresh profile, driven through chromedriver."""

    def __init__(self, width=640, height=480, log_frames=False):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        self.profile = tempfile.mkdtemp(prefix='celvane-chromium-')
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which('chromium')
        for argument in ('--headless', '--disable-gpu', '--disable-quic', '--no-first-run',
                         '--disable-background-networking', '--disable-component-update',
                         '--disable-sync', '--force-device-scale-factor=1',
                         '--force-color-profile=srgb', '--user-data-dir=' + self.profile,
                         '--window-size=%d,%d' % (width, height)):
            options.add_argument(argument)
        if os.geteuid() == 0:
            options.add_argument('--no-sandbox')
        if log_frames:
            # The WebSocket frames the page sends, read from DevTools' network events.
            options.set_capability('goog:loggingPrefs', {'performance': 'ALL'})
        self.driver = webdriver.Chrome(service=Service(shutil.which('chromedriver')),
                                       options=options)

    def open(self, url):
        self.driver.get(url)

    def run(self, script, *arguments):
        return self.driver.execute_script(script, *arguments)

    def settle(self):
        """Returns once the page has laid itself out: two animation frames, by which time every
        resize the last change of layout set off has been handled."""
        self.driver.execute_async_script(
            'const done = arguments[0];'
            'requestAnimationFrame(() => requestAnimationFrame(() => done()));')

    def stats(self):
        return self.run('return window.celvane ? window.celvane.stats : null;')

    def status(self):
        return self.run('return document.getElementById("status").textContent;')

    def canvas_rgb(self):
        """(width, height, RGB bytes) of the page's canvas."""
        width, height, encoded = self.run('''
            const canvas = document.getElementById('picture');
            const data = canvas.getContext('2d').getImageData(0, 0, canvas.width,
                                                               canvas.height).data;
            const parts = [];
            for (let at = 0; at < data.length; at += 4 * 8192) {
                let text = '';
                const end = Math.min(data.length, at + 4 * 8192);
                for (let i = at; i < end; i += 4)
                    text += String.fromCharCode(data[i], data[i + 1], data[i + 2]);
                parts.push(text);
            }
            return [canvas.width, canvas.height, btoa(parts.join(''))];''')
        return width, height, base64.b64decode(encoded)

    def pixel(self, x, y):
        return tuple(self.run('''
            const canvas = document.getElementById('picture');
            return Array.from(canvas.getContext('2d').getImageData(arguments[0], arguments[1],
                                                                   1, 1).data.slice(0, 3));''',
                              x, y))

    def cell_centre(self, index):
        rect = self.run('return window.celvane.geometry().cells[arguments[0]];', index)
        return rect['x'] + rect['w'] // 2, rect['y'] + rect['h'] // 2

    def sent_messages(self):
        """The protocol messages the page has sent in binary WebSocket frames since the last
        call (frames of pages opened since included)."""
        import json
        messages = []
        for entry in self.driver.get_log('performance'):
            event = json.loads(entry['message'])['message']
            if event['method'] != 'Network.webSocketFrameSent':
                continue
            frame = event['params']['response']
            if frame['opcode'] == 2:
                messages += split_messages(base64.b64decode(frame['payloadData']))
        return messages

    def quit(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)


def first_difference(width, expected, actual):
    """Where two RGB images first differ, for a failure message, or None."""
    if expected == actual:
        return None
    for i in range(0, min(len(expected), len(actual)), 3):
        if expected[i:i + 3] != actual[i:i + 3]:
            pixel = i // 3
            return 'pixel (%d, %d): expected %s, page has %s' % (
                pixel % width, pixel // width, tuple(expected[i:i + 3]), tuple(actual[i:i + 3]))
    return 'sizes differ: %d and %d bytes' % (len(expected), len(actual))
