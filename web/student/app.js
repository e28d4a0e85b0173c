// Klarion student page: class PIN, first name, chat with streamed answers.
// Everything that comes from the server or the model enters the page as text nodes
// (textContent) or through the small Markdown renderer below, which builds DOM nodes and
// never parses HTML. Formulas are typeset by KaTeX and its chemistry extension, which the
// build puts before this script in the served app.js; KaTeX builds DOM nodes too (its HTML,
// drawn with its style sheet and fonts, and MathML for screen readers).
(() => {
  'use strict';
  const $ = (id) => document.getElementById(id);
  const { katex } = window;

  const TEXT = {
    wrongPin: 'Code PIN incorrect.',
    serverDown: 'Le serveur de la classe ne répond pas. Réessaie dans un instant.',
    noName: 'Écris ton prénom pour continuer.',
    noAnswer: "⚠️ Aucune réponse n'est arrivée. Vérifie ta connexion puis réessaie.",
    cutOff: "⚠️ La réponse a été interrompue. Vérifie ta connexion puis réessaie.",
    emptyAnswer: "⚠️ L'IA a envoyé une réponse vide. Reformule ta question puis réessaie.",
    endlessThought: "⚠️ L'IA a réfléchi sans arriver à sa réponse : sa réflexion a été coupée. "
      + 'Pose une question plus courte ou plus précise, puis réessaie.',
    tooLong: '✂️ La réponse a été coupée : elle a atteint la longueur maximale fixée pour la classe. '
      + 'Demande « continue » pour avoir la suite.',
    pasteCut: 'Le texte collé a été coupé : une question compte au plus 8 000 caractères.',
    modelError: "⚠️ L'IA n'a pas pu répondre",
    imageOnly: 'Analyse cette image.',
    sentImage: 'Image envoyée avec la question',
    badImage: "Cette image n'a pas pu être lue.",
    hint: "L'IA peut se tromper : vérifie les informations importantes.",
  };
  const KEYS = { pin: 'klarionClassPin', name: 'klarionName', theme: 'studentTheme' };
  const HISTORY_TURNS = 6;
  const IMAGE_SIDE = 1024;
  const POLL_MS = 10000;
  // The classroom server's own notices, each sent as one whole event: pause, a request already
  // running, an empty message, an internal error, LM Studio unreachable.
  const NOTICE = /^\n*(⏸️ \*\*IA en pause :\*\*|⏳ \*\*Patience !\*\*|⚠️ Message vide ou invalide\.|⚠️ Erreur interne\.|⚠️ \*\*Erreur Proxy :\*\*)/u;

  const state = {
    config: null,
    pin: sessionStorage.getItem(KEYS.pin),
    pinOk: false,
    name: sessionStorage.getItem(KEYS.name),
    history: [],
    busy: false,
    image: null,
  };

  // ---- Server calls.

  async function postJSON(path, body) {
    const reply = await fetch(path, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
    });
    const text = await reply.text();
    try { return JSON.parse(text); } catch { return null; }
  }

  function logEntry(type, text) {
    const body = { type, text };
    if (state.name) body.name = state.name;
    postJSON('/api/log', body).catch(() => {});
  }

  const errorText = (error) => {
    if (typeof error === 'string') return error;
    if (typeof error?.message === 'string') return error.message;
    return '';
  };

  // Streams "/api/chat" into result: text (the model's, so far; onText(text) after each
  // piece), notice (the server's notice that ended the stream), error (the text of an error
  // event), done (the stream's end, "[DONE]", arrived) and finish (the model's finish_reason).
  // Rejects when the connection fails, with what had arrived kept in result.
  async function streamChat(body, result, onText) {
    const reply = await fetch('/api/chat', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
    });
    if (!reply.body) return;
    const reader = reply.body.getReader();
    const decoder = new TextDecoder();
    let buffer = '';
    let event = '';
    const takeLine = (raw) => {
      const line = raw.replace(/\r$/, '');
      if (!line) { event = ''; return; }
      const field = /^(event|data):\s?(.*)$/.exec(line);
      if (!field) return;
      if (field[1] === 'event') { event = field[2]; return; }
      if (field[2] === '[DONE]') {
        result.done = true;
        return;
      }
      let data;
      try { data = JSON.parse(field[2]); } catch { data = field[2]; }
      if (event === 'error' || (data !== null && typeof data === 'object' && 'error' in data)) {
        result.error = errorText(event === 'error' ? (data?.error ?? data) : data.error);
        return;
      }
      const choice = data?.choices?.[0];
      if (typeof choice?.finish_reason === 'string') result.finish = choice.finish_reason;
      const piece = choice?.delta?.content;
      if (typeof piece !== 'string' || !piece) return;
      if (NOTICE.test(piece)) {
        result.notice = piece.replace(/^\n+/, '');
        return;
      }
      result.text += piece;
      onText(result.text);
    };
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      buffer += decoder.decode(value, { stream: true });
      const lines = buffer.split('\n');
      buffer = lines.pop();
      lines.forEach(takeLine);
    }
    buffer += decoder.decode();
    if (buffer) takeLine(buffer);
  }

  // ---- Class PIN and first name.

  const needsName = () => state.config?.audience === 'eleves' && state.config?.isSupervisionActive === true;

  // Shows or hides an overlay; true when it was shown and is now hidden.
  function showOverlay(id, shown) {
    const overlay = $(id);
    if (overlay.hidden === !shown) return false;
    overlay.hidden = !shown;
    if (shown) overlay.querySelector('input').focus();
    return !shown;
  }

  // Shows what the student must fill in before chatting, as a modal dialog: the page behind
  // it is inert (out of reach of the keyboard and of screen readers). True when nothing is
  // missing. Until "/api/config" has answered, whether a PIN is needed is unknown: nothing
  // may be sent.
  function gate() {
    if (!state.config) return false;
    const pinMissing = !!state.config.requiresPin && !state.pinOk;
    const nameMissing = !pinMissing && needsName() && !state.name;
    const open = !pinMissing && !nameMissing;
    document.querySelector('.app').inert = !open;
    const closed = [showOverlay('pin-overlay', pinMissing), showOverlay('name-overlay', nameMissing)];
    if (open && closed.some(Boolean)) $('message').focus();
    return open;
  }

  async function verifyPin(pin) {
    const reply = await postJSON('/api/verify', { pin });
    if (reply?.success === true) {
      state.pin = pin;
      state.pinOk = true;
      sessionStorage.setItem(KEYS.pin, pin);
      return null;
    }
    if (reply?.reason === 'blocked' && typeof reply.message === 'string') return reply.message;
    return TEXT.wrongPin;
  }

  async function submitPin(event) {
    event.preventDefault();
    const input = $('pin-input');
    const pin = input.value.trim();
    if (!pin) return;
    const button = event.target.querySelector('button');
    button.disabled = true;
    let error;
    try { error = await verifyPin(pin); } catch { error = TEXT.serverDown; }
    button.disabled = false;
    $('pin-error').textContent = error || '';
    input.value = '';
    if (error) input.focus(); else gate();
  }

  function setName(name) {
    state.name = name;
    $('who').textContent = name ? `Assistant de la classe · ${name}` : 'Assistant de la classe';
  }

  function submitName(event) {
    event.preventDefault();
    const name = $('name-input').value.replace(/\s+/g, ' ').trim();
    $('name-error').textContent = name ? '' : TEXT.noName;
    if (!name) return;
    sessionStorage.setItem(KEYS.name, name);
    setName(name);
    gate();
  }

  async function loadConfig() {
    try {
      const reply = await fetch('/api/config', { cache: 'no-store' });
      if (!reply.ok) return false;
      state.config = await reply.json();
      return true;
    } catch {
      return false;
    }
  }

  async function refreshConfig() {
    if (!(await loadConfig())) return;
    $('pause-banner').hidden = state.config.isAiPaused !== true;
    gate();
  }

  // ---- Markdown, rendered into DOM nodes (raw HTML is shown as text).

  // Spans whose text is taken as it stands: code, and formulas as models write them ($$…$$,
  // \[…\] and \(…\), $…$). A formula may end in an escaped character ("$50\%$"). These come
  // first in every pattern below, so that their groups keep their numbers (1 to 6).
  const CODE = /(`+)([^`]|[^`][\s\S]*?[^`])\1(?!`)/.source;                          // 1-2
  const FORMULAS = [
    /\$\$((?:[^$\\]|\\[\s\S])+?)\$\$/.source,                                         // 3
    /\\\[([\s\S]+?)\\\]/.source,                                                      // 4
    /\\\(([\s\S]+?)\\\)/.source,                                                      // 5
    /(?<![\\$\w])\$(?![\s$])((?:[^$\\\n]|\\.)*?(?:[^\s$\\]|\\.))\$(?![\d$])/.source,  // 6
  ].join('|');
  // A backslash before a punctuation mark makes it plain text ("\$", "\*", "\|").
  const ESCAPE = /\\([!-/:-@[-`{-~])/.source;
  // An address may hold balanced parentheses ("…/Chlorophylle_(pigment)"); a bare one does not
  // end on punctuation, nor on a parenthesis that closes the sentence's own.
  const URL_PART = String.raw`(?:[^\s<>()]|\([^\s<>()]*\))`;
  const INLINE = new RegExp([
    CODE,
    FORMULAS,
    /(\\(?:ce|pu)\{(?:[^{}\n]|\{(?:[^{}\n]|\{[^{}\n]*\})*\})*\})/.source,   // 7 chemistry outside $…$
    /\*\*\*(?=\S)([\s\S]*?\S)\*\*\*(?!\*)/.source,                        // 8 bold italic
    /\*\*(?=\S)([\s\S]*?\S)\*\*/.source,                                  // 9 bold
    /(?<!\w)__(?=\S)([\s\S]*?\S)__(?!\w)/.source,                         // 10 bold
    /(?<![\w*])\*(?=[^\s*])([\s\S]*?[^\s*])\*(?![\w*])/.source,            // 11 italic
    /(?<!\w)_(?=[^\s_])([\s\S]*?[^\s_])_(?!\w)/.source,                   // 12 italic
    /~~(?=\S)([\s\S]*?\S)~~/.source,                                      // 13 struck
    String.raw`\[([^\]\n]+)\]\((https?:\/\/${URL_PART}+)\)`,              // 14-15 link
    String.raw`(https?:\/\/${URL_PART}*(?:[^\s<>().,;:!?'"]|\([^\s<>()]*\)))`, // 16 bare address
    ESCAPE,                                                               // 17
  ].join('|'), 'g');
  // What splits a table row: a bar that is neither escaped nor inside code or a formula.
  const CELL = new RegExp(`${CODE}|${FORMULAS}|\\\\[\\s\\S]|\\|`, 'g');

  // A single-dollar span counts as a formula only when it looks like one: a lone letter, or a
  // digit or an operator inside ("$x$", "$n+1$"; not "$le prix$"), and no words of a sentence
  // outside its commands (not "$5, budget de 100$").
  const MATHY = /[\\^_=+\-*/<>{}()|]|\d|^[A-Za-z]'*$/;
  const PROSE = /\p{L}{3,}\s+\p{L}{2,}|\p{L}{2,}\s+\p{L}{3,}/u;
  const isFormula = (tex) => MATHY.test(tex) && !PROSE.test(tex.replace(/\\[A-Za-z]+(\{[^{}]*\})?/g, ' '));

  function el(tag, children, className) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (children !== undefined) node.append(...[].concat(children));
    return node;
  }

  // A block laid out right to left when its first letters are (Arabic, Hebrew); what it holds
  // follows it, a list's items or a table's cells with it.
  function textBlock(node) {
    if (!node.matches('pre, .math-block')) node.dir = 'auto';
    return node;
  }

  function link(children, href) {
    const a = el('a', children);
    a.href = href;
    a.target = '_blank';
    a.rel = 'noopener noreferrer';
    return a;
  }

  // A typeset formula, or its source as text when it cannot be read. display: 'block' (a
  // formula on lines of its own), 'inline' ($$…$$ in a sentence, in display style) or none.
  function formula(tex, display, source) {
    if (!katex) return source;
    const node = display === 'block' ? el('div', undefined, 'math-block')
      : el('span', undefined, display ? 'math display-style' : 'math');
    try {
      katex.render(tex, node, { displayMode: !!display, throwOnError: true, strict: 'ignore' });
      if (display === 'inline') node.querySelector('math').removeAttribute('display');
      return node;
    } catch {
      return source;
    }
  }

  // Plain text: line breaks become <br>; a stray end of a reasoning block is dropped.
  function plain(text) {
    const nodes = [];
    text.replaceAll('</think>', '').split('\n').forEach((line, i) => {
      if (i) nodes.push(el('br'));
      if (line) nodes.push(line);
    });
    return nodes;
  }

  function inline(text) {
    const nodes = [];
    const pattern = new RegExp(INLINE);  // a position of its own: inline() recurses
    let last = 0;
    let m;
    while ((m = pattern.exec(text))) {
      if (m[6] !== undefined && !isFormula(m[6])) {  // a dollar sign, not a formula
        pattern.lastIndex = m.index + 1;
        continue;
      }
      if (m.index > last) nodes.push(...plain(text.slice(last, m.index)));
      if (m[2] !== undefined) nodes.push(el('code', m[2]));
      else if (m[3] !== undefined || m[4] !== undefined) nodes.push(formula(m[3] ?? m[4], 'inline', m[0]));
      else if (m[5] !== undefined || m[6] !== undefined || m[7] !== undefined) nodes.push(formula(m[5] ?? m[6] ?? m[7], undefined, m[0]));
      else if (m[8] !== undefined) nodes.push(el('strong', el('em', inline(m[8]))));
      else if (m[9] !== undefined || m[10] !== undefined) nodes.push(el('strong', inline(m[9] ?? m[10])));
      else if (m[11] !== undefined || m[12] !== undefined) nodes.push(el('em', inline(m[11] ?? m[12])));
      else if (m[13] !== undefined) nodes.push(el('del', inline(m[13])));
      else if (m[14] !== undefined) nodes.push(link(inline(m[14]), m[15]));
      else if (m[16] !== undefined) nodes.push(link(m[16], m[16]));
      else nodes.push(m[17]);
      last = pattern.lastIndex;
    }
    if (last < text.length) nodes.push(...plain(text.slice(last)));
    return nodes;
  }

  // Lines of a paragraph, each trimmed, with their line breaks (a formula may span them).
  const inlineLines = (lines) => inline(lines.map((line) => line.trim()).join('\n'));

  const FENCE = /^\s*(```|~~~)/;
  const HEADING = /^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$/;
  const RULE = /^\s{0,3}([-*_])(\s*\1){2,}\s*$/;
  const QUOTE = /^\s{0,3}>\s?/;
  const ITEM = /^(\s*)([-*+]|\d{1,9}[.)])\s+(.*)$/;
  const TABLE_RULE = /^\s*\|?\s*:?-+:?\s*(\|\s*:?-+:?\s*)*\|?\s*$/;
  const DISPLAY_MARKS = [['$$', '$$'], ['\\[', '\\]']];

  // A formula alone between $$ or \[ and \] on its lines: [its source, the line after it], else
  // null.
  function formulaBlock(lines, i) {
    const first = lines[i].trim();
    const marks = DISPLAY_MARKS.find(([open]) => first.startsWith(open));
    if (!marks) return null;
    const [open, end] = marks;
    const parts = [first.slice(open.length)];
    for (let j = i; j < lines.length; j++) {
      if (j > i) {
        if (!lines[j].trim()) return null;
        parts.push(lines[j].trim());
      }
      const body = parts.join('\n');
      const close = body.indexOf(end);
      if (close >= 0) return close === body.length - end.length && close > 0 ? [body.slice(0, close).trim(), j + 1] : null;
    }
    return null;
  }

  const startsBlock = (lines, i) => {
    const line = lines[i];
    return FENCE.test(line) || HEADING.test(line) || RULE.test(line) || QUOTE.test(line) || ITEM.test(line)
      || (line.includes('|') && TABLE_RULE.test(lines[i + 1] || '')) || !!formulaBlock(lines, i);
  };

  // The cells of a table row. "\|" stays in a cell (as "|" once rendered, also inside code).
  function cells(line) {
    const text = line.trim().replace(/^\|/, '');
    const pattern = new RegExp(CELL);
    const row = [];
    let cell = '';
    let last = 0;
    let m;
    while ((m = pattern.exec(text))) {
      if (m[6] !== undefined && !isFormula(m[6])) {
        pattern.lastIndex = m.index + 1;
        continue;
      }
      cell += text.slice(last, m.index);
      if (m[0] === '|') {
        row.push(cell);
        cell = '';
      } else {
        cell += m[2] !== undefined ? m[0].replaceAll('\\|', '|') : m[0];
      }
      last = pattern.lastIndex;
    }
    cell += text.slice(last);
    if (cell.trim() || !row.length) row.push(cell);  // a closing bar ends the row
    return row.map((c) => c.trim());
  }

  function table(lines, i) {
    const head = cells(lines[i]);
    const rows = [];
    for (i += 2; i < lines.length && lines[i].includes('|') && lines[i].trim(); i++) rows.push(cells(lines[i]));
    const row = (values, tag) => el('tr', head.map((_, c) => el(tag, inline(values[c] ?? ''))));
    const node = el('table', [el('thead', row(head, 'th')), el('tbody', rows.map((r) => row(r, 'td')))]);
    return [el('div', node, 'table-wrap'), i];
  }

  function list(lines, i) {
    const indent = ITEM.exec(lines[i])[1].length;
    const ordered = /\d/.test(ITEM.exec(lines[i])[2]);
    const node = el(ordered ? 'ol' : 'ul');
    if (ordered) node.start = parseInt(ITEM.exec(lines[i])[2], 10);
    while (i < lines.length) {
      const m = ITEM.exec(lines[i]);
      if (!m || m[1].length !== indent) break;
      const content = [m[3]];
      for (i++; i < lines.length; i++) {
        const line = lines[i];
        const sub = ITEM.exec(line);
        if (!line.trim()) {
          if (i + 1 < lines.length && /^\s{2,}\S/.test(lines[i + 1]) && !(ITEM.exec(lines[i + 1])?.[1].length <= indent)) {
            content.push('');
            continue;
          }
          break;
        }
        if (sub && sub[1].length <= indent) break;
        if (!sub && /^\S/.test(line) && startsBlock(lines, i)) break;
        content.push(line.replace(new RegExp(`^\\s{0,${indent + 2}}`), ''));
      }
      const inner = blocks(content);
      const simple = inner.length === 1 && inner[0].tagName === 'P';
      node.append(el('li', simple ? [...inner[0].childNodes] : inner));
    }
    return [node, i];
  }

  function blocks(lines) {
    const out = [];
    let i = 0;
    while (i < lines.length) {
      const line = lines[i];
      let m;
      if (!line.trim()) {
        i++;
      } else if ((m = FENCE.exec(line))) {
        const body = [];
        for (i++; i < lines.length && !lines[i].trim().startsWith(m[1]); i++) body.push(lines[i]);
        i++;
        out.push(el('pre', el('code', body.join('\n'))));
      } else if ((m = formulaBlock(lines, i))) {
        const source = lines.slice(i, m[1]).join('\n');
        const node = formula(m[0], 'block', source);
        out.push(typeof node === 'string' ? el('p', plain(node)) : node);
        i = m[1];
      } else if ((m = HEADING.exec(line))) {
        out.push(el(`h${m[1].length}`, inline(m[2])));
        i++;
      } else if (RULE.test(line)) {
        out.push(el('hr'));
        i++;
      } else if (QUOTE.test(line)) {
        const inner = [];
        for (; i < lines.length && QUOTE.test(lines[i]); i++) inner.push(lines[i].replace(QUOTE, ''));
        out.push(el('blockquote', blocks(inner)));
      } else if (ITEM.test(line)) {
        const [node, next] = list(lines, i);
        out.push(node);
        i = next;
      } else if (line.includes('|') && TABLE_RULE.test(lines[i + 1] || '')) {
        const [node, next] = table(lines, i);
        out.push(node);
        i = next;
      } else {
        const para = [line];
        for (i++; i < lines.length && lines[i].trim() && !startsBlock(lines, i); i++) para.push(lines[i]);
        out.push(el('p', inlineLines(para)));
      }
    }
    return out;
  }

  // An answer's lines in parts that render on their own as they would within the whole: a part
  // ends at a blank line outside fenced code that a line at the margin follows (no block
  // goes on across that: a list's next paragraph is indented). A part's text leaves out the
  // blank lines that end it, so that it reads the same before and after the next part begins.
  function parts(lines) {
    const out = [];
    let start = 0;
    let fence = null;
    lines.forEach((line, i) => {
      if (fence) {
        if (line.trim().startsWith(fence)) fence = null;
        return;
      }
      if (i > start && /^\S/.test(line) && !lines[i - 1].trim()) {
        out.push(lines.slice(start, i).join('\n').trimEnd());
        start = i;
      }
      fence = FENCE.exec(line)?.[1] ?? null;
    });
    out.push(lines.slice(start).join('\n').trimEnd());
    return out;
  }

  // The parts drawn in each answer: [{ source, nodes }].
  const drawn = new WeakMap();
  const tableFrames = (nodes) => nodes.flatMap((n) => (n.matches('.table-wrap') ? [n] : [...n.querySelectorAll('.table-wrap')]));

  // Draws text into target, again only from the first part that changed: while an answer
  // streams, its finished parts are built once (formulas typeset once, a selection kept) and
  // only the growing part again. A table being filled keeps where it was scrolled to.
  function renderMarkdown(target, text) {
    const sources = parts(text.replace(/\r\n?/g, '\n').split('\n'));
    const old = drawn.get(target) ?? [];
    let same = 0;
    while (same < old.length && same < sources.length && old[same].source === sources[same]) same++;
    const gone = old.slice(same).flatMap((p) => p.nodes);
    const scrolled = tableFrames(gone).map((frame) => frame.scrollLeft);
    if (!old.length) target.replaceChildren();
    gone.forEach((n) => n.remove());
    const added = sources.slice(same).map((source) => ({ source, nodes: blocks(source.split('\n')).map(textBlock) }));
    added.forEach((p) => target.append(...p.nodes));
    tableFrames(added.flatMap((p) => p.nodes)).forEach((frame, k) => { frame.scrollLeft = scrolled[k] ?? 0; });
    drawn.set(target, old.slice(0, same).concat(added));
  }

  // What the student sees of the model's text: the model's reasoning block, which opens its
  // answer, is hidden, also while it is still open. "<think>" anywhere else is text.
  function visibleText(text) {
    const open = /^\s*<think>/.exec(text);
    if (open) {
      const close = text.indexOf('</think>', open[0].length);
      return close < 0 ? '' : text.slice(close + '</think>'.length).trim();
    }
    const start = text.trimStart();
    return '<think>'.startsWith(start) ? '' : text.trim();  // an opening tag still arriving
  }

  // An answer still in its reasoning block: the model stopped before it closed it.
  const endlessThought = (text) => /^\s*<think>(?![\s\S]*<\/think>)/.test(text);

  // ---- Chat. The view follows the conversation while the student stays at its end: a picture
  // or a formula that grows a message after it was shown keeps the end in view.

  const chat = $('chat');
  let follow = true;
  const nearBottom = () => chat.scrollHeight - chat.scrollTop - chat.clientHeight < 40;
  const toBottom = () => { if (follow) chat.scrollTop = chat.scrollHeight; };
  const grown = new ResizeObserver(toBottom);
  chat.addEventListener('scroll', () => { follow = nearBottom(); }, { passive: true });
  grown.observe(chat);

  function addMessage(who, content) {
    const bubble = el('div', content, `bubble${who === 'bot' ? ' markdown-body' : ''}`);
    const row = el('div', bubble, `msg ${who}`);
    chat.append(row);
    grown.observe(row);
    if (who === 'user') follow = true;
    toBottom();
    return bubble;
  }

  // Makes an answer's message a notice of the server or an error, always brought into view.
  function setKind(bubble, kind) {
    const row = bubble.parentElement;
    row.classList.add(kind);
    row.scrollIntoView({ block: 'nearest' });
  }

  function showAnswer(bubble, text) {
    renderMarkdown(bubble, text);
    toBottom();
  }

  // Says an exchange's end once to screen readers, from a copy of its messages (the
  // conversation itself is no live region: a streamed answer would be read again at each
  // piece). Formulas are read from their MathML.
  function announce(rows) {
    const copies = rows.map((row) => {
      const copy = row.cloneNode(true);
      copy.querySelectorAll('[aria-hidden="true"], annotation').forEach((node) => node.remove());
      return copy;
    });
    $('announce').replaceChildren(...copies);
  }

  function setBusy(busy) {
    state.busy = busy;
    $('send-btn').disabled = busy;
  }

  // Gives the student back a question that got no answer, unless they started another one.
  function restore(typed, image) {
    if (!$('message').value) {
      $('message').value = typed;
      fitMessage();
    }
    if (image && !state.image) setImage(image);
  }

  let started;  // the start-up checks: the configuration, a PIN kept for this tab

  async function send() {
    if (state.busy) return;
    setBusy(true);
    await started;
    if (!state.config) await refreshConfig();
    setBusy(false);
    if (!state.config) {
      setHint(TEXT.serverDown, true);
      return;
    }
    if (!gate()) return;
    const typed = $('message').value.trim();
    const image = state.image;
    if (!typed && !image) return;
    const text = typed || TEXT.imageOnly;
    setBusy(true);
    $('message').value = '';
    fitMessage();
    setImage(null);
    setHint(TEXT.hint);

    const sent = [];
    if (image) sent.push(el('img', undefined, 'sent-image'));
    if (typed) sent.push(textBlock(el('div', typed, 'sent-text')));
    const userBubble = addMessage('user', sent);
    $('announce').replaceChildren();  // the last exchange's words go with it
    if (image) Object.assign(userBubble.querySelector('img'), { src: image.dataURL, alt: TEXT.sentImage });
    logEntry('question', text);

    const body = { userMessage: text, history: state.history.slice(-HISTORY_TURNS) };
    if (state.pin) body.classPin = state.pin;
    if (image) body.image = { base64: image.base64, mimeType: image.mimeType };

    const bubble = addMessage('bot', el('span', undefined, 'typing'));
    let frame = 0;
    let latest = '';
    const draw = () => {
      frame = 0;
      const shown = visibleText(latest);
      if (shown) showAnswer(bubble, shown);
    };
    const result = { text: '', notice: null, error: null, done: false, finish: null, lost: false };
    try {
      await streamChat(body, result, (soFar) => {
        latest = soFar;
        if (!frame) frame = requestAnimationFrame(draw);
      });
    } catch {
      result.lost = true;
    }
    cancelAnimationFrame(frame);
    // An answer is whole only when its stream said it ended; what came before a lost
    // connection, an error or a notice is kept on screen, marked as interrupted.
    const whole = (result.done || result.finish !== null) && result.error === null && !result.notice;
    const answer = visibleText(result.text);
    if (answer) showAnswer(bubble, answer);
    let end = null;
    if (result.error !== null) end = ['error', result.error ? `${TEXT.modelError} : ${result.error}` : `${TEXT.modelError}.`];
    else if (result.notice) end = ['notice', blocks(result.notice.split('\n'))];
    else if (!whole) end = ['error', result.text ? TEXT.cutOff : TEXT.noAnswer];
    else if (!answer) end = ['error', endlessThought(result.text) ? TEXT.endlessThought : TEXT.emptyAnswer];
    const rows = answer ? [bubble] : [];
    if (end) {
      // The question is given back and the broken exchange is not sent back to the model.
      if (answer) bubble.parentElement.classList.add('interrupted');
      const target = answer ? addMessage('bot', []) : bubble;
      target.replaceChildren(...[].concat(typeof end[1] === 'string' ? el('p', end[1]) : end[1]));
      setKind(target, end[0]);
      rows.push(target);
      restore(typed, image);
    } else {
      state.history.push({ role: 'user', content: text }, { role: 'assistant', content: answer });
      logEntry('answer', answer);
      if (result.finish === 'length') {
        const note = addMessage('bot', el('p', TEXT.tooLong));
        setKind(note, 'notice');
        rows.push(note);
      }
    }
    announce(rows);
    setBusy(false);
    refreshConfig();
    $('message').focus();
  }

  // ---- Images, downscaled in the page before they are sent.

  async function readImage(file) {
    const url = URL.createObjectURL(file);
    try {
      const img = new Image();
      img.src = url;
      await img.decode();
      const scale = Math.min(1, IMAGE_SIDE / Math.max(img.naturalWidth, img.naturalHeight));
      const canvas = document.createElement('canvas');
      canvas.width = Math.max(1, Math.round(img.naturalWidth * scale));
      canvas.height = Math.max(1, Math.round(img.naturalHeight * scale));
      const context = canvas.getContext('2d');
      context.fillStyle = '#ffffff';  // JPEG has no transparency
      context.fillRect(0, 0, canvas.width, canvas.height);
      context.drawImage(img, 0, 0, canvas.width, canvas.height);
      const dataURL = canvas.toDataURL('image/jpeg', 0.85);
      return { dataURL, base64: dataURL.slice(dataURL.indexOf(',') + 1), mimeType: 'image/jpeg' };
    } finally {
      URL.revokeObjectURL(url);
    }
  }

  function setImage(image) {
    state.image = image;
    $('attachment').hidden = !image;
    $('attachment-img').src = image ? image.dataURL : '';
  }

  function setHint(text, error) {
    const hint = document.querySelector('.hint');
    hint.textContent = text;
    hint.classList.toggle('error', !!error);
  }

  async function pickImage() {
    const input = $('file-input');
    const file = input.files[0];
    input.value = '';
    if (!file) return;
    try {
      setImage(await readImage(file));
      setHint(TEXT.hint);
    } catch {
      setImage(null);
      setHint(TEXT.badImage, true);
    }
  }

  // ---- Composer and theme.

  function fitMessage() {
    const box = $('message');
    box.style.height = 'auto';
    const borders = box.offsetHeight - box.clientHeight;
    box.style.height = `${Math.min(box.scrollHeight + borders, 160)}px`;
  }

  function setTheme(theme) {
    document.documentElement.dataset.theme = theme;
    const label = theme === 'dark' ? 'Mode jour' : 'Mode nuit';
    $('theme-btn').title = label;
    $('theme-btn').setAttribute('aria-label', label);
  }

  function start() {
    setTheme(localStorage.getItem(KEYS.theme)
      || (matchMedia('(prefers-color-scheme: dark)').matches ? 'dark' : 'light'));
    $('theme-btn').addEventListener('click', () => {
      const theme = document.documentElement.dataset.theme === 'dark' ? 'light' : 'dark';
      localStorage.setItem(KEYS.theme, theme);
      setTheme(theme);
    });
    setName(state.name);
    $('pin-form').addEventListener('submit', submitPin);
    $('name-form').addEventListener('submit', submitName);
    $('send-form').addEventListener('submit', (event) => { event.preventDefault(); send(); });
    $('message').addEventListener('input', fitMessage);
    $('message').addEventListener('paste', (event) => {
      // The box keeps what fits; the student is told that the rest was left out.
      const box = event.target;
      const pasted = event.clipboardData?.getData('text/plain').replace(/\r\n?/g, '\n') ?? '';
      const room = box.maxLength - box.value.length + box.selectionEnd - box.selectionStart;
      if (pasted.length > room) setHint(TEXT.pasteCut, true);
    });
    $('message').addEventListener('keydown', (event) => {
      if (event.key === 'Enter' && !event.shiftKey && !event.isComposing) {
        event.preventDefault();
        send();
      }
    });
    $('attach-btn').addEventListener('click', () => $('file-input').click());
    $('file-input').addEventListener('change', pickImage);
    $('attachment-remove').addEventListener('click', () => {
      setImage(null);
      setHint(TEXT.hint);
      $('attach-btn').focus();  // the picture and its button are gone
    });

    started = (async () => {
      // A PIN kept for this tab is checked again: the teacher may have changed it.
      if (state.pin && (await loadConfig()) && state.config.requiresPin) {
        try {
          if (await verifyPin(state.pin)) {
            sessionStorage.removeItem(KEYS.pin);
            state.pin = null;
          }
        } catch { /* asked again below */ }
      }
      await refreshConfig();
      if (gate() && document.activeElement === document.body) $('message').focus();
      document.body.classList.add('ready');
    })();
    setInterval(refreshConfig, POLL_MS);
  }

  start();
})();
