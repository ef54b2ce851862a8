#!/usr/bin/env python3
"""Measures whether one camsim process keeps real-time pace with many concurrent streams.

Starts the camsim binary, opens --streams RTSP sessions (default 100) of H.264 640x480 at 25 fps
with RTP over UDP to loopback, receives everything for --seconds (default 30) in this process, and
reports per stream: frames received against the real-time expectation, and how late frames arrive
compared with their RTP timestamps (lateness growth means the sender falls behind). It also reports
camsim's CPU use (from /proc) and resident memory. Pass criteria: every stream delivers at least
98 % of its frames and p99 lateness stays under 50 ms. Usage:
  bench/camsim_streams_bench.py [--camsim build/tools/camsim/camsim] [--streams 100] [--seconds 30]
"""
import argparse
import os
import selectors
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from camsim_rtsp_client import RtspSession, rtp_fields, start_camsim  # noqa: E402


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / tick


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--camsim", default=os.path.join(here, "..", "build", "tools", "camsim", "camsim"))
    ap.add_argument("--streams", type=int, default=100)
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--query", default="videocodec=h264&resolution=640x480")
    args = ap.parse_args()

    proc, _, rtsp_port = start_camsim(args.camsim, ["--run-seconds", str(args.seconds + 60)])
    sel = selectors.DefaultSelector()
    sessions, stats = [], []
    try:
        for i in range(args.streams):
            rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            rtp.bind(("127.0.0.1", 0))
            rtp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
            rtp.setblocking(False)
            rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            rtcp.bind(("127.0.0.1", 0))
            s = RtspSession(rtsp_port, args.query)
            s.setup_udp(rtp.getsockname()[1], rtcp.getsockname()[1])
            sessions.append((s, rtp, rtcp))
            st = {"frames": 0, "packets": 0, "first": None, "late": []}
            stats.append(st)
            sel.register(rtp, selectors.EVENT_READ, st)
        cpu0, t0 = cpu_seconds(proc.pid), time.time()
        for s, _, _ in sessions:
            s.play()
        play_done = time.time()
        end = play_done + args.seconds
        while time.time() < end:
            for key, _ in sel.select(timeout=0.1):
                st = key.data
                while True:
                    try:
                        pkt = key.fileobj.recv(65536)
                    except BlockingIOError:
                        break
                    now = time.time()
                    marker, _, ts, _ = rtp_fields(pkt)
                    st["packets"] += 1
                    if st["first"] is None:
                        st["first"] = (ts, now)
                    if marker:
                        st["frames"] += 1
                        ts0, a0 = st["first"]
                        st["late"].append(now - a0 - ((ts - ts0) % 2**32) / 90000.0)
        cpu1, t1 = cpu_seconds(proc.pid), time.time()
        rss = rss_mb(proc.pid)
        for s, rtp, rtcp in sessions:
            s.teardown()
            rtp.close()
            rtcp.close()
    finally:
        proc.terminate()
        proc.wait(timeout=10)

    expected = args.seconds * 25
    ratios = sorted(st["frames"] / expected for st in stats)
    # Lateness of each frame against the stream's least delayed frame: 0 for a perfect sender,
    # growing when the sender falls behind real time.
    late = sorted(x - min(st["late"]) for st in stats for x in st["late"])
    p50 = late[len(late) // 2] * 1000 if late else float("nan")
    p99 = late[int(len(late) * 0.99)] * 1000 if late else float("nan")
    cpu = (cpu1 - cpu0) / (t1 - t0) * 100
    print(f"streams {args.streams}, {args.seconds:.0f} s, query {args.query}")
    print(f"frames received / real-time expectation: min {ratios[0]*100:.1f} %, "
          f"median {ratios[len(ratios)//2]*100:.1f} %")
    print(f"lateness vs RTP clock: p50 {p50:.1f} ms, p99 {p99:.1f} ms, max {late[-1]*1000:.1f} ms")
    print(f"packets total {sum(st['packets'] for st in stats)}; camsim CPU {cpu:.1f} % of one core, "
          f"RSS {rss:.1f} MB; session setup took {play_done - t0:.2f} s")
    ok = ratios[0] >= 0.98 and p99 < 50
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
