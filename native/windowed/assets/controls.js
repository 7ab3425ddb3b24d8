// The windowed page's controls: stepping through changes, "Diff only", Go to line, Find, the keys,
// the layout around the scroller and the start.  It runs in one closure after windowed.js, whose
// state and drawing it uses.

// ---- changes ----

// The change nearest to `row`, counted in rows; the earlier one on a tie.
function nearestChange(row) {
    const n = changes.starts.length;
    const after = lowerBound(changes.starts, row + 1);  // the first change starting below
    if (after === 0) {
        return n === 0 ? -1 : 0;
    }
    const before = after - 1;
    const distance = Math.max(0, row - (changes.ends[before] - 1));
    if (after < n && changes.starts[after] - row < distance) {
        return after;
    }
    return before;
}

function updateCounter() {
    const counter = document.getElementById('diff-counter');
    const n = changes.starts.length;
    counter.textContent = n === 0 ? '0/0' : (current + 1) + '/' + n;
}

function showChange(index) {
    current = index;
    highlight = { from: changes.starts[index], to: changes.ends[index] };
    found = null;
    count = 0;
    scrollToPosition(positionOf(changes.starts[index]), LEAD);
    updateCounter();
}

// Next (+1) or previous (-1) change, from the highlighted change, else from the current
// row; round at either end.
function step(direction) {
    const n = changes.starts.length;
    if (n === 0) {
        return;
    }
    let target;
    const onChange = highlight && current >= 0 && highlight.from === changes.starts[current] &&
        highlight.to === changes.ends[current];
    if (onChange) {
        target = (current + direction + n) % n;
    } else if (direction > 0) {
        target = lowerBound(changes.starts, highlight ? highlight.from + 1 : topRow()) % n;
    } else {
        target = (lowerBound(changes.starts, currentRow()) - 1 + n) % n;
    }
    showChange(target);
}

// ---- the toolbar ----

function setViewMode(newMode) {
    document.querySelectorAll('.mode-btn').forEach(button =>
        button.classList.toggle('active', button.id === 'mode-' + newMode));
    const row = currentRow();
    mode = newMode === 'diff' ? 'diff' : 'all';
    shown = mode === 'diff' ? diffPositions() : null;
    search = null;
    pin = null;
    setExtent();
    if (mode === 'diff' && changes.starts.length > 0) {
        showChange(nearestChange(row));
    } else if (highlight) {
        count = 0;
        scrollToPosition(Math.max(0, positionOf(highlight.from)), LEAD);
    } else {
        count = 0;
        scrollToPosition(Math.max(0, positionOf(row)), 0);
    }
}

// Line N of the new file, or of the old one where the new one is shorter, beside its
// counterpart (or the filler facing it), both highlighted.
function gotoLine() {
    const input = document.getElementById('goto-input');
    const number = Number(input.value);
    if (!Number.isInteger(number) || number < 1) {
        alert('Please enter a valid line number (positive integer)');
        return;
    }
    const side = number <= panels[1].lines ? 1 : number <= panels[0].lines ? 0 : -1;
    if (side < 0) {
        alert('Line ' + number + ' not found');
        return;
    }
    const row = panels[side].rowOf[number - 1];
    if (positionOf(row) < 0) {
        setViewMode('all');
    }
    current = Math.max(0, nearestChange(row));
    setHighlight(row, row + 1);
    scrollToPosition(positionOf(row), LEAD);
    updateCounter();
    input.blur();
}

// ---- Find ----

// The texts Find searches, laid out as the panel's lines: for markup, the text the markup
// shows, worked out once.
function searchable(state) {
    if (!state.searchable) {
        if (!state.html) {
            state.searchable = { text: state.text, starts: state.starts };
        } else {
            const scratch = document.createElement('div');
            const texts = [];
            for (let line = 0; line < state.lines; line++) {
                scratch.innerHTML = textOf(state, line);
                texts.push(scratch.textContent);
            }
            const starts = new Uint32Array(state.lines + 1);
            let at = 0;
            texts.forEach((text, line) => {
                starts[line] = at;
                at += text.length + 1;
            });
            starts[state.lines] = at;
            state.searchable = { text: texts.join('\n'), starts: starts };
        }
    }
    return state.searchable;
}

