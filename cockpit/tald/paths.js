/* "Array paths": every LUN's four ports, their priorities and the active
 * path group, from `tald -l --json`, and the few actions an admin takes by
 * hand, each through tald and each with tald's own output shown.
 * Part of quelvane-path-manager; licence: debian/copyright (Files: *).
 *
 * Reading runs tald with administrative access when the session has it
 * (superuser "try"), as the session's user otherwise; every change asks for
 * it (superuser "require"), so that without it the bridge refuses the
 * change and nothing is run. */
"use strict";

const config = ((cockpit.manifests || {}).tald || {}).config || {};
const TALD = config.tald || "/sbin/tald";
const REFRESH_MS = 1000 * (config.refresh_seconds || 10);
const WAIT = String(config.wait_seconds || 30);
const CONTROLLERS = ["C0", "C1"];
const PORTS = ["P0", "P1"];
const APPLY_MAX = 16 * 1024 * 1024;

const page = {
    data: null,       // the last listing read whole
    reason: "",       // why multipathd was not reached, in tald's words
    admin: false,     // the session has administrative access
    busy: false,      // an action runs: no second one, the refresh keeps going
    applyText: null,  // the preference file chosen, after its dry run
    firstRenderMs: null,
    refreshes: 0,
};
window.taldPage = page;

const $ = id => document.getElementById(id);
/* Every text from tald (aliases, wwids, device names, messages) goes into
 * the page as a text node or a property, never as HTML: markup or escapes in
 * a name are shown, not run. */
function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
        if (k === "class")
            node.className = v;
        else if (k.startsWith("data-"))
            node.setAttribute(k, v);
        else
            node[k] = v;
    }
    for (const child of children)
        node.append(child);
    return node;
}

/* Runs tald with ARGS; resolves (never rejects) with its exit status (0,
 * tald's, or null when it did not run), its standard output and the
 * message: tald's standard error, or the bridge's refusal. */
function tald(args, options) {
    const opts = options || {};
    let out = "";
    return new Promise(resolve => {
        const proc = cockpit.spawn([TALD].concat(args), {
            superuser: opts.change ? "require" : "try",
            err: "message",
        });
        proc.stream(chunk => { out += chunk });
        if (opts.input !== undefined)
            proc.input(opts.input);
        proc.then(() => resolve({ status: 0, out, message: "" }))
                .catch(ex => resolve({
                    status: ex.exit_status === undefined ? null : ex.exit_status,
                    out,
                    message: ex.message || ex.problem || String(ex),
                }));
    });
}

/* The LUN's view: its highest stored priority, whether the daemon holds a
 * path of it in the active group and whether that path is one of the
 * highest stored priority (as tald --metrics says it). */
function lunView(lun) {
    const top = Math.max(0, ...lun.paths.map(p => p.priority));
    let known = false, preferred = false;
    for (const p of lun.paths) {
        const d = p.multipathd;
        if (!d || d.group_active !== true || p.priority <= 0)
            continue;
        known = true;
        preferred = preferred || p.priority === top;
    }
    return { top, known, preferred };
}

function lunName(lun) { return (lun.alias ? lun.alias + " " : "") + lun.wwid }

function matches(lun) {
    const f = $("filter").value.trim().toLowerCase();
    return !f || lun.wwid.toLowerCase().includes(f) || (lun.alias || "").toLowerCase().includes(f);
}

function renderSummary(data) {
    const daemon = $("daemon");
    if (!data) {
        daemon.textContent = "";
    } else if (data.multipathd_reached) {
        daemon.textContent = "multipathd: reached";
        daemon.className = "ok";
    } else {
        daemon.textContent = page.reason || "multipathd: not reached";
        daemon.className = "alert";
    }
    const luns = data ? data.luns : [];
    const off = luns.filter(l => { const v = lunView(l); return v.known && !v.preferred });
    const differ = luns.filter(l => l.multipathd_differs);
    const list = (id, title, items) => {
        const box = $(id);
        box.replaceChildren();
        if (!items.length)
            return;
        box.append(el("h2", {}, title + " (" + items.length + ")"),
                   el("ul", {}, ...items.map(l => el("li", { "data-wwid": l.wwid }, lunName(l)))));
    };
    list("off-preferred", "Not on their preferred group", off);
    list("differs", "multipathd uses another priority than the stored one", differ);
}

