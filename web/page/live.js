// The live picture: the protocol's own messages over a WebSocket at /live, drawn exactly as
// celvane-server's PictureRenderer (and so Celvane's canvas) draws them. See docs/web.md for how
// the rounding is reproduced; every number below that is wrapped in f() is a single-precision
// float in the C++ code, and every other one a double.
//
// The build serves this file, editor.js and moderator.js as one /live.js, in that order; the
// other two reach the picture through window.celvane, which this file fills.
'use strict';

(function () {
    const Hello = new Uint8Array([1, 0, 4, 0, 3, 0, 0, 0]);
    const Kind = { Update: 2, Command: 3, RowData: 4 };
    const Opcode = { Clear: 0, SetColors: 1, SetCell: 2 };
    const RelaysEdits = 0x01;
    const EmptyCell = 255;

    const f = Math.fround;

    // Qt's qRound on the positive coordinates met here: halves away from zero.
    function qRound(d) {
        const t = Math.trunc(d);
        return Math.abs(d - t) >= 0.5 ? t + Math.sign(d) : t;
    }

    // painting/canvasgeometry.cpp, fitCanvasRect.
    function fitCanvasRect(w, h, format) {
        const aspect = f(format.cellAspect);
        const widgetRatio = f(w / h);
        const pictureRatio = f(f(f(format.columns) / f(format.rows)) * aspect);
        let cellWidth;
        let cellHeight;
        if (widgetRatio > pictureRatio) {
            const margin = f(f(h) * f(0.1));
            cellHeight = f(f(f(h) - f(2 * margin)) / f(format.rows));
            cellWidth = f(cellHeight * aspect);
        } else {
            const margin = f(f(w) * f(0.1));
            cellWidth = f(f(f(w) - f(2 * margin)) / f(format.columns));
            cellHeight = f(cellWidth / aspect);
        }
        const gridWidth = f(f(format.columns) * cellWidth);
        const gridHeight = f(f(format.rows) * cellHeight);
        return {
            x: 0 + w * 0.5 - gridWidth * 0.5,
            y: 0 + h * 0.5 - gridHeight * 0.5,
            w: gridWidth,
            h: gridHeight,
        };
    }

    // QRasterPaintEngine's fill of a QRectF without antialiasing: each edge rounded on its own,
    // the right and bottom ones from x + width and y + height as QRectF stores them.
    function pixelRect(x, y, w, h) {
        let x1 = qRound(x);
        let y1 = qRound(y);
        let x2 = qRound(x + w);
        let y2 = qRound(y + h);
        if (x2 < x1) [x1, x2] = [x2, x1];
        if (y2 < y1) [y1, y2] = [y2, y1];
        return { x: x1, y: y1, w: x2 - x1, h: y2 - y1 };
    }

    // cellPaintRect: each edge from its own index, as doubles from single-precision steps.
    function cellRect(rect, size, format, x, y) {
        const left = rect.x + f(f(x) * size.width);
        const right = rect.x + f(f(x + 1) * size.width);
        const top = rect.y + f(f(y) * size.height);
        const bottom = format.rowGap ? top + f(size.height * f(0.875))
                                     : rect.y + f(f(y + 1) * size.height);
        return pixelRect(left, top, right - left, bottom - top);
    }

    // The other half of the pair: the cell under a canvas pixel, by canvasgeometry.cpp's
    // cellUnder (floor, in double, of the distance over the float cell size), clamped so that a
    // line walked from far outside stays short. Null on a grid of no size.
    function cellUnder(rect, size, px, py) {
        if (!(size.width > 0) || !(size.height > 0))
            return null;
        const limit = 1e6;
        const clamp = (v) => Math.max(-limit, Math.min(limit, v));
        return { x: clamp(Math.floor((px - rect.x) / size.width)),
                 y: clamp(Math.floor((py - rect.y) / size.height)) };
    }

    const canvas = document.getElementById('picture');
    const context = canvas.getContext('2d', { alpha: false });
    const controls = document.getElementById('controls');
    const statusText = document.getElementById('status');
    const historyBox = document.getElementById('history');
    const slider = document.getElementById('slider');
    const momentText = document.getElementById('moment');
    const timelapseLink = document.getElementById('timelapse');

    let formats = null;      // from /formats.json: the server's own table
    let noPictureColor = '#444444';
    let picture = null;      // { format, border, background, cells, relays }
    let geometry = null;     // for the canvas's size and the picture's format
    let showingPast = false; // the slider is away from its right end
    let socket = null;
    let stopped = false;     // no format table: nothing can be shown, so no reconnecting
    let retryMs = 250;
    let history = null;
    let role = null;         // the server's answer to the first frame: { edit, name, moderator }
    // The key from /#key=KEY: kept here only, sent only inside the WebSocket and as a Bearer
    // header, and taken out of the address bar so that it is neither kept in the history nor
    // shared with a copied address.
    let key = null;
    const keyMatch = /^#key=([^&]+)$/.exec(location.hash);
    if (keyMatch) {
        key = decodeURIComponent(keyMatch[1]);
        window.history.replaceState(null, '', location.pathname + location.search);
    }
    let keyRefused = false;

    const listeners = {};
    function on(name, listener) {
        (listeners[name] = listeners[name] || []).push(listener);
    }
    function emit(name, value) {
        for (const listener of listeners[name] || [])
            listener(value);
    }

    // For tests and benchmarks: what the page has done so far.
    const stats = { updates: 0, relays: 0, lastDrawn: 0, connected: false, sent: 0 };

    function frameColor(index) {
        const palette = picture.format.palette;
        return index < palette.length ? palette[index] : noPictureColor;
    }

    function computeGeometry() {
        if (!picture)
            return;
        const format = picture.format;
        const rect = fitCanvasRect(canvas.width, canvas.height, format);
        const size = { width: f(f(rect.w) / f(format.columns)),
                       height: f(f(rect.h) / f(format.rows)) };
        const cells = [];
        for (let y = 0; y < format.rows; ++y)
            for (let x = 0; x < format.columns; ++x)
                cells.push(cellRect(rect, size, format, x, y));
        geometry = { background: pixelRect(rect.x, rect.y, rect.w, rect.h), cells: cells,
                     rect: rect, size: size };
        emit('geometry', geometry);
    }

    // The cell under a point given in the canvas element's CSS pixels (a pointer event's
    // offsetX/offsetY), or null; inGrid false for cells beyond the grid.
    function cellAtPoint(cssX, cssY) {
        if (!geometry || !canvas.clientWidth || !canvas.clientHeight)
            return null;
        const cell = cellUnder(geometry.rect, geometry.size,
                               cssX * canvas.width / canvas.clientWidth,
                               cssY * canvas.height / canvas.clientHeight);
        if (cell)
            cell.inGrid = cell.x >= 0 && cell.y >= 0 && cell.x < picture.format.columns &&
                          cell.y < picture.format.rows;
        return cell;
    }

    function fill(rect, color) {
        if (rect.w > 0 && rect.h > 0) {
            context.fillStyle = color;
            context.fillRect(rect.x, rect.y, rect.w, rect.h);
        }
    }

    // paintPicture's order: the border over everything, the background over the grid, then the
    // cells row by row. Cells outside the palette are left unpainted.
    function paintCells(firstColumn, lastColumn, firstRow, lastRow) {
        const format = picture.format;
        fill({ x: 0, y: 0, w: canvas.width, h: canvas.height }, frameColor(picture.border));
        fill(geometry.background, frameColor(picture.background));
        for (let y = firstRow; y <= lastRow; ++y) {
            for (let x = firstColumn; x <= lastColumn; ++x) {
                const value = picture.cells[y * format.columns + x];
                if (value < format.palette.length)
                    fill(geometry.cells[y * format.columns + x], format.palette[value]);
            }
        }
    }

    function drawAll() {
        if (!picture || showingPast)
            return;
        const format = picture.format;
        paintCells(0, format.columns - 1, 0, format.rows - 1);
        stats.lastDrawn = performance.timeOrigin + performance.now();
    }

    // Repaints the cells from (x0, y0) to (x1, y1) alone: within their pixels, exactly what a
    // whole repaint would put there. Their neighbours are painted too, clipped away, in case a
    // rounded edge reaches one pixel over.
    function drawCells(x0, x1, y0, y1) {
        if (!picture || showingPast)
            return;
        const format = picture.format;
        let left = Infinity;
        let top = Infinity;
        let right = -Infinity;
        let bottom = -Infinity;
        for (let y = y0; y <= y1; ++y) {
            for (let x = x0; x <= x1; ++x) {
                const r = geometry.cells[y * format.columns + x];
                left = Math.min(left, r.x);
                top = Math.min(top, r.y);
                right = Math.max(right, r.x + r.w);
                bottom = Math.max(bottom, r.y + r.h);
            }
        }
        if (!(right > left && bottom > top))
            return;
        context.save();
        context.beginPath();
        context.rect(left, top, right - left, bottom - top);
        context.clip();
        paintCells(Math.max(0, x0 - 1), Math.min(format.columns - 1, x1 + 1),
                   Math.max(0, y0 - 1), Math.min(format.rows - 1, y1 + 1));
        context.restore();
        stats.lastDrawn = performance.timeOrigin + performance.now();
    }

    function resize() {
        const ratio = window.devicePixelRatio || 1;
        const width = document.documentElement.clientWidth;
        const height = Math.max(0, window.innerHeight - controls.getBoundingClientRect().height);
        canvas.style.width = width + 'px';
        canvas.style.height = height + 'px';
        const pixelWidth = Math.round(width * ratio);
        const pixelHeight = Math.round(height * ratio);
        if (canvas.width !== pixelWidth || canvas.height !== pixelHeight || !geometry) {
            canvas.width = pixelWidth;
            canvas.height = pixelHeight;
            computeGeometry();
            if (showingPast)
                showMoment();
            else
                drawAll();
        }
    }

    function setStatus(text, lost) {
        statusText.textContent = text;
        statusText.classList.toggle('lost', lost);
    }

    // One edit, from the server or the page's own: applied and drawn at once. False for an edit
    // that does not fit the picture shown, which is skipped.
    function applyEdit(kind, payload) {
        const format = picture.format;
        if (kind === Kind.Command && payload.length === 4) {
            const [opcode, a, b, c] = payload;
            if (opcode === Opcode.Clear) {
                picture.cells.fill(EmptyCell);
                drawAll();
            } else if (opcode === Opcode.SetColors) {
                picture.border = a;
                picture.background = b;
                drawAll();
            } else if (opcode === Opcode.SetCell && a < format.columns && b < format.rows) {
                picture.cells[b * format.columns + a] = c;
                drawCells(a, a, b, b);
            } else {
                return false;
            }
        } else if (kind === Kind.RowData && payload.length >= 4) {
            const row = payload[0];
            const count = payload[1];
            if (row >= format.rows || count !== format.columns || payload.length !== 4 + count)
                return false;
            picture.cells.set(payload.subarray(4), row * format.columns);
            drawCells(0, format.columns - 1, row, row);
        } else {
            return false;
        }
        emit('change', { kind: kind, payload: payload });
        return true;
    }

    // One message from the server, as Celvane takes it (docs/protocol.md): Updates always,
    // edits only after an Update that announced relays, anything that does not fit skipped.
    function handle(kind, payload) {
        if (kind === Kind.Update) {
            if (payload.length < 4 || payload[0] >= formats.length)
                return;
            const format = formats[payload[0]];
            const count = format.rows * format.columns;
            if (payload.length < 4 + count)
                return;
            const formatChanged = !picture || picture.format !== format;
            picture = { format: format, number: payload[0], border: payload[1],
                        background: payload[2], cells: payload.slice(4, 4 + count),
                        relays: (payload[3] & RelaysEdits) !== 0 };
            if (formatChanged || !geometry)
                computeGeometry();
            ++stats.updates;
            setStatus(keyRefused ? 'Live; key not accepted, so this page only watches'
                                 : 'Live', false);
            drawAll();
            emit('picture', { formatChanged: formatChanged });
            return;
        }
        if (picture && picture.relays && applyEdit(kind, payload))
            ++stats.relays;
    }

    let pending = new Uint8Array(0);

    function receive(bytes) {
        // Frames carry whole messages, but nothing here relies on it.
        const data = new Uint8Array(pending.length + bytes.length);
        data.set(pending);
        data.set(bytes, pending.length);
        let at = 0;
        // The socket opens beside the fetch of the format table; what it brings waits for it.
        while (formats && data.length - at >= 4) {
            const length = data[at + 2] | (data[at + 3] << 8);
            if (data.length - at < 4 + length)
                break;
            handle(data[at], data.subarray(at + 4, at + 4 + length));
            at += 4 + length;
        }
        pending = data.slice(at);
    }

    function setRole(value) {
        role = value;
        emit('role', role);
    }

    function connect() {
        const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
        const opened = new WebSocket(scheme + '//' + location.host + '/live');
        socket = opened;
        socket.binaryType = 'arraybuffer';
        pending = new Uint8Array(0);
        let answered = false;
        socket.onopen = () => {
            stats.connected = true;
            retryMs = 250;
            // The first frame says who the page is; the server answers it with what the page
            // may do before it answers the Hello that follows.
            socket.send(JSON.stringify(key ? { key: key } : {}));
            socket.send(Hello);
            setStatus('Receiving the picture...', false);
        };
        socket.onmessage = (event) => {
            if (event.data instanceof ArrayBuffer) {
                receive(new Uint8Array(event.data));
            } else if (!answered) {
                answered = true;
                let answer = {};
                try {
                    answer = JSON.parse(event.data);
                } catch (error) {
                    // Taken as a page that may only watch.
                }
                setRole({ edit: answer.edit === true, moderator: answer.moderator === true,
                          name: typeof answer.name === 'string' ? answer.name : null });
            }
        };
        socket.onclose = (event) => {
            if (socket !== opened || stopped)
                return;
            stats.connected = false;
            socket = null;
            setRole(null);
            let why = event.reason ? ' (' + event.reason + ')' : '';
            if (event.code === 4003) {
                // A key the server does not know (or no longer admits): watch without it.
                key = null;
                keyRefused = true;
                why = ' (key not accepted)';
            }
            // The server says why it turned the page away or closed it (the client limits).
            setStatus('Connection to the server lost' + why + '; reconnecting...', true);
            setTimeout(connect, retryMs);
            retryMs = Math.min(retryMs * 2, 4000);
        };
    }

    // Sends whole protocol messages, several to a frame, no frame over the server's 16 KiB.
    // False when there is no connection that may carry them.
    function send(messages) {
        if (!socket || socket.readyState !== WebSocket.OPEN || !role || !role.edit)
            return false;
        const limit = 16384;
        let frame = [];
        let size = 0;
        const flush = () => {
            if (size === 0)
                return;
            const bytes = new Uint8Array(size);
            let at = 0;
            for (const message of frame) {
                bytes.set(message, at);
                at += message.length;
            }
            socket.send(bytes);
            frame = [];
            size = 0;
        };
        for (const message of messages) {
            if (size + message.length > limit)
                flush();
            frame.push(message);
            size += message.length;
            ++stats.sent;
        }
        flush();
        return true;
    }

    // Applies the page's own edits at once and sends them, as a Celvane window does; the
    // server's relays then put them in its order. Each message is a whole Uint8Array message.
    function edit(messages) {
        if (!picture || showingPast || !send(messages))
            return false;
        for (const message of messages)
            applyEdit(message[0], message.subarray(4));
        return true;
    }

    // The slider: its right end is live, the rest of it the kept range.
    async function loadHistory() {
        try {
            const answer = await fetch('/history', { cache: 'no-store' });
            if (!answer.ok)
                return;
            history = await answer.json();
        } catch (error) {
            return;
        }
        if (!history.first)
            return;
        historyBox.hidden = false;
        timelapseLink.hidden = !history.timelapse;
        resize();
    }

    function sliderMoment() {
        const first = Date.parse(history.first);
        const last = Date.parse(history.last);
        return new Date(first + (last - first) * Number(slider.value) / Number(slider.max));
    }

    function showMoment() {
        const moment = sliderMoment().toISOString();
        momentText.textContent = moment.replace('T', ' ').replace(/\.\d+Z$/, ' UTC');
        const image = new Image();
        image.onload = () => {
            if (showingPast && momentText.dataset.moment === moment) {
                context.drawImage(image, 0, 0);
                stats.lastDrawn = performance.timeOrigin + performance.now();
                stats.pastShown = moment;
            }
        };
        momentText.dataset.moment = moment;
        image.src = '/picture.png?size=' + canvas.width + 'x' + canvas.height + '&at=' +
                    encodeURIComponent(moment);
    }

    slider.addEventListener('input', () => {
        if (Number(slider.value) >= Number(slider.max)) {
            showingPast = false;
            momentText.textContent = 'live';
            delete momentText.dataset.moment;
            drawAll();
            emit('past', false);
            return;
        }
        showingPast = true;
        showMoment();
        emit('past', true);
    });
    // The kept range grows while the page is open.
    slider.addEventListener('pointerdown', loadHistory);

    async function start() {
        window.addEventListener('resize', resize);
        // The controls below the picture change height as tools appear or wrap. Their whole box
        // is what the picture gives up, as resize() measures it.
        new ResizeObserver(resize).observe(controls, { box: 'border-box' });
        resize();
        connect();
        loadHistory();
        try {
            const answer = await fetch('/formats.json');
            const table = await answer.json();
            formats = table.formats;
            noPictureColor = table.noPictureColor;
        } catch (error) {
            stopped = true;
            if (socket)
                socket.close();
            setStatus('Could not load the picture formats; reload to try again', true);
            return;
        }
        receive(new Uint8Array(0));
    }

    window.celvane = {
        stats: stats,
        geometry: () => geometry,
        picture: () => picture,
        role: () => role,
        key: () => key,
        live: () => !showingPast,
        canvas: canvas,
        cellAtPoint: cellAtPoint,
        frameColor: (index) => frameColor(index),
        on: on,
        edit: edit,
        command: (opcode, a, b, c) => new Uint8Array([Kind.Command, 0, 4, 0, opcode, a, b, c]),
        Opcode: Opcode,
        Kind: Kind,
        EmptyCell: EmptyCell,
        // Fetch with the key as a Bearer header when there is one: never in the address.
        fetch: (path, options) => {
            options = Object.assign({ cache: 'no-store' }, options || {});
            if (key)
                options.headers = Object.assign({ Authorization: 'Bearer ' + key },
                                                options.headers || {});
            return fetch(path, options);
        },
        setStatus: setStatus,
    };

    start();
})();
