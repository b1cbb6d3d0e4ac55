#!/usr/bin/python3
"""Installs the build into a fresh prefix and checks it as a desktop and a user meet it: the
layout, the menu entry and software-centre description as their validators read them, the
manual page against tavikctl's own help, and a first start that takes its templates from the
prefix without writing into it."""
import gzip, hashlib, os, re, signal, subprocess, sys, tempfile, time

build, source = sys.argv[1], sys.argv[2]
APP_ID = "net.tavikmail.Tavik"
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def snapshot(root):
    state = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            digest = ""
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
            state[os.path.relpath(path, root)] = (st.st_mode, st.st_size, st.st_mtime_ns, digest)
    return state


tmp = tempfile.mkdtemp()
prefix = os.path.join(tmp, "usr")
subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)

share = os.path.join(prefix, "share")
expected = ["bin/tavik", "bin/tavikctl", "share/tavik/signatur.tpl", "share/tavik/uidl.tpl",
            "share/tavik/mime.def", f"share/applications/{APP_ID}.desktop",
            f"share/metainfo/{APP_ID}.metainfo.xml", f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
            "share/man/man1/tavikctl.1.gz"]
expected += [f"share/icons/hicolor/{s}x{s}/apps/{APP_ID}.png" for s in (16, 32, 48, 64, 128, 256)]
for path in expected:
    check(os.path.isfile(os.path.join(prefix, path)), f"not installed: {path}")

desktop = os.path.join(share, "applications", APP_ID + ".desktop")
metainfo = os.path.join(share, "metainfo", APP_ID + ".metainfo.xml")
for command in (["desktop-file-validate", desktop], ["appstreamcli", "validate", "--no-net", metainfo]):
    run = subprocess.run(command, capture_output=True, text=True)
    check(run.returncode == 0, f"{command[0]} refuses: {run.stdout}{run.stderr}")
with open(desktop, encoding="utf-8") as f:
    entry = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
check(entry.get("Exec") == "tavik %u", f"Exec is {entry.get('Exec')!r}")
check(entry.get("Icon") == APP_ID, f"Icon is {entry.get('Icon')!r}")
check("x-scheme-handler/mailto" in entry.get("MimeType", "").split(";"), "no mailto handler")
check({"Network", "Email"} <= set(entry.get("Categories", "").split(";")), "categories")
with open(metainfo, encoding="utf-8") as f:
    info = f.read()
check(f"<id>{APP_ID}</id>" in info and f'"desktop-id">{APP_ID}.desktop<' in info, "id and desktop file differ")
check(re.search(r"<image>https://[^<]+</image>", info) is not None, "no screenshot by https URL")

# Every command tavikctl's help names has its place in the manual page.
with gzip.open(os.path.join(share, "man/man1/tavikctl.1.gz"), "rt", encoding="utf-8") as f:
    manual = f.read().replace("\\-", "-")
helptext = subprocess.run([os.path.join(prefix, "bin/tavikctl"), "--help"], capture_output=True,
                          text=True, check=True).stdout
commands = re.findall(r"^  ([a-z][a-z-]+)", helptext.split("Commands:", 1)[1], re.M)
check(len(commands) >= 10, f"help lists commands {commands}")
for command in commands:
    check(re.search(rf"^\.(B|BI) {re.escape(command)}\b", manual, re.M) is not None,
          f"the manual page lacks {command}")

# A first start from the prefix: the templates land in the program directory, the prefix stays.
before = snapshot(prefix)
home = os.path.join(tmp, "home", "tavik") + "/"
env = dict(os.environ, TAVIK_HOME=home, QT_QPA_PLATFORM="offscreen", HOME=os.path.join(tmp, "home"))
program = subprocess.Popen([os.path.join(prefix, "bin/tavik")], env=env, cwd="/",
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
templates = ["signatur.tpl", "uidl.tpl", "mime.def"]
deadline = time.monotonic() + 60
while time.monotonic() < deadline and program.poll() is None and \
        not all(os.path.isfile(home + t) for t in templates):
    time.sleep(0.05)  # polling the file system for a condition, with a deadline
running = program.poll() is None
program.send_signal(signal.SIGTERM)
try:
    program.wait(timeout=30)
except subprocess.TimeoutExpired:
    program.kill()
    program.wait()
check(running, "the installed program did not start: " + program.stderr.read().decode(errors="replace"))
for t in templates:
    with open(os.path.join(share, "tavik", t), "rb") as a, open(home + t, "rb") as b:
        check(a.read() == b.read(), f"{t} is not the installed template")
check(snapshot(prefix) == before, "the program wrote into its installation prefix")

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
