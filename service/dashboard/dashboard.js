// The pelmora dashboard: the caller's jobs, one job's status, live log and files.
// Everything a job or the service sends is put on the page as text (textContent), never as
// markup. The API key lives in this tab's sessionStorage and goes out only in the
// Authorization header of requests to this service.
"use strict";

const KEY_ITEM = "pelmora-api-key";
const PAGE_SIZE = 100;
const LINE_HEIGHT = 18;           // px, as .line in dashboard.css
const MAX_SHOWN_CHARS = 2000;     // of one line; the rest is summarised
const JOBS_REFRESH_MS = 2000;
const STATUS_REFRESH_MS = 1000;
const OUTPUT_WAIT_S = 20;         // long poll, where the service offers it

const $ = (id) => document.getElementById(id);

// ---- requests -----------------------------------------------------------------------------

class SignedOut extends Error {}

async function api(path, options = {}) {
  const key = sessionStorage.getItem(KEY_ITEM);
  if (!key) throw new SignedOut("not signed in");
  const response = await fetch(path, {
    method: options.method || "GET",
    headers: { Authorization: "Bearer " + key },
    cache: "no-store",
    credentials: "omit",
    signal: options.signal,
  });
  if (response.status === 401) {
    sessionStorage.removeItem(KEY_ITEM);
    throw new SignedOut("The service no longer accepts this key.");
  }
  if (options.raw) return response;
  let body = null;
  try { body = await response.json(); } catch (e) { body = null; }
  if (!response.ok) {
    const message = body && typeof body.error === "string" ? body.error : "HTTP " + response.status;
    const error = new Error(message);
    error.status = response.status;
    throw error;
  }
  if (body === null || typeof body !== "object") throw new Error("the service sent an answer that is not JSON");
  return body;
}

// ---- text ---------------------------------------------------------------------------------

function text(value) {
  return value === null || value === undefined ? "" : String(value);
}

function el(tag, className, content) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (content !== undefined) node.textContent = text(content);
  return node;
}

function formatTime(iso) {
  if (!iso) return "";
  const date = new Date(iso);
  return isNaN(date) ? text(iso) : date.toLocaleString();
}

function formatDuration(job) {
  const start = Date.parse(job.started_at);
  if (isNaN(start)) return "";
  const end = job.finished_at ? Date.parse(job.finished_at) : Date.now();
  if (isNaN(end)) return "";
  let seconds = Math.max(0, Math.round((end - start) / 1000));
  const h = Math.floor(seconds / 3600), m = Math.floor((seconds % 3600) / 60);
  seconds %= 60;
  return h ? `${h}h ${m}m` : m ? `${m}m ${seconds}s` : `${seconds}s`;
}

function formatBytes(n) {
  if (typeof n !== "number" || !isFinite(n)) return "";
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; i++; }
  return (i ? n.toFixed(1) : String(n)) + " " + units[i];
}

function formatResources(resources) {
  if (!resources || typeof resources !== "object") return "";
  return Object.keys(resources).map((k) => `${k}=${text(resources[k])}`).join(" ");
}

function runnerOf(job) {
  const runner = text(job.runner) || state.runnerName;
  return job.slurm_job_id ? `${runner} ${text(job.slurm_job_id)}` : runner;
}

function stateBadge(node, status) {
  node.textContent = text(status);
  node.className = "state state-" + text(status).replace(/[^a-z]/g, "");
}

// Splits a line into styled runs: SGR colours and weights are kept as classes, every other
// escape sequence and control character is dropped.
function styledRuns(line) {
  const runs = [];
  let style = { fg: -1, b: false, i: false, u: false };
  let current = "";
  const push = () => {
    if (current) runs.push({ text: current, style: { ...style } });
    current = "";
  };
  for (let i = 0; i < line.length; i++) {
    const c = line.charCodeAt(i);
    if (c === 0x1b) {
      const next = line[i + 1];
      if (next === "[") {
        let j = i + 2;
        while (j < line.length && line.charCodeAt(j) >= 0x30 && line.charCodeAt(j) <= 0x3f) j++;
        while (j < line.length && line.charCodeAt(j) >= 0x20 && line.charCodeAt(j) <= 0x2f) j++;
        const final = line[j];
        if (final === "m") {
          push();
          style = applySgr(style, line.slice(i + 2, j));
        }
        i = j;
      } else if (next === "]" || next === "P" || next === "_" || next === "^") {
        // A string sequence runs to BEL or ST.
        let j = i + 2;
        while (j < line.length && line.charCodeAt(j) !== 7 && !(line[j] === "\x1b" && line[j + 1] === "\\")) j++;
        i = line[j] === "\x1b" ? j + 1 : j;
      } else {
        i += 1;
      }
      continue;
    }
    if (c === 9) { current += "    "; continue; }
    if (c < 0x20 || c === 0x7f || (c >= 0x80 && c < 0xa0)) continue;
    current += line[i];
  }
  push();
  return runs;
}