function renderPath(lun, p) {
    const d = p.multipathd;
    const active = d && d.group_active === true;
    const box = el("div", { class: "path" + (active ? " active" : ""), "data-device": p.device },
                   el("div", { class: "dev" }, p.device + " ", el("span", { class: "muted" }, p.hctl)),
                   el("div", { class: "prio" }, "priority ",
                      el("b", { "data-stored": "" }, String(p.priority)),
                      el("span", { class: p.override ? "tag override" : "tag" },
                         p.override ? "override" : "default")));
    const dline = d ? "multipathd " + d.priority + ", " + d.state + ", group " + d.group_state
        : (page.data && page.data.multipathd_reached ? "not held by multipathd" : "");
    box.append(el("div", { class: "daemon" + (d && d.priority !== p.priority ? " alert" : "") }, dline));
    if (page.admin) {
        const pick = el("select", { "aria-label": "Priority of " + p.device },
                        el("option", { value: "0" }, "default"),
                        ...["5", "6", "7", "8"].map(v => el("option", { value: v }, v)));
        pick.value = p.override ? String(p.priority) : "0";
        const set = el("button", { type: "button", class: "set" }, "Set");
        set.addEventListener("click", () => page.setPrio(p.device, pick.value));
        box.append(el("div", { class: "act" }, pick, set));
    }
    return box;
}

function renderLun(lun) {
    const v = lunView(lun);
    const state = !page.data.multipathd_reached || !v.known ? ["unknown", "active group not known"]
        : v.preferred ? ["good", "on its preferred group"] : ["bad", "not on its preferred group"];
    const card = el("article", { class: "lun", "data-wwid": lun.wwid },
                    el("h3", {}, lun.alias || "(no alias)", " ", el("span", { class: "muted" }, lun.wwid),
                       " ", el("span", { class: "tag " + state[0] }, state[1])));
    const row = el("div", { class: "controllers" });
    for (const c of CONTROLLERS) {
        const ctl = el("div", { class: "controller" }, el("h4", {}, "Controller " + c));
        for (const port of PORTS) {
            const name = c + port;
            const paths = lun.paths.filter(p => p.port === name);
            ctl.append(el("div", { class: "port", "data-port": name }, el("div", { class: "pname" }, name),
                          ...(paths.length ? paths.map(p => renderPath(lun, p))
                              : [el("div", { class: "muted" }, "no path")])));
        }
        row.append(ctl);
    }
    card.append(row);
    return card;
}

function render() {
    const data = page.data;
    renderSummary(data);
    const main = $("luns");
    main.replaceChildren(...(data ? data.luns.filter(matches).map(renderLun) : []));
    buttons();
}

function buttons() {
    $("access").textContent = page.admin ? ""
        : "Read-only: turn on administrative access to change priorities, drain or apply.";
    for (const b of document.querySelectorAll("[data-admin], button.set"))
        b.disabled = !page.admin || page.busy;
}

