#!/usr/bin/python3
"""The soak run (scripts/soak.sh starts it inside a private network namespace): quillon-host
processes with 32 video streams against camsims that apply a fault schedule, then a verdict.

Cameras (each its own camsim on loopback, each with the same fault schedule):
  udp   encoder-4ch, RTP over UDP:        4 inputs x (H.264 recording, MPEG-4 live, JPEG remote),
                                          motion detection beside the recording streams
  tcp   encoder-4ch, RTP over RTSP (TCP): the same 12, one H.264 stream behind a slow host sink
  http  encoder-4ch, RTP over HTTP:       4 x H.264 recording, 2 x MPEG-4 live
  mcast fixed, multicast (primary):       H.264 recording, MPEG-4 live
  io    audio-io: audio in, audio out (looped for the whole run), digital IO
Each host process gets its own copy of quillon-host and the driver beside a settings file of its
own (the driver reads the one beside the program): unicast with the RTP mode per camera, or
multicast.

Threads, descriptors and memory of every host process are read at minute 5 (half the run when
that is shorter), after a first round of every fault, and near the end. Then, per stream: frames camsim sent and quillon-host
delivered, each loss (a step in frame time) with the fault it falls under, each silence with
how long the stream took to come back after its fault ended, and backward steps in frame time.
The run fails (exit 1) on a loss or silence outside every fault window plus the connection
time-out, a stream not back within that time-out, a backward step, a stream with no frames,
threads, descriptors or private memory grown by more than 5 %, or a sanitizer report.

Usage: scripts/soak.py --build-dir DIR --seconds N [--out DIR]    (a run, then its verdict)
       scripts/soak.py --judge DIR                                  (a finished run's verdict)
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
from compare_peers import Started, free_port, stop_all  # noqa: E402

WARM_UP_S = 20.0  # streams run before the first fault
RECOVERY_S = 15.0  # the driver's connection time-out: a stream is back this long after a fault
GROWTH_LIMIT = 0.05
SESSION_TIMEOUT_S = 20
SLOW_SINK_MS = 60
SIZES = {"encoder-4ch": "352x288", "fixed": "320x240"}  # sizes the profile and the clips have
FORMAT_CODEC = {1: "jpeg", 2: "mpeg4", 3: "h264"}
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer")

# name, profile, RTP mode (None: multicast; "" no video), streams as (channel, kind, format, fps)
ENCODER_12 = [(ch, kind, fmt, fps) for ch in range(4)
              for kind, fmt, fps in ((0, 3, 25), (1, 2, 15), (2, 1, 10))]
CAMERAS = [
    ("udp", "encoder-4ch", "RTPoverUDP", ENCODER_12),
    ("tcp", "encoder-4ch", "RTPoverRTSP", ENCODER_12),
    ("http", "encoder-4ch", "RTPoverHTTP",
     [(ch, 0, 3, 25) for ch in range(4)] + [(ch, 1, 2, 15) for ch in range(2)]),
    ("mcast", "fixed", None, [(0, 0, 3, 25), (0, 1, 2, 15)]),
    ("io", "audio-io", "", []),
]
SLOW_STREAM = ("tcp", 3, 0)  # camera, channel, kind

# kind, window seconds (restart: downtime), extra arguments
FAULT_KINDS = [
    ("restart", 5, ""), ("rtp-drop", 10, " 40"), ("stall", 15, " 4"),
    ("rtp-duplicate", 10, " 7"), ("auth401", 8, " 20"), ("rtp-reorder", 10, " 9"),
    ("outage", 8, ""), ("stale-nonce", 0, ""), ("ignore-keepalives", 30, ""), ("close", 0, ""),
]


def first_sample_at(seconds):
    return min(300.0, seconds / 2.0)


def fault_round(begin, end, rounds):
    """Every kind once per round, spread over [begin, end), each with room to recover before the
    next; windows shrink to their slots when the span is short (a shrunk keep-alive window may
    end before any session times out: the kind still runs, to no effect)."""
    slot = max(1.0, end - begin) / (rounds * len(FAULT_KINDS))
    lines = []
    for r in range(rounds):
        for i, (kind, window, extra) in enumerate(FAULT_KINDS):
            at = begin + (r * len(FAULT_KINDS) + i) * slot
            length = min(window, max(1.0, slot - RECOVERY_S)) if window else 0
            lines.append("%.1f %s%s%s" % (at, kind, " %.1f" % length if window else "", extra))
    return lines


def first_round(begin, end):
    """Every kind once with its whole window, one after the other, where the span has room (a
    shortened window may cost less than the real one: a keep-alive window shorter than the
    session time-out costs nothing); else spread over it as any round."""
    slots = [window + LINGER_S.get(kind, 0) + RECOVERY_S for kind, window, _ in FAULT_KINDS]
    if sum(slots) > end - begin:
        return fault_round(begin, end, 1)
    lines = []
    at = begin
    for (kind, window, extra), slot in zip(FAULT_KINDS, slots):
        lines.append("%.1f %s%s%s" % (at, kind, " %.1f" % window if window else "", extra))
        at += slot
    return lines


def fault_schedule(seconds):
    """A first round before the first sample, so that what a fault costs the first time
    (allocator arenas of the threads it starts, caches filled on first use) is in the baseline
    and growth after it is what repeats; then rounds between the first sample and the last 25 s.
    """
    first = first_sample_at(seconds)
    lines = first_round(WARM_UP_S, first - 5)
    begin = first + 5
    span = max(10.0, seconds - 25 - begin)
    lines += fault_round(begin, begin + span, max(1, int(span // (len(FAULT_KINDS) * 50))))
    return "\n".join(lines) + "\n"


def settings_xml(cameras, multicast):
    if multicast:
        return ("<Configuration><StreamingMode>Multicast Primary</StreamingMode>"
                "</Configuration>\n")
    devices = "".join('<Device address="127.0.0.1" port="%d"><RTPMode>%s</RTPMode></Device>'
                      % (c["http"], c["mode"]) for c in cameras if c["mode"])
    return "<Configuration><StreamingMode>Unicast</StreamingMode>%s</Configuration>\n" % devices


def host_copy(build, folder, settings):
    """quillon-host and the driver in a folder of their own, beside a settings file."""
    os.makedirs(folder, exist_ok=True)
    shutil.copy2(os.path.join(build, "tools", "host", "quillon-host"), folder)
    shutil.copy2(os.path.realpath(os.path.join(build, "tools", "host", "libquillon.so")),
                 os.path.join(folder, "libquillon.so"))
    with open(os.path.join(folder, "Quillon.xml"), "w") as f:
        f.write(settings)
    return os.path.join(folder, "quillon-host")


def sanitized(build):
    """Whether the build has AddressSanitizer, whose quarantine makes memory grow by design."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            return "QUILLON_SANITIZE:BOOL=ON" in f.read()
    except OSError:
        return False


