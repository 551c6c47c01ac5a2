// The console page: logs in, keeps the CSRF token, polls the active tab every
// 2 seconds. Server data only ever reaches the page as text (textContent and
// attribute values), never as markup.
"use strict";

const state = { csrf: sessionStorage.getItem("csrf") || "", tab: "status", timer: 0 };
const $ = (id) => document.getElementById(id);

function element(tag, text, attributes) {
  const node = document.createElement(tag);
  if (text !== undefined && text !== null) node.textContent = String(text);
  for (const [name, value] of Object.entries(attributes || {})) node.setAttribute(name, value);
  return node;
}

function say(text, bad) {
  const message = $("app-message");
  message.textContent = text;
  message.classList.toggle("bad", !!bad);
}

async function api(method, path, body, contentType) {
  const headers = {};
  if (method !== "GET") headers["X-Csrf-Token"] = state.csrf;
  if (body !== undefined) headers["Content-Type"] = contentType || "application/json";
  const response = await fetch(path, { method, headers, body, credentials: "same-origin" });
  if (response.status === 401 && path !== "/login") {
    showLogin("Your session has ended; please log in again.");
    throw new Error("login required");
  }
  const data = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(data.error || response.statusText);
  return data;
}

function showLogin(text) {
  clearInterval(state.timer);
  state.csrf = "";
  sessionStorage.removeItem("csrf");
  $("app-view").hidden = true;
  $("logout").hidden = true;
  $("who").textContent = "";
  $("login-view").hidden = false;
  $("login-message").textContent = text || "";
  $("login-password").focus();
}

function showApp() {
  $("login-view").hidden = true;
  $("app-view").hidden = false;
  $("logout").hidden = false;
  selectTab(state.tab, false);
  clearInterval(state.timer);
  state.timer = setInterval(refresh, 2000);
}

async function login(event) {
  event.preventDefault();
  const form = new URLSearchParams({ user: $("login-user").value, password: $("login-password").value });
  $("login-message").textContent = "Checking...";
  try {
    const data = await api("POST", "/login", form.toString(), "application/x-www-form-urlencoded");
    state.csrf = data.csrf;
    sessionStorage.setItem("csrf", data.csrf);
    $("login-password").value = "";
    $("who").textContent = "Logged in as " + $("login-user").value;
    showApp();
  } catch (error) {
    $("login-message").textContent = error.message;
  }
}

async function logout() {
  try { await api("POST", "/logout"); } catch (error) { /* the session is gone either way */ }
  showLogin("Logged out.");
}

// Tabs: arrow keys move between them, as screen readers expect of a tab list.
const tabs = ["status", "connections", "tracking", "log", "lists", "learning", "tests"];
function selectTab(name, focus) {
  state.tab = name;
  for (const tab of tabs) {
    const button = $("tab-" + tab);
    const chosen = tab === name;
    button.setAttribute("aria-selected", String(chosen));
    button.tabIndex = chosen ? 0 : -1;
    $("panel-" + tab).hidden = !chosen;
  }
  if (focus) $("tab-" + name).focus();
  say("");
  if (name === "lists") loadList();
  refresh();
}

function tabKeys(event) {
  const at = tabs.indexOf(state.tab);
  const moves = { ArrowRight: 1, ArrowLeft: -1, Home: -at, End: tabs.length - 1 - at };
  if (!(event.key in moves)) return;
  event.preventDefault();
  selectTab(tabs[(at + moves[event.key] + tabs.length) % tabs.length], true);
}

async function refresh() {
  try {
    if (state.tab === "status") await refreshStatus();
    else if (state.tab === "connections") await refreshConnections();
    else if (state.tab === "log") await refreshLog();
    else if (state.tab === "learning" || state.tab === "tests") await refreshJobs();
  } catch (error) {
    if (error.message !== "login required") say(error.message, true);
  }
}

function fillCounters(list, pairs) {
  const items = pairs.map(([name, value]) => {
    const item = element("div");
    item.append(element("dt", name), element("dd", value));
    return item;
  });
  list.replaceChildren(...items);
}

const counterNames = {
  connections: "Total connections served", positives: "Mail messages found positive",
  passed: "Mail messages passed through", blockedRelaying: "Blocked for relaying",
  blacklisted: "Blacklisted positives", viruses: "Viruses found", heurasticPositives: "Heurastic positives",
  heurasticDropped: "Heurastic messages dropped",
};