async function refresh() {
    const begun = performance.now();
    const r = await tald(["-l", "--json"]);
    const read = performance.now();
    let data = null;
    if (r.status === 0) {
        try { data = JSON.parse(r.out) } catch (e) { r.message = "tald -l --json: " + e.message }
    }
    const err = $("error");
    err.hidden = data !== null;
    const said = (r.message || r.out).trim() || "tald -l --json: exit status " + r.status;
    // The state directory is root's alone: without administrative access
    // tald cannot read it, and says so in its own words.
    err.textContent = data ? "" : page.admin ? said
        : "Reading the stored priorities needs administrative access; tald says: " + said;
    page.reason = "";
    if (data && !data.multipathd_reached && data.luns.length && data.luns[0].paths.length) {
        // tald says why when asked to wait for a path's priority.
        const w = await tald(["--prio", "--get", data.luns[0].paths[0].device, "--wait", "1"]);
        page.reason = (w.out + "\n" + w.message).split("\n").find(l => l.startsWith("multipathd:")) || "";
    }
    // The same listing as the last one is not drawn again: with thousands
    // of paths the drawing costs the browser more than tald costs the host.
    const same = data !== null && page.data !== null && r.out === page.lastOut && page.reason === page.lastReason;
    page.lastOut = r.out;
    page.lastReason = page.reason;
    page.data = data;
    page.refreshes += 1;
    $("updated").textContent = "updated " + new Date().toLocaleTimeString();
    const shown = performance.now();
    if (!same)
        render();
    page.timing = { tald_ms: read - begun, render_ms: performance.now() - shown, drawn: !same };
    page.lastRefreshMs = performance.now() - begun;
    if (page.firstRenderMs === null)
        page.firstRenderMs = performance.now();
    return data;
}
page.refresh = refresh;

function showOutcome(title, r) {
    $("outcome").hidden = false;
    $("outcome-title").textContent = title + (r ? ": exit status " + r.status : "");
    $("outcome-text").textContent = r ? (r.out + (r.message ? r.message : "")).trim() : "";
}

/* One change at a time: the buttons are off while it runs, the refresh goes
 * on, and its outcome stays shown until the next. */
async function change(title, args, options) {
    if (page.busy)
        return null;
    page.busy = true;
    buttons();
    showOutcome(title + " …", null);
    const r = await tald(args, Object.assign({ change: true }, options || {}));
    page.busy = false;
    buttons();
    showOutcome(title, r);
    await refresh();
    return r;
}

page.setPrio = (device, value) =>
    change("tald --prio --set " + device + " " + value + " --wait " + WAIT,
           ["--prio", "--set", device, value, "--wait", WAIT]);

/* What a drain of CTL does: every LUN with a path through the other
 * controller gets overrides there; those whose I/O is on CTL move (the
 * active group as multipathd says, or else the highest stored priority);
 * a LUN without a path through the other stays, named apart. */
function drainPlan(ctl) {
    const moves = [], stays = [], changed = [];
    for (const lun of (page.data || { luns: [] }).luns) {
        const v = lunView(lun);
        const on = p => p.port.startsWith(ctl);
        if (!lun.paths.some(p => !on(p))) {
            stays.push(lun);
            continue;
        }
        changed.push(lun);
        const there = v.known ? lun.paths.some(p => on(p) && p.multipathd && p.multipathd.group_active === true)
            : lun.paths.some(p => on(p) && p.priority === v.top);
        if (there)
            moves.push(lun);
    }
    return { moves, stays, changed };
}

async function askDrain(ctl) {
    await refresh();
    const other = ctl === "C0" ? "C1" : "C0";
    const plan = drainPlan(ctl);
    $("confirm-text").textContent = "Drain " + ctl + ": the paths through " + other + " of " +
        plan.changed.length + " LUN(s) get overrides; " + plan.moves.length + " LUN(s) move their I/O to " +
        other + (plan.stays.length ? "; " + plan.stays.length + " LUN(s) without a path through " + other +
                 " stay on " + ctl + ", which must then stay up" : "") +
        ". Then the page waits up to " + WAIT + " s for multipathd.";
    $("confirm-list").replaceChildren(
        ...plan.moves.map(l => el("li", {}, lunName(l) + " → " + other)),
        ...plan.stays.map(l => el("li", { class: "alert" }, lunName(l) + " stays on " + ctl)));
    $("confirm-yes").textContent = "Drain " + ctl;
    $("confirm-yes").onclick = () => { $("confirm").hidden = true; page.drain(ctl) };
    $("confirm").hidden = false;
}

/* Drain or restore with its wait; meanwhile the progress says how many
 * LUNs multipathd has on the other controller, from the listing. */