def wait_ready(proc, what):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if b"\nready" in b"\n" + proc.output():
            return
        if proc.reap(0):
            break
        time.sleep(0.1)
    sys.exit("%s did not start:\n%s" % (what, proc.output().decode(errors="replace")))


def sample(pid):
    """Threads, open descriptors and memory (kB) of a live process; None once it is gone."""
    try:
        figures = {"threads": len(os.listdir("/proc/%d/task" % pid)),
                   "fds": len(os.listdir("/proc/%d/fd" % pid))}
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key = line.split(":")[0]
                if key in ("VmRSS", "RssAnon"):
                    figures[key] = int(line.split()[1])
        return figures
    except (OSError, ValueError):
        return None


def load_json(path, default):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return default


# A stalled connection outlives its fault's window until the driver gives up on it after its
# connection time-out; only then can the stream come back.
LINGER_S = {"stall": RECOVERY_S}


def fault_windows(event_log):
    """(start ms, end ms, kind) from camsim's event log, the end moved by what lingers after it;
    a fault with no end lasts to the end."""
    windows, open_ = [], {}
    try:
        with open(event_log) as f:
            for line in f:
                e = json.loads(line)
                key = (e["line"], e["kind"])
                if e["event"] == "start":
                    open_.setdefault(key, []).append(e["wall_ms"])
                elif open_.get(key):
                    windows.append((open_[key].pop(0),
                                    e["wall_ms"] + LINGER_S.get(e["kind"], 0) * 1000, e["kind"]))
    except (OSError, ValueError, KeyError):
        pass
    windows += [(start, float("inf"), key[1]) for key, starts in open_.items() for start in starts]
    return sorted(windows)


def explain(span_from, span_to, windows):
    """The fault a loss or silence between the two times falls under (of several, the last to
    start before it), the end of the last fault it overlaps, and whether the stream was back
    within the recovery time after that; (None, None, None) when no fault explains it."""
    hit = [w for w in windows if w[0] <= span_to and span_from <= w[1] + RECOVERY_S * 1000]
    if not hit:
        return None, None, None
    before = [w for w in hit if w[0] <= span_from] or hit
    last_end = max(w[1] for w in hit)
    return max(before)[2], last_end, span_to <= last_end + RECOVERY_S * 1000


