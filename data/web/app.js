// The service's page: one card per projector, kept current from the event stream, with the
// panel's commands and keypad. Everything it shows goes in through textContent.

const API = '/api/v1';
const TOKEN_KEY = 'mero-control.token';
const HEARTBEAT_MS = 250;
const RESTART_MS = 3000;

const POWER = {
  standby: 'stand-by',
  on: 'on',
  'warming-up': 'warming up',
  'cooling-down': 'cooling down',
  failed: 'failed',
};
const INPUT = { pc1: 'PC1', pc2: 'PC2', video: 'Video', 'input-mode-4': 'input mode 4' };
const UNKNOWN = 'unknown';

const $ = (selector, root = document) => root.querySelector(selector);
const path = (...parts) => parts.map(encodeURIComponent).join('/');

const cards = new Map();
const projectors = new Map();

// ---- values as shown

const onOff = (value) => (value === true ? 'on' : value === false ? 'off' : UNKNOWN);
const known = (table, value) => (value == null ? UNKNOWN : table[value] ?? String(value));

function temperatures(list) {
  if (!Array.isArray(list) || list.length === 0) return UNKNOWN;
  return list.map((t) => (Number.isFinite(t) ? `${t.toFixed(1)} °C` : '—')).join(' · ');
}

function errors(value) {
  if (value == null || typeof value !== 'object') return UNKNOWN;
  const raised = Object.entries(value).filter(([, level]) => level !== 'none');
  return raised.length ? raised.map(([part, level]) => `${part} ${level}`).join(', ') : 'none';
}

function pollTime(value) {
  if (!value) return 'never';
  const at = new Date(value);
  return Number.isNaN(at.getTime()) ? String(value) : at.toLocaleString();
}

const FIELDS = {
  id: (p) => p.id,
  name: (p) => p.name || p.id,
  model: (p) => p.model ?? UNKNOWN,
  lineOpen: (p) => (p.lineOpen ? 'line open' : 'line closed'),
  answering: (p) => (p.answering ? 'answering' : 'not answering'),
  busy: (p) => (p.busy ? 'key held' : ''),
  power: (p) => known(POWER, p.power),
  input: (p) => known(INPUT, p.input),
  pictureMute: (p) => onOff(p.pictureMute),
  soundMute: (p) => onOff(p.soundMute),
  lampHours: (p) => (Number.isFinite(p.lampHours) ? String(p.lampHours) : UNKNOWN),
  temperatures: (p) => temperatures(p.temperatures),
  errors: (p) => errors(p.errors),
  lastPoll: (p) => pollTime(p.lastPoll),
};

// ---- talking to the service

function token() {
  try {
    return sessionStorage.getItem(TOKEN_KEY) || '';
  } catch {
    return '';
  }
}

async function post(url, { keepalive = false } = {}) {
  const headers = { 'Content-Type': 'application/json' };
  const bearer = token();
  if (bearer) headers.Authorization = `Bearer ${bearer}`;
  let response;
  try {
    response = await fetch(url, { method: 'POST', headers, body: '{}', keepalive, cache: 'no-store' });
  } catch {
    return { ok: false, status: 0, body: null, message: 'The service could not be reached.' };
  }
  let body = null;
  if (response.status !== 204) {
    try {
      body = await response.json();
    } catch {
      body = null;
    }
  }
  const message = body && typeof body.message === 'string'
    ? body.message
    : `The service answered ${response.status} ${response.statusText}`.trim();
  return { ok: response.ok, status: response.status, body, message };
}

async function getJson(url) {
  const response = await fetch(url, { cache: 'no-store' });
  if (!response.ok) throw new Error(`${url}: ${response.status}`);
  return response.json();
}

const words = (name) => String(name).replaceAll('-', ' ').toUpperCase();

function outcome(name, result) {
  if (!result.ok) return result.message;
  const body = result.body || {};
  if (body.outcome === 'replied') return `${words(name)} replied: ${body.reply ?? ''}`.trim();
  return `${words(name)} acknowledged`;
}

// ---- cards

function say(element, text) {
  element.textContent = text;
}

function createCard(id) {
  const card = $('#card-template').content.firstElementChild.cloneNode(true);
  card.dataset.projector = id;
  const title = $('.card-title', card);
  title.id = `card-${cards.size}`;
  card.setAttribute('aria-labelledby', title.id);
  $('.stale-note', card).id = `${title.id}-stale`;
  card.addEventListener('click', (event) => {
    const button = event.target.closest('button');
    if (!button) return;
    if (button.dataset.command) command(id, button.dataset.command, button);
    else if (button.classList.contains('open-keypad')) openKeypad(id, button);
  });
  $('#empty')?.remove();
  $('#cards').append(card);
  cards.set(id, card);
  return card;
}

