// Klarion student page: class PIN, first name, chat with streamed answers.
// Everything that comes from the server or the model enters the page as text nodes
// (textContent) or through the small Markdown renderer below, which builds DOM nodes and
// never parses HTML.
'use strict';
(() => {
  const $ = (id) => document.getElementById(id);

  const TEXT = {
    wrongPin: 'Code PIN incorrect.',
    serverDown: 'Le serveur de la classe ne répond pas. Réessaie dans un instant.',
    noName: 'Écris ton prénom pour continuer.',
    noAnswer: "⚠️ Aucune réponse n'est arrivée. Vérifie ta connexion puis réessaie.",
    imageOnly: 'Analyse cette image.',
    badImage: "Cette image n'a pas pu être lue.",
    hint: "L'IA peut se tromper : vérifie les informations importantes.",
  };
  const KEYS = { pin: 'klarionClassPin', name: 'klarionName', theme: 'studentTheme' };
  const HISTORY_TURNS = 6;
  const IMAGE_SIDE = 1024;
  const POLL_MS = 10000;
  const NOTICE = /^(⏸️|⏳|⚠️)/u;

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

  // Streams "/api/chat"; onText(text so far) after each piece. Resolves to the whole text.
  async function streamChat(body, onText) {
    const reply = await fetch('/api/chat', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
    });
    if (!reply.body) return '';
    const reader = reply.body.getReader();
    const decoder = new TextDecoder();
    let buffer = '';
    let text = '';
    const takeLine = (line) => {
      const match = /^data:\s?(.*?)\r?$/.exec(line);
      if (!match || match[1] === '[DONE]') return;
      let piece;
      try { piece = JSON.parse(match[1])?.choices?.[0]?.delta?.content; } catch { return; }
      if (typeof piece === 'string' && piece) {
        text += piece;
        onText(text);
      }
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
    return text;
  }

  // ---- Class PIN and first name.

  const needsName = () => state.config?.audience === 'eleves' && state.config?.isSupervisionActive === true;

  function showOverlay(id, shown) {
    const overlay = $(id);
    if (overlay.hidden === !shown) return;
    overlay.hidden = !shown;
    if (shown) overlay.querySelector('input').focus();
  }

  // Shows what the student must fill in before chatting; true when nothing is missing.
  function gate() {
    const pinMissing = !!state.config?.requiresPin && !state.pinOk;
    const nameMissing = !pinMissing && needsName() && !state.name;
    showOverlay('pin-overlay', pinMissing);
    showOverlay('name-overlay', nameMissing);
    return !pinMissing && !nameMissing;
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

  const INLINE = new RegExp([
    /(`+)([^`]|[^`][\s\S]*?[^`])\1(?!`)/.source,                 // 1-2 code
    /\*\*(?=\S)([\s\S]*?\S)\*\*/.source,                         // 3 bold
    /(?<![\w*])\*(?=[^\s*])([\s\S]*?[^\s*])\*(?![\w*])/.source,   // 4 italic
    /(?<!\w)_(?=\S)([\s\S]*?\S)_(?!\w)/.source,                  // 5 italic
    /~~(?=\S)([\s\S]*?\S)~~/.source,                             // 6 struck
    /\[([^\]\n]+)\]\((https?:\/\/[^\s)]+)\)/.source,             // 7-8 link
    /(https?:\/\/[^\s<>()]+[^\s<>().,;:!?'"])/.source,           // 9 bare address
  ].join('|'), 'g');

  function el(tag, children, className) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (children !== undefined) node.append(...[].concat(children));
    return node;
  }

  function link(children, href) {
    const a = el('a', children);
    a.href = href;
    a.target = '_blank';
    a.rel = 'noopener noreferrer';
    return a;
  }

  function inline(text) {
    const nodes = [];
    let last = 0;
    for (const m of text.matchAll(INLINE)) {  // an iterator of its own: inline() recurses
      if (m.index > last) nodes.push(text.slice(last, m.index));
      if (m[2] !== undefined) nodes.push(el('code', m[2]));
      else if (m[3] !== undefined) nodes.push(el('strong', inline(m[3])));
      else if (m[4] !== undefined || m[5] !== undefined) nodes.push(el('em', inline(m[4] ?? m[5])));
      else if (m[6] !== undefined) nodes.push(el('del', inline(m[6])));
      else if (m[7] !== undefined) nodes.push(link(inline(m[7]), m[8]));
      else nodes.push(link(m[9], m[9]));
      last = m.index + m[0].length;
    }
    if (last < text.length) nodes.push(text.slice(last));
    return nodes;
  }

  // Lines joined by line breaks, each rendered inline.
  function inlineLines(lines) {
    const nodes = [];
    lines.forEach((line, i) => {
      if (i) nodes.push(el('br'));
      nodes.push(...inline(line.trim()));
    });
    return nodes;
  }

  const FENCE = /^\s*(```|~~~)/;
  const HEADING = /^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$/;
  const RULE = /^\s{0,3}([-*_])(\s*\1){2,}\s*$/;
  const QUOTE = /^\s{0,3}>\s?/;
  const ITEM = /^(\s*)([-*+]|\d{1,9}[.)])\s+(.*)$/;
  const TABLE_RULE = /^\s*\|?\s*:?-+:?\s*(\|\s*:?-+:?\s*)*\|?\s*$/;
  const startsBlock = (line, next) => FENCE.test(line) || HEADING.test(line) || RULE.test(line)
    || QUOTE.test(line) || ITEM.test(line) || (line.includes('|') && TABLE_RULE.test(next || ''));

  const cells = (line) => line.trim().replace(/^\|/, '').replace(/\|$/, '').split('|').map((c) => c.trim());

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
        if (!sub && /^\S/.test(line) && startsBlock(line, lines[i + 1])) break;
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
        for (i++; i < lines.length && lines[i].trim() && !startsBlock(lines[i], lines[i + 1]); i++) para.push(lines[i]);
        out.push(el('p', inlineLines(para)));
      }
    }
    return out;
  }

  // What the student sees of the model's text: reasoning spans hidden, also while open.
  function visibleText(text) {
    let shown = text.replace(/<think>[\s\S]*?(<\/think>|$)/g, '');
    const close = shown.lastIndexOf('</think>');
    if (close >= 0) shown = shown.slice(close + '</think>'.length);
    return shown.trim();
  }

  function renderMarkdown(target, text) {
    target.replaceChildren(...blocks(text.replace(/\r\n?/g, '\n').split('\n')));
  }

  // ---- Chat.

  const chat = $('chat');

  function nearBottom() {
    return chat.scrollHeight - chat.scrollTop - chat.clientHeight < 80;
  }

  function addMessage(who, content) {
    const stick = nearBottom();
    const bubble = el('div', content, `bubble${who === 'bot' ? ' markdown-body' : ''}`);
    const row = el('div', bubble, `msg ${who}`);
    chat.append(row);
    if (stick || who === 'user') chat.scrollTop = chat.scrollHeight;
    return bubble;
  }

  function showAnswer(bubble, text) {
    const stick = nearBottom();
    renderMarkdown(bubble, text);
    if (stick) chat.scrollTop = chat.scrollHeight;
  }

  function setBusy(busy) {
    state.busy = busy;
    $('send-btn').disabled = busy;
  }

  async function send() {
    if (state.busy || !gate()) return;
    const typed = $('message').value.trim();
    const image = state.image;
    if (!typed && !image) return;
    const text = typed || TEXT.imageOnly;
    setBusy(true);
    $('message').value = '';
    fitMessage();
    setImage(null);

    const sent = [];
    if (image) sent.push(el('img', undefined, 'sent-image'));
    if (typed) sent.push(el('div', typed, 'sent-text'));
    const userBubble = addMessage('user', sent);
    if (image) userBubble.querySelector('img').src = image.dataURL;
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
    let answer = '';
    try {
      answer = visibleText(await streamChat(body, (soFar) => {
        latest = soFar;
        if (!frame) frame = requestAnimationFrame(draw);
      }));
    } catch {
      answer = '';
    }
    cancelAnimationFrame(frame);
    if (answer) {
      showAnswer(bubble, answer);
      logEntry('answer', answer);
      // The server's own notices (pause, busy, errors) are not part of the conversation.
      if (!NOTICE.test(answer)) state.history.push({ role: 'user', content: text }, { role: 'assistant', content: answer });
    } else {
      bubble.parentElement.classList.add('error');
      bubble.replaceChildren(el('p', TEXT.noAnswer));
    }
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
    $('message').addEventListener('keydown', (event) => {
      if (event.key === 'Enter' && !event.shiftKey && !event.isComposing) {
        event.preventDefault();
        send();
      }
    });
    $('file-input').addEventListener('change', pickImage);
    $('attachment-remove').addEventListener('click', () => setImage(null));

    (async () => {
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
      document.body.classList.add('ready');
    })();
    setInterval(refreshConfig, POLL_MS);
  }

  start();
})();