def sent_frames(stats, camera_index, codec, fps):
    """What camsim sent for one host stream: the sessions of that input, codec and rate."""
    total = 0
    for s in stats:
        query = "&" + s.get("query", "") + "&"
        # A multicast stream is asked for by its profile's name alone.
        if (s.get("camera") == camera_index and s.get("codec") == codec and
                ("&fps=%d&" % fps in query or "&fps=" not in query)):
            total += s.get("frames", 0)
    return total


def judge_stream(cam, stream, spec, windows, elapsed_s, failures):
    channel, kind, fmt, fps = spec
    name = "%s ch%d:%d %s@%d" % (cam["name"], channel, kind, FORMAT_CODEC[fmt], fps)
    interval = 1000.0 / fps
    start = stream["startMs"]
    row = {"stream": name, "delivered": stream["counters"]["frames"],
           "sent": sent_frames(cam["stats"], channel + 1, FORMAT_CODEC[fmt], fps),
           "steps": [], "silences": [], "back_steps": stream["backSteps"]}
    stream_windows = list(windows)
    if (cam["name"], channel, kind) == SLOW_STREAM:
        stream_windows.append((start, float("inf"), "slow-sink"))
    # JPEG over HTTP carries no camera time: its frames are stamped on arrival, so a step there
    # is a late frame unless it spans more than two intervals.
    least_step = interval * (2.5 if fmt == 1 else 1.5)
    explained = 0
    unexplained = []
    for at, step in stream["gaps"]:
        if step < least_step:
            continue
        arrived = start + at
        cause, _, _ = explain(arrived - step, arrived, stream_windows)
        missing = max(1, int(round(step / interval)) - 1)
        row["steps"].append({"at_s": round((arrived - cam["t0"]) / 1000, 1), "frames": missing,
                              "cause": cause})
        if cause is None:
            unexplained.append("%d at %.1f s" % (missing, (arrived - cam["t0"]) / 1000))
        else:
            explained += missing
    # A step in frame time is a loss, or a pause of the camera (reconnecting), or a time stamp
    # that moved: only frames camsim sent and the host never got are lost. Beyond those under a
    # fault, a second's worth may still be on the way when the host stops.
    row["lost"] = max(0, row["sent"] - row["delivered"])
    if any(w[1] == float("inf") for w in stream_windows):
        explained = row["lost"]  # a fault for the whole run (the slow sink) explains them all
    if row["lost"] > explained + fps:
        failures.append("%s: %d frames lost, %d of them under a fault; steps in frame time "
                        "outside every fault: %s" % (name, row["lost"], explained,
                                                     ", ".join(unexplained) or "none"))
    for e in stream["events"]:
        if e["gapMs"] <= 0:
            continue
        back = start + e["atMs"]
        cause, fault_end, in_time = explain(back - e["gapMs"], back, stream_windows)
        after = (back - fault_end) / 1000 if cause and fault_end != float("inf") else None
        row["silences"].append({"at_s": round((back - e["gapMs"] - cam["t0"]) / 1000, 1),
                                "seconds": e["gapMs"] / 1000, "cause": cause,
                                "back_after_fault_s": None if after is None else round(after, 1)})
        if cause is None:
            failures.append("%s: %.1f s without frames at %.1f s outside every fault window"
                            % (name, e["gapMs"] / 1000, (back - e["gapMs"] - cam["t0"]) / 1000))
        elif not in_time:
            failures.append("%s: back %.1f s after the end of a %s (and the faults it ran "
                            "into), later than the %.0f s time-out" % (name, after, cause,
                                                                       RECOVERY_S))
    # The host's run ends its elapsed time after the streams' start; stopping them comes after.
    host_end_ms = start + elapsed_s * 1000
    silent_since = stream["lastArrivalMs"] or start
    if host_end_ms - silent_since > max(3000, 3 * interval):
        cause, _, _ = explain(silent_since, host_end_ms, stream_windows)
        if stream["counters"]["frames"] == 0 or cause is None:
            failures.append("%s: no frames for the last %.1f s of the run"
                            % (name, (host_end_ms - silent_since) / 1000))
    if stream["backSteps"]:
        failures.append("%s: frame time stepped backwards %d times (first %s)"
                        % (name, len(stream["backSteps"]), stream["backSteps"][0]))
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", help="where camsim, quillon-host and the driver are built")
    parser.add_argument("--seconds", type=float, default=1800)
    parser.add_argument("--out", help="folder for logs and results (default: a new temporary)")
    parser.add_argument("--judge", metavar="DIR", help="judge the finished run in DIR again")
    args = parser.parse_args()
    if args.judge:
        return judge(args.judge)
    if not args.build_dir:
        parser.error("--build-dir is needed for a run")
    run(args)
    return judge(args.out)


