// The moderator's panel, shown when the server says the key is a moderator's: the authors of the
// last hour, a revert previewed over the picture before it is applied, a ban (with a revert),
// and locking an area dragged out on the picture. It speaks the JSON API of docs/web.md with the
// key as a Bearer header.
'use strict';

(function () {
    const celvane = window.celvane;
    const canvas = celvane.canvas;
    const panel = document.getElementById('moderation');
    const messageText = document.getElementById('moderation-message');
    const authorsBody = document.querySelector('#authors tbody');
    const revertBox = document.getElementById('revert-box');
    const revertSummary = document.getElementById('revert-summary');
    const banBox = document.getElementById('ban-box');
    const banTarget = document.getElementById('ban-target');
    const lockButton = document.getElementById('lock-mode');
    const locksList = document.getElementById('locks');

    let preview = null;     // { selector, cells } of the revert shown over the picture
    let banSelector = null;
    let area = null;        // the rectangle being dragged out: { from, to } in cells
    let locks = [];
    let authorsSince = null; // the server's own moment for "an hour ago"

    function say(text) {
        messageText.textContent = text;
    }

    // One call of the API: the answer's JSON, or null after saying what went wrong.
    async function call(method, path, body) {
        const options = { method: method };
        if (body !== undefined) {
            options.body = JSON.stringify(body);
            options.headers = { 'Content-Type': 'application/json' };
        }
        try {
            const answer = await celvane.fetch(path, options);
            const json = await answer.json().catch(() => ({}));
            if (!answer.ok) {
                say((json && json.error) || 'The server answered ' + answer.status);
                return null;
            }
            return json;
        } catch (error) {
            say('The server could not be reached');
            return null;
        }
    }

    function time(iso) {
        return typeof iso === 'string' ? iso.replace(/^.*T/, '').replace(/\.\d+Z$/, ' UTC') : '';
    }

    function button(text, className, selector, action) {
        const element = document.createElement('button');
        element.type = 'button';
        element.className = className;
        element.textContent = text;
        for (const name of Object.keys(selector))
            element.dataset[name] = String(selector[name]);
        element.addEventListener('click', () => action(selector));
        return element;
    }

    function cell(text) {
        const element = document.createElement('td');
        element.textContent = text;
        return element;
    }

    async function loadAuthors() {
        const answer = await call('GET', '/api/authors?since=1h');
        if (!answer)
            return;
        authorsSince = typeof answer.since === 'string' ? answer.since : null;
        const rows = (answer.authors || []).map((author) => {
            const named = typeof author.name === 'string';
            const label = named ? author.name : 'connection ' + author.connection;
            const addresses = Array.isArray(author.addresses) ? author.addresses : [];
            const selector = named ? { author: author.name } : { connection: author.connection };
            const row = document.createElement('tr');
            row.append(cell(label), cell(String(author.edits)), cell(time(author.last)),
                       cell(addresses.join(' ')));
            const actions = document.createElement('td');
            actions.append(button('Preview revert', 'revert', selector, previewRevert));
            // Bans name an author or an address.
            const banBy = named ? selector : addresses.length ? { address: addresses[0] } : null;
            if (banBy)
                actions.append(button('Ban...', 'ban', banBy, askBan));
            row.append(actions);
            return row;
        });
        authorsBody.replaceChildren(...rows);
        if (!rows.length)
            say('Nobody drew in the last hour');
    }

    // ---- Revert ----

    // The hour the authors list covers, but no earlier than the history keeps: the server
    // refuses a revert that reaches back beyond it. Both moments are the server's.
    async function revertSince() {
        let since = authorsSince;
        try {
            const kept = await (await celvane.fetch('/history')).json();
            if (kept.first && (!since || Date.parse(kept.first) > Date.parse(since)))
                since = kept.first;
        } catch (error) {
            // The hour alone, then.
        }
        return since || '1h';
    }

    async function previewRevert(selector) {
        const order = Object.assign({ since: await revertSince() }, selector);
        const answer = await call('POST', '/api/revert', Object.assign({ preview: true }, order));
        if (!answer)
            return;
        preview = { order: order, selector: selector,
                    cells: Array.isArray(answer.cells) ? answer.cells : [] };
        revertSummary.textContent = 'Reverting ' + describe(selector) + ' changes ' +
                                    answer.count + (answer.count === 1 ? ' cell' : ' cells') +
                                    ', shown on the picture.';
        revertBox.hidden = false;
        celvane.overlay.redraw();
    }

    function describe(selector) {
        return selector.author !== undefined ? selector.author
             : selector.connection !== undefined ? 'connection ' + selector.connection
             : selector.address;
    }

    function endPreview() {
        preview = null;
        revertBox.hidden = true;
        celvane.overlay.redraw();
    }

    document.getElementById('revert-cancel').addEventListener('click', endPreview);
    document.getElementById('revert-apply').addEventListener('click', async () => {
        if (!preview)
            return;
        const selector = preview.selector;
        const order = preview.order;
        endPreview();
        const answer = await call('POST', '/api/revert', order);
        if (answer) {
            say('Reverted ' + answer.count + ' for ' + describe(selector));
            loadAuthors();
        }
    });

    // ---- Ban ----

    function askBan(selector) {
        banSelector = selector;
        banTarget.textContent = describe(selector);
        banBox.hidden = false;
        document.getElementById('ban-reason').focus();
    }

    document.getElementById('ban-cancel').addEventListener('click', () => {
        banBox.hidden = true;
        banSelector = null;
    });
    document.getElementById('ban-confirm').addEventListener('click', async () => {
        if (!banSelector)
            return;
        const body = Object.assign({ revert: document.getElementById('ban-revert').checked },
                                   banSelector);
        const span = document.getElementById('ban-for').value.trim();
        const reason = document.getElementById('ban-reason').value.trim();
        if (span)
            body.for = span;
        if (reason)
            body.reason = reason;
        banBox.hidden = true;
        banSelector = null;
        const answer = await call('POST', '/api/ban', body);
        if (answer) {
            say('Banned ' + describe(body) + ': ' + answer.closed + ' closed, ' + answer.reverted +
                ' reverted');
            loadAuthors();
        }
    });

    // ---- Locks: a rectangle dragged out on the picture ----

    function rectangle(from, to, format) {
        const clamp = (v, most) => Math.max(0, Math.min(most - 1, v));
        const x0 = clamp(Math.min(from.x, to.x), format.columns);
        const x1 = clamp(Math.max(from.x, to.x), format.columns);
        const y0 = clamp(Math.min(from.y, to.y), format.rows);
        const y1 = clamp(Math.max(from.y, to.y), format.rows);
        return [x0, y0, x1 - x0 + 1, y1 - y0 + 1];
    }

    function setAreaMode(on) {
        celvane.areaMode = on;
        lockButton.setAttribute('aria-pressed', String(on));
        canvas.classList.toggle('picking', on);
        if (on)
            say('Drag a rectangle on the picture to lock it');
    }

    lockButton.addEventListener('click', () => setAreaMode(!celvane.areaMode));

    canvas.addEventListener('pointerdown', (event) => {
        const spot = celvane.areaMode && celvane.cellAtPoint(event.offsetX, event.offsetY);
        if (!spot || !spot.inGrid)
            return;
        canvas.setPointerCapture(event.pointerId);
        area = { from: spot, to: spot, id: event.pointerId };
        celvane.overlay.redraw();
    });
    canvas.addEventListener('pointermove', (event) => {
        const spot = area && area.id === event.pointerId &&
                     celvane.cellAtPoint(event.offsetX, event.offsetY);
        if (spot) {
            area.to = spot;
            celvane.overlay.redraw();
        }
    });
    canvas.addEventListener('pointerup', async (event) => {
        if (!area || area.id !== event.pointerId)
            return;
        const rect = rectangle(area.from, area.to, celvane.picture().format);
        area = null;
        setAreaMode(false);
        const answer = await call('POST', '/api/lock', { area: rect });
        if (answer) {
            say('Locked ' + rect[2] + ' x ' + rect[3] + ' cells at ' + rect[0] + ', ' + rect[1]);
            loadLocks();
        }
        celvane.overlay.redraw();
    });

    async function loadLocks() {
        const answer = await call('GET', '/api/moderation');
        if (!answer)
            return;
        locks = (answer.locks || []).map((lock) => lock.area || lock).filter(
            (rect) => Array.isArray(rect) && rect.length === 4);
        locksList.replaceChildren(...locks.map((rect) => {
            const item = document.createElement('li');
            item.textContent = 'Locked: ' + rect[2] + ' x ' + rect[3] + ' at ' + rect[0] + ', ' +
                               rect[1] + ' ';
            item.append(button('Unlock', 'unlock', { area: rect.join(',') }, async () => {
                if (await call('POST', '/api/unlock', { area: rect }))
                    loadLocks();
            }));
            return item;
        }));
        celvane.overlay.redraw();
    }

    // Over the picture: the revert's cells as they would be, the locked areas, the rectangle
    // being dragged.
    function outline(context, geometry, format, rect, color) {
        const first = geometry.cells[rect[1] * format.columns + rect[0]];
        const last = geometry.cells[(rect[1] + rect[3] - 1) * format.columns + rect[0] + rect[2] - 1];
        if (!first || !last)
            return;
        context.lineWidth = 2;
        context.strokeStyle = color;
        context.strokeRect(first.x + 1, first.y + 1, last.x + last.w - first.x - 2,
                           last.y + last.h - first.y - 2);
    }

    celvane.overlay.layers.push((context, geometry, picture) => {
        const format = picture.format;
        if (preview) {
            for (const [x, y, value] of preview.cells) {
                const r = x < format.columns && y < format.rows && geometry.cells[y * format.columns + x];
                if (!r)
                    continue;
                context.fillStyle = value < format.palette.length ? format.palette[value]
                                                                  : celvane.frameColor(picture.background);
                context.fillRect(r.x, r.y, r.w, r.h);
                context.lineWidth = 1;
                context.strokeStyle = '#ff00ff';
                context.strokeRect(r.x + 0.5, r.y + 0.5, r.w - 1, r.h - 1);
            }
        }
        for (const rect of locks)
            outline(context, geometry, format, rect, '#ff8000');
        if (area)
            outline(context, geometry, format, rectangle(area.from, area.to, format), '#ff00ff');
    });

    document.getElementById('authors-refresh').addEventListener('click', loadAuthors);

    celvane.on('role', (role) => {
        if (!role)
            return;
        const shown = role.moderator;
        if (shown && panel.hidden) {
            loadAuthors();
            loadLocks();
        }
        panel.hidden = !shown;
        if (!shown) {
            setAreaMode(false);
            endPreview();
        }
    });
})();
