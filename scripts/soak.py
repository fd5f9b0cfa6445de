#!/usr/bin/env python3
"""The parts of scripts/soak that are clearer in Python than in bash.

    soak.py proxy DELAY_MS TARGET_PORT...   delay proxy on loopback; prints
                                            "proxy TARGET LISTEN" per target,
                                            then "ready"
    soak.py slow-scrape URL                 reads URL a byte at a time, again
                                            and again, until SIGTERM
    soak.py sample PID URL RECORD OUT SECONDS
                                            every SECONDS appends the viewer's
                                            memory, descriptors, threads, the
                                            size of RECORD's write-ahead log
                                            and one quick scrape to OUT
    soak.py check FOLDER                    checks a finished run, writes its
                                            report and picture, exits 1 when a
                                            check failed

Times are local date-times in days since 30 December 1899, as the record and
the servers' task logs keep them.
"""
import asyncio
import datetime
import glob
import json
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import time
import urllib.parse

DAY = 86400.0


def days_of(unix_seconds):
    """A time of the system clock as the programs write it: local, in days."""
    t = float(unix_seconds)
    return (t + time.localtime(t).tm_gmtoff) / DAY + 25569.0


def now_days():
    return days_of(time.time())


# ---------------------------------------------------------------- delay proxy

async def pipe(reader, writer, delay):
    """Copies reader to writer, each chunk `delay` seconds late, in order."""
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            pause = due - time.monotonic()
            if pause > 0:
                await asyncio.sleep(pause)
            if data is None:
                break
            writer.write(data)
            await writer.drain()

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            await queue.put((time.monotonic() + delay, data or None))
            if not data:
                break
        await sender
    except (ConnectionError, OSError):
        sender.cancel()
    finally:
        writer.close()