def run(args):
    """Starts everything, samples the hosts, stops everything; what the judgement needs beyond
    the files the programs write goes to soak-run.json."""
    seconds = max(60.0, args.seconds)
    out = args.out = args.out or tempfile.mkdtemp(prefix="quillon-soak-")
    os.makedirs(out, exist_ok=True)
    build = os.path.abspath(args.build_dir)
    for program in ("tools/camsim/camsim", "tools/host/quillon-host", "tools/host/libquillon.so"):
        if not os.path.exists(os.path.join(build, program)):
            sys.exit("soak: %s is not built in %s" % (program, build))
    media = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data")
    schedule = os.path.join(out, "faults.txt")
    with open(schedule, "w") as f:
        f.write(fault_schedule(seconds))
    audio_file = os.path.join(media, "audio_g711.raw")

    cameras = [{"name": n, "profile": p, "mode": m, "specs": s, "http": free_port(),
                "rtsp": free_port()} for n, p, m, s in CAMERAS]
    unicast_host = host_copy(build, os.path.join(out, "host-unicast"),
                             settings_xml(cameras, False))
    multicast_host = host_copy(build, os.path.join(out, "host-multicast"),
                               settings_xml(cameras, True))
    camsims, hosts = [], []
    try:
        for c in cameras:
            c["events"] = os.path.join(out, "camsim-%s-events.jsonl" % c["name"])
            c["stats_file"] = os.path.join(out, "camsim-%s-streams.json" % c["name"])
            c["camsim"] = Started(
                [os.path.join(build, "tools", "camsim", "camsim"), "--profile", c["profile"],
                 "--http-port", str(c["http"]), "--rtsp-port", str(c["rtsp"]), "--media-dir",
                 media, "--session-timeout", str(SESSION_TIMEOUT_S), "--faults", schedule,
                 "--event-log", c["events"], "--stream-stats", c["stats_file"],
                 "--run-seconds", str(int(seconds + 30))],
                os.path.join(out, "camsim-%s.log" % c["name"]))
            c["t0"] = time.time() * 1000
            camsims.append(c["camsim"])
        for c in cameras:
            wait_ready(c["camsim"], "camsim " + c["name"])
        for c in cameras:
            argv = [multicast_host if c["mode"] is None else unicast_host, "--address",
                    "127.0.0.1", "--port", str(c["http"]), "--user", "root", "--password",
                    "pass", "--null", "--seconds", str(seconds),
                    "--summary", os.path.join(out, "host-%s.json" % c["name"])]
            if c["profile"] == "encoder-4ch":
                argv += ["--video-inputs", "4"]
            if c["name"] == "udp":
                argv += ["--motion"]
            if c["name"] == "io":
                argv += ["--audio-in", "--audio-out", audio_file, "--audio-loop", "--io",
                         "--inputs", "4", "--outputs", "4", "--output", "0=on"]
            for channel, kind, fmt, fps in c["specs"]:
                argv += ["--stream", "%d:%d:%d:%s@%d" % (channel, kind, fmt, SIZES[c["profile"]],
                                                          fps)]
                if (c["name"], channel, kind) == SLOW_STREAM:
                    argv += ["--slow-sink", "%d:%d=%d" % (channel, kind, SLOW_SINK_MS)]
            c["host"] = Started(argv, os.path.join(out, "host-%s.log" % c["name"]))
            hosts.append(c["host"])
        started = time.monotonic()
        print("soak: %d streams, %.0f s, faults from %s, logs in %s"
              % (sum(len(c["specs"]) for c in cameras), seconds, schedule, out), flush=True)
        # The two samples judged, and one a minute between them for the record.
        first, last = first_sample_at(seconds), seconds - 5
        times = sorted({first, last} | {float(t) for t in range(60, int(last), 60) if t > first})
        series = []
        for at in times:
            time.sleep(max(0.0, started + at - time.monotonic()))
            series.append({"at": at, "judged": at in (first, last),
                           "hosts": {c["name"]: sample(c["host"].proc.pid) for c in cameras}})
        print("soak: hosts sampled at %s s" % ", ".join("%.0f" % t for t in times), flush=True)
        for h in hosts:
            h.reap(max(0.0, started + seconds + 60 - time.monotonic()))
        stop_all(hosts)
        stop_all(camsims)
    finally:
        stop_all(hosts + camsims)
    with open(os.path.join(out, "soak-run.json"), "w") as f:
        json.dump({"seconds": seconds, "samples": series, "sanitized": sanitized(build),
                   "cameras": {c["name"]: {"t0": c["t0"], "exit": c["host"].proc.returncode}
                               for c in cameras}}, f, indent=1)


