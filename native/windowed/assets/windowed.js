// Behaviour of the windowed diff page, the page of `pelorix diff` and show_diff.  The page is a
// list of rows, each a pair: an equal pair, a replaced pair, or a deleted (inserted) line facing a
// filler.  Both panels hold their lines as data (one script element of JSON each; the left one also
// holds the pairs) and sit side by side in ONE vertical scroller, which draws only the rows near
// its view, every row one line high: both panels always show the same rows, however they are
// scrolled.  Each panel scrolls sideways on its own (its scroll bar sits below the scroller, so
// both views keep the same height).  The toolbar steps through changes (runs of adjacent changed
// rows), shows "Diff only" with three rows of context, goes to a line with its counterpart, and
// finds text; the keys n / F7, p / Shift+F7, / and Esc drive it without the mouse.
//
// This file holds the page's state, its rows as data and their drawing; controls.js, the
// toolbar, Find and the keys.  The module writes the two into one closure, this one first, so
// the page adds no global name.

const ROW_PX = 20;
// Rows drawn beyond each edge of the view, so a scroll of a screen or so shows drawn rows
// before the scroll event has been handled.
const OVERSCAN = 12;
// Browsers cap an element's height (Chromium near 33 million pixels).  Rows that need more
// get this height, and scroll positions are scaled onto the rows.
const MAX_EXTENT_PX = 16000000;
// Left of the text: the line-number cell and the content cell's padding.
const GUTTER_PX = 60 + 8;
// Rows of context around each change in "Diff only", and rows above a row a jump brings
// into view (so the reader sees what leads to it).
const CONTEXT = 3;
const LEAD = 3;
// Row kinds, as the pairs' runs give them.
const EQUAL = 0;
const DELETED = 2;
const INSERTED = 3;

let scroller = null;   // the element that scrolls both panels
const panels = [];     // the left panel's state, then the right one's
let rows = null;       // the pairs: kind, left and right line (-1: a filler)
let changes = null;    // runs of adjacent changed rows: starts and ends (exclusive)
let shown = null;      // in "Diff only", the positions: their rows and which are markers
let mode = 'all';
let current = 0;       // the change the counter shows
let highlight = null;  // the highlighted rows {from, to}, on both sides
let found = null;      // the match Find went to {row, side, offset, length}
let search = null;     // the matches of the Find box's text, in the order Find visits them
let first = 0;         // the positions drawn: first, first + 1, ...
let count = 0;
let pin = null;        // a scroll position set by a jump, and the row offset it stands for

// ---- rows as data ----

// A panel's lines from its JSON: one text of all lines joined by line feeds, each line's
// length (in UTF-16 code units, as JavaScript counts), the line styles as runs of
// [style index, line count], and the character marks of replaced lines as
// [line, number of runs, run, ...] with each run 2 * length + (1 for a changed run).  Line k
// carries number k + 1.  When `html` is set, each text is markup made by overridden page
// methods and is drawn as such.
function loadPanel(side, panel, data) {
    const lines = data.lengths.length;
    const starts = new Uint32Array(lines + 1);
    let at = 0;
    let longest = 0;
    for (let k = 0; k < lines; k++) {
        starts[k] = at;
        at += data.lengths[k] + 1;
        if (data.lengths[k] > longest) {
            longest = data.lengths[k];
        }
    }
    starts[lines] = at;
    const styles = data.styles.map(([tail, symbol]) => ({
        className: 'line_container ' + tail,
        symbol: symbol
    }));
    const styleOf = styles.length <= 256 ? new Uint8Array(lines) : new Uint32Array(lines);
    for (let i = 0, k = 0; i < data.runs.length; i += 2) {
        styleOf.fill(data.runs[i], k, k + data.runs[i + 1]);
        k += data.runs[i + 1];
    }
    const marks = new Map();
    for (let i = 0; i < data.marks.length; i += 2 + data.marks[i + 1]) {
        marks.set(data.marks[i], data.marks.slice(i + 2, i + 2 + data.marks[i + 1]));
    }
    const content = panel.querySelector('.panel_content');
    content.textContent = '';
    const layer = content.appendChild(document.createElement('div'));
    layer.className = 'panel_rows';
    return {
        side: side,
        panel: panel,
        content: content,
        layer: layer,
        bar: null,      // the sideways scroll bar and its extent
        barExtent: null,
        lines: lines,
        text: data.text,
        starts: starts,
        html: data.html,
        styles: styles,
        styleOf: styleOf,
        marks: marks,
        longest: longest,
        lineOf: null,   // the line of each row, -1 for a filler
        rowOf: null,    // the row of each line
        width: 0,       // of the rows, in pixels
        drawn: [],
        searchable: null
    };
}

