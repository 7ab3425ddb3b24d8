// Behaviour of the diff page: the "All" / "Diff only" switch, stepping through the changed lines
// with a position counter, and the go-to-line box.  Line numbers are always read back from the
// rows' line_num_text spans, because the two panels are not aligned row by row.
let currentDiffIndex = -1;
let diffLines = [];

function setViewMode(mode) {
    document.querySelectorAll('.mode-btn').forEach(btn => btn.classList.remove('active'));
    const button = document.getElementById('mode-' + mode);
    if (button) {
        button.classList.add('active');
    }
    document.querySelectorAll('.line_container.equal_line').forEach(row => {
        if (mode === 'all') {
            row.classList.remove('hidden');
        } else {
            row.classList.add('hidden');
        }
    });
    updateDiffLines();
}

function updateDiffLines() {
    const selectors = [
        '.diff_panel:first-child .diff_del_left',
        '.diff_panel:first-child .diff_replace_left',
        '.diff_panel:last-child .diff_add_right',
        '.diff_panel:last-child .diff_replace_right'
    ];
    const collected = [];
    selectors.forEach(selector => {
        document.querySelectorAll(selector).forEach(row => {
            const numberText = row.querySelector('.line_num_text');
            if (numberText && window.getComputedStyle(row).display !== 'none') {
                collected.push({ element: row, lineNum: parseInt(numberText.textContent) });
            }
        });
    });
    // A line changed on both sides is one stop; the left row, collected first, represents it.
    diffLines = collected.filter((entry, index) =>
        collected.findIndex(other => other.lineNum === entry.lineNum) === index);
    diffLines.sort((a, b) => a.lineNum - b.lineNum);

    const highlighted = document.querySelector('.line_container.highlight');
    if (diffLines.length === 0) {
        currentDiffIndex = -1;
    } else if (!highlighted) {
        currentDiffIndex = 0;
    } else {
        const numberText = highlighted.querySelector('.line_num_text');
        if (numberText) {
            const lineNum = parseInt(numberText.textContent);
            const exact = diffLines.findIndex(entry => entry.lineNum === lineNum);
            if (exact !== -1) {
                currentDiffIndex = exact;
            } else {
                // The highlighted line is not a stop in this mode: move to the nearest one.
                currentDiffIndex = findNearestDiff(lineNum);
                gotoDiffByIndex(currentDiffIndex);
            }
        }
    }
    updateDiffCounter();
}

function findNearestDiff(lineNum) {
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
}

function updateDiffCounter() {
    const counter = document.getElementById('diff-counter');
    if (!counter) {
        return;
    }
    if (diffLines.length === 0) {
        counter.textContent = '0/0';
    } else {
        counter.textContent = (currentDiffIndex + 1) + '/' + diffLines.length;
    }
}

function getCurrentLineNumber() {
    const highlighted = document.querySelector('.line_container.highlight');
    if (!highlighted) {
        return null;
    }
    const numberText = highlighted.querySelector('.line_num_text');
    return numberText ? parseInt(numberText.textContent) : null;
}

function gotoPrevDiff() {
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
}

function gotoNextDiff() {
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
}

function gotoDiffByIndex(index) {
    if (index < 0 || index >= diffLines.length) {
        return;
    }
    const entry = diffLines[index];
    const row = entry.element;
    const panel = row.closest('.diff_panel');
    const content = panel.querySelector('.panel_content');
    document.querySelectorAll('.line_container.highlight').forEach(el => el.classList.remove('highlight'));
    row.classList.add('highlight');

    const view = panel.parentElement;
    const opposite = panel === view.firstElementChild ? view.lastElementChild : view.firstElementChild;
    const partner = Array.from(opposite.querySelectorAll('.line_container')).find(other => {
        const numberText = other.querySelector('.line_num_text');
        return numberText && parseInt(numberText.textContent) === entry.lineNum;
    });
    if (partner) {
        partner.classList.add('highlight');
    }

    // No element is positioned, so both offsets are measured from the page's top.
    content.scrollTop = row.offsetTop - content.offsetTop;
    updateDiffCounter();
    const input = document.getElementById('goto-input');
    if (input) {
        input.value = entry.lineNum;
    }
}

function gotoLine() {
    const input = document.getElementById('goto-input');
    const lineNum = parseInt(input.value);
    if (isNaN(lineNum) || lineNum < 1) {
        alert('Please enter a valid line number (positive integer)');
        return;
    }
    const panels = [
        document.querySelector('.diff_panel:first-child'),
        document.querySelector('.diff_panel:last-child')
    ];
    const found = panels.map(panel => panel && Array.from(panel.querySelectorAll('.line_container')).find(row => {
        const numberText = row.querySelector('.line_num_text');
        return numberText && parseInt(numberText.textContent) === lineNum;
    }));
    document.querySelectorAll('.line_container.highlight').forEach(el => el.classList.remove('highlight'));
    found.forEach((row, side) => {
        if (!row) {
            return;
        }
        row.classList.add('highlight');
        const content = panels[side].querySelector('.panel_content');
        content.scrollTop = row.offsetTop - content.offsetTop;
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
}

function gotoLineEnter(event) {
    if (event.key === 'Enter') {
        gotoLine();
    }
}

window.addEventListener('load', () => setViewMode('all'));