async function moving(title, args, ctl) {
    const started = Date.now();
    const tick = setInterval(async () => {
        const data = await refresh();
        const luns = data ? data.luns : [];
        const away = luns.filter(l => l.paths.some(p => p.multipathd && p.multipathd.group_active === true &&
                                                   (ctl ? !p.port.startsWith(ctl) : true)));
        $("progress").textContent = "waiting " + Math.round((Date.now() - started) / 1000) + " s: " +
            away.length + " of " + luns.length + " LUNs' active groups" + (ctl ? " off " + ctl : " known");
    }, 1000);
    const r = await change(title, args);
    clearInterval(tick);
    $("progress").textContent = "";
    return r;
}
page.drain = ctl => moving("tald --drain " + ctl + " --wait " + WAIT, ["--drain", ctl, "--wait", WAIT], ctl);
page.restore = () => moving("tald --restore --wait " + WAIT, ["--restore", "--wait", WAIT], null);

page.exportPrefs = async () => {
    const r = await tald(["--export"]);
    const link = $("export-link");
    if (link.href)
        URL.revokeObjectURL(link.href);
    if (r.status === 0) {
        page.exported = r.out;
        link.href = URL.createObjectURL(new Blob([r.out], { type: "application/json" }));
        link.hidden = false;
        $("outcome").hidden = true;
    } else {
        link.hidden = true;
        showOutcome("tald --export", r);
    }
    return r;
};

/* The chosen file's dry run first; "Apply it" only after one that would
 * change something (status 2). */
page.dryRun = async text => {
    page.applyText = null;
    $("apply").hidden = true;
    showOutcome("tald --apply - --dry-run …", null);
    const r = await tald(["--apply", "-", "--dry-run"], { input: text });
    showOutcome("tald --apply - --dry-run", r);
    if (r.status === 2) {
        page.applyText = text;
        $("apply").hidden = false;
    }
    return r;
};
page.apply = () => page.applyText === null ? null
    : change("tald --apply -", ["--apply", "-"], { input: page.applyText }).then(r => {
        page.applyText = null;
        $("apply").hidden = true;
        return r;
    });

function watchAccess() {
    const su = cockpit.dbus(null, { bus: "internal" }).proxy("cockpit.Superuser", "/superuser");
    const update = () => {
        const admin = su.valid && su.Current !== "none" && su.Current !== "init";
        if (admin !== page.admin) {
            page.admin = admin;
            render();
        }
    };
    su.addEventListener("changed", update);
    su.wait(update);
}

/* The refresh runs while the page is shown: one tald -l --json each
 * REFRESH_MS, or twenty times as long as the last refresh took when that
 * is longer (a large array, a busy host), none while hidden, and one at
 * once when shown again. */
let timer = null;
function schedule() {
    clearTimeout(timer);
    if (document.visibilityState === "visible")
        timer = setTimeout(() => refresh().then(schedule), Math.max(REFRESH_MS, 20 * (page.lastRefreshMs || 0)));
}

document.addEventListener("DOMContentLoaded", () => {
    $("filter").addEventListener("input", render);
    $("refresh").addEventListener("click", () => refresh().then(schedule));
    $("drain-C0").addEventListener("click", () => askDrain("C0"));
    $("drain-C1").addEventListener("click", () => askDrain("C1"));
    $("confirm-no").addEventListener("click", () => { $("confirm").hidden = true });
    $("restore").addEventListener("click", () => page.restore());
    $("export").addEventListener("click", () => page.exportPrefs());
    $("apply").addEventListener("click", () => page.apply());
    $("apply-file").addEventListener("change", ev => {
        const file = ev.target.files[0];
        // tald takes at most 16 MiB; a longer file is not sent at all.
        if (file && file.size > APPLY_MAX)
            showOutcome(file.name + ": longer than 16 MiB; not sent to tald", null);
        else if (file)
            file.text().then(page.dryRun);
        ev.target.value = "";
    });
    document.addEventListener("visibilitychange", () => {
        if (document.visibilityState === "visible")
            refresh().then(schedule);
        else
            clearTimeout(timer);
    });
    watchAccess();
    refresh().then(schedule);
});