function applySgr(style, params) {
  const next = { ...style };
  const codes = params === "" ? [0] : params.split(/[;:]/).map((p) => parseInt(p, 10) || 0);
  for (let k = 0; k < codes.length; k++) {
    const code = codes[k];
    if (code === 0) Object.assign(next, { fg: -1, b: false, i: false, u: false });
    else if (code === 1) next.b = true;
    else if (code === 3) next.i = true;
    else if (code === 4) next.u = true;
    else if (code === 22) next.b = false;
    else if (code === 23) next.i = false;
    else if (code === 24) next.u = false;
    else if (code >= 30 && code <= 37) next.fg = code - 30;
    else if (code >= 90 && code <= 97) next.fg = code - 90 + 8;
    else if (code === 39) next.fg = -1;
    else if (code === 38 || code === 48) {
      // 256-colour and true-colour forms: their arguments are skipped, the colour dropped.
      k += codes[k + 1] === 5 ? 2 : codes[k + 1] === 2 ? 4 : 0;
    }
  }
  return next;
}

// ---- state and routing --------------------------------------------------------------------

const state = {
  runnerName: "",
  view: null,          // "jobs" or "job"
  timers: [],
  abort: null,         // AbortController of the current page's requests
  jobsCursor: [],      // "before" ids of the pages shown before this one
  jobsBefore: null,
  jobsNext: null,
  log: null,
};

function stopPage() {
  state.timers.forEach(clearTimeout);
  state.timers = [];
  if (state.abort) state.abort.abort();
  state.abort = new AbortController();
  state.log = null;
}

function later(fn, ms) {
  state.timers.push(setTimeout(fn, ms));
}

function show(section) {
  for (const id of ["sign-in", "jobs-page", "job-page"]) $(id).hidden = id !== section;
  $("sign-out").hidden = section === "sign-in";
}

function signedOut(message) {
  stopPage();
  sessionStorage.removeItem(KEY_ITEM);
  $("service-state").textContent = "";
  $("sign-in-error").textContent = message || "";
  show("sign-in");
  $("key").focus();
}

function route() {
  stopPage();
  if (!sessionStorage.getItem(KEY_ITEM)) return signedOut("");
  const hash = location.hash || "#/";
  const job = /^#\/jobs\/([A-Za-z0-9._-]{1,200})$/.exec(hash);
  if (job) return showJob(job[1]);
  const filter = /^#\/\?state=([a-z]+)$/.exec(hash);
  return showJobs(filter ? filter[1] : "");
}

function failed(error) {
  if (error instanceof SignedOut) return signedOut(error.message);
  if (error && error.name === "AbortError") return;
  throw error;
}

async function signIn(event) {
  event.preventDefault();
  const key = $("key").value.trim();
  $("key").value = "";
  if (!key) return;
  sessionStorage.setItem(KEY_ITEM, key);
  try {
    await refreshHealth();
  } catch (error) {
    sessionStorage.removeItem(KEY_ITEM);
    $("sign-in-error").textContent =
      error instanceof SignedOut ? "The service does not accept this key." : "Cannot reach the service: " + error.message;
    return;
  }
  $("sign-in-error").textContent = "";
  route();
}

async function refreshHealth() {
  const health = await api("/v1/health");
  const runner = health.runner && typeof health.runner === "object" ? health.runner : {};
  state.runnerName = text(runner.name) || "local";
  let line = `${text(health.running)} running, ${text(health.queued)} queued · runner ${state.runnerName}`;
  if (runner.state && runner.state !== "ok") line += ` (${text(runner.state)})`;
  $("service-state").textContent = line;
}

