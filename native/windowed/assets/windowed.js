// Behaviour of the windowed diff page, the form for large inputs.  Each panel holds its rows as
// data (one script element of JSON) and draws only the rows near its view, every row one line
// high, drawing more as the reader scrolls; the document stays small however long the texts are.
// The toolbar works as on the full page: "All" / "Diff only", stepping through the changed lines
// with the counter, the go-to-line box; and a Find box, since the browser's own find sees only
// the rows that are drawn.
//
// The handlers call seven functions, which are globals; everything else stays in this closure.
(() => {
    const ROW_PX = 20;
    // Rows drawn beyond each edge of the view, so a scroll of a screen or so shows drawn rows
    // before the scroll event has been handled.
    const OVERSCAN = 12;
    // Browsers cap an element's height (Chromium near 33 million pixels).  A panel whose rows
    // need more is given this height, and scroll positions are scaled onto the rows.
    const MAX_EXTENT_PX = 16000000;
    // Left of the text: the line-number cell and the content cell's padding.
    const GUTTER_PX = 60 + 8;

    const panels = [];  // the left panel's state, then the right one's
    let mode = 'all';
    let stops = { lineNums: new Int32Array(0), sides: new Uint8Array(0) };
    let currentDiffIndex = -1;
    // Highlighted rows as [side, row index] pairs (row index = line number - 1).
    let highlighted = [];
    // The last row Find went to and where the text was found in it.
    let found = null;

    // ---- rows as data ----

    // A panel's rows from its JSON: one text of all rows joined by line feeds, the length of each
    // row's text (in UTF-16 code units, as JavaScript counts), the row styles as runs of
    // [style index, row count], and the character marks of replaced rows as
    // [row, number of runs, run, ...] with each run 2 * length + (1 for a changed run).  Row k
    // carries line number k + 1.  When `html` is set, each row's text is markup made by
    // overridden page methods and is drawn as such.
    function loadPanel(side, panel) {
        const content = panel.querySelector('.panel_content');
        const source = content.querySelector('script');
        const data = JSON.parse(source.textContent);
        source.remove();
        const count = data.lengths.length;
        const starts = new Uint32Array(count + 1);
        let at = 0;
        for (let k = 0; k < count; k++) {
            starts[k] = at;
            at += data.lengths[k] + 1;
        }
        starts[count] = at;
        const styles = data.styles.map(([tail, symbol]) => {
            const classes = tail.split(/[\t\n\f\r ]+/);
            const changedClasses = side === 0
                ? ['diff_del_left', 'diff_replace_left'] : ['diff_add_right', 'diff_replace_right'];
            return {
                className: 'line_container ' + tail,
                symbol: symbol,
                equal: classes.includes('equal_line'),
                changed: changedClasses.some(name => classes.includes(name))
            };
        });
        const styleOf = styles.length <= 256 ? new Uint8Array(count) : new Uint32Array(count);
        const changed = [];
        let k = 0;
        for (let i = 0; i < data.runs.length; i += 2) {
            const style = data.runs[i];
            const end = k + data.runs[i + 1];
            styleOf.fill(style, k, end);
            if (styles[style].changed) {
                for (let r = k; r < end; r++) {
                    changed.push(r);
                }
            }
            k = end;
        }
        const marks = new Map();
        for (let i = 0; i < data.marks.length; i += 2 + data.marks[i + 1]) {
            marks.set(data.marks[i], data.marks.slice(i + 2, i + 2 + data.marks[i + 1]));
        }
        let longest = 0;
        for (let r = 0; r < count; r++) {
            longest = Math.max(longest, data.lengths[r]);
        }
        content.textContent = '';
        const extent = content.appendChild(document.createElement('div'));
        extent.className = 'panel_extent';
        const layer = content.appendChild(document.createElement('div'));
        layer.className = 'panel_rows';
        const state = {
            side: side,
            content: content,
            extent: extent,
            layer: layer,
            count: count,
            text: data.text,
            starts: starts,
            html: data.html,
            styles: styles,
            styleOf: styleOf,
            runs: data.runs,
            changed: Int32Array.from(changed),
            marks: marks,
            longest: longest,
            width: 0,       // of the scrolled area, in pixels
            visible: null,  // in "Diff only" mode, the rows shown, in order
            diffRows: null,
            first: 0,       // the drawn rows: positions first, first + 1, ... in the layer
            drawn: [],
            pin: null,      // a scroll position set by a jump, and the row offset it stands for
            searchable: null
        };
        content.addEventListener('scroll', () => draw(state), { passive: true });
        return state;
    }

    function textOf(state, row) {
        return state.text.slice(state.starts[row], state.starts[row + 1] - 1);
    }

    // The rows that "Diff only" shows: those whose style is not an unchanged line's, found run
    // by run of the styles.
    function shownInDiffMode(state) {
        if (!state.diffRows) {
            const rows = [];
            for (let i = 0, row = 0; i < state.runs.length; row += state.runs[i + 1], i += 2) {
                if (!state.styles[state.runs[i]].equal) {
                    for (let r = row; r < row + state.runs[i + 1]; r++) {
                        rows.push(r);
                    }
                }
            }
            state.diffRows = Int32Array.from(rows);
        }
        return state.diffRows;
    }

    // The row drawn at position `at` of the panel (in "Diff only" mode only the changed rows
    // have positions).
    function rowAt(state, at) {
        return state.visible ? state.visible[at] : at;
    }

    function positions(state) {
        return state.visible ? state.visible.length : state.count;
    }

    // The position of a row, or -1 when it is hidden.
    function positionOf(state, row) {
        if (!state.visible) {
            return row < state.count ? row : -1;
        }
        const at = lowerBound(state.visible, row);
        return at < state.visible.length && state.visible[at] === row ? at : -1;
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

    // ---- drawing ----

    const template = document.createElement('template');
    template.innerHTML = '<div><div class="line_number"><span class="line_num_text"></span>' +
        '<span class="diff_symbol"></span></div><div class="line_content"></div></div>';

    function isHighlighted(side, row) {
        return highlighted.some(([s, r]) => s === side && r === row);
    }

    function makeRow(state, row) {
        const element = template.content.firstChild.cloneNode(true);
        const style = state.styles[state.styleOf[row]];
        element.className = style.className;
        if (isHighlighted(state.side, row)) {
            element.classList.add('highlight');
        }
        const numberCell = element.firstChild;
        numberCell.firstChild.textContent = row + 1;
        numberCell.lastChild.textContent = style.symbol;
        const cell = element.lastChild;
        const text = textOf(state, row);
        if (/[^ -~]/.test(text)) {
            element.dataset.wide = '1';
        }
        const runs = state.marks.get(row);
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
    // same until the panel's rows need more height than an element may have; beyond that the
    // scroll range is mapped linearly onto the rows.
    function scale(state, view) {
        const rowsPx = positions(state) * ROW_PX;
        if (rowsPx <= MAX_EXTENT_PX || rowsPx <= view) {
            return 1;
        }
        return (rowsPx - view) / (MAX_EXTENT_PX - view);
    }

    // The height of the scrolling area: all shown rows, or the most an element may have.
    function setExtent(state) {
        state.extent.style.height = Math.min(positions(state) * ROW_PX, MAX_EXTENT_PX) + 'px';
    }

    // Where a panel is scrolled, read before anything is drawn, so that drawing both panels
    // makes the browser lay the page out once.
    function geometry(state) {
        return { top: state.content.scrollTop, view: state.content.clientHeight };
    }

    // Draws the rows near the view and keeps those already drawn.
    function draw(state, at = geometry(state)) {
        const total = positions(state);
        let offset = at.top * scale(state, at.view);
        if (state.pin && Math.abs(state.pin.top - at.top) < 1) {
            offset = state.pin.offset;
        } else {
            state.pin = null;
        }
        const first = Math.max(0, Math.floor(offset / ROW_PX) - OVERSCAN);
        const end = Math.min(total, Math.ceil((offset + at.view) / ROW_PX) + OVERSCAN);
        const layer = state.layer;
        const keepFrom = Math.max(first, state.first);
        const keepTo = Math.min(end, state.first + state.drawn.length);
        if (keepFrom >= keepTo) {
            state.drawn = [];
            layer.textContent = '';
        } else {
            const drop = keepFrom - state.first;
            for (let i = 0; i < drop; i++) {
                state.drawn[i].remove();
            }
            for (let i = keepTo - state.first; i < state.drawn.length; i++) {
                state.drawn[i].remove();
            }
            state.drawn = state.drawn.slice(drop, keepTo - state.first);
        }
        const kept = state.drawn.length;
        const before = [];
        const after = [];
        for (let i = first; i < (kept ? keepFrom : end); i++) {
            before.push(makeRow(state, rowAt(state, i)));
        }
        for (let i = kept ? keepTo : end; i < end; i++) {
            after.push(makeRow(state, rowAt(state, i)));
        }
        layer.prepend(...before);
        layer.append(...after);
        state.drawn = before.concat(state.drawn, after);
        state.first = first;
        layer.style.top = (at.top - offset + first * ROW_PX) + 'px';
        if (before.concat(after).some(row => row.dataset.wide)) {
            requestAnimationFrame(() => fitWidth(state));
        }
        showFound();
    }

    function drawAll() {
        const at = panels.map(geometry);
        panels.forEach((state, side) => draw(state, at[side]));
    }

    // The panel scrolls sideways as far as its longest line reaches: known from the longest text
    // in a monospace font, and widened once a row with other than printable ASCII characters
    // (wide characters, tabs) turns out longer.
    function fitWidth(state) {
        const width = Math.max(state.width, state.layer.scrollWidth);
        if (width > state.width) {
            setWidth(state, width);
        }
    }

    function setWidth(state, width) {
        state.width = width;
        state.extent.style.width = width + 'px';
        state.layer.style.width = width + 'px';
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

    // Scrolls the panels so that each row's top edge is at the top of its panel's scrolling area
    // (as far as the area scrolls), or to the top where the row is hidden, and draws them at
    // once.  `targets` holds [panel state, row] pairs.
    function scrollToRows(targets) {
        targets.forEach(([state, row]) => {
            const at = positionOf(state, row);
            const content = state.content;
            const view = content.clientHeight;
            const maxOffset = Math.max(0, positions(state) * ROW_PX - view);
            const offset = Math.min(at < 0 ? 0 : at * ROW_PX, maxOffset);
            content.scrollTo({ top: offset / scale(state, view), behavior: 'instant' });
            state.pin = { top: content.scrollTop, offset: offset };
        });
        drawAll();
    }

    function redrawHighlights() {
        panels.forEach(state => {
            state.drawn.forEach((element, i) => {
                const on = isHighlighted(state.side, rowAt(state, state.first + i));
                if (element.classList.contains('highlight') !== on) {
                    element.classList.toggle('highlight', on);
                }
            });
        });
    }

    function setHighlight(rows) {
        highlighted = rows;
        found = null;
        redrawHighlights();
    }

    // ---- changed lines ----

    // The stops of the counter: every line number that a shown changed row carries, once, by the
    // left row when both sides have one, in ascending order.
    function collectStops() {
        const shown = state => Array.from(state.changed).filter(row =>
            mode === 'all' || !state.styles[state.styleOf[row]].equal);
        const left = shown(panels[0]);
        const right = shown(panels[1]);
        const lineNums = [];
        const sides = [];
        let i = 0;
        let j = 0;
        while (i < left.length || j < right.length) {
            if (j >= right.length || (i < left.length && left[i] <= right[j])) {
                if (j < right.length && left[i] === right[j]) {
                    j++;
                }
                lineNums.push(left[i++] + 1);
                sides.push(0);
            } else {
                lineNums.push(right[j++] + 1);
                sides.push(1);
            }
        }
        stops = { lineNums: Int32Array.from(lineNums), sides: Uint8Array.from(sides) };
    }

    // The highlighted row first in the page's order (the left panel's before the right one's).
    function currentRow() {
        if (highlighted.length === 0) {
            return null;
        }
        return highlighted.reduce((a, b) =>
            (b[0] < a[0] || (b[0] === a[0] && b[1] < a[1]) ? b : a));
    }

    function currentLineNumber() {
        const row = currentRow();
        return row ? row[1] + 1 : null;
    }

    // The stop nearest to lineNum; the earlier one on a tie, the first one for NaN.
    function nearestStop(lineNum) {
        const nums = stops.lineNums;
        if (nums.length === 0) {
            return -1;
        }
        if (Number.isNaN(lineNum)) {
            return 0;
        }
        const at = lowerBound(nums, lineNum);
        if (at === nums.length) {
            return at - 1;
        }
        if (at > 0 && lineNum - nums[at - 1] <= nums[at] - lineNum) {
            return at - 1;
        }
        return at;
    }

    function updateCounter() {
        const counter = document.getElementById('diff-counter');
        if (!counter) {
            return;
        }
        const count = stops.lineNums.length;
        counter.textContent = count === 0 ? '0/0' : (currentDiffIndex + 1) + '/' + count;
    }

    function updateStops() {
        collectStops();
        const count = stops.lineNums.length;
        const lineNum = currentLineNumber();
        if (count === 0) {
            currentDiffIndex = -1;
        } else if (lineNum === null) {
            currentDiffIndex = 0;
        } else {
            const exact = lowerBound(stops.lineNums, lineNum);
            if (exact < count && stops.lineNums[exact] === lineNum) {
                currentDiffIndex = exact;
            } else {
                // The highlighted line is not a stop in this mode: move to the nearest one.
                currentDiffIndex = nearestStop(lineNum);
                showStop(currentDiffIndex);
            }
        }
        updateCounter();
    }

    // Highlights the stop's row and its namesake in the other panel, and scrolls the stop's own
    // panel to it.
    function showStop(index) {
        if (index < 0 || index >= stops.lineNums.length) {
            return;
        }
        const lineNum = stops.lineNums[index];
        const side = stops.sides[index];
        const rows = [[side, lineNum - 1]];
        if (lineNum <= panels[1 - side].count) {
            rows.push([1 - side, lineNum - 1]);
        }
        setHighlight(rows);
        scrollToRows([[panels[side], lineNum - 1]]);
        updateCounter();
        const input = document.getElementById('goto-input');
        if (input) {
            input.value = lineNum;
        }
    }

    // ---- the toolbar's functions ----

    window.setViewMode = function setViewMode(newMode) {
        document.querySelectorAll('.mode-btn').forEach(btn => btn.classList.remove('active'));
        const button = document.getElementById('mode-' + newMode);
        if (button) {
            button.classList.add('active');
        }
        mode = newMode === 'all' ? 'all' : 'diff';
        panels.forEach(state => {
            state.visible = mode === 'all' ? null : shownInDiffMode(state);
            // Positions now stand for other rows: none of the drawn ones is kept.  The scroll
            // position stays as it is, as far as the new height allows.
            state.drawn = [];
            state.layer.textContent = '';
            state.pin = null;
            setExtent(state);
        });
        drawAll();
        updateStops();
    };

    window.gotoPrevDiff = function gotoPrevDiff() {
        const nums = stops.lineNums;
        if (nums.length === 0) {
            return;
        }
        const current = currentLineNumber();
        let target = nums.length - 1;
        if (current !== null) {
            const below = lowerBound(nums, current) - 1;
            target = below >= 0 ? below : nums.length - 1;
        }
        currentDiffIndex = target;
        showStop(target);
    };

    window.gotoNextDiff = function gotoNextDiff() {
        const nums = stops.lineNums;
        if (nums.length === 0) {
            return;
        }
        const current = currentLineNumber();
        let target = 0;
        if (current !== null) {
            const above = lowerBound(nums, current + 1);
            target = above < nums.length ? above : 0;
        }
        currentDiffIndex = target;
        showStop(target);
    };

    window.gotoLine = function gotoLine() {
        const input = document.getElementById('goto-input');
        const lineNum = parseInt(input.value);
        if (isNaN(lineNum) || lineNum < 1) {
            alert('Please enter a valid line number (positive integer)');
            return;
        }
        const sides = panels.filter(state => lineNum <= state.count);
        setHighlight(sides.map(state => [state.side, lineNum - 1]));
        scrollToRows(sides.map(state => [state, lineNum - 1]));
        if (sides.length === 0) {
            alert('Line ' + lineNum + ' not found');
            return;
        }
        input.blur();
        if (stops.lineNums.length > 0) {
            currentDiffIndex = nearestStop(lineNum);
            updateCounter();
        }
    };

    window.gotoLineEnter = function gotoLineEnter(event) {
        if (event.key === 'Enter') {
            gotoLine();
        }
    };

    // ---- Find ----

    // The texts Find searches, laid out as the panel's rows: for markup rows, the text the
    // markup shows, worked out once.
    function searchable(state) {
        if (!state.searchable) {
            if (!state.html) {
                state.searchable = { text: state.text, starts: state.starts };
            } else {
                const scratch = document.createElement('div');
                const texts = [];
                for (let row = 0; row < state.count; row++) {
                    scratch.innerHTML = textOf(state, row);
                    texts.push(scratch.textContent);
                }
                const starts = new Uint32Array(state.count + 1);
                let at = 0;
                texts.forEach((text, row) => {
                    starts[row] = at;
                    at += text.length + 1;
                });
                starts[state.count] = at;
                state.searchable = { text: texts.join('\n'), starts: starts };
            }
        }
        return state.searchable;
    }

    // The first shown row from `row` on whose text matches, as [row, offset in its text,
    // length], or null.  Rows are joined by line feeds, which the box cannot hold, so no match
    // spans two rows.
    function findFrom(state, row, pattern) {
        const { text, starts } = searchable(state);
        while (row < state.count) {
            pattern.lastIndex = starts[row];
            const match = pattern.exec(text);
            if (!match) {
                return null;
            }
            const hit = lowerBound(starts, match.index + 1) - 1;
            if (positionOf(state, hit) >= 0) {
                return [hit, match.index - starts[hit], match[0].length];
            }
            // hidden in this mode: go on from the next shown row
            if (!state.visible) {
                return null;
            }
            const next = lowerBound(state.visible, hit + 1);
            if (next >= state.visible.length) {
                return null;
            }
            row = state.visible[next];
        }
        return null;
    }

    // Goes to the next row, in the order of line numbers and the left row first, whose text
    // holds the text of the Find box (ignoring case), and wraps around at the end.
    window.findNext = function findNext() {
        const input = document.getElementById('find-input');
        const query = input.value;
        if (query === '') {
            return;
        }
        const pattern = new RegExp(query.replace(/[.*+?^${}()|[\]\\]/g, '\\$&'), 'gi');
        let from = found ? [found.side, found.row] : currentRow();
        let hit = null;
        for (let attempt = 0; attempt < 2 && !hit; attempt++) {
            // after [side, row]: the left panel from row + 1, the right one from row (or row + 1)
            const starts = from ? [from[1] + 1, from[0] === 0 ? from[1] : from[1] + 1] : [0, 0];
            const hits = panels.map((state, side) => {
                const match = findFrom(state, starts[side], pattern);
                return match && { side: side, row: match[0], offset: match[1], length: match[2] };
            }).filter(match => match);
            hit = hits.reduce((a, b) => (!a || b.row < a.row ? b : a), null);
            from = null;
        }
        if (!hit) {
            alert('"' + query + '" not found');
            return;
        }
        setHighlight([[hit.side, hit.row]]);
        found = hit;
        scrollToRows([[panels[hit.side], hit.row]]);
        if (stops.lineNums.length > 0) {
            currentDiffIndex = nearestStop(hit.row + 1);
            updateCounter();
        }
    };

    window.findEnter = function findEnter(event) {
        if (event.key === 'Enter') {
            findNext();
        }
    };

    // Marks the text found in its row while the row is drawn, and brings it into view sideways.
    function showFound() {
        if (!window.CSS || !CSS.highlights) {
            return;
        }
        if (!found) {
            CSS.highlights.delete('find-match');
            return;
        }
        const state = panels[found.side];
        const at = positionOf(state, found.row) - state.first;
        const element = at >= 0 && at < state.drawn.length ? state.drawn[at] : null;
        if (!element) {
            CSS.highlights.delete('find-match');
            return;
        }
        const range = textRange(element.lastChild, found.offset, found.offset + found.length);
        if (!range) {
            return;
        }
        CSS.highlights.set('find-match', new Highlight(range));
        if (found.shown) {
            return;
        }
        found.shown = true;
        const box = range.getBoundingClientRect();
        const area = state.content.getBoundingClientRect();
        const left = area.left + GUTTER_PX;
        if (box.right > area.right - 8 || box.left < left) {
            state.content.scrollLeft += box.left - left - 16;
        }
    }

    // A range over characters `from` to `to` of the element's text.
    function textRange(element, from, to) {
        const walker = document.createTreeWalker(element, NodeFilter.SHOW_TEXT);
        const range = document.createRange();
        let at = 0;
        let started = false;
        for (let node = walker.nextNode(); node; node = walker.nextNode()) {
            const end = at + node.length;
            if (!started && from <= end) {
                range.setStart(node, from - at);
                started = true;
            }
            if (started && to <= end) {
                range.setEnd(node, to - at);
                return range;
            }
            at = end;
        }
        return null;
    }

    document.addEventListener('DOMContentLoaded', () => {
        const view = document.querySelector('.diff_view');
        panels.push(loadPanel(0, view.firstElementChild), loadPanel(1, view.lastElementChild));
        const width = charWidth();
        panels.forEach(state => setWidth(state, GUTTER_PX + state.longest * width + 24));
        const resized = new ResizeObserver(drawAll);
        panels.forEach(state => resized.observe(state.content));
        setViewMode('all');
    });
})();