async function refreshStatus() {
  const [status, statistics] = await Promise.all([api("GET", "/api/status"), api("GET", "/api/statistics")]);
  $("who").textContent = "Version " + status.version;
  fillCounters($("status-counters"), [
    ["Listening", status.listening ? "yes, port " + status.port : "no"],
    ["Up for", formatDuration(status.uptime)],
    ["Active connections", status.activeConnections],
    ["Server connects", status.serverConnects], ["Server disconnects", status.serverDisconnects],
    ["Client connects", status.clientConnects], ["Client disconnects", status.clientDisconnects],
    ["Started", statistics.started], ["Counters cleared", statistics.cleared],
  ]);
  drawChart(status.messagesPerMinute || []);
  $("statistics").tBodies[0].replaceChildren(...Object.keys(counterNames).map((key) => {
    const row = element("tr");
    row.append(element("th", counterNames[key], { scope: "row" }),
      element("td", statistics.sinceReset[key], { class: "number" }), element("td", statistics.total[key], { class: "number" }));
    return row;
  }));
  $("blacklist-servers").tBodies[0].replaceChildren(...statistics.blacklistServers.map((server) => {
    const row = element("tr");
    row.append(element("td", server.hostName), element("td", server.totalChecks, { class: "number" }),
      element("td", server.timeout, { class: "number" }), element("td", server.listed, { class: "number" }));
    return row;
  }));
}

function formatDuration(seconds) {
  const days = Math.floor(seconds / 86400), hours = Math.floor(seconds % 86400 / 3600);
  const minutes = Math.floor(seconds % 3600 / 60);
  return (days ? days + " d " : "") + hours + " h " + minutes + " min";
}

function drawChart(counts) {
  const svgNs = "http://www.w3.org/2000/svg";
  const width = 600, height = 160, left = 30, bottom = 18, top = 8;
  const most = Math.max(1, ...counts);
  const svg = document.createElementNS(svgNs, "svg");
  svg.setAttribute("viewBox", `0 0 ${width} ${height}`);
  svg.setAttribute("preserveAspectRatio", "none");
  svg.setAttribute("role", "img");
  const total = counts.reduce((sum, count) => sum + count, 0);
  svg.setAttribute("aria-label", `${total} messages in the last hour, at most ${most} in one minute`);
  const add = (tag, attributes, text) => {
    const node = document.createElementNS(svgNs, tag);
    for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
    if (text !== undefined) node.textContent = text;
    svg.append(node);
  };
  const plotHeight = height - bottom - top, step = (width - left) / Math.max(1, counts.length);
  add("line", { x1: left, y1: top + plotHeight, x2: width, y2: top + plotHeight });
  add("text", { x: 0, y: top + 8 }, String(most));
  add("text", { x: 0, y: top + plotHeight }, "0");
  add("text", { x: left, y: height - 4 }, "-60 min");
  add("text", { x: width - 30, y: height - 4 }, "now");
  counts.forEach((count, index) => {
    const barHeight = plotHeight * count / most;
    add("rect", { x: left + index * step + 1, y: top + plotHeight - barHeight, width: Math.max(1, step - 2), height: barHeight });
  });
  $("chart").replaceChildren(svg);
}

async function refreshConnections() {
  const rows = await api("GET", "/api/connections");
  $("no-connections").hidden = rows.length > 0;
  const labels = ["Id", "Peer", "State", "HELO", "Sender", "Recipients", "Bytes", "Since"];
  $("connections").tBodies[0].replaceChildren(...rows.map((connection) => {
    const row = element("tr");
    const values = [connection.id, connection.peer, connection.state, connection.helo, connection.sender,
      connection.recipients.join(", "), connection.bytes, connection.since];
    values.forEach((value, index) => row.append(element("td", value, { "data-label": labels[index] })));
    const cell = element("td");
    const button = element("button", "Terminate", { type: "button", class: "danger",
      "aria-label": "Terminate connection " + connection.id + " from " + connection.peer });
    button.addEventListener("click", () => terminate(connection.id));
    cell.append(button);
    row.append(cell);
    return row;
  }));
}

async function terminate(id) {
  try {
    await api("POST", "/api/connections/" + encodeURIComponent(id) + "/terminate");
    say("Connection " + id + " terminated.");
  } catch (error) {
    say(error.message, true);
  }
  refresh();
}

