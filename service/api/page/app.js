// The shop's page: what the printers are doing, what was printed, what
// needs a person's decision, and a form to try a receipt. Plain
// JavaScript, everything from fiskald itself: the page must work in a shop
// without internet, under a Content-Security-Policy that allows scripts,
// styles and calls to this origin only.
"use strict";

(() => {
  const POLL_MS = 2000;          // how often the page asks while it is open
  const MIN_GAP_MS = 1000;       // never two polls closer than this
  const REQUEST_TIMEOUT_MS = 15000;
  const TOKEN_KEY = "fiskald-token";

  const $ = (id) => document.getElementById(id);

  // --- the token, for a fiskald started with --token-file ---

  // sessionStorage only: the token lives as long as the tab. Storage may be
  // refused (private modes); then it lives as long as the page.
  let memoryToken = "";
  function getToken() {
    try {
      return sessionStorage.getItem(TOKEN_KEY) || "";
    } catch (e) {
      return memoryToken;
    }
  }
  function setToken(token) {
    memoryToken = token;
    try {
      sessionStorage.setItem(TOKEN_KEY, token);
    } catch (e) {
      // kept in memoryToken
    }
  }

  function askForToken(refused) {
    const panel = $("token");
    $("token-why").textContent = refused
      ? "fiskald refused the token given. Enter the token from fiskald's token file."
      : "fiskald was started with a token file. Enter the token from that file; the page " +
        "keeps it for this browser tab only, until the tab is closed.";
    if (panel.hidden) {
      panel.hidden = false;
      $("token-input").focus();
    }
  }

  $("token-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const token = $("token-input").value.trim();
    if (!token) return;
    setToken(token);
    $("token-input").value = "";
    $("token").hidden = true;
    pollSoon();
  });

  // --- calling the API ---

  class Unreachable extends Error {}
  class NeedsToken extends Error {}

  // fetch with the token and a time limit. Throws Unreachable when no
  // answer came, NeedsToken on 401 (after asking for the token).
  async function api(path, options = {}) {
    const headers = new Headers(options.headers || {});
    const token = getToken();
    if (token) headers.set("Authorization", "Bearer " + token);
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), REQUEST_TIMEOUT_MS);
    let res;
    try {
      res = await fetch(path, {
        ...options, headers, signal: abort.signal, cache: "no-store", credentials: "same-origin",
      });
    } catch (e) {
      throw new Unreachable(e && e.message ? e.message : "no answer");
    } finally {
      clearTimeout(timer);
    }
    if (res.status === 401) {
      askForToken(token !== "");
      throw new NeedsToken("the token is missing or wrong");
    }
    return res;
  }

  // The problem+json of a refusal; `detail` always set.
  async function problemOf(res) {
    let body = {};
    try {
      body = await res.json();
    } catch (e) {
      body = {};
    }
    if (!body || typeof body !== "object") body = {};
    if (typeof body.detail !== "string" || !body.detail) {
      body.detail = "fiskald answered " + res.status + " " + res.statusText;
    }
    return body;
  }

  async function getJson(path) {
    const res = await api(path);
    if (!res.ok) throw new Error((await problemOf(res)).detail);
    return res.json();
  }

  // Up to `want` receipts of a list, newest first, following each page's
  // "next" when a page of large receipts was cut short.
  async function getReceipts(path, want) {
    const receipts = [];
    let next = path;
    while (next && receipts.length < want) {
      const page = await getJson(next);
      receipts.push(...page.receipts);
      next = page.next;
    }
    return { receipts: receipts.slice(0, want) };
  }

  // A fresh Idempotency-Key. crypto.randomUUID() exists only in secure
  // contexts (https, localhost), and a shop may open the page at
  // http://192.168.x.y; getRandomValues() works everywhere.
  function freshKey() {
    if (window.crypto && typeof window.crypto.randomUUID === "function") {
      try {
        return "page-" + window.crypto.randomUUID();
      } catch (e) {
        // fall through
      }
    }
    const bytes = new Uint8Array(16);
    window.crypto.getRandomValues(bytes);
    return "page-" + Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
  }

  // --- small DOM helpers ---

  // el("p", {class: "x"}, "text", child...)
  function el(tag, attrs = {}, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attrs)) {
      if (value === undefined || value === null || value === false) continue;
      if (name === "class") node.className = value;
      else if (name === "text") node.textContent = value;
      else node.setAttribute(name, value === true ? "" : String(value));
    }
    for (const child of children) {
      if (child === null || child === undefined || child === false) continue;
      node.append(child instanceof Node ? child : String(child));
    }
    return node;
  }

  // Keeps `container`'s children in the order of `items`, one per key,
  // reusing the node of a key whose signature did not change, so that a
  // button is not replaced under the pointer every poll.
  function syncList(container, items, keyOf, signatureOf, build) {
    const old = new Map();
    for (const child of Array.from(container.children)) old.set(child.dataset.key, child);
    let previous = null;
    for (const item of items) {
      const key = String(keyOf(item));
      const signature = signatureOf(item);
      let node = old.get(key);
      old.delete(key);
      if (!node || node.dataset.signature !== signature) {
        const fresh = build(item);
        fresh.dataset.key = key;
        fresh.dataset.signature = signature;
        if (node) node.replaceWith(fresh);
        node = fresh;
      }
      const wanted = previous ? previous.nextSibling : container.firstChild;
      if (node !== wanted) container.insertBefore(node, wanted);
      previous = node;
    }
    for (const node of old.values()) node.remove();
  }

  function badge(state) {
    return el("span", { class: "badge state-" + state, title: STATE_MEANING[state] || "" }, state);
  }

  const STATE_MEANING = {
    queued: "accepted, waiting for its printer",
    sending: "its texts are going to the printer",
    printed: "every text went to the printer",
    not_sent: "nothing reached the printer",
    cut: "the port failed while sending: the printer's receipt was left open",
    in_doubt: "fiskald stopped while sending it; it is never sent again",
    resolved_printed: "a person said it printed",
    resolved_not_printed: "a person said it did not print",
  };

  function time(rfc3339) {
    if (!rfc3339) return "";
    const d = new Date(rfc3339);
    if (isNaN(d.getTime())) return rfc3339;
    const now = new Date();
    const sameDay = d.toDateString() === now.toDateString();
    return sameDay ? d.toLocaleTimeString() : d.toLocaleString();
  }

  function portName(port, device) {
    return port === 0 ? "port 0 (log-only)" : "port " + port + (device ? " (" + device + ")" : "");
  }

  // --- printers ---

  function renderPrinters(printers) {
    $("printers-empty").hidden = printers.length > 0;
    syncList($("printers"), printers, (p) => p.port, (p) => JSON.stringify(p), (p) => {
      const card = el("article", {
        class: "printer" + (p.sending ? " busy" : "") + (p.waiting > 0 ? " waiting" : ""),
      });
      card.append(el("h3", {}, "Port " + p.port + " ",
        el("span", { class: "device" }, p.port === 0 ? "log-only" : (p.device || "no device"))));
      if (p.sending) {
        const s = p.sending;
        if (s.texts > 0) {
          card.append(el("p", { class: "activity" }, "sending receipt " + s.id + ": text " +
            s.text + " of " + s.texts));
          card.append(el("progress", {
            max: s.texts, value: s.text, "aria-label": "texts of receipt " + s.id + " sent",
          }));
        } else {
          card.append(el("p", { class: "activity" }, "receipt " + s.id +
            ": waiting for the port (another program is using it)"));
        }
      } else if (p.waiting > 0) {
        card.append(el("p", { class: "activity waiting-for" }, "waiting for " +
          p.waiting_reason + ", since " + time(p.waiting_since) + ": " + p.waiting +
          (p.waiting === 1 ? " receipt waits" : " receipts wait") +
          " (nothing of them was sent)"));
        const button = el("button", { type: "button", class: "give-up" }, "Give up on them");
        const result = el("p", { class: "result", role: "status" });
        button.addEventListener("click", () => giveUp(p, button, result));
        card.append(el("p", { class: "give-up-buttons" }, button), result);
      } else {
        card.append(el("p", { class: "activity idle" }, "idle"));
      }
      card.append(el("p", { class: "queue" }, p.queue_length === 0
        ? "nothing queued" : p.queue_length + " queued"));
      if (p.last) {
        card.append(el("p", { class: "last" }, "last: receipt " + p.last.id + " ",
          badge(p.last.state), " " + time(p.last.finished_at)));
      }
      return card;
    });
  }

  async function giveUp(p, button, result) {
    const question = "Give up on the " + (p.waiting === 1 ? "receipt" : p.waiting + " receipts") +
      " waiting for port " + p.port + "?\n\nThey end as not sent: nothing of them was " +
      "printed. Post them again once the printer is back if the sales stand.";
    if (!window.confirm(question)) return;
    button.disabled = true;
    result.textContent = "giving up…";
    try {
      const res = await api("/v1/printers/" + p.port + "/give-up", { method: "POST" });
      if (!res.ok) {
        result.textContent = (await problemOf(res)).detail;
        return;
      }
      const n = (await res.json()).given_up;
      result.textContent = n + (n === 1 ? " receipt ended" : " receipts ended") + " not sent";
    } catch (e) {
      result.textContent = e instanceof Unreachable
        ? "fiskald cannot be reached; nothing was given up" : e.message;
    } finally {
      button.disabled = false;
    }
    pollSoon();
  }

  // --- the broker receipts also come through ---

  function renderBroker(b) {
    $("broker-panel").hidden = !b.url;
    if (!b.url) return;
    const card = $("broker");
    card.className = "printer broker" + (b.connected ? " busy" : " down");
    card.replaceChildren(
      el("h3", {}, "Shop " + b.shop + " ", el("span", { class: "device" }, b.url)),
      b.connected
        ? el("p", { class: "activity idle" }, "connected" + (b.since ? " since " + time(b.since) : ""))
        : el("p", { class: "activity" }, "not connected" +
          (b.since ? " since " + time(b.since) : "") + "; trying again"));
    if (b.last_error) {
      card.append(el("p", { class: "last" }, (b.connected ? "last error: " : "") + b.last_error));
    }
  }

  // --- receipts, each drawn as a paper slip ---

  // Slip HTML by receipt id, fetched again only when the receipt changed.
  const slips = new Map();  // id -> {signature, html}

  function slipSignature(r) {
    return r.state + "/" + r.texts_sent;
  }

  async function fetchSlips(receipts) {
    const wanted = receipts.filter((r) => {
      const cached = slips.get(r.id);
      return !cached || cached.signature !== slipSignature(r);
    });
    await Promise.all(wanted.map(async (r) => {
      const res = await api("/v1/receipts/" + r.id + "/slip");
      // A receipt forgotten meanwhile (--keep-days) has no slip: the card
      // shows without one.
      if (res.ok) slips.set(r.id, { signature: slipSignature(r), html: await res.text() });
    }));
    // Forget slips of receipts that are no longer shown.
    const shown = new Set(receipts.map((r) => r.id));
    for (const id of Array.from(slips.keys())) if (!shown.has(id)) slips.delete(id);
  }

  function renderReceipts(receipts) {
    const filter = $("filter-state").value;
    $("receipts-empty").textContent = filter
      ? "No receipt is " + filter + "." : "No receipt yet: post one with the form.";
    $("receipts-empty").hidden = receipts.length > 0;
    syncList($("receipts"), receipts, (r) => r.id,
      (r) => slipSignature(r) + "/" + r.message + "/" + (slips.get(r.id) ? "slip" : ""), (r) => {
        const card = el("article", {
          class: "receipt state-" + r.state, "aria-labelledby": "receipt-" + r.id,
          "data-id": r.id,
        });
        card.append(el("header", {},
          el("h3", { id: "receipt-" + r.id }, "Receipt " + r.id), badge(r.state)));
        const meta = [portName(r.port, r.device), "accepted " + time(r.accepted_at)];
        if (r.state !== "printed") meta.push(r.texts_sent + " of " + r.texts_total + " texts sent");
        card.append(el("p", { class: "meta" }, meta.join(" · ")));
        const holder = el("div", { class: "slip-holder" });
        const slip = slips.get(r.id);
        // The slip is HTML that fiskald draws, every text of the receipt
        // escaped there.
        if (slip) holder.innerHTML = slip.html;
        card.append(holder);
        if (r.message) card.append(el("p", { class: "message" }, r.message));
        return card;
      });
  }

  // --- receipts that need a decision ---

  function renderDecisions(receipts) {
    $("decisions-empty").hidden = receipts.length > 0;
    $("decisions-count").textContent = receipts.length > 0 ? "(" + receipts.length + ")" : "";
    syncList($("decisions"), receipts, (r) => r.id, (r) => r.state + "/" + r.message, (r) => {
      const item = el("li", { class: "decision", "data-id": r.id });
      item.append(el("h3", { id: "decision-" + r.id }, "Receipt " + r.id + " ", badge(r.state)));
      const what = r.items.length + (r.items.length === 1 ? " item" : " items") +
        (r.total ? ", total " + r.total : "") + "; " + r.texts_sent + " of " + r.texts_total +
        " texts sent; " + portName(r.port, r.device) + "; accepted " + time(r.accepted_at);
      item.append(el("p", { class: "meta" }, what));
      if (r.message) item.append(el("p", { class: "message" }, r.message));
      const about = { type: "button", "aria-describedby": "decision-" + r.id };
      const yes = el("button", { ...about, class: "resolve-printed" }, "it printed");
      const no = el("button", { ...about, class: "resolve-not-printed" }, "it did not print");
      const result = el("p", { class: "result", role: "status" });
      yes.addEventListener("click", () => resolve(r.id, true, result, [yes, no]));
      no.addEventListener("click", () => resolve(r.id, false, result, [yes, no]));
      item.append(el("p", { class: "decision-buttons" }, yes, " ", no), result);
      return item;
    });
  }

  async function resolve(id, printed, result, buttons) {
    const question = printed
      ? "Receipt " + id + ": the printer did print it, whole?\n\nfiskald will record it as " +
        "printed (resolved_printed)."
      : "Receipt " + id + ": the printer did NOT print it?\n\nfiskald will record it as not " +
        "printed (resolved_not_printed); post it again if the sale stands.";
    if (!window.confirm(question)) return;
    result.textContent = "recording…";
    buttons.forEach((b) => { b.disabled = true; });
    try {
      const res = await api("/v1/receipts/" + id + "/resolve", {
        method: "POST",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify({ printed }),
      });
      if (!res.ok) {
        result.textContent = (await problemOf(res)).detail;
        return;
      }
      const r = await res.json();
      result.textContent = "recorded: " + r.state;
    } catch (e) {
      result.textContent = e instanceof Unreachable
        ? "fiskald cannot be reached; nothing was recorded" : e.message;
    } finally {
      buttons.forEach((b) => { b.disabled = false; });
    }
    pollSoon();
  }

  // --- updating while open ---

  let polling = false;
  let again = false;
  let lastStart = 0;
  let timer = 0;

  function showBanner(text) {
    const banner = $("banner");
    banner.textContent = text;
    banner.hidden = false;
    document.body.classList.add("stale");
  }
  function hideBanner() {
    $("banner").hidden = true;
    document.body.classList.remove("stale");
  }

  async function refresh() {
    const state = $("filter-state").value;
    const limit = $("filter-limit").value;
    const query = "?limit=" + encodeURIComponent(limit) +
      (state ? "&state=" + encodeURIComponent(state) : "");
    const [printers, list, doubt, cut, broker] = await Promise.all([
      getJson("/v1/printers"),
      getReceipts("/v1/receipts" + query, Number(limit)),
      getReceipts("/v1/receipts?state=in_doubt&limit=100", 100),
      getReceipts("/v1/receipts?state=cut&limit=100", 100),
      getJson("/v1/broker"),
    ]);
    await fetchSlips(list.receipts);
    renderPrinters(printers.printers);
    renderBroker(broker);
    renderReceipts(list.receipts);
    renderDecisions(doubt.receipts.concat(cut.receipts).sort((a, b) => b.id - a.id));
  }

  async function poll() {
    clearTimeout(timer);
    if (polling) {
      again = true;  // once the poll in flight is done
      return;
    }
    polling = true;
    lastStart = Date.now();
    let stop = false;
    try {
      await refresh();
      hideBanner();
      $("token").hidden = true;
      $("updated").textContent = "updated " + new Date().toLocaleTimeString();
    } catch (e) {
      if (e instanceof NeedsToken) {
        // No more polls until a token is given: the form starts them.
        hideBanner();
        $("updated").textContent = "waiting for the token";
        stop = !again;
      } else if (e instanceof Unreachable) {
        showBanner("fiskald cannot be reached at " + location.origin + ". The page keeps " +
          "trying every " + POLL_MS / 1000 + " s; what it shows may be out of date. " +
          "Receipts fiskald has accepted are safe in its journal.");
      } else {
        showBanner("fiskald answered with a problem: " + e.message);
      }
    } finally {
      polling = false;
    }
    if (!stop) schedule(again ? 0 : POLL_MS);
    again = false;
  }

  function schedule(ms) {
    clearTimeout(timer);
    const wait = Math.max(ms, lastStart + MIN_GAP_MS - Date.now());
    timer = setTimeout(poll, wait);
  }

  // After something the person did: as soon as allowed.
  function pollSoon() {
    if (polling) again = true;
    else schedule(0);
  }

  $("filter-state").addEventListener("change", pollSoon);
  $("filter-limit").addEventListener("change", pollSoon);
  $("receipts-filter").addEventListener("submit", (event) => event.preventDefault());

  // --- trying a receipt ---

  const TAXES = ["1", "2", "3", "4", "5", "6", "7"];
  let rowCount = 0;  // for unique ids

  function addItemRow(values = {}) {
    const n = ++rowCount;
    const field = (name, label, input) => {
      input.id = "item-" + n + "-" + name;
      input.name = name;
      return el("td", {}, el("label", { for: input.id, class: "visually-hidden" }, label), input);
    };
    const tax = el("select", {});
    TAXES.forEach((code) => tax.append(el("option", { value: code },
      code + " (" + String.fromCharCode(64 + Number(code)) + ")")));
    tax.value = values.tax || "1";
    const row = el("tr", { class: "item-row" },
      el("td", { class: "number" }),
      field("name", "Name", el("input", { type: "text", value: values.name || "", required: true })),
      field("tax", "Tax code", tax),
      field("quantity", "Quantity", el("input", {
        type: "text", inputmode: "decimal", value: values.quantity || "1", size: 6,
      })),
      field("price", "Price", el("input", {
        type: "text", inputmode: "decimal", value: values.price || "", size: 8,
      })),
      el("td", {}, el("button", { type: "button", class: "remove-item", title: "Remove this item" },
        "✕")));
    const error = el("tr", { class: "item-error", hidden: true },
      el("td", { colspan: 6, class: "row-error", role: "alert" }));
    row.querySelector(".remove-item").addEventListener("click", () => {
      row.remove();
      error.remove();
      numberRows();
    });
    $("items").append(row, error);
    numberRows();
    return row;
  }

  function itemRows() {
    return Array.from($("items").querySelectorAll("tr.item-row"));
  }

  // Row labels follow the rows' order, which is the order of "items".
  function numberRows() {
    itemRows().forEach((row, i) => {
      row.querySelector(".number").textContent = String(i + 1);
      row.querySelector(".remove-item").setAttribute("aria-label", "Remove item " + (i + 1));
      for (const label of row.querySelectorAll("label")) {
        label.textContent = label.textContent.replace(/ of item \d+$/, "") + " of item " + (i + 1);
      }
    });
  }

  function clearErrors() {
    for (const row of itemRows()) {
      row.classList.remove("invalid");
      const error = row.nextElementSibling;
      error.hidden = true;
      error.firstChild.textContent = "";
    }
    $("text-error").hidden = true;
    $("text-error").textContent = "";
    $("text-body").removeAttribute("aria-invalid");
  }

  // A retry of the same body after no answer keeps its key, so that a
  // receipt that did reach fiskald is not printed twice.
  let pending = null;  // {body, key}

  // One post at a time from a form: a double click must not post two
  // receipts under two keys.
  async function postReceipt(body, type, result, button) {
    button.disabled = true;
    try {
      return await post(body, type, result);
    } finally {
      button.disabled = false;
    }
  }

  async function post(body, type, result) {
    const key = pending && pending.body === body ? pending.key : freshKey();
    pending = null;
    result.textContent = "posting…";
    result.className = "result";
    let res;
    try {
      res = await api("/v1/receipts", {
        method: "POST", headers: { "Content-Type": type, "Idempotency-Key": key }, body,
      });
    } catch (e) {
      if (e instanceof Unreachable) {
        pending = { body, key };
        result.textContent = "fiskald cannot be reached. Post again once it is back: the page " +
          "sends the same key, so the receipt cannot print twice.";
      } else {
        result.textContent = e.message;
      }
      result.className = "result bad";
      return null;
    }
    if (res.ok) {
      const r = await res.json();
      result.textContent = "Receipt " + r.id + " accepted (" + r.state + "), total " + r.total +
        ". It shows under Receipts.";
      result.className = "result good";
      pollSoon();
      return null;
    }
    const problem = await problemOf(res);
    result.className = "result bad";
    if (res.status === 503 || res.status === 409) {
      // Not taken for now (fiskald stopping, its queue full, the key still
      // being answered): a retry must carry the same key.
      pending = { body, key };
      result.textContent = "Not taken yet: " + problem.detail + " Post again to retry; the " +
        "page sends the same key, so the receipt cannot print twice.";
      return null;
    }
    result.textContent = Number.isInteger(problem.item)
      ? "Refused, nothing was queued: item " + (problem.item + 1) + " is not right (see its row)."
      : Number.isInteger(problem.line)
        ? "Refused, nothing was queued: line " + problem.line + " is not right (see above)."
        : "Refused: " + problem.detail;
    return problem;
  }

  $("add-item").addEventListener("click", () => {
    addItemRow().querySelector("input").focus();
  });

  $("build-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    clearErrors();
    const port = Number($("build-port").value);
    const receipt = {
      port: Number.isInteger(port) ? port : -1,
      footer: $("build-footer").value.replace(/\r\n?/g, "\n"),
      items: itemRows().map((row) => ({
        name: row.querySelector("[name=name]").value,
        tax: row.querySelector("[name=tax]").value,
        quantity: row.querySelector("[name=quantity]").value.trim(),
        price: row.querySelector("[name=price]").value.trim(),
      })),
    };
    const problem = await postReceipt(JSON.stringify(receipt), "application/json",
      $("build-result"), event.submitter || $("build-form").querySelector("[type=submit]"));
    if (problem && Number.isInteger(problem.item)) {
      const row = itemRows()[problem.item];
      if (row) {
        row.classList.add("invalid");
        const error = row.nextElementSibling;
        error.firstChild.textContent = problem.detail;
        error.hidden = false;
      }
    }
  });

  $("text-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    clearErrors();
    // fiskal.txt ends its lines with CR LF; a text box gives LF.
    const text = $("text-body").value.replace(/\r?\n/g, "\r\n");
    const problem = await postReceipt(text, "text/plain; charset=utf-8", $("text-result"),
      event.submitter || $("text-form").querySelector("[type=submit]"));
    if (problem && Number.isInteger(problem.line)) {
      const line = text.split("\r\n")[problem.line - 1];
      $("text-error").textContent = "Line " + problem.line +
        (line !== undefined ? " (" + JSON.stringify(line.replace(/\t/g, " ⇥ ")) + ")" : "") +
        ": " + problem.detail;
      $("text-error").hidden = false;
      $("text-body").setAttribute("aria-invalid", "true");
    }
  });

  function showForm(which) {
    const build = which === "build";
    $("build-form").hidden = !build;
    $("text-form").hidden = build;
    $("show-build").setAttribute("aria-pressed", String(build));
    $("show-text").setAttribute("aria-pressed", String(!build));
  }
  $("show-build").addEventListener("click", () => showForm("build"));
  $("show-text").addEventListener("click", () => showForm("text"));

  $("text-body").value = "0;THANK YOU\n1\tBREAD\t1\t100\t250\tpcs\t\n2\tMILK\t2\t200\t300\tl\t\n";
  addItemRow({ name: "BREAD", tax: "1", quantity: "1", price: "2.50" });

  poll();
})();