// ---- jobs page ----------------------------------------------------------------------------

async function showJobs(filter) {
  show("jobs-page");
  $("state-filter").value = filter;
  const signal = state.abort.signal;
  const tick = async () => {
    try {
      await Promise.all([loadJobs(filter, signal), refreshHealth()]);
      $("jobs-note").textContent = "";
    } catch (error) {
      if (error instanceof SignedOut || (error && error.name === "AbortError")) return failed(error);
      $("jobs-note").textContent = "Cannot update: " + error.message;
    }
    if (!signal.aborted) later(tick, JOBS_REFRESH_MS);
  };
  await tick();
}

async function loadJobs(filter, signal) {
  let path = `/v1/jobs?limit=${PAGE_SIZE}`;
  if (filter) path += "&status=" + encodeURIComponent(filter);
  if (state.jobsBefore) path += `&before=${encodeURIComponent(state.jobsBefore)}`;
  const answer = await api(path, { signal });
  const jobs = Array.isArray(answer.jobs) ? answer.jobs : [];
  state.jobsNext = typeof answer.next === "string" ? answer.next : null;
  const body = document.createElement("tbody");
  for (const job of jobs) {
    if (!job || typeof job !== "object") continue;
    const row = document.createElement("tr");
    const idCell = el("td");
    const link = el("a", "", job.job_id);
    link.href = "#/jobs/" + encodeURIComponent(text(job.job_id));
    idCell.append(link);
    const stateCell = el("td");
    const badge = el("span");
    stateBadge(badge, job.status);
    stateCell.append(badge);
    if (job.pending_reason) stateCell.append(" ", el("span", "muted", job.pending_reason));
    row.append(idCell, stateCell, el("td", "wrap", job.file_path), el("td", "", formatTime(job.created_at)),
      el("td", "", formatDuration(job)), el("td", "", job.exit_code),
      el("td", "", formatResources(job.resources)), el("td", "", runnerOf(job)));
    if (job.error) row.title = text(job.error);
    body.append(row);
  }
  $("jobs").tBodies[0].replaceWith(body);
  $("jobs-empty").hidden = jobs.length > 0;
  $("newer").disabled = state.jobsCursor.length === 0;
  $("older").disabled = !state.jobsNext;
  const page = state.jobsCursor.length + 1;
  $("page-label").textContent = jobs.length ? `page ${page}` : "";
}

function pageOlder() {
  if (!state.jobsNext) return;
  state.jobsCursor.push(state.jobsBefore);
  state.jobsBefore = state.jobsNext;
  route();
}

function pageNewer() {
  if (!state.jobsCursor.length) return;
  state.jobsBefore = state.jobsCursor.pop();
  route();
}

function filterChanged() {
  state.jobsCursor = [];
  state.jobsBefore = null;
  const value = $("state-filter").value;
  location.hash = value ? "#/?state=" + value : "#/";
}

// ---- job page -----------------------------------------------------------------------------

function isTerminal(status) {
  return status === "completed" || status === "failed" || status === "cancelled";
}

async function showJob(id) {
  show("job-page");
  $("job-title").textContent = id;
  $("job-error").textContent = "";
  $("job-fields").replaceChildren();
  $("files-section").hidden = true;
  $("cancel").hidden = true;
  $("cancel-confirm").hidden = true;
  const log = new LogView($("log"), $("log-spacer"), $("log-lines"));
  state.log = log;
  const signal = state.abort.signal;
  let status = null;
  const tick = async () => {
    try {
      const job = await api("/v1/jobs/" + encodeURIComponent(id), { signal });
      status = job.status;
      renderJob(job);
      if (isTerminal(status)) loadFiles(id, signal);
    } catch (error) {
      if (error instanceof SignedOut || (error && error.name === "AbortError")) return failed(error);
      $("job-error").textContent = error.message;
      if (error.status === 404) return;
    }
    if (!signal.aborted && !isTerminal(status)) later(tick, STATUS_REFRESH_MS);
  };
  await tick();
  followOutput(id, log, signal).catch(failed);
}