// Every match of `query` (ignoring case) in the rows shown, in the order Find visits them:
// row by row, the left side before the right one.  Lines are joined by line feeds, which
// the box cannot hold, so no match spans two lines.
function collectMatches(query) {
    const pattern = new RegExp(query.replace(/[.*+?^${}()|[\]\\]/g, '\\$&'), 'gi');
    const perSide = panels.map(state => {
        const { text, starts } = searchable(state);
        const hits = [];
        let line = 0;
        pattern.lastIndex = 0;
        for (let m = pattern.exec(text); m; m = pattern.exec(text)) {
            while (starts[line + 1] <= m.index) {
                line++;
            }
            const row = state.rowOf[line];
            if (positionOf(row) >= 0) {
                hits.push(row, m.index - starts[line], m[0].length);
            }
        }
        return hits;
    });
    const n = (perSide[0].length + perSide[1].length) / 3;
    const matches = { query: query, row: new Int32Array(n), side: new Uint8Array(n),
                      offset: new Int32Array(n), length: new Int32Array(n) };
    for (let k = 0, i = 0, j = 0; k < n; k++) {
        const [left, right] = perSide;
        const side = j >= right.length || (i < left.length && left[i] <= right[j]) ? 0 : 1;
        const hits = perSide[side];
        const at = side === 0 ? i : j;
        matches.row[k] = hits[at];
        matches.side[k] = side;
        matches.offset[k] = hits[at + 1];
        matches.length[k] = hits[at + 2];
        if (side === 0) {
            i += 3;
        } else {
            j += 3;
        }
    }
    matches.index = -1;
    return matches;
}

// The next (+1) or previous (-1) match: from the one Find went to, else from the current
// row down (up); round at either end.
function findStep(direction) {
    const query = document.getElementById('find-input').value;
    const counter = document.getElementById('find-count');
    if (query === '') {
        counter.textContent = '';
        return;
    }
    if (!search || search.query !== query) {
        search = collectMatches(query);
    }
    const n = search.row.length;
    if (n === 0) {
        found = null;
        counter.textContent = '0 of 0';
        showFound();
        return;
    }
    let k;
    if (found && search.index >= 0) {
        k = (search.index + direction + n) % n;
    } else if (direction > 0) {
        k = lowerBound(search.row, currentRow()) % n;
    } else {
        k = (lowerBound(search.row, currentRow()) - 1 + n) % n;
    }
    search.index = k;
    const row = search.row[k];
    current = Math.max(0, nearestChange(row));
    highlight = { from: row, to: row + 1 };
    found = { row: row, side: search.side[k], offset: search.offset[k],
              length: search.length[k], shown: false };
    count = 0;
    scrollToPosition(positionOf(row), LEAD);
    updateCounter();
    counter.textContent = (k + 1).toLocaleString('en-US') + ' of ' + n.toLocaleString('en-US');
}