function show(projector) {
  if (!projector || typeof projector.id !== 'string') return;
  projectors.set(projector.id, projector);
  const card = cards.get(projector.id) ?? createCard(projector.id);
  for (const [field, format] of Object.entries(FIELDS)) {
    const element = card.querySelector(`[data-field="${field}"]`);
    if (element) element.textContent = format(projector);
  }
  const stale = !projector.lineOpen || !projector.answering;
  card.classList.toggle('stale', stale);
  card.classList.toggle('line-closed', !projector.lineOpen);
  card.classList.toggle('not-answering', !projector.answering);
  card.classList.toggle('is-busy', Boolean(projector.busy));
  const values = $('.values', card);
  if (stale) values.setAttribute('aria-describedby', $('.stale-note', card).id);
  else values.removeAttribute('aria-describedby');
  if (keypadFor === projector.id) $('#keypad-title').textContent = `Keypad — ${FIELDS.name(projector)}`;
}

async function command(id, name, button) {
  if (name === 'power-off' && !(await confirmPowerOff(id, button))) return;
  const line = $('[data-field="result"]', cards.get(id));
  say(line, `Sending ${words(name)}…`);
  const result = await post(`${API}/projectors/${path(id, 'commands', name)}`);
  say(line, outcome(name, result));
}

// ---- dialogs

function trapFocus(dialog) {
  dialog.addEventListener('keydown', (event) => {
    if (event.key !== 'Tab') return;
    const focusable = [...dialog.querySelectorAll('button, input, [tabindex]:not([tabindex="-1"])')]
      .filter((element) => !element.disabled && element.offsetParent !== null);
    if (focusable.length === 0) return;
    const first = focusable[0];
    const last = focusable[focusable.length - 1];
    if (event.shiftKey && document.activeElement === first) {
      last.focus();
      event.preventDefault();
    } else if (!event.shiftKey && document.activeElement === last) {
      first.focus();
      event.preventDefault();
    }
  });
}

function confirmPowerOff(id, opener) {
  const dialog = $('#confirm');
  if (dialog.open) return Promise.resolve(false);
  const name = FIELDS.name(projectors.get(id) ?? { id });
  $('#confirm-title').textContent = `Power off ${name}?`;
  $('#confirm-text').textContent = `${name} will cool down and go to stand-by.`;
  return new Promise((resolve) => {
    const answer = (event) => {
      const button = event.target.closest('button[data-answer]');
      if (button) dialog.close(button.dataset.answer);
    };
    dialog.addEventListener('click', answer);
    dialog.addEventListener('close', () => {
      dialog.removeEventListener('click', answer);
      opener.focus();
      resolve(dialog.returnValue === 'ok');
    }, { once: true });
    dialog.returnValue = '';
    dialog.showModal();
    $('[data-answer="cancel"]', dialog).focus();
  });
}

// ---- keypad

let keypad = null;
let keypadFor = null;
let keypadOpener = null;

function loadKeypad() {
  keypad ??= getJson(`${API}/keypad`).catch((error) => {
    keypad = null;
    throw error;
  });
  return keypad;
}

function buildKeypad(layout) {
  const root = $('#keypad-groups');
  root.replaceChildren();
  (layout.groups ?? []).forEach((group, index) => {
    const section = document.createElement('section');
    section.className = 'key-group';
    const heading = document.createElement('h3');
    heading.id = `key-group-${index}`;
    heading.textContent = group.title;
    section.setAttribute('aria-labelledby', heading.id);
    const keys = document.createElement('div');
    keys.className = 'keys';
    for (const key of group.keys ?? []) {
      const button = document.createElement('button');
      button.type = 'button';
      button.className = key.repeats ? 'key repeats' : 'key';
      button.dataset.key = key.key;
      button.textContent = key.caption;
      button.setAttribute('aria-label', `${group.title} ${key.caption}`);
      if (key.repeats) holdable(button);
      keys.append(button);
    }
    section.append(heading, keys);
    root.append(section);
  });
}

async function openKeypad(id, opener) {
  const dialog = $('#keypad');
  keypadFor = id;
  keypadOpener = opener;
  $('#keypad-title').textContent = `Keypad — ${FIELDS.name(projectors.get(id) ?? { id })}`;
  $('#keypad-result').textContent = '';
  if (!dialog.open) dialog.showModal();
  $('#keypad-close').focus();
  try {
    if (!$('#keypad-groups').childElementCount) buildKeypad(await loadKeypad());
  } catch {
    say($('#keypad-result'), 'The keys could not be loaded; open the keypad again to retry.');
  }
}

function keyLabel(button) {
  return button.getAttribute('aria-label');
}

async function pressOnce(button) {
  const id = keypadFor;
  if (button.dataset.key === 'power-off' && !(await confirmPowerOff(id, button))) return;
  // Said first so that the same answer twice is still read out as new.
  say($('#keypad-result'), `${keyLabel(button)}: sending…`);
  const result = await post(`${API}/projectors/${path(id, 'keys', button.dataset.key)}`);
  const body = result.body ?? {};
  const said = !result.ok ? result.message : body.outcome === 'replied' ? `replied ${body.reply ?? ''}` : 'acknowledged';
  say($('#keypad-result'), `${keyLabel(button)}: ${said}`.trim());
}

