#!/usr/bin/env python3
"""The "Array paths" page in a real browser: Debian's chromium, headless,
driven through chromedriver's WebDriver protocol, loads the page from a real
cockpit-ws on 127.0.0.1 whose local session is a real cockpit-bridge, once
as root (administrative access) and once as nobody (none). The page's tald
is the tree's, on the simulated array, with multipathd played by the tests'
scripted libmpathcmd.so.0 whose replies a thread here keeps in step with the
store, three seconds late, as group_by_prio and an immediate failback
would. Standard library only.

  browser_test.py TOP BUILD             the checks; "N passed, M failed" last
  browser_test.py TOP BUILD --bench N   the load time and the host cost of a
                                        refresh with N LUNs, as figures
"""
import base64
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

TOP, BUILD = sys.argv[1], sys.argv[2]
BENCH = int(sys.argv[4]) if len(sys.argv) > 4 and sys.argv[3] == "--bench" else 0
SHOTS = os.path.join(TOP, "build", "cockpit-shots")
WS = "/usr/lib/cockpit/cockpit-ws"
LAG = 3.0
procs = []


def stop():
    """Ends every process group this run started, by its id."""
    for p in procs:
        try:
            os.killpg(p.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        p.wait()
    procs.clear()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Env:
    """Everything the sessions reach, in one directory that nobody can read
    too (TMPDIR may be private): the programs, the scenario, the store, the
    daemon's script, the page with its tald pointed at the wrapper."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tald-cockpit.", dir="/tmp")
        os.chmod(self.dir, 0o755)
        d = self.dir
        self.bin, self.state, self.daemon = d + "/bin", d + "/state", d + "/daemon"
        for sub in (self.bin, self.state, self.daemon, d + "/home-root", d + "/home-nobody", d + "/lib"):
            os.makedirs(sub, mode=0o755)
            os.chmod(sub, 0o755)
        shutil.chown(d + "/home-nobody", "nobody", "nogroup")
        shutil.copy(BUILD + "/src/command/tald", self.bin)
        shutil.copy(BUILD + "/tools/simarray/libsimarray.so", d + "/lib")
        shutil.copy(BUILD + "/tests/fake_mpathcmd/libmpathcmd.so.0", d + "/lib")
        self.scenario = d + "/array.scn"
        if BENCH:
            with open(self.scenario, "w") as f:
                subprocess.run([TOP + "/tools/bench/gen_scenario.sh", str(BENCH), d + "/nodes.txt"],
                               stdout=f, check=True)
        else:
            shutil.copy(TOP + "/tools/simarray/scenarios/array8.scn", self.scenario)
        self.wrapper = self.bin + "/tald-sim"
        with open(self.wrapper, "w") as f:
            f.write("#!/bin/sh\nexec env LD_PRELOAD=%s/lib/libsimarray.so SIMARRAY_SCENARIO=%s "
                    "SIMARRAY_STATE_DIR=%s LD_LIBRARY_PATH=%s/lib FAKE_MPATHD_DIR=%s %s/tald \"$@\"\n"
                    % (d, self.scenario, self.state, d, self.daemon, self.bin))
        os.chmod(self.wrapper, 0o755)
        page = d + "/share/cockpit/tald"
        shutil.copytree(TOP + "/cockpit/tald", page)
        with open(page + "/manifest.json") as f:
            manifest = json.load(f)
        manifest["config"]["tald"] = self.wrapper
        with open(page + "/manifest.json", "w") as f:
            json.dump(manifest, f)
        subprocess.run(["chmod", "-R", "a+rX", d], check=True)
        os.chmod(self.state, 0o700)  # as the package makes /etc/lvm/cache
        self.conf = self.state + "/tald.conf"

    def sim(self, *args, daemon=True, callout=False):
        env = dict(os.environ, LD_PRELOAD=self.dir + "/lib/libsimarray.so", SIMARRAY_SCENARIO=self.scenario,
                   SIMARRAY_STATE_DIR=self.state)
        if daemon:
            env.update(LD_LIBRARY_PATH=self.dir + "/lib", FAKE_MPATHD_DIR=self.daemon)
        prog = BUILD + "/src/callout/mpath_prio_tald" if callout else self.bin + "/tald"
        return subprocess.run([prog] + list(args), env=env, capture_output=True, text=True)

    def probe_all(self):
        nodes = [l.split()[1] for l in open(self.scenario) if l.startswith("node ")]
        for node in nodes:
            self.sim(node, daemon=False, callout=True)

    def conf_bytes(self):
        with open(self.conf, "rb") as f:
            return f.read()


class Daemon(threading.Thread):
    """multipathd, scripted: the stored priorities LAG seconds late, a group
    per priority, the highest active, but for the LUNs in `flipped` (their
    I/O on the lowest group); `stopped` refuses every connection."""

    def __init__(self, env):
        super().__init__(daemon=True)
        self.env, self.flipped, self.pending, self.last = env, set(), [], None
        self.running = True

    def stop(self):
        open(self.env.daemon + "/refuse", "w").close()

    def start_again(self):
        os.unlink(self.env.daemon + "/refuse")

    def publish(self, view):
        rows, maps = ["dev|dev_t|hcil|uuid|pri|chk_st|dm_st|multipath"], []
        for n, lun in enumerate(view["luns"]):
            name = "mpath%d" % n
            prios = sorted({p["priority"] for p in lun["paths"]}, reverse=True)
            active = prios[-1] if lun.get("alias") in self.flipped else prios[0]
            groups = [{"dm_st": "active" if prio == active else "enabled",
                       "paths": [{"dev": p["device"][5:]} for p in lun["paths"] if p["priority"] == prio]}
                      for prio in prios]
            maps.append({"name": name, "path_groups": groups})
            for p in lun["paths"]:
                rows.append("|".join([p["device"][5:], "8:0", p["hctl"], lun["wwid"], str(p["priority"]),
                                      "ready", "active", name]))
        for fname, text in (("paths.0", "\n".join(rows) + "\n"), ("maps.json", json.dumps({"maps": maps}))):
            with open(self.env.daemon + "/." + fname, "w") as f:
                f.write(text)
            os.chmod(self.env.daemon + "/." + fname, 0o644)
            os.rename(self.env.daemon + "/." + fname, self.env.daemon + "/" + fname)

    def step(self, force=False):
        r = self.env.sim("-l", "--json", daemon=False)
        if r.returncode == 0:
            view = json.loads(r.stdout)
            if view != self.last:
                self.pending.append((time.time(), view))
                self.last = view
        now, ready = time.time(), None
        while self.pending and (force or self.pending[0][0] <= now - LAG):
            ready = self.pending.pop(0)[1]
        if ready is not None or force:
            self.publish(ready or self.last)

    def run(self):
        while self.running:
            self.step()
            time.sleep(0.3)


class Browser:
    def __init__(self, profile):
        self.port = free_port()
        self.driver = subprocess.Popen(["chromedriver", "--port=%d" % self.port], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, start_new_session=True)
        procs.append(self.driver)
        for _ in range(100):
            try:
                self.call("GET", "/status")
                break
            except OSError:
                time.sleep(0.1)
        args = ["--headless=new", "--disable-gpu", "--window-size=1280,1000", "--user-data-dir=" + profile]
        if os.getuid() == 0:
            args.append("--no-sandbox")
        caps = {"browserName": "chrome", "goog:chromeOptions": {"binary": "/usr/bin/chromium", "args": args}}
        self.sid = self.call("POST", "/session", {"capabilities": {"alwaysMatch": caps}})["sessionId"]

    def call(self, method, path, body=None):
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path), method=method,
                                     data=None if body is None else json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=120) as r:
            return json.load(r)["value"]

    def s(self, path, body=None, method="POST"):
        return self.call(method, "/session/%s%s" % (self.sid, path), body)

    def js(self, script, *args):
        return self.s("/execute/sync", {"script": script, "args": list(args)})

    def wait_js(self, script, *args):
        """Runs an async function body; its `return` value comes back."""
        body = "const done = arguments[arguments.length - 1];" \
               "(async () => { %s })().then(done, e => done('error: ' + e));" % script
        return self.s("/execute/async", {"script": body, "args": list(args)})

    def until(self, script, seconds=60):
        end = time.time() + seconds
        while time.time() < end:
            v = self.js(script)
            if v:
                return v
            time.sleep(0.2)
        return None

    def shot(self, name):
        os.makedirs(SHOTS, exist_ok=True)
        with open(os.path.join(SHOTS, name + ".png"), "wb") as f:
            f.write(base64.b64decode(self.s("/screenshot", method="GET")))

    def close(self):
        try:
            self.s("", method="DELETE")
        except OSError:
            pass


def cockpit_ws(env, user):
    port = free_port()
    home = env.dir + ("/home-root" if user == "root" else "/home-nobody")
    cmd = ["env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=" + home, "LANG=C.UTF-8", "TMPDIR=" + home,
           "XDG_DATA_DIRS=%s/share:/usr/share" % env.dir, "XDG_RUNTIME_DIR=" + home,
           WS, "--no-tls", "-a", "127.0.0.1", "-p", str(port), "--local-session=cockpit-bridge"]
    if user != "root":
        cmd = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + cmd
    # A process group of its own: the bridge starts a D-Bus session daemon
    # and an ssh-agent that outlive it; stop() ends the whole group.
    ws = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=open(env.dir + "/ws-%s.log" % user, "w"),
                          start_new_session=True)
    procs.append(ws)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.1)
    return ws, "http://127.0.0.1:%d/cockpit/@localhost/tald/index.html" % port


def open_page(env, user):
    b = Browser(env.dir + "/profile-" + user)
    ws, url = cockpit_ws(env, user)
    b.s("/url", {"url": url})
    b.until("return window.taldPage && window.taldPage.firstRenderMs !== null", 60)
    b.until("return document.getElementById('access').textContent === '' || !taldPage.admin", 10)
    return b, ws


# The DOM's view of every path, and the same rows from tald's JSON.
DOM_ROWS = """
return [...document.querySelectorAll('article.lun')].flatMap(a => [...a.querySelectorAll('.path')].map(p => [
    a.dataset.wwid, a.querySelector('h3').firstChild.textContent, p.closest('.port').dataset.port,
    p.dataset.device, p.querySelector('.dev .muted').textContent, Number(p.querySelector('[data-stored]').textContent),
    p.querySelector('.tag').textContent === 'override', p.querySelector('.daemon').textContent,
    p.classList.contains('active')]));
"""


def json_rows(view):
    rows = []
    for lun in view["luns"]:
        for p in lun["paths"]:
            d = p.get("multipathd")
            line = "multipathd %d, %s, group %s" % (d["priority"], d["state"], d["group_state"]) if d else \
                ("not held by multipathd" if view.get("multipathd_reached") else "")
            rows.append([lun["wwid"], lun.get("alias") or "(no alias)", p["port"], p["device"], p["hctl"],
                         p["priority"], p["override"], line, bool(d and d.get("group_active") is True)])
    return rows


def outcome(b, command, seconds=90):
    """The title and text of the outcome of COMMAND (how its title begins)."""
    got = b.until("const t = document.getElementById('outcome-title').textContent;"
                  "return t.startsWith(%s) && t.includes('exit status') ?"
                  " [t, document.getElementById('outcome-text').textContent] : null" % json.dumps(command), seconds)
    return got or ["no outcome of " + command, b.js("return document.getElementById('outcome-title').textContent")]


results = [0, 0]


def check(name, fn):
    try:
        fault = fn()
    except Exception as e:  # a check that breaks is a failed check, with why
        fault = "%s: %s" % (type(e).__name__, e)
    results[0 if not fault else 1] += 1
    print(("ok    " if not fault else "FAIL  ") + name, flush=True)
    if fault:
        print("\n".join("      " + l for l in str(fault).splitlines()), flush=True)


def admin_checks(env, daemon, b):
    sdb_conf = ",/dev/sdb,2:0:0:1,8,"
    flipped = [l["wwid"] for l in json.loads(env.sim("-l", "--json").stdout)["luns"] if l["alias"] == "vol_db02"]

    def listing():
        want = json_rows(json.loads(env.sim("-l", "--json").stdout))
        got = b.js(DOM_ROWS)
        b.shot("01-overview")
        if got != want:
            return "page:\n%s\ntald -l --json:\n%s" % (json.dumps(got), json.dumps(want))
        return None if len(got) == 32 else "%d paths, not 32" % len(got)

    def off_preferred():
        top = b.js("return [...document.querySelectorAll('#off-preferred li')].map(l => l.dataset.wwid)")
        return None if top == flipped else "listed at the top: %s, not %s" % (top, flipped)

    def override():
        b.js("const p = document.querySelector('[data-device=\"/dev/sdb\"]'); p.querySelector('select').value = '8';"
             "p.querySelector('button.set').click();")
        title, text = outcome(b, "tald --prio --set /dev/sdb 8")
        b.wait_js("await taldPage.refresh(); return 1")
        b.shot("02-override-set")
        shown = b.js("const p = document.querySelector('[data-device=\"/dev/sdb\"]');"
                     "return [p.querySelector('[data-stored]').textContent, p.querySelector('.tag').textContent,"
                     " p.querySelector('.daemon').textContent]")
        if "exit status 0" not in title or "multipathd: sdb priority 8, ready" not in text:
            return "outcome: %s\n%s" % (title, text)
        if sdb_conf not in env.conf_bytes().decode():
            return "tald.conf has no %s" % sdb_conf
        return None if shown == ["8", "override", "multipathd 8, ready, group active"] else "shown: %s" % shown

    def drain_restore():
        daemon.flipped.clear()
        daemon.step(force=True)
        before = env.conf_bytes()
        b.js("document.getElementById('drain-C1').click()")
        ask = b.until("const c = document.getElementById('confirm'); return !c.hidden && c.textContent", 10)
        b.shot("03-drain-confirm")
        on_c1 = [l["alias"] for l in json.loads(env.sim("-l", "--json").stdout)["luns"]
                 if any(p["port"].startswith("C1") and (p.get("multipathd") or {}).get("group_active")
                        for p in l["paths"])]
        listed = b.js("return [...document.querySelectorAll('#confirm-list li')].map(l => l.textContent)")
        if not ask or "8 LUN(s) get overrides; %d LUN(s) move their I/O to C0" % len(on_c1) not in ask or \
                sorted(l.split()[0] for l in listed) != sorted(on_c1) or not on_c1:
            return "confirmation: %s %s; on C1: %s" % (ask, listed, on_c1)
        b.js("document.getElementById('confirm-yes').click()")
        progress = b.until("return document.getElementById('progress').textContent", 20)
        b.shot("04-drain-waiting")
        if not progress or not progress.startswith("waiting ") or "of 8 LUNs' active groups off C1" not in progress:
            return "progress of the wait: %r" % progress
        title, text = outcome(b, "tald --drain C1")
        b.shot("05-drained")
        if "exit status 0" not in title or "C1 drained:" not in text or "multipathd: active path groups" not in text:
            return "drain: %s\n%s" % (title, text)
        if not os.path.exists(env.state + "/tald.drained"):
            return "no tald.drained after the drain"
        b.js("document.getElementById('restore').click()")
        title, text = outcome(b, "tald --restore")
        if "exit status 0" not in title or "C1 restored:" not in text:
            return "restore: %s\n%s" % (title, text)
        b.shot("06-restored")
        return None if env.conf_bytes() == before else "tald.conf after the restore differs from before the drain"

    def export_apply():
        b.js("document.getElementById('export').click()")
        got = b.until("return !document.getElementById('export-link').hidden && taldPage.exported", 30)
        want = env.sim("--export").stdout
        if got != want:
            return "export on the page:\n%s\ntald --export:\n%s" % (got, want)
        bad, prefs = env.dir + "/bad.json", env.dir + "/prefs.json"
        with open(bad, "w") as f:
            json.dump({"luns": [{"alias": "vol_db01", "ports": {"C0P0": 4}}]}, f)
        with open(prefs, "w") as f:
            json.dump({"luns": [{"alias": "vol_db03", "preferred_port": "C1P1"}]}, f)
        before = env.conf_bytes()
        field = b.s("/element", {"using": "css selector", "value": "#apply-file"})
        field = list(field.values())[0]
        b.s("/element/%s/value" % field, {"text": bad})
        title, text = outcome(b, "tald --apply - --dry-run")
        with open(bad) as f:
            said = subprocess.run([env.wrapper, "--apply", "-", "--dry-run"], stdin=f, capture_output=True,
                                  text=True).stderr.strip()
        if "exit status 1" not in title or text != said or not said or b.js("return !document.getElementById('apply').hidden"):
            return "a refused document: %s\n%s\ntald said: %s" % (title, text, said)
        b.js("document.getElementById('outcome-title').textContent = ''")
        b.s("/element/%s/value" % field, {"text": prefs})
        title, text = outcome(b, "tald --apply - --dry-run")
        b.shot("07-apply-dry-run")
        if "exit status 2" not in title or "would change: 1 path of 1 LUN" not in text:
            return "dry run: %s\n%s" % (title, text)
        if env.conf_bytes() != before:
            return "the dry run changed tald.conf"
        b.js("document.getElementById('apply').click()")
        title, text = outcome(b, "tald --apply -: ")
        if "exit status 2" not in title or "changed: 1 path of 1 LUN" not in text:
            return "apply: %s\n%s" % (title, text)
        return None if env.sim("--apply", prefs, "--dry-run").returncode == 0 else "the store is not as the file says"

    def unreadable():
        os.rename(env.conf, env.conf + ".aside")
        os.mkdir(env.conf)
        try:
            want = env.sim("-l", "--json").stderr.strip()
            shown = b.wait_js("await taldPage.refresh(); const e = document.getElementById('error');"
                              "return [e.hidden, e.textContent, document.querySelectorAll('article.lun').length]")
            b.shot("08-unreadable")
        finally:
            os.rmdir(env.conf)
            os.rename(env.conf + ".aside", env.conf)
        return None if shown == [False, want, 0] and want else "shown %s; tald said %r" % (shown, want)

    def stopped():
        daemon.stop()
        try:
            want = [l for l in env.sim("--prio", "--get", "/dev/sdb", "--wait", "1").stdout.splitlines()
                    if l.startswith("multipathd:")]
            shown = b.wait_js("await taldPage.refresh(); return document.getElementById('daemon').textContent")
            b.shot("09-daemon-stopped")
        finally:
            daemon.start_again()
        return None if want and shown == want[0] else "shown %r; tald said %s" % (shown, want)

    check("admin: the LUNs and ports shown equal tald -l --json (32 paths)", listing)
    check("admin: the LUN off its preferred group (vol_db02) is listed at the top", off_preferred)
    check("admin: an override of /dev/sdb to 8 set from the page: in tald.conf, shown after the wait", override)
    check("admin: drain C1 (confirmed, waited) and restore from the page give back tald.conf byte for byte",
          drain_restore)
    check("admin: the export equals tald --export; a refused file shows tald's message; a file's dry run is shown first, then applied", export_apply)
    check("admin: an unreadable tald.conf is said with tald's message, no LUN listed", unreadable)
    check("admin: a stopped multipathd is said with tald's reason", stopped)


def nobody_checks(env, b):
    # The state directory and tald.conf are root's alone (0700, 0640), as
    # the package makes them: tald run as nobody cannot take the lock.
    lock_error = "Error:  Unable to obtain lock."
    def refused():
        before, drained = env.conf_bytes(), os.path.exists(env.state + "/tald.drained")
        state = b.js("return [document.getElementById('access').textContent,"
                     " [...document.querySelectorAll('[data-admin]')].every(x => x.disabled),"
                     " document.querySelectorAll('button.set').length, document.querySelectorAll('article.lun').length]")
        said = b.js("return document.getElementById('error').textContent")
        b.shot("10-read-only")
        if not state[0].startswith("Read-only") or not state[1] or state[2] != 0 or state[3] != 0 or \
                said != "Reading the stored priorities needs administrative access; tald says: " + lock_error:
            return "the page without administrative access: %s, %r" % (state, said)
        tries = [("taldPage.setPrio('/dev/sdc', '8')", "--prio --set"), ("taldPage.drain('C0')", "--drain C0"),
                 ("taldPage.restore()", "--restore"),
                 ("taldPage.applyText = '{\"luns\": []}'; taldPage.apply()", "--apply")]
        for call, what in tries:
            b.js(call)
            title, text = outcome(b, "tald " + what)
            if what not in title or "exit status null" not in title or "Not permitted" not in text:
                return "%s: %s\n%s" % (what, title, text)
        b.shot("11-refused")
        if env.conf_bytes() != before or os.path.exists(env.state + "/tald.drained") != drained:
            return "the store changed"
        return None

    check("no administrative access: tald's refusal to read said; set, drain, restore and apply refused, nothing changed", refused)


def main():
    env = Env()
    daemon = Daemon(env)
    shutil.rmtree(SHOTS, ignore_errors=True)
    try:
        kept = os.environ.get("TALD_COCKPIT_BENCH_STORE", "")
        if BENCH and os.path.exists(kept):
            shutil.copy(kept, env.conf)
        else:
            env.probe_all()
        if BENCH and kept and not os.path.exists(kept):
            shutil.copy(env.conf, kept)
        if BENCH:
            return bench(env, daemon)
        env.sim("--prio", "--set", "/dev/sdc", "8", daemon=False)
        daemon.flipped.add("vol_db02")
        daemon.step(force=True)
        daemon.start()
        b, ws = open_page(env, "root")
        print("      admin: the page loaded and rendered in %.0f ms" % b.js("return taldPage.firstRenderMs"))
        admin_checks(env, daemon, b)
        b.close()
        b, ws = open_page(env, "nobody")
        nobody_checks(env, b)
        b.close()
        print("      screenshots in %s" % os.path.relpath(SHOTS, TOP))
    finally:
        daemon.running = False
        stop()
        shutil.rmtree(env.dir, ignore_errors=True)
    print("%d passed, %d failed" % tuple(results))
    return 1 if results[1] else 0


def cpu_ticks(pid):
    """utime, stime and the reaped children's of PID, in clock ticks."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return sum(int(x) for x in fields[11:15])


def bench(env, daemon):
    daemon.step(force=True)
    b, ws = open_page(env, "root")
    load = b.js("return taldPage.firstRenderMs")
    bridge = int(subprocess.run(["pgrep", "-P", str(ws.pid)], capture_output=True, text=True).stdout.split()[0])
    n = 10
    before = cpu_ticks(bridge) + cpu_ticks(ws.pid)
    t = time.time()
    for _ in range(n):
        b.wait_js("await taldPage.refresh(); return 1")
    wall = (time.time() - t) / n
    cpu = (cpu_ticks(bridge) + cpu_ticks(ws.pid) - before) / os.sysconf("SC_CLK_TCK") / n
    paths = b.js("return document.querySelectorAll('.path').length")
    timing = b.js("return taldPage.timing")
    print("last refresh: tald -l --json through the bridge %.0f ms, drawing %.0f ms (%s)"
          % (timing["tald_ms"], timing["render_ms"], "drawn" if timing["drawn"] else "unchanged, not drawn again"))
    t = time.time()
    b.wait_js("taldPage.lastOut = null; await taldPage.refresh(); return 1")
    timing = b.js("return taldPage.timing")
    print("a refresh whose listing changed: %.0f ms in the browser, tald -l --json through the bridge %.0f ms,"
          " drawing %.0f ms" % ((time.time() - t) * 1000, timing["tald_ms"], timing["render_ms"]))
    print("%d LUNs (%d paths shown): page loaded and rendered in %.0f ms; one refresh %.0f ms in the browser,"
          " %.0f ms of host CPU (tald, cockpit-bridge, cockpit-ws); at one refresh each 10 s: %.1f %% of one core"
          % (BENCH, paths, load, wall * 1000, cpu * 1000, cpu / 10 * 100))
    b.close()
    stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
