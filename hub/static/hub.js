// The hub's page: every figure comes from the JSON API with the token the
// user signed in with, kept for this tab only. The tables are read again
// every two seconds, so job states change without a reload.
"use strict";

const REFRESH_MS = 2000;
let token = sessionStorage.getItem("hub-token");
let timer = null;

const $ = (id) => document.getElementById(id);

async function api(method, path, body) {
  const answer = await fetch(path, {
    method, body, headers: { Authorization: "Bearer " + token }, cache: "no-store",
  });
  const result = await answer.json().catch(() => ({ error: answer.statusText }));
  if (answer.status === 401) signOut(result.error);
  if (!answer.ok) throw new Error(result.error || answer.statusText);
  return result;
}

function cell(row, text, className) {
  const td = row.insertCell();
  td.textContent = text === null || text === undefined ? "" : String(text);
  if (className) td.className = className;
  return td;
}

function badge(td, state) {
  const span = document.createElement("span");
  span.className = "state " + state;
  span.textContent = state;
  td.append(span);
}

function shownTime(text) {
  return text ? new Date(text).toLocaleString() : "never";
}

// Label and receipt printers: their languages need the dots per inch and the width.
const RASTER = ["zpl", "escpos"];
// The language of each printer the upload form offers, by the option's value.
let languages = {};

function languageText(printer) {
  if (printer.language === "raw") return "";
  if (!RASTER.includes(printer.language)) return " \u00b7 " + printer.language;
  return ` \u00b7 ${printer.language}, ${printer.dpi} dpi, ${printer.width_mm} mm`;
}

// Options are for documents the hub converts: a raw printer takes none.
function showOptions() {
  const value = $("printer").value;
  $("options").hidden = !value || languages[value] === "raw";
}

function showComputers(computers) {
  const body = $("computers");
  body.replaceChildren();
  const select = $("printer");
  const chosen = select.value;
  const chosenForLanguage = $("language-printer").value;
  select.replaceChildren();
  $("language-printer").replaceChildren();
  languages = {};
  for (const computer of computers) {
    const row = body.insertRow();
    cell(row, computer.name);
    cell(row, computer.user);
    badge(cell(row, ""), computer.online ? "online" : "offline");
    cell(row, shownTime(computer.last_poll));
    const printers = cell(row, "");
    for (const printer of computer.printers) {
      const line = document.createElement("div");
      line.textContent = printer.name + (printer.hidden ? " (hidden)" : "") + languageText(printer);
      if (printer.hidden) line.className = "hidden-printer";
      printers.append(line);
      if (!printer.hidden) {
        const value = JSON.stringify([computer.name, printer.name]);
        select.add(new Option(computer.name + " \u2013 " + printer.name, value));
        $("language-printer").add(new Option(computer.name + " \u2013 " + printer.name, value));
        languages[value] = printer.language;
      }
    }
  }
  if ([...select.options].some((option) => option.value === chosen)) select.value = chosen;
  if (chosenForLanguage in languages) $("language-printer").value = chosenForLanguage;
  showOptions();
}

function showJobs(jobs) {
  const body = $("jobs");
  body.replaceChildren();
  for (const job of jobs) {
    const row = body.insertRow();
    row.dataset.job = job.id;
    cell(row, job.id, "number");
    cell(row, job.computer);
    cell(row, job.printer);
    cell(row, job.name);
    // A converted job: its size as submitted, then as the printer gets it.
    cell(row, job.source_size === job.size ? job.size : job.source_size + " \u2192 " + job.size, "number");
    badge(cell(row, ""), job.state);
    cell(row, job.attempts, "number");
    cell(row, shownTime(job.submitted));
    cell(row, job.printed ? shownTime(job.printed) : "");
    const actions = cell(row, "");
    if (job.state === "queued" || job.state === "sent") {
      const cancel = document.createElement("button");
      cancel.textContent = "Cancel";
      cancel.onclick = () => api("DELETE", "api/jobs/" + job.id).then(refresh, showError);
      actions.append(cancel);
    }
  }
}

function showError(error) {
  $("refresh-error").textContent = error.message;
}

async function refresh() {
  if (!token) return;
  try {
    const [computers, jobs] = await Promise.all([api("GET", "api/computers"), api("GET", "api/jobs")]);
    showComputers(computers.computers);
    showJobs(jobs.jobs);
    $("refresh-error").textContent = "";
  } catch (error) {
    showError(error);
  }
}

function signIn(newToken) {
  token = newToken;
  sessionStorage.setItem("hub-token", token);
  $("sign-in").hidden = true;
  $("sign-in-error").textContent = "";
  $("hub").hidden = false;
  $("sign-out").hidden = false;
  refresh();
  timer = setInterval(refresh, REFRESH_MS);
}

function signOut(reason) {
  token = null;
  sessionStorage.removeItem("hub-token");
  clearInterval(timer);
  $("hub").hidden = true;
  $("sign-out").hidden = true;
  $("sign-in").hidden = false;
  $("sign-in-error").textContent = reason || "";
}

$("sign-in").onsubmit = async (event) => {
  event.preventDefault();
  token = $("token").value.trim();
  try {
    await api("GET", "api/computers");
    $("token").value = "";
    signIn(token);
  } catch (error) {
    signOut(error.message);
  }
};

$("sign-out").onclick = () => signOut();

$("upload").onsubmit = async (event) => {
  event.preventDefault();
  const file = $("file").files[0];
  const [computer, printer] = JSON.parse($("printer").value);
  const query = new URLSearchParams({ computer, printer, name: file.name });
  if (!$("options").hidden) {
    for (const option of ["copies", "duplex", "paper", "pages"]) {
      if ($(option).value.trim()) query.set(option, $(option).value.trim());
    }
  }
  try {
    await api("POST", "api/jobs?" + query, file);
    $("upload").reset();
    $("upload-error").textContent = "";
    refresh();
  } catch (error) {
    $("upload-error").textContent = error.message;
  }
};

$("printer").onchange = showOptions;

$("language-name").onchange = () => {
  $("raster").hidden = !RASTER.includes($("language-name").value);
};

$("language").onsubmit = async (event) => {
  event.preventDefault();
  const [computer, printer] = JSON.parse($("language-printer").value);
  const setting = { language: $("language-name").value };
  if (RASTER.includes(setting.language)) {
    setting.dpi = Number($("dpi").value);
    setting.width_mm = Number($("width").value);
  }
  const path = "api/computers/" + encodeURIComponent(computer) + "/printers/" + encodeURIComponent(printer);
  try {
    await api("PUT", path, JSON.stringify(setting));
    $("language-error").textContent = "";
    refresh();
  } catch (error) {
    $("language-error").textContent = error.message;
  }
};

if (token) signIn(token);