// A held key lives on the service only while heartbeats come; every way the hand can leave
// the key (or the page) ends it here at once rather than leaving it to run out.
let hold = null;

async function startHold(button) {
  endHold();
  const current = { button, id: null, timer: 0, ended: false, beating: false };
  hold = current;
  button.classList.add('held');
  const result = await post(`${API}/projectors/${path(keypadFor, 'keys', button.dataset.key)}`);
  if (!result.ok || typeof result.body?.hold !== 'string') {
    say($('#keypad-result'), `${keyLabel(button)}: ${result.message}`);
    finish(current);
    return;
  }
  current.id = result.body.hold;
  if (current.ended) {
    post(`${API}/holds/${path(current.id, 'release')}`);
    return;
  }
  say($('#keypad-result'), `${keyLabel(button)} held`);
  current.timer = setInterval(() => heartbeat(current), HEARTBEAT_MS);
}

async function heartbeat(current) {
  if (current.beating || current.ended) return;
  current.beating = true;
  const result = await post(`${API}/holds/${path(current.id, 'heartbeat')}`);
  current.beating = false;
  if (result.status === 404 && !current.ended) {
    say($('#keypad-result'), `${keyLabel(current.button)} ended by the service`);
    finish(current);
  }
}

function finish(current) {
  current.ended = true;
  clearInterval(current.timer);
  current.button.classList.remove('held');
  if (hold === current) hold = null;
}

function endHold({ button = null } = {}) {
  const current = hold;
  if (!current || (button && current.button !== button)) return;
  finish(current);
  if (current.id) {
    // keepalive: hiding or leaving the page must not cancel the release on its way out.
    post(`${API}/holds/${path(current.id, 'release')}`, { keepalive: true });
    say($('#keypad-result'), `${keyLabel(current.button)} released`);
  }
}

function holdable(button) {
  const release = () => endHold({ button });
  button.addEventListener('pointerdown', (event) => {
    if (event.button !== 0) return;
    event.preventDefault();
    button.focus();
    startHold(button);
  });
  for (const type of ['pointerup', 'pointercancel', 'pointerleave', 'blur']) {
    button.addEventListener(type, release);
  }
  button.addEventListener('keydown', (event) => {
    if (event.key !== ' ' && event.key !== 'Enter') return;
    event.preventDefault();
    if (!event.repeat) startHold(button);
  });
  button.addEventListener('keyup', (event) => {
    if (event.key !== ' ' && event.key !== 'Enter') return;
    event.preventDefault();
    release();
  });
  button.addEventListener('contextmenu', (event) => event.preventDefault());
}

function setUpKeypad() {
  const dialog = $('#keypad');
  trapFocus(dialog);
  $('#keypad-close').addEventListener('click', () => dialog.close());
  dialog.addEventListener('click', (event) => {
    const button = event.target.closest('button.key');
    if (button && !button.classList.contains('repeats')) pressOnce(button);
  });
  dialog.addEventListener('close', () => {
    endHold();
    keypadFor = null;
    keypadOpener?.focus();
  });
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'hidden') endHold();
  });
  window.addEventListener('pagehide', () => endHold());
}

// ---- token

function setUpToken() {
  const form = $('#token-form');
  const state = $('#token-state');
  const describe = () => {
    state.textContent = token() ? 'A token is in use for changes.' : 'No token: changes will be refused.';
  };
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const value = $('#token').value.trim();
    if (value && (value.length < 16 || value.length > 128)) {
      state.textContent = 'A token has 16 to 128 characters; nothing was changed.';
      return;
    }
    try {
      if (value) sessionStorage.setItem(TOKEN_KEY, value);
      else sessionStorage.removeItem(TOKEN_KEY);
    } catch {
      state.textContent = 'This browser keeps no token for the session.';
      return;
    }
    $('#token').value = '';
    describe();
  });
  describe();
}

// ---- live updates

function banner(text) {
  const element = $('#banner');
  element.textContent = text;
}

function listen() {
  const events = new EventSource(`${API}/events`);
  events.addEventListener('open', () => banner(''));
  events.addEventListener('projector', (event) => {
    try {
      show(JSON.parse(event.data));
    } catch {
      // A broken line is dropped; the next change of that projector brings it whole.
    }
  });
  events.addEventListener('error', () => {
    banner('Reconnecting…');
    // EventSource gives up for good on an answer that is not a stream (a restart, a proxy).
    if (events.readyState === EventSource.CLOSED) setTimeout(listen, RESTART_MS);
  });
}

async function start() {
  setUpToken();
  setUpKeypad();
  trapFocus($('#confirm'));
  try {
    const list = await getJson(`${API}/projectors`);
    for (const projector of list.projectors ?? []) show(projector);
    if (!cards.size) $('#empty').textContent = 'No projector is configured.';
  } catch {
    banner('The projectors could not be read; waiting for the event stream.');
  }
  listen();
}

start();