// The pairs, as runs of count * 4 + kind, laid out as rows; and the changes.
function loadRows(pairs) {
    let total = 0;
    for (const run of pairs) {
        total += Math.floor(run / 4);
    }
    const kind = new Uint8Array(total);
    const lineOf = [new Int32Array(total), new Int32Array(total)];
    const rowOf = panels.map(state => new Int32Array(state.lines));
    const next = [0, 0];
    const starts = [];
    const ends = [];
    let row = 0;
    for (const run of pairs) {
        const k = run % 4;
        const end = row + Math.floor(run / 4);
        kind.fill(k, row, end);
        if (k !== EQUAL) {
            if (ends.length && ends[ends.length - 1] === row) {
                ends[ends.length - 1] = end;
            } else {
                starts.push(row);
                ends.push(end);
            }
        }
        for (let side = 0; side < 2; side++) {
            const lines = lineOf[side];
            if (k === (side === 0 ? INSERTED : DELETED)) {
                lines.fill(-1, row, end);
                continue;
            }
            const of = rowOf[side];
            let line = next[side];
            for (let r = row; r < end; r++, line++) {
                lines[r] = line;
                of[line] = r;
            }
            next[side] = line;
        }
        row = end;
    }
    if (next[0] !== panels[0].lines || next[1] !== panels[1].lines) {
        throw new Error('the pairs do not cover the lines');
    }
    panels.forEach((state, side) => {
        state.lineOf = lineOf[side];
        state.rowOf = rowOf[side];
    });
    rows = { count: total, kind: kind };
    changes = { starts: Int32Array.from(starts), ends: Int32Array.from(ends) };
}

function textOf(state, line) {
    return state.text.slice(state.starts[line], state.starts[line + 1] - 1);
}