function renderJob(job) {
  stateBadge($("job-state"), job.status);
  const fields = $("job-fields");
  const rows = [];
  const add = (label, value) => {
    if (value === null || value === undefined || value === "") return;
    rows.push(el("dt", "", label), el("dd", "", value));
  };
  add("Script", job.file_path);
  add("Created", formatTime(job.created_at));
  add("Started", formatTime(job.started_at));
  add("Finished", formatTime(job.finished_at));
  add("Duration", formatDuration(job));
  add("Exit code", job.exit_code);
  add("Error", job.error);
  add("Pending reason", job.pending_reason);
  add("Cancel", job.cancel_requested === true ? "requested; waiting for the runner to confirm" : "");
  add("Resources", formatResources(job.resources));
  add("Runner", runnerOf(job));
  add("Fast", job.fast ? "yes" : "");
  fields.replaceChildren(...rows);
  const open = !isTerminal(job.status);
  $("cancel").hidden = !open || !$("cancel-confirm").hidden;
  if (!open) $("cancel-confirm").hidden = true;
}

async function cancelJob() {
  const id = $("job-title").textContent;
  $("cancel-confirm").hidden = true;
  try {
    const job = await api("/v1/jobs/" + encodeURIComponent(id) + "/cancel", { method: "POST" });
    renderJob(job);
  } catch (error) {
    if (error instanceof SignedOut) return failed(error);
    $("job-error").textContent = "Cancel failed: " + error.message;
    $("cancel").hidden = false;
  }
}

async function followOutput(id, log, signal) {
  let offset = 0;
  let waitOffered = true;
  for (;;) {
    if (signal.aborted) return;
    const started = Date.now();
    let path = `/v1/jobs/${encodeURIComponent(id)}/output?offset=${offset}`;
    if (waitOffered) path += `&wait=${OUTPUT_WAIT_S}`;
    let page;
    try {
      page = await api(path, { signal });
    } catch (error) {
      if (error instanceof SignedOut || (error && error.name === "AbortError")) throw error;
      $("log-note").textContent = "Cannot read the output: " + error.message + " (trying again)";
      await sleep(2000, signal);
      continue;
    }
    const entries = Array.isArray(page.entries) ? page.entries : [];
    log.append(entries);
    const next = Number(page.current_index);
    if (Number.isSafeInteger(next) && next > offset) offset = next;
    $("log-note").textContent = `${log.count.toLocaleString()} lines`;
    if (page.more === true && entries.length) continue;
    if (isTerminal(page.status)) return;
    // A service without the long poll answers at once: poll gently instead.
    if (!entries.length && Date.now() - started < 200) {
      waitOffered = false;
      await sleep(1000, signal);
    }
  }
}

function sleep(ms, signal) {
  return new Promise((resolve) => {
    const timer = setTimeout(resolve, ms);
    signal.addEventListener("abort", () => { clearTimeout(timer); resolve(); }, { once: true });
  });
}

async function loadFiles(id, signal) {
  if (!$("files-section").hidden) return;
  let answer;
  try {
    answer = await api(`/v1/jobs/${encodeURIComponent(id)}/files`, { signal });
  } catch (error) {
    return;  // a service without the files request, or a job without a directory
  }
  // Regular files only (directories, links and others are listed by the API, not offered).
  const files = (Array.isArray(answer.files) ? answer.files : []).filter(
    (file) => file && typeof file === "object" && file.type === "file");
  const body = document.createElement("tbody");
  for (const file of files) {
    const row = document.createElement("tr");
    const cell = el("td");
    if (typeof file.path === "string") {
      const button = el("button", "", "Download");
      button.type = "button";
      button.addEventListener("click", () => download(id, file.path));
      cell.append(button);
    }
    const name = typeof file.path === "string" ? file.path : "(a name that is not UTF-8: use pelmora get)";
    const modified = typeof file.mtime === "number" ? new Date(file.mtime * 1000).toLocaleString() : "";
    row.append(el("td", "wrap", name), el("td", "", formatBytes(file.size)), el("td", "", modified), cell);
    body.append(row);
  }
  if (answer.more === true) {
    const row = document.createElement("tr");
    const cell = el("td", "muted", "More files than shown here: pelmora files " + id + " lists them all.");
    cell.colSpan = 4;
    row.append(cell);
    body.append(row);
  }
  $("files").tBodies[0].replaceWith(body);
  $("files-section").hidden = files.length === 0;
}

