// Drawing from the page: the pen, the frame colours, Clear and Import, with the mouse, a pen, a
// finger or the keyboard, and what helps while doing it: a cell cursor, spoken cell names, each
// cell's palette number and who last changed a cell. Everything goes through window.celvane
// (live.js): the page's own edits are applied at once and sent as the protocol's messages.
'use strict';

(function () {
    const celvane = window.celvane;
    const canvas = celvane.canvas;
    const overlay = document.getElementById('overlay');
    const overlayContext = overlay.getContext('2d');
    const tools = document.getElementById('tools');
    const who = document.getElementById('who');
    const pens = document.getElementById('pens');
    const borders = document.getElementById('borders');
    const backgrounds = document.getElementById('backgrounds');
    const message = document.getElementById('tool-message');
    const announce = document.getElementById('announce');
    const numbersBox = document.getElementById('cell-numbers');
    const cellInfo = document.getElementById('cell-info');
    const clearDialog = document.getElementById('clear-dialog');
    const importInput = document.getElementById('import');

    let pen = 1;
    let cursor = { x: 0, y: 0 };
    let stroke = null;  // { id, mode, last, visited, pending (touch, first cell not yet painted) }

    // Names spoken for the palette colours: the nearest of a few plain ones.
    const names = [['black', 0, 0, 0], ['white', 255, 255, 255], ['grey', 128, 128, 128],
                   ['light grey', 180, 180, 180], ['dark grey', 70, 70, 70],
                   ['red', 200, 30, 30], ['dark red', 130, 25, 10], ['brown', 130, 85, 40],
                   ['pink', 220, 130, 130], ['orange', 230, 130, 30], ['yellow', 220, 220, 40],
                   ['yellow green', 180, 220, 110], ['green', 40, 190, 40],
                   ['dark green', 20, 100, 20], ['cyan', 60, 200, 210],
                   ['blue', 40, 40, 210], ['light blue', 120, 120, 230],
                   ['purple', 140, 60, 180]];

    function rgb(hex) {
        const n = parseInt(hex.slice(1), 16);
        return [n >> 16, (n >> 8) & 255, n & 255];
    }

    function colourName(value) {
        const palette = celvane.picture().format.palette;
        if (value >= palette.length)
            return 'empty';
        const [r, g, b] = rgb(palette[value]);
        let best = names[0];
        let distance = Infinity;
        for (const name of names) {
            const d = (name[1] - r) ** 2 + (name[2] - g) ** 2 + (name[3] - b) ** 2;
            if (d < distance) {
                best = name;
                distance = d;
            }
        }
        return 'colour ' + value + ', ' + best[0];
    }

    function say(text) {
        announce.textContent = text;
    }

    function canEdit() {
        const role = celvane.role();
        return !!(role && role.edit && celvane.picture() && celvane.live());
    }

    // ---- Tools ----

    function swatch(attribute, index, color, label, choose) {
        const button = document.createElement('button');
        button.type = 'button';
        button.className = 'swatch';
        button.dataset[attribute] = String(index);
        button.textContent = String(index);
        button.style.backgroundColor = color;
        button.style.color = luminance(color) > 0.5 ? '#000000' : '#ffffff';
        button.setAttribute('aria-label', label + ' ' + colourName(index));
        button.setAttribute('aria-pressed', 'false');
        button.addEventListener('click', () => choose(index));
        return button;
    }

    function fillSwatches(box, attribute, label, choose) {
        const palette = celvane.picture().format.palette;
        box.replaceChildren(...palette.map((color, index) =>
            swatch(attribute, index, color, label, choose)));
    }

    function press(box, index) {
        for (const button of box.children)
            button.setAttribute('aria-pressed', String(button.textContent === String(index)));
    }

    function showChoices() {
        const picture = celvane.picture();
        if (!picture)
            return;
        press(pens, pen);
        press(borders, picture.border);
        press(backgrounds, picture.background);
    }

    function setPen(index) {
        pen = index;
        showChoices();
        say('Pen: ' + colourName(pen));
    }

    // Both frame colours go with every choice, as Celvane sends them.
    function setFrame(border, background) {
        if (!canEdit())
            return;
        celvane.edit([celvane.command(celvane.Opcode.SetColors, border, background, 0)]);
    }

    celvane.on('picture', (event) => {
        // An Update sets the pen back to 1, as in a Celvane window.
        pen = 1;
        if (event.formatChanged) {
            const picture = celvane.picture();
            fillSwatches(pens, 'color', 'Pen', setPen);
            fillSwatches(borders, 'border', 'Border',
                         (index) => setFrame(index, celvane.picture().background));
            fillSwatches(backgrounds, 'background', 'Background',
                         (index) => setFrame(celvane.picture().border, index));
            // The two-colour formats keep their frame colours.
            const frames = picture.format.palette.length > 2;
            borders.hidden = !frames;
            backgrounds.hidden = !frames;
            cursor = { x: Math.min(cursor.x, picture.format.columns - 1),
                       y: Math.min(cursor.y, picture.format.rows - 1) };
        }
        showChoices();
        updateTools();
        redrawOverlay();
    });

    function updateTools() {
        const role = celvane.role();
        if (role) {
            // Shown from the server's answer on, and kept while reconnecting so that the picture
            // does not jump.
            tools.hidden = !role.edit;
            who.textContent = !role.edit ? '' : role.name ? 'drawing as ' + role.name : 'drawing';
        }
        tools.disabled = !canEdit();
    }

    celvane.on('role', updateTools);
    celvane.on('past', updateTools);

    document.getElementById('clear').addEventListener('click', () => {
        if (canEdit())
            clearDialog.showModal();
    });
    document.getElementById('clear-cancel').addEventListener('click', () => clearDialog.close());
    document.getElementById('clear-confirm').addEventListener('click', () => {
        clearDialog.close();
        if (canEdit())
            celvane.edit([celvane.command(celvane.Opcode.Clear, 0, 0, 0)]);
    });

    // The server maps the image as Celvane's Load Image does and answers with its RowData
    // messages; the page checks that each fits the picture, applies them and sends them on.
    importInput.addEventListener('change', async () => {
        const file = importInput.files[0];
        importInput.value = '';
        if (!file || !canEdit())
            return;
        message.textContent = 'Importing...';
        const number = celvane.picture().number;
        let bytes;
        try {
            const answer = await celvane.fetch('/import?format=' + number,
                                               { method: 'POST', body: file });
            if (!answer.ok) {
                const text = (await answer.text()).trim();
                message.textContent = answer.status === 429 ? 'One import a second; try again'
                    : answer.status === 413 ? 'The image file is too big' : text || 'Import refused';
                return;
            }
            bytes = new Uint8Array(await answer.arrayBuffer());
        } catch (error) {
            message.textContent = 'Import failed';
            return;
        }
        const format = celvane.picture().format;
        const rows = [];
        for (let at = 0; at + 4 <= bytes.length;) {
            const length = bytes[at + 2] | (bytes[at + 3] << 8);
            const row = bytes.subarray(at, at + 4 + length);
            if (row[0] !== celvane.Kind.RowData || row.length !== 4 + length ||
                length !== 4 + format.columns || row[5] !== format.columns ||
                row[4] !== rows.length)
                break;
            rows.push(row);
            at += 4 + length;
        }
        if (rows.length !== format.rows || celvane.picture().number !== number || !canEdit()) {
            message.textContent = 'Import failed';
            return;
        }
        celvane.edit(rows);
        message.textContent = 'Imported ' + file.name;
    });

    // ---- Painting ----

    // canvasgeometry.cpp's dragCells: the cells on the line from one cell to the next, the first
    // left out, those outside the grid skipped.
    function dragCells(from, to) {
        const cells = [];
        const dx = Math.abs(to.x - from.x);
        const dy = -Math.abs(to.y - from.y);
        const stepX = from.x < to.x ? 1 : -1;
        const stepY = from.y < to.y ? 1 : -1;
        let error = dx + dy;
        const at = { x: from.x, y: from.y };
        while (at.x !== to.x || at.y !== to.y) {
            const twice = 2 * error;
            if (twice >= dy) {
                error += dy;
                at.x += stepX;
            }
            if (twice <= dx) {
                error += dx;
                at.y += stepY;
            }
            cells.push({ x: at.x, y: at.y });
        }
        return cells;
    }

    // Sets cells to a value, sending only those that change; within a stroke each cell once.
    function paint(cells, value, visited) {
        if (!canEdit())
            return;
        const picture = celvane.picture();
        const format = picture.format;
        const messages = [];
        for (const cell of cells) {
            if (cell.x < 0 || cell.y < 0 || cell.x >= format.columns || cell.y >= format.rows)
                continue;
            const index = cell.y * format.columns + cell.x;
            if (visited) {
                if (visited.has(index))
                    continue;
                visited.add(index);
            }
            if (picture.cells[index] !== value)
                messages.push(celvane.command(celvane.Opcode.SetCell, cell.x, cell.y, value));
            cursor = { x: cell.x, y: cell.y };
        }
        if (messages.length)
            celvane.edit(messages);
    }

    function strokeValue() {
        return stroke.mode === 'erase' ? celvane.EmptyCell : pen;
    }

    function modeOf(button, buttons) {
        if (button === 0)
            return buttons & 32 ? 'erase' : 'draw';  // a pen's eraser end
        return button === 2 || button === 5 ? 'erase' : null;
    }

    function startStroke(event, mode) {
        const cell = celvane.cellAtPoint(event.offsetX, event.offsetY);
        if (!cell)
            return;
        stroke = { id: event.pointerId, mode: mode, last: cell, visited: new Set(),
                   pending: event.pointerType === 'touch' };
        if (!stroke.pending)
            paint([cell], strokeValue(), stroke.visited);
    }

    function endStroke(paintPending) {
        if (stroke && stroke.pending && paintPending)
            paint([stroke.last], strokeValue(), stroke.visited);
        stroke = null;
        redrawOverlay();
    }

    let longPress = null;
    let pressedCell = null;

    canvas.addEventListener('pointerdown', (event) => {
        if (celvane.areaMode || (stroke && stroke.id !== event.pointerId))
            return;
        canvas.focus({ preventScroll: true });
        const cell = celvane.cellAtPoint(event.offsetX, event.offsetY);
        if (event.pointerType === 'touch' && cell) {
            // A finger held still on one cell asks who drew it, and paints nothing.
            clearTimeout(longPress);
            pressedCell = cell;
            longPress = setTimeout(() => {
                if (stroke && stroke.pending)
                    stroke = null;
                if (cell.inGrid)
                    askCellInfo(cell);
            }, 500);
        }
        const mode = modeOf(event.button, event.buttons);
        if (!mode || !canEdit())
            return;
        canvas.setPointerCapture(event.pointerId);
        startStroke(event, mode);
    });

    canvas.addEventListener('pointermove', (event) => {
        const cell = celvane.cellAtPoint(event.offsetX, event.offsetY);
        if (!stroke) {
            if (event.pointerType === 'mouse' && cell && cell.inGrid)
                askCellInfo(cell);
            else if (cell && pressedCell && (cell.x !== pressedCell.x || cell.y !== pressedCell.y))
                clearTimeout(longPress);  // a finger that moves on is no long press
            return;
        }
        if (stroke.id !== event.pointerId || !cell)
            return;
        if (event.button !== -1) {
            // A second button pressed switches the mode, as in Celvane; any release ends it.
            const mode = modeOf(event.button, event.buttons);
            if (mode && event.buttons & (1 << event.button)) {
                stroke.mode = mode;
                stroke.visited = new Set();
                stroke.last = cell;
                paint([cell], strokeValue(), stroke.visited);
            } else {
                endStroke(false);
            }
            return;
        }
        if (cell.x === stroke.last.x && cell.y === stroke.last.y)
            return;
        if (stroke.pending) {
            clearTimeout(longPress);
            stroke.pending = false;
            paint([stroke.last], strokeValue(), stroke.visited);
        }
        // Moves come every few milliseconds, and a quick one jumps cells: walk the line.
        paint(dragCells(stroke.last, cell), strokeValue(), stroke.visited);
        stroke.last = cell;
    });

    canvas.addEventListener('pointerup', (event) => {
        clearTimeout(longPress);
        if (stroke && stroke.id === event.pointerId)
            endStroke(true);
    });
    canvas.addEventListener('pointercancel', (event) => {
        clearTimeout(longPress);
        if (stroke && stroke.id === event.pointerId)
            endStroke(false);
    });
    canvas.addEventListener('pointerleave', (event) => {
        if (event.pointerType === 'mouse' && !stroke)
            cellInfo.hidden = true;
    });
    canvas.addEventListener('contextmenu', (event) => {
        if (canEdit())
            event.preventDefault();
    });

    // ---- The keyboard ----

    function describeCursor() {
        const picture = celvane.picture();
        const value = picture.cells[cursor.y * picture.format.columns + cursor.x];
        say('Row ' + (cursor.y + 1) + ', column ' + (cursor.x + 1) + ': ' + colourName(value));
    }

    canvas.addEventListener('keydown', (event) => {
        const picture = celvane.picture();
        if (!picture || event.ctrlKey || event.metaKey || event.altKey)
            return;
        const format = picture.format;
        const moves = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1],
                        ArrowDown: [0, 1] };
        if (moves[event.key]) {
            const [dx, dy] = moves[event.key];
            cursor = { x: Math.max(0, Math.min(format.columns - 1, cursor.x + dx)),
                       y: Math.max(0, Math.min(format.rows - 1, cursor.y + dy)) };
            askCellInfo(cursor);
        } else if (event.key === ' ' || event.key === 'Enter') {
            paint([cursor], pen);
        } else if (event.key === 'Delete' || event.key === 'Backspace') {
            paint([cursor], celvane.EmptyCell);
        } else if (event.key === '[' || event.key === ']') {
            const count = format.palette.length;
            setPen((pen + (event.key === ']' ? 1 : count - 1)) % count);
            event.preventDefault();
            return;
        } else {
            return;
        }
        event.preventDefault();
        describeCursor();
        redrawOverlay();
    });
    canvas.addEventListener('focus', () => {
        if (celvane.picture())
            describeCursor();
        redrawOverlay();
    });
    canvas.addEventListener('blur', redrawOverlay);

    // ---- What is drawn over the picture: numbers, the cursor, and other modules' layers ----

    function luminance(hex) {
        const [r, g, b] = rgb(hex);
        return (0.299 * r + 0.587 * g + 0.114 * b) / 255;
    }

    const layers = [];
    let overlayQueued = false;

    function redrawOverlay() {
        if (overlayQueued)
            return;
        overlayQueued = true;
        requestAnimationFrame(paintOverlay);
    }

    function paintOverlay() {
        overlayQueued = false;
        if (overlay.width !== canvas.width || overlay.height !== canvas.height) {
            overlay.width = canvas.width;
            overlay.height = canvas.height;
        }
        overlay.style.width = canvas.style.width;
        overlay.style.height = canvas.style.height;
        overlayContext.clearRect(0, 0, overlay.width, overlay.height);
        const picture = celvane.picture();
        const geometry = celvane.geometry();
        if (!picture || !geometry || !celvane.live())
            return;
        const format = picture.format;
        if (numbersBox.checked) {
            const first = geometry.cells[0];
            overlayContext.font = Math.max(6, Math.floor(Math.min(first.w, first.h) * 0.6)) +
                                  'px sans-serif';
            overlayContext.textAlign = 'center';
            overlayContext.textBaseline = 'middle';
            picture.cells.forEach((value, index) => {
                if (value >= format.palette.length)
                    return;
                const r = geometry.cells[index];
                overlayContext.fillStyle =
                    luminance(format.palette[value]) > 0.5 ? '#000000' : '#ffffff';
                overlayContext.fillText(String(value), r.x + r.w / 2, r.y + r.h / 2);
            });
        }
        for (const layer of layers)
            layer(overlayContext, geometry, picture);
        if (document.activeElement === canvas) {
            const r = geometry.cells[cursor.y * format.columns + cursor.x];
            overlayContext.lineWidth = 3;
            overlayContext.strokeStyle = '#ffffff';
            overlayContext.strokeRect(r.x + 0.5, r.y + 0.5, r.w - 1, r.h - 1);
            overlayContext.lineWidth = 1;
            overlayContext.strokeStyle = '#000000';
            overlayContext.strokeRect(r.x + 0.5, r.y + 0.5, r.w - 1, r.h - 1);
        }
    }

    celvane.overlay = { layers: layers, redraw: redrawOverlay };
    celvane.on('geometry', redrawOverlay);
    celvane.on('past', redrawOverlay);
    celvane.on('change', (change) => {
        if (change.kind === celvane.Kind.Command && change.payload[0] === celvane.Opcode.SetColors)
            showChoices();
        if (numbersBox.checked || layers.length)
            redrawOverlay();
    });

    numbersBox.checked = localStorage.getItem('celvane.cellNumbers') === '1';
    numbersBox.addEventListener('change', () => {
        localStorage.setItem('celvane.cellNumbers', numbersBox.checked ? '1' : '0');
        redrawOverlay();
    });

    // ---- Who drew this cell ----

    let infoWanted = null;
    let infoBusy = false;
    let infoLast = 0;
    let infoAvailable = true;

    function askCellInfo(cell) {
        if (!infoAvailable)
            return;
        infoWanted = { x: cell.x, y: cell.y };
        fetchCellInfo();
    }

    // One request at a time, at most ten a second, always for the cell pointed at last.
    async function fetchCellInfo() {
        const wait = infoLast + 100 - performance.now();
        if (infoBusy || !infoWanted)
            return;
        if (wait > 0) {
            infoBusy = true;
            setTimeout(() => {
                infoBusy = false;
                fetchCellInfo();
            }, wait);
            return;
        }
        const cell = infoWanted;
        infoWanted = null;
        infoBusy = true;
        infoLast = performance.now();
        try {
            const answer = await celvane.fetch('/cell?x=' + cell.x + '&y=' + cell.y);
            if (answer.status === 404) {
                infoAvailable = false;
                cellInfo.hidden = true;
            } else if (answer.ok) {
                showCellInfo(await answer.json());
            }
        } catch (error) {
            // The next point asks again.
        } finally {
            infoBusy = false;
        }
        fetchCellInfo();
    }

    function showCellInfo(info) {
        const where = 'Cell ' + info.x + ', ' + info.y + ': ';
        if (!info.changed) {
            cellInfo.textContent = where + 'not changed in the kept history';
        } else {
            const name = info.name !== null && info.name !== undefined
                ? info.name : 'connection ' + info.connection;
            const when = String(info.time).replace('T', ' ').replace(/(\.\d+)?Z$/, ' UTC');
            cellInfo.textContent = where + name + ', ' + when +
                                   (info.address ? ', from ' + info.address : '');
        }
        cellInfo.hidden = false;
    }

    celvane.paintCells = (cells, value) => paint(cells, value);
    celvane.pen = () => pen;
})();
