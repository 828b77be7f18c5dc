// The test page: each form calls its route and shows the reply. Replies
// are shown as text only (textContent), never as markup.
"use strict";

function routePath(form) {
  return form.dataset.path.replace(/\{(\w+)\}/g, (_, name) =>
    encodeURIComponent(form.elements[name].value));
}

function fields(form) {
  return Array.from(form.elements).filter((e) => e.name && !("pathParam" in e.dataset));
}

function show(text) {
  document.getElementById("reply").textContent = text;
}

async function showReply(response) {
  const text = await response.text();
  let shown = text;
  try {
    shown = JSON.stringify(JSON.parse(text), null, 2);
  } catch (e) {
    // not JSON: shown as it came
  }
  show(response.status + " " + response.statusText + "\n" + shown);
}

async function download(response) {
  if (!response.ok) return showReply(response);
  const disposition = response.headers.get("Content-Disposition") || "";
  const match = /filename=([^;]+)/.exec(disposition);
  const link = document.createElement("a");
  link.href = URL.createObjectURL(await response.blob());
  link.download = match ? match[1] : "Document";
  link.click();
  URL.revokeObjectURL(link.href);
  show(response.status + " " + link.download);
}

async function send(form) {
  const method = form.dataset.method;
  let url = routePath(form);
  const init = { method };
  if (method === "GET") {
    const query = new URLSearchParams();
    for (const e of fields(form)) if (e.value !== "") query.append(e.name, e.value);
    if (query.toString()) url += "?" + query;
  } else if ("multipart" in form.dataset) {
    const body = new FormData();
    for (const e of fields(form)) {
      if (e.type === "file") {
        if (e.files.length) body.append(e.name, e.files[0]);
      } else if (e.value !== "") {
        body.append(e.name, e.value);
      }
    }
    init.body = body;
  } else {
    const body = new URLSearchParams();
    for (const e of fields(form)) if (e.value !== "") body.append(e.name, e.value);
    init.body = body;
  }
  const response = await fetch(url, init);
  if ("download" in form.dataset) return download(response);
  return showReply(response);
}

async function fillList(select) {
  const response = await fetch(select.dataset.list);
  if (!response.ok) return;
  for (const item of await response.json()) {
    const option = document.createElement("option");
    option.value = item.Code;
    option.textContent = item.Name;
    select.appendChild(option);
  }
}

for (const form of document.querySelectorAll("form")) {
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    send(form).catch((e) => show(String(e)));
  });
}
for (const select of document.querySelectorAll("select[data-list]")) fillList(select);