// Marks the text found while its row is drawn, and the first time brings it into the
// panel's visible box sideways.
function showFound() {
    if (!window.CSS || !CSS.highlights) {
        return;
    }
    const state = found && panels[found.side];
    const at = found ? positionOf(found.row) - first : -1;
    const element = at >= 0 && at < state.drawn.length ? state.drawn[at] : null;
    const range = element && textRange(element.lastChild, found.offset,
                                       found.offset + found.length);
    if (!range) {
        CSS.highlights.delete('find-match');
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
        scrollSideways(state, state.content.scrollLeft + box.left - left - 16);
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

function scrollSideways(state, left) {
    state.content.scrollLeft = left;
    state.bar.scrollLeft = state.content.scrollLeft;
}

// ---- keys ----

function onKey(event) {
    const target = event.target;
    if (target.closest && target.closest('input, textarea, select, [contenteditable]')) {
        if (event.key === 'Escape') {
            target.blur();
            scroller.focus({ preventScroll: true });
        }
        return;  // what is typed into a box is never a command
    }
    if (event.ctrlKey || event.metaKey || event.altKey) {
        return;
    }
    if (event.key === 'n' || (event.key === 'F7' && !event.shiftKey)) {
        step(1);
    } else if (event.key === 'p' || (event.key === 'F7' && event.shiftKey)) {
        step(-1);
    } else if (event.key === '/') {
        const box = document.getElementById('find-input');
        box.focus();
        box.select();
    } else {
        return;
    }
    event.preventDefault();
}

function bind(id, type, handler) {
    document.getElementById(id).addEventListener(type, handler);
}

function bindToolbar() {
    bind('mode-all', 'click', () => setViewMode('all'));
    bind('mode-diff', 'click', () => setViewMode('diff'));
    bind('prev-change', 'click', () => step(-1));
    bind('next-change', 'click', () => step(1));
    bind('goto-button', 'click', gotoLine);
    bind('goto-input', 'keydown', event => {
        if (event.key === 'Enter') {
            gotoLine();
        }
    });
    bind('find-button', 'click', () => findStep(1));
    bind('find-input', 'keydown', event => {
        if (event.key === 'Enter') {
            event.preventDefault();
            findStep(event.shiftKey ? -1 : 1);
        }
    });
    document.addEventListener('keydown', onKey);
}

// ---- the layout: the panels' headers above the scroller, their scroll bars below ----

function layOut(view) {
    const heads = document.createElement('div');
    heads.className = 'pair_heads';
    const bars = document.createElement('div');
    bars.className = 'pair_bars';
    panels.forEach((state, side) => {
        if (side === 1) {
            heads.appendChild(document.createElement('div')).className = 'pair_gap';
            bars.appendChild(document.createElement('div')).className = 'pair_gap';
        }
        heads.appendChild(state.panel.querySelector('.panel_header'));
        state.bar = bars.appendChild(document.createElement('div'));
        state.bar.className = 'panel_bar';
        state.barExtent = state.bar.appendChild(document.createElement('div'));
        state.bar.addEventListener('scroll', () => {
            state.content.scrollLeft = state.bar.scrollLeft;
        }, { passive: true });
        // A sideways wheel (or Shift and the wheel) scrolls the panel under it.
        state.content.addEventListener('wheel', event => {
            const dx = event.deltaX || (event.shiftKey ? event.deltaY : 0);
            if (dx) {
                state.bar.scrollLeft += dx;
            }
        }, { passive: true });
    });
    heads.firstElementChild.nextElementSibling.textContent = '\u21c4';
    view.before(heads);
    view.after(bars);
    // The scroller's own scroll bar takes width from the panels: the rows above and below
    // give up as much.
    const fit = () => {
        const bar = (scroller.offsetWidth - scroller.clientWidth) + 'px';
        heads.style.paddingRight = bar;
        bars.style.paddingRight = bar;
        draw();
    };
    new ResizeObserver(fit).observe(scroller);
}

document.addEventListener('DOMContentLoaded', () => {
    const view = document.querySelector('.diff_view');
    const sources = [view.firstElementChild, view.lastElementChild].map(panel =>
        panel.querySelector('.panel_content script'));
    const data = sources.map(source => JSON.parse(source.textContent));
    [view.firstElementChild, view.lastElementChild].forEach((panel, side) =>
        panels.push(loadPanel(side, panel, data[side])));
    loadRows(data[0].pairs);
    scroller = view;
    scroller.tabIndex = 0;
    layOut(view);
    const width = charWidth();
    panels.forEach(state => setWidth(state, GUTTER_PX + state.longest * width + 24));
    scroller.addEventListener('scroll', draw, { passive: true });
    bindToolbar();
    setExtent();
    updateCounter();
    draw();
    // Keys scroll the rows at once; but a page inside a notebook's frame must not take the focus
    // from the notebook.
    if (window.top === window) {
        scroller.focus({ preventScroll: true });
    }
});