async function refreshLog() {
  const data = await api("GET", "/api/log?lines=" + encodeURIComponent($("log-lines").value));
  const log = $("log");
  log.textContent = data.lines.join("\n");
  if ($("log-follow").checked) log.scrollTop = log.scrollHeight;
}

async function search(event) {
  event.preventDefault();
  const query = new URLSearchParams({ sender: $("track-sender").value, recipient: $("track-recipient").value,
    since: $("track-since").value });
  try {
    const transactions = await api("GET", "/api/messages?" + query.toString());
    $("tracking-count").textContent = transactions.length + (transactions.length === 1 ? " transaction" : " transactions");
    $("tracking-results").replaceChildren(...transactions.map((transaction) => {
      const box = element("article", null, { class: "transaction" });
      const title = (transaction.began || "") + "  " + transaction.id + "  <" + transaction.sender + "> to " +
        transaction.recipients.map((recipient) => "<" + recipient + ">").join(", ");
      box.append(element("h3", title), element("pre", transaction.lines.join("\n")));
      return box;
    }));
  } catch (error) {
    say(error.message, true);
  }
}

async function loadList() {
  try {
    const entries = await api("GET", "/api/lists/" + $("list-name").value);
    $("list-entries").value = entries.join("\n");
  } catch (error) {
    say(error.message, true);
  }
}

async function saveList(event) {
  event.preventDefault();
  const entries = $("list-entries").value.split("\n").map((line) => line.trim()).filter((line) => line !== "");
  try {
    const saved = await api("PUT", "/api/lists/" + $("list-name").value, JSON.stringify(entries));
    $("list-entries").value = saved.join("\n");
    say("Saved " + saved.length + " entries; they apply now.");
  } catch (error) {
    say("Not saved: " + error.message, true);
  }
}

async function learn(event) {
  event.preventDefault();
  const file = $("learn-file").files[0];
  if (!file) return;
  const kind = document.querySelector("input[name=learn-kind]:checked").value;
  try {
    const result = await api("POST", "/api/learn/" + kind, file, "message/rfc822");
    say("Stored " + result.stored + " as " + kind + "; learning " + result.learning + ".");
  } catch (error) {
    say(error.message, true);
  }
  refresh();
}

async function refreshJobs() {
  const jobs = await api("GET", "/api/jobs");
  fillCounters($("learn-jobs"), [
    ["Learning", jobs.learning.running ? "running" : "idle"],
    ["Ham", jobs.learning.ham || "-"], ["Spam", jobs.learning.spam || "-"],
  ]);
  $("tm-result").textContent = jobs.testMail.running ? "sending..." : jobs.testMail.result;
  $("dnsbl-result").textContent = jobs.blacklistCheck.running ? "checking..." : jobs.blacklistCheck.result;
}

async function sendTestMail(event) {
  event.preventDefault();
  const mail = { sender: $("tm-sender").value, recipients: $("tm-recipients").value,
    subject: $("tm-subject").value, text: $("tm-text").value };
  try {
    await api("POST", "/api/test-mail", JSON.stringify(mail));
    say("Test mail on its way.");
  } catch (error) {
    say(error.message, true);
  }
  refresh();
}

async function dnsblTest(event) {
  event.preventDefault();
  try {
    await api("POST", "/api/dnsbl-test", JSON.stringify({ ip: $("dnsbl-ip").value }));
    say("Blacklist test started.");
  } catch (error) {
    say(error.message, true);
  }
  refresh();
}

document.addEventListener("DOMContentLoaded", () => {
  $("login-form").addEventListener("submit", login);
  $("logout").addEventListener("click", logout);
  for (const tab of tabs) $("tab-" + tab).addEventListener("click", () => selectTab(tab, false));
  $("tabs").addEventListener("keydown", tabKeys);
  $("tracking-form").addEventListener("submit", search);
  $("lists-form").addEventListener("submit", saveList);
  $("list-name").addEventListener("change", loadList);
  $("learn-form").addEventListener("submit", learn);
  $("testmail-form").addEventListener("submit", sendTestMail);
  $("dnsbl-form").addEventListener("submit", dnsblTest);
  $("log-lines").addEventListener("change", refresh);
  if (!state.csrf) return showLogin();
  api("GET", "/api/status").then(showApp, () => showLogin());
});