async function download(id, path) {
  const encoded = path.split("/").map(encodeURIComponent).join("/");
  try {
    const response = await api(`/v1/jobs/${encodeURIComponent(id)}/files/${encoded}`, { raw: true });
    if (!response.ok) throw new Error("HTTP " + response.status);
    const url = URL.createObjectURL(await response.blob());
    const a = document.createElement("a");
    a.href = url;
    a.download = path.split("/").pop() || "file";
    a.click();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  } catch (error) {
    failed(error instanceof SignedOut ? error : null);
    $("job-error").textContent = "Download failed: " + error.message;
  }
}

// ---- the log view: only the lines on screen are in the page -------------------------------

class LogView {
  constructor(box, spacer, lines) {
    this.box = box;
    this.spacer = spacer;
    this.lines = lines;
    this.texts = [];
    this.errs = [];
    this.count = 0;
    this.pending = false;
    box.scrollTop = 0;
    this.spacer.style.height = "0px";
    this.lines.replaceChildren();
    box.onscroll = () => {
      const atBottom = box.scrollTop + box.clientHeight >= box.scrollHeight - LINE_HEIGHT;
      if (!atBottom && this.count > 0) $("follow").checked = false;
      this.schedule();
    };
  }

  append(entries) {
    for (const entry of entries) {
      if (!entry || typeof entry !== "object") continue;
      let content = text(entry.content);
      if (content.endsWith("\n")) content = content.slice(0, -1);
      if (content.endsWith("\r")) content = content.slice(0, -1);
      this.texts.push(content);
      this.errs.push(entry.stream === "stderr");
      this.count++;
    }
    this.schedule();
  }

  schedule() {
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      if (state.log === this) this.render();
    });
  }

  render() {
    const box = this.box;
    // Browsers cap an element's height; past it, positions are scaled.
    const full = this.count * LINE_HEIGHT;
    const height = Math.min(full, 15000000);
    const scale = full > height ? full / height : 1;
    this.spacer.style.height = height + "px";
    if ($("follow").checked) box.scrollTop = box.scrollHeight;
    const first = Math.max(0, Math.floor((box.scrollTop * scale) / LINE_HEIGHT) - 5);
    const last = Math.min(this.count, first + Math.ceil(box.clientHeight / LINE_HEIGHT) + 10);
    const nodes = [];
    for (let i = first; i < last; i++) nodes.push(this.lineNode(i));
    this.lines.style.top = (first * LINE_HEIGHT) / scale + "px";
    this.lines.replaceChildren(...nodes);
  }

  lineNode(i) {
    const line = el("div", this.errs[i] ? "line err" : "line");
    const content = this.texts[i];
    const shown = content.length > MAX_SHOWN_CHARS ? content.slice(0, MAX_SHOWN_CHARS) : content;
    for (const run of styledRuns(shown)) {
      const s = run.style;
      if (s.fg < 0 && !s.b && !s.i && !s.u) {
        line.append(run.text);
        continue;
      }
      const classes = [];
      if (s.fg >= 0) classes.push("f" + s.fg);
      if (s.b) classes.push("b");
      if (s.i) classes.push("i");
      if (s.u) classes.push("u");
      line.append(el("span", classes.join(" "), run.text));
    }
    if (shown.length < content.length) {
      line.append(el("span", "cut", ` … ${(content.length - shown.length).toLocaleString()} more characters`));
    }
    return line;
  }
}

// ---- start --------------------------------------------------------------------------------

document.addEventListener("DOMContentLoaded", () => {
  $("sign-in-form").addEventListener("submit", signIn);
  $("sign-out").addEventListener("click", () => signedOut(""));
  $("state-filter").addEventListener("change", filterChanged);
  $("older").addEventListener("click", pageOlder);
  $("newer").addEventListener("click", pageNewer);
  $("cancel").addEventListener("click", () => {
    $("cancel").hidden = true;
    $("cancel-confirm").hidden = false;
  });
  $("cancel-no").addEventListener("click", () => {
    $("cancel-confirm").hidden = true;
    $("cancel").hidden = false;
  });
  $("cancel-yes").addEventListener("click", cancelJob);
  $("follow").addEventListener("change", () => state.log && state.log.schedule());
  window.addEventListener("hashchange", route);
  route();
});