// The first index of a sorted array whose value is not less than `value`.
function lowerBound(sorted, value) {
    let low = 0;
    let high = sorted.length;
    while (low < high) {
        const mid = (low + high) >>> 1;
        if (sorted[mid] < value) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

// ---- positions: every row in "All"; in "Diff only" the changes with their context and a
// marker row for each hidden run ----

function diffPositions() {
    const at = [];
    const marker = [];
    let next = 0;  // the first row not yet placed
    const place = (from, to) => {
        if (from > next) {
            at.push(next);
            marker.push(1);
        }
        for (let r = Math.max(from, next); r < to; r++) {
            at.push(r);
            marker.push(0);
        }
        next = Math.max(next, to);
    };
    for (let c = 0; c < changes.starts.length; c++) {
        place(Math.max(0, changes.starts[c] - CONTEXT),
              Math.min(rows.count, changes.ends[c] + CONTEXT));
    }
    place(rows.count, rows.count);
    return { rows: Int32Array.from(at), marker: Uint8Array.from(marker) };
}

function positions() {
    return shown ? shown.rows.length : rows.count;
}

function rowAt(position) {
    return shown ? shown.rows[position] : position;
}

// The position of a row, or -1 where it is hidden.
function positionOf(row) {
    if (!shown) {
        return row;
    }
    const at = lowerBound(shown.rows, row);
    return at < shown.rows.length && shown.rows[at] === row && !shown.marker[at] ? at : -1;
}

// The lines a marker stands for.
function hiddenAt(position) {
    const end = position + 1 < shown.rows.length ? shown.rows[position + 1] : rows.count;
    return end - shown.rows[position];
}

// ---- drawing ----

const template = document.createElement('template');
template.innerHTML = '<div><div class="line_number"><span class="line_num_text"></span>' +
    '<span class="diff_symbol"></span></div><div class="line_content"></div></div>';

function lit(row) {
    return highlight !== null && row >= highlight.from && row < highlight.to;
}

function makeRow(state, position) {
    if (shown && shown.marker[position]) {
        const marker = document.createElement('div');
        const hidden = hiddenAt(position);
        marker.className = 'diff_skipped';
        marker.textContent = '\u22ef ' + hidden.toLocaleString('en-US') + ' unchanged ' +
            (hidden === 1 ? 'line' : 'lines');
        return marker;
    }
    const row = rowAt(position);
    const line = state.lineOf[row];
    if (line < 0) {
        const filler = document.createElement('div');
        filler.className = lit(row) ? 'diff_filler highlight' : 'diff_filler';
        return filler;
    }
    const element = template.content.firstChild.cloneNode(true);
    const style = state.styles[state.styleOf[line]];
    element.className = style.className;
    if (lit(row)) {
        element.classList.add('highlight');
    }
    const numberCell = element.firstChild;
    numberCell.firstChild.textContent = line + 1;
    numberCell.lastChild.textContent = style.symbol;
    const cell = element.lastChild;
    const text = textOf(state, line);
    if (/[^ -~]/.test(text)) {
        element.dataset.wide = '1';
    }
    const runs = state.marks.get(line);
    if (text === '') {
        cell.textContent = ' ';
    } else if (state.html) {
        cell.innerHTML = text;
    } else if (runs) {
        const changedClass = state.side === 0 ? 'char-del' : 'char-add';
        let at = 0;
        for (const run of runs) {
            const span = cell.appendChild(document.createElement('span'));
            span.className = run & 1 ? changedClass : 'char-equal';
            span.textContent = text.slice(at, at + (run >>> 1));
            at += run >>> 1;
        }
    } else {
        cell.textContent = text;
    }
    return element;
}

// Scroll positions and row offsets (the offset of a row's top among all shown rows) are the
// same until the rows need more height than an element may have; beyond that the scroll
// range is mapped linearly onto the rows.
function scale(view) {
    const rowsPx = positions() * ROW_PX;
    if (rowsPx <= MAX_EXTENT_PX || rowsPx <= view) {
        return 1;
    }
    return (rowsPx - view) / (MAX_EXTENT_PX - view);
}

function setExtent() {
    const height = Math.min(positions() * ROW_PX, MAX_EXTENT_PX) + 'px';
    panels.forEach(state => {
        state.content.style.height = height;
    });
    scroller.querySelector('.diff_divider').style.height = height;
}

// Draws the rows near the view in both panels, keeping those already drawn.
function draw() {
    const top = scroller.scrollTop;
    const view = scroller.clientHeight;
    const offset = rowsOffset();
    const total = positions();
    const from = Math.max(0, Math.floor(offset / ROW_PX) - OVERSCAN);
    const to = Math.min(total, Math.ceil((offset + view) / ROW_PX) + OVERSCAN);
    const keepFrom = Math.max(from, first);
    const keepTo = Math.min(to, first + count);
    const kept = keepFrom < keepTo;
    let wide = false;
    for (const state of panels) {
        if (!kept) {
            state.drawn = [];
            state.layer.textContent = '';
        } else {
            state.drawn.slice(0, keepFrom - first).forEach(e => e.remove());
            state.drawn.slice(keepTo - first).forEach(e => e.remove());
            state.drawn = state.drawn.slice(keepFrom - first, keepTo - first);
        }
        const before = [];
        const after = [];
        for (let p = from; p < (kept ? keepFrom : to); p++) {
            before.push(makeRow(state, p));
        }
        for (let p = kept ? keepTo : to; p < to; p++) {
            after.push(makeRow(state, p));
        }
        state.layer.prepend(...before);
        state.layer.append(...after);
        state.drawn = before.concat(state.drawn, after);
        state.layer.style.top = (top - offset + from * ROW_PX) + 'px';
        wide = wide || before.concat(after).some(e => e.dataset.wide);
    }
    first = from;
    count = to - from;
    if (wide) {
        requestAnimationFrame(fitWidths);
    }
    showFound();
}

// The offset of the view's top among all shown rows: the one a jump set while the scroller is
// still where the jump put it, else the scroll position scaled onto the rows.
function rowsOffset() {
    const top = scroller.scrollTop;
    if (pin && Math.abs(pin.top - top) < 1) {
        return pin.offset;
    }
    pin = null;
    return top * scale(scroller.clientHeight);
}

// Redraws every row (after the positions or the highlight changed).
function redraw() {
    count = 0;
    draw();
}

// A panel scrolls sideways as far as its longest line reaches: known from the longest text
// in a monospace font, and widened once a drawn row with other than printable ASCII
// characters (wide characters, tabs) turns out longer.  The width stays when the long row
// leaves the drawn range, so the sideways position does too.
function fitWidths() {
    panels.forEach(state => setWidth(state, Math.max(state.width, state.layer.scrollWidth)));
}

function setWidth(state, width) {
    if (width <= state.width) {
        return;
    }
    state.width = width;
    state.layer.style.width = width + 'px';
    state.barExtent.style.width = width + 'px';
}

// The width of a character of the rows' font, measured once.
function charWidth() {
    const probe = document.createElement('div');
    probe.className = 'line_content';
    probe.style.cssText = 'position: absolute; visibility: hidden; white-space: pre';
    probe.textContent = 'x'.repeat(100);
    panels[0].layer.appendChild(probe);
    const width = probe.scrollWidth / 100 || 8;
    probe.remove();
    return width;
}

// Scrolls so that the row at `position` is `lead` rows below the top of the view (as far as
// the rows reach) and draws at once.
function scrollToPosition(position, lead) {
    const view = scroller.clientHeight;
    const maxOffset = Math.max(0, positions() * ROW_PX - view);
    const offset = Math.max(0, Math.min((position - lead) * ROW_PX, maxOffset));
    scroller.scrollTo({ top: offset / scale(view), behavior: 'instant' });
    pin = { top: scroller.scrollTop, offset: offset };
    draw();
}

// The row at the top of the view (for a marker, the first row it hides).
function topRow() {
    const position = Math.min(positions() - 1, Math.floor(rowsOffset() / ROW_PX + 0.5));
    return position < 0 ? 0 : rowAt(position);
}

// The row that jumps and modes go on from: the highlighted one, else the top one.
function currentRow() {
    return highlight ? highlight.from : topRow();
}

function setHighlight(from, to) {
    highlight = { from: from, to: to };
    found = null;
    redraw();
}