def judge(out):
    """The verdict on a finished run in out: prints the figures, returns the exit code."""
    meta = load_json(os.path.join(out, "soak-run.json"), None)
    if meta is None:
        sys.exit("soak: no finished run in %s" % out)
    seconds, series = meta["seconds"], meta["samples"]
    judged = [s["hosts"] for s in series if s.get("judged")]
    samples = {"first": judged[0], "last": judged[-1]} if len(judged) == 2 else {}
    cameras = [dict(meta["cameras"][n], name=n, profile=p, mode=m, specs=s)
               for n, p, m, s in CAMERAS]
    failures, rows = [], []
    for c in cameras:
        c["events"] = os.path.join(out, "camsim-%s-events.jsonl" % c["name"])
        c["stats"] = load_json(os.path.join(out, "camsim-%s-streams.json" % c["name"]),
                               {}).get("streams", [])
        summary = load_json(os.path.join(out, "host-%s.json" % c["name"]), None)
        logs = {}
        for what in ("host", "camsim"):
            with open(os.path.join(out, "%s-%s.log" % (what, c["name"])), "rb") as f:
                logs[what] = f.read().decode(errors="replace")
            for mark in SANITIZER_MARKS:
                if mark in logs[what]:
                    failures.append("%s %s: sanitizer report (%s)" % (what, c["name"], mark))
        log = logs["host"]
        if c["exit"] != 0:
            failures.append("quillon-host %s exited with %s" % (c["name"], c["exit"]))
        if c["specs"] and summary is None:
            failures.append("quillon-host %s wrote no summary" % c["name"])
            continue
        windows = [(s, e, k) for s, e, k in fault_windows(c["events"])]
        for spec, stream in zip(c["specs"], (summary or {}).get("streams", [])):
            rows.append(judge_stream(c, stream, spec, windows, summary["elapsedSeconds"],
                                     failures))
        c["audio"] = [line.strip() for line in log.splitlines() if line.startswith("audio ")][-2:]
        first = samples.get("first", {}).get(c["name"])
        last = samples.get("last", {}).get(c["name"])
        c["growth"] = {}
        if first and last:
            for key in ("threads", "fds", "RssAnon"):
                c["growth"][key] = (first.get(key), last.get(key))
                if key == "RssAnon" and meta.get("sanitized"):
                    continue  # shown, not judged
                if first.get(key) and last.get(key, 0) > first[key] * (1 + GROWTH_LIMIT):
                    failures.append("quillon-host %s: %s grew from %d to %d"
                                    % (c["name"], key, first[key], last[key]))
        else:
            failures.append("quillon-host %s: not running at a sample" % c["name"])

    print("\n%-24s %7s %9s %5s  %s" % ("stream", "sent", "delivered", "lost",
                                        "steps in frame time by fault; silences"))
    for r in rows:
        causes = {}
        for x in r["steps"]:
            cause = x["cause"] or "none"
            causes[cause] = causes.get(cause, 0) + 1
        silences = ", ".join(
            "%.1f s %s%s" % (x["seconds"], x["cause"] or "NO FAULT",
                             "" if x["back_after_fault_s"] is None else
                             " (back %.1f s after)" % x["back_after_fault_s"])
            for x in r["silences"])
        print("%-24s %7d %9d %5d  %s%s" % (r["stream"], r["sent"], r["delivered"], r["lost"],
                                         " ".join("%s:%d" % kv for kv in sorted(causes.items())),
                                         ("; " + silences) if silences else ""))
    print("\n%-6s %-22s %-22s %-26s %s" % ("host", "threads (first, last)", "fds (first, last)",
                                          "RssAnon kB (first, last)", "audio"))
    for c in cameras:
        g = c.get("growth", {})
        print("%-6s %-22s %-22s %-26s %s" % (c["name"], g.get("threads"), g.get("fds"),
                                            g.get("RssAnon"), " | ".join(c.get("audio", []))))
    with open(os.path.join(out, "soak-result.json"), "w") as f:
        json.dump({"seconds": seconds, "streams": rows, "failures": failures,
                   "hosts": {c["name"]: c.get("growth") for c in cameras},
                   "samples": series}, f, indent=1)
    if failures:
        print("\nsoak: FAILED")
        for line in failures:
            print("  " + line)
        return 1
    print("\nsoak: passed (%d streams, %.0f s)" % (len(rows), seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
