// Behaviour of the diff page: the "All" / "Diff only" switch, stepping through the changed lines
// with a position counter, and the go-to-line box.  Line numbers are always read back from the
// rows' line_num_text spans, because the two panels are not aligned row by row.
//
// Pages run to hundreds of thousands of rows, so nothing here scans the page per click: the rows
// are read once into an index (each panel's first row per number, the changed rows in collection
// order, the unchanged rows) and every step afterwards costs in proportion to the changed lines.
let currentDiffIndex = -1;
let diffLines = [];

// The page's handlers call ten functions, which are globals; everything they share besides the two
// variables above, the row index among it, stays inside this closure.  The ten call each other
// by their global names, so a replaced one is the one called.
(() => {
    // The rows never change once the page is parsed, only their classes do, so the index built on
    // first use after that stays valid across mode switches.  While the page is still arriving it
    // is built afresh on every use.
    let rowIndex = null;

    function getRowIndex() {
        if (rowIndex) {
            return rowIndex;
        }
        // Keyed by number, not by row: a map over every row of a large page costs more than the
        // walk itself.
        const firstRows = new Map();
        const panels = document.getElementsByClassName('diff_panel');
        for (let p = 0; p < panels.length; p++) {
            const byNumber = new Map();
            const rows = panels[p].getElementsByClassName('line_container');
            for (let i = 0; i < rows.length; i++) {
                const lineNum = lineNumberOf(rows[i]);
                // NaN never equals a number looked up, so it needs no entry.
                if (lineNum !== undefined && !Number.isNaN(lineNum) && !byNumber.has(lineNum)) {
                    byNumber.set(lineNum, rows[i]);
                }
            }
            firstRows.set(panels[p], byNumber);
        }
        const changed = [];
        [
            '.diff_panel:first-child .diff_del_left',
            '.diff_panel:first-child .diff_replace_left',
            '.diff_panel:last-child .diff_add_right',
            '.diff_panel:last-child .diff_replace_right'
        ].forEach(selector => {
            document.querySelectorAll(selector).forEach(row => {
                const lineNum = lineNumberOf(row);
                if (lineNum !== undefined) {
                    changed.push({ element: row, lineNum: lineNum });
                }
            });
        });
        const index = {
            panels: [
                document.querySelector('.diff_panel:first-child'),
                document.querySelector('.diff_panel:last-child')
            ],
            firstRows: firstRows,
            changed: changed,
            equalRows: document.querySelectorAll('.line_container.equal_line'),
            highlighted: Array.from(document.querySelectorAll('.line_container.highlight'))
        };
        if (document.readyState !== 'loading') {
            rowIndex = index;
        }
        return index;
    }

    // The integer in the row's line_num_text span (NaN when it does not parse), or undefined when
    // the row has no such span.
    function lineNumberOf(row) {
        const numberText = row.querySelector('.line_num_text');
        return numberText ? parseInt(numberText.textContent) : undefined;
    }

    // The first row of the panel whose line number is lineNum, or undefined.
    function rowWithNumber(rows, panel, lineNum) {
        const byNumber = panel && rows.firstRows.get(panel);
        return byNumber ? byNumber.get(lineNum) : undefined;
    }

    // The highlight is tracked as it is set, so clearing it and finding it need no page scan.
    function clearHighlight(rows) {
        rows.highlighted.forEach(row => row.classList.remove('highlight'));
        rows.highlighted = [];
    }

    function addHighlight(rows, row) {
        row.classList.add('highlight');
        rows.highlighted.push(row);
    }

    // The first highlighted row in document order, or null.
    function highlightedRow(rows) {
        const marked = rows.highlighted.filter(row => row.classList.contains('highlight'));
        if (marked.length === 0) {
            return null;
        }
        return marked.reduce((first, row) =>
            first.compareDocumentPosition(row) & Node.DOCUMENT_POSITION_PRECEDING ? row : first);
    }

    window.setViewMode = function setViewMode(mode) {
        document.querySelectorAll('.mode-btn').forEach(btn => btn.classList.remove('active'));
        const button = document.getElementById('mode-' + mode);
        if (button) {
            button.classList.add('active');
        }
        const show = mode === 'all';
        getRowIndex().equalRows.forEach(row => {
            // Only rows whose state changes are touched: removing a class a row does not have
            // still rewrites its class attribute.
            if (row.classList.contains('hidden') === show) {
                row.classList.toggle('hidden', !show);
            }
        });
        updateDiffLines();
    };

    window.updateDiffLines = function updateDiffLines() {
        // One pass keeps the first entry of each line number in collection order, so a line changed
        // on both sides is one stop and the left row, collected first, represents it.  NaN numbers
        // are dropped: they equal nothing, not even the first of their kind.
        const seen = new Set();
        diffLines = [];
        getRowIndex().changed.forEach(entry => {
            // The style sheet hides exactly the unchanged rows marked hidden; every other row
            // shows, so its display needs no computed-style lookup.
            const classes = entry.element.classList;
            if (classes.contains('equal_line') && classes.contains('hidden')) {
                return;
            }
            if (Number.isNaN(entry.lineNum) || seen.has(entry.lineNum)) {
                return;
            }
            seen.add(entry.lineNum);
            diffLines.push({ element: entry.element, lineNum: entry.lineNum });
        });
        diffLines.sort((a, b) => a.lineNum - b.lineNum);

        const highlighted = highlightedRow(getRowIndex());
        const lineNum = highlighted && lineNumberOf(highlighted);
        if (diffLines.length === 0) {
            currentDiffIndex = -1;
        } else if (!highlighted) {
            currentDiffIndex = 0;
        } else if (lineNum !== undefined) {
            const exact = diffLines.findIndex(entry => entry.lineNum === lineNum);
            if (exact !== -1) {
                currentDiffIndex = exact;
            } else {
                // The highlighted line is not a stop in this mode: move to the nearest one.
                currentDiffIndex = findNearestDiff(lineNum);
                gotoDiffByIndex(currentDiffIndex);
            }
        }
        updateDiffCounter();
    };

    window.findNearestDiff = function findNearestDiff(lineNum) {
        if (diffLines.length === 0) {
            return -1;
        }
        let nearest = 0;
        let smallest = Math.abs(diffLines[0].lineNum - lineNum);
        for (let i = 1; i < diffLines.length; i++) {
            const distance = Math.abs(diffLines[i].lineNum - lineNum);
            if (distance < smallest) {
                smallest = distance;
                nearest = i;
            }
        }
        return nearest;
    };

    window.updateDiffCounter = function updateDiffCounter() {
        const counter = document.getElementById('diff-counter');
        if (!counter) {
            return;
        }
        if (diffLines.length === 0) {
            counter.textContent = '0/0';
        } else {
            counter.textContent = (currentDiffIndex + 1) + '/' + diffLines.length;
        }
    };

    window.getCurrentLineNumber = function getCurrentLineNumber() {
        const highlighted = highlightedRow(getRowIndex());
        if (!highlighted) {
            return null;
        }
        const lineNum = lineNumberOf(highlighted);
        return lineNum === undefined ? null : lineNum;
    };

    window.gotoPrevDiff = function gotoPrevDiff() {
        if (diffLines.length === 0) {
            return;
        }
        const current = getCurrentLineNumber();
        let target = diffLines.length - 1;
        if (current !== null) {
            for (let i = diffLines.length - 1; i >= 0; i--) {
                if (diffLines[i].lineNum < current) {
                    target = i;
                    break;
                }
            }
        }
        currentDiffIndex = target;
        gotoDiffByIndex(target);
    };

    window.gotoNextDiff = function gotoNextDiff() {
        if (diffLines.length === 0) {
            return;
        }
        const current = getCurrentLineNumber();
        let target = 0;
        if (current !== null) {
            for (let i = 0; i < diffLines.length; i++) {
                if (diffLines[i].lineNum > current) {
                    target = i;
                    break;
                }
            }
        }
        currentDiffIndex = target;
        gotoDiffByIndex(target);
    };

    window.gotoDiffByIndex = function gotoDiffByIndex(index) {
        if (index < 0 || index >= diffLines.length) {
            return;
        }
        const entry = diffLines[index];
        const row = entry.element;
        const panel = row.closest('.diff_panel');
        const content = panel.querySelector('.panel_content');
        const rows = getRowIndex();
        clearHighlight(rows);
        addHighlight(rows, row);

        const view = panel.parentElement;
        const opposite =
            panel === view.firstElementChild ? view.lastElementChild : view.firstElementChild;
        const partner = rowWithNumber(rows, opposite, entry.lineNum);
        if (partner) {
            addHighlight(rows, partner);
        }

        // No element is positioned, so both offsets are measured from the page's top.
        content.scrollTop = row.offsetTop - content.offsetTop;
        updateDiffCounter();
        const input = document.getElementById('goto-input');
        if (input) {
            input.value = entry.lineNum;
        }
    };

    window.gotoLine = function gotoLine() {
        const input = document.getElementById('goto-input');
        const lineNum = parseInt(input.value);
        if (isNaN(lineNum) || lineNum < 1) {
            alert('Please enter a valid line number (positive integer)');
            return;
        }
        const rows = getRowIndex();
        const panels = rows.panels;
        const found = panels.map(panel => rowWithNumber(rows, panel, lineNum));
        clearHighlight(rows);
        found.filter(row => row).forEach(row => addHighlight(rows, row));
        // Both offsets are read before either panel scrolls (scrolling moves no row in the layout),
        // so the page is laid out once for the two.
        const tops = found.map((row, side) => {
            if (!row) {
                return null;
            }
            const content = panels[side].querySelector('.panel_content');
            return { content: content, top: row.offsetTop - content.offsetTop };
        });
        tops.forEach(target => {
            if (target) {
                target.content.scrollTop = target.top;
            }
        });
        if (!found[0] && !found[1]) {
            alert('Line ' + lineNum + ' not found');
            return;
        }
        input.blur();
        if (diffLines.length > 0) {
            currentDiffIndex = findNearestDiff(lineNum);
            updateDiffCounter();
        }
    };

    window.gotoLineEnter = function gotoLineEnter(event) {
        if (event.key === 'Enter') {
            gotoLine();
        }
    };

    window.addEventListener('load', () => setViewMode('all'));
})();
