"""The web side's figures: an edit over TCP to the page's canvas, /picture.png requests per
second, and the server's memory per web viewer; and for the page that draws, an edit made in the
page to a window's relay among 50 windows, the page's load to its first drawn picture, its bytes
and the memory a drawing page costs. Writes JSON for scripts/bench.

Usage: webbench.py SERVER OUTPUT.json [--quick]
Each figure stands beside a yardstick from the same run: the tiny /formats.json answer for the
request rate, a Celvane window's TCP connection for the memory. Exits 77 without a browser.
"""
import base64
import http.client
import json
import os
import selectors
import socket
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'web'))
import browsersupport as support  # noqa: E402


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def edit_latency(server, edits):
    """Seconds from writing a SetCellCommand to the page having drawn it, for every edit."""
    browser = support.Browser(640, 480)
    client = support.TcpClient(server.port)
    latencies = []
    try:
        browser.open(server.url + '/')
        support.wait_for(lambda: (browser.stats() or {}).get('updates', 0) >= 1,
                         what='the page')
        for i in range(edits):
            relays = browser.stats()['relays']
            sent = time.time()
            client.send(support.command(2, i % 40, (i // 40) % 25, 1 + i % 15))
            stats = support.wait_for(
                lambda: (lambda s: s if s['relays'] > relays else None)(browser.stats()),
                what='the relay on the page')
            latencies.append(stats['lastDrawn'] / 1000.0 - sent)
            # The window's copy of the relays is read off the clock.
            client.socket.setblocking(False)
            try:
                while client.socket.recv(65536):
                    pass
            except BlockingIOError:
                pass
            client.socket.setblocking(True)
    finally:
        client.close()
        browser.quit()
    return latencies


def request_rate(server, path, seconds, editor=None):
    """Requests answered per second, one at a time; with an editor, each request follows an edit,
    so that no answer can be one made before."""
    # The server makes at most ten new images a second for one address: the requests take
    # turns among keep-alive connections from 32 loopback addresses, each well within that.
    connections = [http.client.HTTPConnection('127.0.0.1', server.http_port, timeout=10,
                                              source_address=('127.0.0.%d' % (10 + i), 0))
                   for i in range(32)]
    count = 0
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        connection = connections[count % len(connections)]
        if editor:
            editor.send(support.command(2, count % 40, (count // 40) % 25, 1 + count % 15))
            # Its relay comes back once the server has applied it.
            editor.read_update()
        connection.request('GET', path)
        answer = connection.getresponse()
        answer.read()
        if answer.status != 200:
            raise AssertionError('%s answered %d' % (path, answer.status))
        count += 1
    elapsed = time.monotonic() - start
    for connection in connections:
        connection.close()
    return count / elapsed


def resident_kib(pid):
    with open('/proc/%d/status' % pid) as status:
        for line in status:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    raise AssertionError('no VmRSS')


def upgraded_socket(port):
    """A WebSocket to /live written out by hand: the handshake, then what came after it."""
    viewer = socket.create_connection(('127.0.0.1', port), timeout=10)
    key = base64.b64encode(os.urandom(16)).decode()
    viewer.sendall(('GET /live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n'
                    'Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n'
                    'Sec-WebSocket-Version: 13\r\n\r\n' % key).encode())
    received = b''
    while b'\r\n\r\n' not in received:
        received += viewer.recv(4096)
    if not received.startswith(b'HTTP/1.1 101'):
        raise AssertionError('no upgrade: %r' % received[:40])
    return viewer, received.split(b'\r\n\r\n', 1)[1]


def masked_frame(opcode, payload):
    """A client's frame of up to 125 bytes, masked as a browser masks it."""
    mask = os.urandom(4)
    return (bytes([0x80 | opcode, 0x80 | len(payload)]) + mask +
            bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))


def take_update(viewer, received):
    viewer.sendall(masked_frame(0x2, support.HELLO))
    while len(received) < 4 + 1008:  # a 16-bit length frame holding a format 3 Update
        received += viewer.recv(4096)
    return viewer


def open_viewer(port):
    """A viewer: a Hello, then the Update."""
    return take_update(*upgraded_socket(port))


def page_edit_latency(server, windows, edits):
    """Seconds from the page sending a SetCellCommand (the page's own clock) to the first of
    `windows` Celvane windows having read its relay (the benchmark's clock; both are the
    system's), every window reading all it is sent."""
    clients = [support.TcpClient(server.port, '127.0.0.%d' % (2 + i % 8))
               for i in range(windows)]
    arrivals = []
    stop = threading.Event()

    def read():
        selector = selectors.DefaultSelector()
        for client in clients:
            client.socket.setblocking(False)
            selector.register(client.socket, selectors.EVENT_READ, client)
        while not stop.is_set():
            for key, _ in selector.select(0.1):
                try:
                    data = key.fileobj.recv(65536)
                except BlockingIOError:
                    continue
                if key.data is clients[0]:
                    now = time.time()
                    key.data.received += data
                    buffer = key.data.received
                    while len(buffer) >= 4 and len(buffer) >= 4 + (buffer[2] | buffer[3] << 8):
                        length = 4 + (buffer[2] | buffer[3] << 8)
                        arrivals.append((buffer[:length], now))
                        buffer = buffer[length:]
                    key.data.received = buffer
    reader = threading.Thread(target=read)
    reader.start()
    browser = support.Browser(640, 480)
    latencies = []
    try:
        browser.open(server.url + '/')
        support.wait_for(lambda: browser.run('const r = window.celvane && window.celvane.role();'
                                             'return r && r.edit && window.celvane.picture();'),
                         what='a page that may draw')
        for i in range(edits):
            x, y, value = i % 40, (i // 40) % 25, 1 + i % 15
            if browser.run('return window.celvane.picture().cells[arguments[0]];',
                           y * 40 + x) == value:
                value = 1 + (value % 15)
            sent = browser.run('const t = performance.timeOrigin + performance.now();'
                               'window.celvane.paintCells([{x: arguments[0], y: arguments[1]}],'
                               '                          arguments[2]);'
                               'return t;', x, y, value)
            relay = support.command(2, x, y, value)
            arrived = support.wait_for(
                lambda: next((t for m, t in arrivals if m == relay), None), what='the relay')
            arrivals.clear()
            latencies.append(arrived - sent / 1000.0)
    finally:
        browser.quit()
        stop.set()
        reader.join()
        for client in clients:
            client.close()
    return latencies


def page_load(server, loads):
    """Milliseconds from the navigation's start to the page's first drawn picture, a fresh
    navigation each time; the page's bytes; and the JavaScript heap of one drawing page."""
    browser = support.Browser(640, 480)
    times = []
    try:
        for _ in range(loads):
            browser.open('about:blank')
            browser.open(server.url + '/')
            drawn = support.wait_for(lambda: (browser.stats() or {}).get('lastDrawn'),
                                     what='the first picture')
            times.append(drawn - browser.run('return performance.timeOrigin;'))
        browser.driver.execute_cdp_cmd('HeapProfiler.collectGarbage', {})
        browser.driver.execute_cdp_cmd('Performance.enable', {})
        metrics = browser.driver.execute_cdp_cmd('Performance.getMetrics', {})['metrics']
        heap = next(m['value'] for m in metrics if m['name'] == 'JSHeapUsedSize')
    finally:
        browser.quit()
    size = sum(len(server.get(path)) for path in ('/', '/live.js', '/editor.js', '/moderator.js', '/style.css'))
    return times, size, heap / 1024


def open_drawer(port):
    """A drawing page: its first text frame, the answer, then a Hello and the Update."""
    viewer, received = upgraded_socket(port)
    viewer.sendall(masked_frame(0x1, b'{}'))
    while len(received) < 2 or len(received) < 2 + received[1]:
        received += viewer.recv(4096)
    if b'"edit":true' not in received[2:2 + received[1]].replace(b' ', b''):
        raise AssertionError('a page that may not draw: %r' % received)
    return take_update(viewer, received[2 + received[1]:])


def memory_per_client(server, count, connect):
    before = resident_kib(server.process.pid)
    clients = [connect() for _ in range(count)]
    after = resident_kib(server.process.pid)
    for client in clients:
        client.close()
    return (after - before) / count


def main():
    support.exit_unless_browser()
    program, output = sys.argv[1], sys.argv[2]
    quick = '--quick' in sys.argv[3:]
    server = support.Server(program, ['--demo', '--max-clients', '400',
                                      '--max-per-address', '400'])
    try:
        latencies = edit_latency(server, 60 if quick else 300)
        seconds = 1.0 if quick else 3.0
        png = request_rate(server, '/picture.png', seconds)
        editor = support.TcpClient(server.port)
        png_changing = request_rate(server, '/picture.png', seconds, editor)
        editor.close()
        tiny = request_rate(server, '/formats.json', seconds)
        clients = 50 if quick else 200
        viewer_kib = memory_per_client(server, clients, lambda: open_viewer(server.http_port))
        window_kib = memory_per_client(server, clients,
                                       lambda: support.TcpClient(server.port).socket)
    finally:
        server.stop()
    server = support.Server(program, ['--demo', '--web-edit', '--max-clients', '400',
                                      '--max-per-address', '400'])
    try:
        windows = 50
        page_latencies = page_edit_latency(server, windows, 40 if quick else 200)
        loads, page_bytes, page_heap_kib = page_load(server, 5 if quick else 20)
        drawer_kib = memory_per_client(server, clients, lambda: open_drawer(server.http_port))
    finally:
        server.stop()
    figures = {
        'edits': len(latencies),
        'latency_median_s': statistics.median(latencies),
        'latency_p99_s': percentile(latencies, 0.99),
        'png_per_s': png,
        'png_changing_per_s': png_changing,
        'tiny_per_s': tiny,
        'clients': clients,
        'viewer_kib': viewer_kib,
        'window_kib': window_kib,
        'page_windows': windows,
        'page_edits': len(page_latencies),
        'page_latency_median_s': statistics.median(page_latencies),
        'page_latency_p99_s': percentile(page_latencies, 0.99),
        'page_loads': len(loads),
        'page_load_median_ms': statistics.median(loads),
        'page_load_max_ms': max(loads),
        'page_bytes': page_bytes,
        'page_heap_kib': page_heap_kib,
        'drawer_kib': drawer_kib,
    }
    with open(output, 'w') as file:
        json.dump(figures, file, indent=1)
    print(json.dumps(figures, indent=1))
    return 0


if __name__ == '__main__':
    sys.exit(main())