async def proxy_main(delay_ms, targets):
    delay = delay_ms / 2000.0  # each way: half the round trip

    def handler(target):
        async def serve(client_reader, client_writer):
            try:
                server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
            except OSError:
                client_writer.close()  # the server is down: so is the way through
                return
            await asyncio.gather(pipe(client_reader, server_writer, delay),
                                 pipe(server_reader, client_writer, delay),
                                 return_exceptions=True)
        return serve

    servers = []
    for target in targets:
        server = await asyncio.start_server(handler(target), "127.0.0.1", 0)
        servers.append(server)
        print("proxy %d %d" % (target, server.sockets[0].getsockname()[1]))
    print("ready", flush=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()


# ------------------------------------------------------------------- scrapers

def scrape(url, timeout):
    """The body of one GET of url; raises OSError on failure."""
    parts = urllib.parse.urlsplit(url)
    with socket.create_connection((parts.hostname, parts.port), timeout=timeout) as s:
        s.sendall(("GET %s HTTP/1.0\r\nHost: localhost\r\n\r\n" % parts.path).encode())
        chunks = []
        while True:
            data = s.recv(65536)
            if not data:
                break
            chunks.append(data)
    reply = b"".join(chunks).decode("utf-8", "replace")
    head, _, body = reply.partition("\r\n\r\n")
    if not head.startswith("HTTP/1.") or " 200 " not in head.split("\r\n")[0]:
        raise OSError("no 200 reply: " + head.split("\r\n")[0])
    return body


def slow_scrape(url):
    """A scraper that reads a byte at a time with pauses, over and over."""
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    parts = urllib.parse.urlsplit(url)
    rounds = read = 0
    while not stopping:
        try:
            with socket.create_connection((parts.hostname, parts.port), timeout=10) as s:
                s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
                while not stopping:
                    data = s.recv(1)
                    if not data:
                        break
                    read += 1
                    time.sleep(0.02)
        except OSError:
            pass
        rounds += 1
        print("slow scrape %d: %d bytes so far" % (rounds, read), flush=True)


def metric_values(body):
    """name{labels} -> value of a text exposition."""
    values = {}
    for line in body.splitlines():
        if line and not line.startswith("#"):
            key, _, value = line.rpartition(" ")
            try:
                values[key] = float(value)
            except ValueError:
                pass
    return values


def sample(pid, url, record, out, seconds):
    """Every `seconds` one line: time, RSS kB, descriptors, threads, scrape ok,
    scrape ms, tasks refresh sum and count, servers up, write-ahead log kB."""
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    with open(out, "a") as f:
        while not stopping:
            started = time.monotonic()
            try:
                status = open("/proc/%d/status" % pid).read()
                fds = len(os.listdir("/proc/%d/fd" % pid))
            except OSError:
                break  # the viewer has ended
            fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
            rss = int(fields["VmRSS"].split()[0])
            threads = int(fields["Threads"])
            ok, refresh_sum, refresh_count, up = 0, -1, -1, -1
            try:
                values = metric_values(scrape(url, 3))
                ok = 1
                refresh_sum = values.get('quvtasks_refresh_duration_seconds_sum{list="tasks"}', -1)
                refresh_count = values.get('quvtasks_refresh_duration_seconds_count{list="tasks"}', -1)
                up = sum(v for k, v in values.items() if k.startswith("quvtasks_server_up{"))
            except OSError:
                pass
            scrape_ms = (time.monotonic() - started) * 1000
            try:
                wal = os.path.getsize(record + "-wal") // 1024
            except OSError:
                wal = 0
            f.write("%.9f %d %d %d %d %.1f %.6f %d %d %d\n" % (
                now_days(), rss, fds, threads, ok, scrape_ms, refresh_sum, refresh_count, up, wal))
            f.flush()
            time.sleep(max(0.0, seconds - (time.monotonic() - started)))


# ---------------------------------------------------------------------- check

# A task must have lived this long where the viewer could see it to be
# required in the record: two refresh cycles (1 s pause plus a refresh of up
# to 1.5 s) and a margin.
REQUIRED_LIFE = 6.0
# A refresh stamps what every server answered with the time it ends, which
# a server that does not answer delays to its deadline (1.5 s): a recorded
# start or last sighting may be that much late.
STAMP_SLACK = 2.0
# The viewer sees an end at the next refresh, at most a cycle and a deadline later.
END_SLACK = 4.0
# An outage shorter than this may fall between two refreshes.
REQUIRED_OUTAGE = 4.0
# After the warm-up, resident memory stays in this band and grows by no
# more than GROWTH_* over the second half (slope times its length).
RSS_BAND_KB, RSS_GROWTH_KB = 16384, 4096
# SQLite copies the log back every 1000 pages (4 MB) and then reuses it.
WAL_BAND_KB, WAL_GROWTH_KB = 8192, 2048
FD_BAND, FD_GROWTH = 24, 4
THREAD_BAND, THREAD_GROWTH = 24, 4


def read_schedule(folder):
    """The schedule log: (time, action, server, argument) per line."""
    rows = []
    for line in open(os.path.join(folder, "schedule.log")):
        parts = line.split()
        rows.append((days_of(parts[0]), parts[1], int(parts[2]), parts[3] if len(parts) > 3 else ""))
    return rows


def windows(schedule, server, begin_action, end_action, run_end):
    """Periods from each begin_action of server to its next end_action."""
    found, begin = [], None
    for when, action, who, _ in schedule:
        if who != server:
            continue
        if action == begin_action and begin is None:
            begin = when
        elif action == end_action and begin is not None:
            found.append((begin, when))
            begin = None
    if begin is not None:
        found.append((begin, run_end))
    return found


def joined(periods):
    """Periods with the gaps shorter than a refresh cycle closed: a server up
    for a moment between two outages is one outage to a watch."""
    merged = []
    for begin, end in periods:
        if merged and (begin - merged[-1][1]) * DAY < 2.5:
            merged[-1] = (merged[-1][0], end)
        else:
            merged.append((begin, end))
    return merged


def overlap(a, b, periods):
    return sum(max(0.0, min(b, e) - max(a, s)) for s, e in periods)


def read_tasks(folder, server, down_periods, run_end):
    """The tasks a server's log names: (request, method, start, end); a task
    left without an end ended when its server was killed."""
    tasks = []
    for path in sorted(glob.glob(os.path.join(folder, "tasks-%02d-*.log" % server))):
        open_tasks = {}
        for line in open(path):
            parts = line.split(None, 4)
            if len(parts) < 5:
                continue
            when, what, entry = float(parts[0]), parts[1], parts[2]
            if what == "start":
                open_tasks[entry] = (int(parts[3]), parts[4].strip(), when)
            elif entry in open_tasks:
                request, method, start = open_tasks.pop(entry)
                tasks.append((request, method, start, when))
        for request, method, start in open_tasks.values():
            ends = [s for s, _ in down_periods if s >= start] + [run_end]
            tasks.append((request, method, start, min(ends)))
    return tasks


def check_tasks(folder, db, schedule, servers, watch, report):
    spans = {}
    for label, request, started, last_seen, found_ended in db.execute(
            "SELECT label, request_id, started, last_seen, found_ended FROM task_spans"):
        spans.setdefault((label, request), []).append((started, last_seen, found_ended))
    checked = missing = wrong = 0
    for server in range(1, servers + 1):
        label = "S%02d" % server
        down = windows(schedule, server, "kill", "start", watch[1])
        blind = down + windows(schedule, server, "stop", "cont", watch[1])
        for request, method, start, end in read_tasks(folder, server, down, watch[1]):
            if method.startswith("quvsystem.tasks.") or method == "quvsystem.sessions.list":
                continue  # the viewer's own polling and cancels, which it leaves out
            a, b = max(start, watch[0]), min(end, watch[1])
            if (b - a) * DAY - overlap(a, b, blind) * DAY < REQUIRED_LIFE:
                continue
            checked += 1
            found = [s for s in spans.get((label, request), [])
                     if -0.5 <= (s[0] - start) * DAY <= STAMP_SLACK]
            if not found:
                missing += 1
                if missing <= 10:
                    report.append("  missing: %s request %d (%s) %.1f s from %s" % (
                        label, request, method, (end - start) * DAY, clock_text(start)))
                continue
            last_seen = max(s[1] for s in found)
            seen_end = max((s[2] or s[1]) for s in found)
            near_blind = overlap(end - END_SLACK / DAY, end + END_SLACK / DAY, blind) > 0
            if end < watch[1] and not near_blind and (
                    (last_seen - end) * DAY > STAMP_SLACK or (end - seen_end) * DAY > END_SLACK):
                wrong += 1
                if wrong <= 10:
                    report.append("  end off: %s request %d ended %s, last seen %s, missed %s" % (
                        label, request, clock_text(end), clock_text(last_seen), clock_text(seen_end)))
    report.append("tasks: %d that lived %.0f s or more in view, %d missing, %d with a wrong end" % (
        checked, REQUIRED_LIFE, missing, wrong))
    return checked > 0 and missing == 0 and wrong == 0


def check_outages(folder, schedule, servers, watch, report):
    events = json.load(open(os.path.join(folder, "events.json")))
    by_label = {}
    for event in events:
        by_label.setdefault(event["host"], []).append(event)
    checked = missed = 0
    for server in range(1, servers + 1):
        label = "S%02d" % server
        mine = by_label.get(label, [])
        for begin, end in joined(windows(schedule, server, "kill", "start", watch[1])):
            if begin < watch[0] or end >= watch[1] or (end - begin) * DAY < REQUIRED_OUTAGE:
                continue
            checked += 1
            # Event times are whole seconds.
            downs = [e for e in mine if e["event"] not in ("respondendo", "cancelamento") and
                     begin - 1 / DAY <= event_time(e) <= end + END_SLACK / DAY]
            ups = [e for e in mine if e["event"] == "respondendo" and
                   end - 1 / DAY <= event_time(e) <= end + 3 * END_SLACK / DAY]
            if not downs or not ups:
                missed += 1
                if missed <= 10:
                    report.append("  outage of %s from %s to %s: %s" % (
                        label, clock_text(begin), clock_text(end),
                        "no down event" if not downs else "no up event"))
    report.append("outages: %d of %.0f s or more, %d not recorded as down and up" % (
        checked, REQUIRED_OUTAGE, missed))
    return missed == 0


def event_time(event):
    """An event's ISO local time as days since 30 December 1899."""
    at = datetime.datetime.fromisoformat(event["at"])
    return (at - datetime.datetime(1899, 12, 30)).total_seconds() / DAY


def clock_text(days):
    seconds = round((days % 1) * DAY)
    return "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)


def slope_per_second(points):
    n = len(points)
    if n < 2:
        return 0.0
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    sxx = sum((x - mx) ** 2 for x, _ in points)
    return sum((x - mx) * (y - my) for x, y in points) / sxx if sxx else 0.0


def check_resources(samples, warmup_end, report):
    steady = [s for s in samples if s[0] >= warmup_end]
    if len(steady) < 4:
        report.append("resources: too few samples after the warm-up")
        return False
    half = steady[len(steady) // 2:]
    length = (half[-1][0] - half[0][0]) * DAY
    ok = True
    for name, column, band_limit, growth_limit, unit in (
            ("resident memory", 1, RSS_BAND_KB, RSS_GROWTH_KB, "kB"),
            ("descriptors", 2, FD_BAND, FD_GROWTH, ""),
            ("threads", 3, THREAD_BAND, THREAD_GROWTH, ""),
            ("record's write-ahead log", 9, WAL_BAND_KB, WAL_GROWTH_KB, "kB")):
        values = [s[column] for s in steady]
        band = max(values) - min(values)
        slope = slope_per_second([(s[0] * DAY, s[column]) for s in half])
        growth = slope * length
        good = band <= band_limit and growth <= growth_limit
        ok &= good
        report.append("%s: %d to %d %s (band %d, limit %d); second half %+.3f%s/min, "
                      "%+.1f over %.0f s (limit %d)%s" % (
                          name, min(values), max(values), unit, band, band_limit, slope * 60,
                          unit, growth, length, growth_limit, "" if good else "  FAILED"))
    return ok


def check_metrics(folder, samples, report):
    failed = [s for s in samples if not s[4]]
    slowest = max(s[5] for s in samples)
    slow = open(os.path.join(folder, "slow-scrape.log")).read().splitlines()
    report.append("metrics: %d scrapes, %d failed, slowest %.0f ms, beside a byte-at-a-time "
                  "scraper (%s)" % (len(samples), len(failed), slowest,
                                    slow[-1] if slow else "no round ended"))
    return not failed


def draw(folder, samples):
    data = os.path.join(folder, "plot.dat")
    start = samples[0][0]
    with open(data, "w") as f:
        previous = None
        for s in samples:
            refresh = ""
            if previous and s[7] > previous[7] >= 0:
                refresh = "%.3f" % ((s[6] - previous[6]) / (s[7] - previous[7]))
            f.write("%.3f %.1f %d %d %s\n" % ((s[0] - start) * DAY / 60, s[1] / 1024.0, s[2], s[3],
                                              refresh or "NaN"))
            previous = s
    script = """set terminal pngcairo size 1000,800
set output '%s'
set multiplot layout 3,1 title 'quvtasks --serve under the soak'
set xlabel 'minutes'
set ylabel 'MB'
plot '%s' using 1:2 with lines title 'resident memory'
set ylabel 'count'
plot '%s' using 1:3 with lines title 'descriptors', '' using 1:4 with lines title 'threads'
set ylabel 'seconds'
plot '%s' using 1:5 with lines title 'mean task refresh'
unset multiplot
""" % (os.path.join(folder, "soak.png"), data, data, data)
    try:
        subprocess.run(["gnuplot"], input=script.encode(), check=True)
    except (OSError, subprocess.CalledProcessError):
        script = script.replace("pngcairo", "png")
        subprocess.run(["gnuplot"], input=script.encode(), check=True)


def check(folder):
    info = dict(line.rstrip("\n").split("=", 1) for line in open(os.path.join(folder, "run.info")))
    servers = int(info["servers"])
    watch = (days_of(info["watch_start"]), days_of(info["watch_end"]))
    schedule = read_schedule(folder)
    samples = [tuple(float(x) for x in line.split())
               for line in open(os.path.join(folder, "samples.tsv"))]
    minutes = (watch[1] - watch[0]) * DAY / 60
    warmup = min(5.0, minutes / 4)
    report = ["soak of %.1f minutes, %d servers, %d scheduled actions (%s); warm-up %.1f min" % (
        minutes, servers, len(schedule), ", ".join(
            "%d %s" % (sum(1 for r in schedule if r[1] == a), a)
            for a in ("kill", "stop", "burst", "cancel")), warmup)]
    db = sqlite3.connect("file:%s?mode=ro" % os.path.join(folder, "record.db"), uri=True)
    integrity = db.execute("PRAGMA integrity_check").fetchone()[0]
    report.append("integrity_check: " + integrity)
    results = [integrity == "ok",
               check_resources(samples, watch[0] + warmup * 60 / DAY, report),
               check_metrics(folder, samples, report),
               check_tasks(folder, db, schedule, servers, watch, report),
               check_outages(folder, schedule, servers, watch, report)]
    draw(folder, samples)
    report.append("picture: " + os.path.join(folder, "soak.png"))
    report.append("soak: " + ("passed" if all(results) else "FAILED"))
    text = "\n".join(report) + "\n"
    open(os.path.join(folder, "report.txt"), "w").write(text)
    sys.stdout.write(text)
    return 0 if all(results) else 1


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command == "proxy":
        asyncio.run(proxy_main(int(argv[2]), [int(p) for p in argv[3:]]))
    elif command == "slow-scrape":
        slow_scrape(argv[2])
    elif command == "sample":
        sample(int(argv[2]), argv[3], argv[4], argv[5], float(argv[6]))
    elif command == "check":
        return check(argv[2])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
