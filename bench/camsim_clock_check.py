#!/usr/bin/env python3
"""Checks that a real-time camsim stream keeps its RTP clock and RTCP sender reports in step with
the wall clock.

Plays one H.264 stream interleaved over RTSP/TCP on loopback (arrival times on loopback are a
good stand-in for send times) for --seconds (default 60) and reports:
  * RTP timestamps against arrival times: offset spread (p50/p99/max around the median) and
    drift over the run;
  * every RTCP SR: its NTP time against its arrival time, and its RTP timestamp against the
    RTP/wall mapping of the media packets.
Exit status 0 when all figures are within --tolerance-ms (default 10). Usage:
  bench/camsim_clock_check.py [--camsim build/tools/camsim/camsim] [--seconds 60]
"""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from camsim_rtsp_client import (RtspSession, rtp_fields, sender_report,  # noqa: E402
                                start_camsim)


def unwrap(values):
    out, base, prev = [], 0, None
    for v in values:
        if prev is not None and v < prev and prev - v > 2**31:
            base += 2**32
        out.append(v + base)
        prev = v
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--camsim", default=os.path.join(here, "..", "build", "tools", "camsim", "camsim"))
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--rtcp-interval-ms", type=int, default=5000)
    ap.add_argument("--tolerance-ms", type=float, default=10)
    args = ap.parse_args()

    proc, _, rtsp_port = start_camsim(args.camsim, [
        "--rtcp-interval-ms", str(args.rtcp_interval_ms), "--run-seconds", str(args.seconds + 30),
        # No keep-alives are sent during the run, so the session must outlive it.
        "--session-timeout", str(int(args.seconds) + 60)])
    try:
        s = RtspSession(rtsp_port, "videocodec=h264&resolution=640x480")
        s.setup_interleaved()
        s.play()
        packets, reports = [], []
        start = time.time()
        while time.time() - start < args.seconds:
            ch, pkt, arrival = s.read_frame()
            if ch == 0:
                marker, _, ts, _ = rtp_fields(pkt)
                packets.append((ts, arrival, marker))
            elif ch == 1:
                sr = sender_report(pkt)
                if sr:
                    reports.append((sr[0], sr[1], arrival))
        s.sock.close()
    finally:
        proc.terminate()
        proc.wait(timeout=10)

    # First packet of every frame: the time it left is closest to its timestamp.
    firsts, prev_ts = [], None
    for ts, arrival, _ in packets:
        if ts != prev_ts:
            firsts.append((ts, arrival))
            prev_ts = ts
    tss = unwrap([t for t, _ in firsts])
    t0 = tss[0]
    offsets = [a - (t - t0) / 90000.0 for t, (_, a) in zip(tss, firsts)]
    med = statistics.median(offsets)
    dev = sorted(abs(o - med) for o in offsets)
    p50, p99, worst = dev[len(dev) // 2], dev[int(len(dev) * 0.99)], dev[-1]
    n = len(offsets) // 10 or 1
    drift = statistics.median(offsets[-n:]) - statistics.median(offsets[:n])

    print(f"frames {len(firsts)} over {args.seconds:.0f} s, SRs {len(reports)}")
    print(f"RTP vs wall clock: |offset - median| p50 {p50*1000:.2f} ms, p99 {p99*1000:.2f} ms, "
          f"max {worst*1000:.2f} ms; drift first->last tenth {drift*1000:+.2f} ms")
    ok = p99 * 1000 <= args.tolerance_ms and abs(drift) * 1000 <= args.tolerance_ms
    worst_ntp = worst_map = 0.0
    for ntp, rtp_ts, arrival in reports:
        # Unwrap the SR timestamp next to the media timestamps.
        rtp_u = rtp_ts + (tss[0] - (tss[0] % 2**32))
        if rtp_u - tss[0] < -2**31:
            rtp_u += 2**32
        expected_wall = med + (rtp_u - t0) / 90000.0
        worst_ntp = max(worst_ntp, abs(arrival - ntp))
        worst_map = max(worst_map, abs(expected_wall - ntp))
    print(f"RTCP SR: NTP vs arrival max {worst_ntp*1000:.2f} ms; SR RTP time vs media mapping "
          f"max {worst_map*1000:.2f} ms")
    ok = ok and reports and worst_ntp * 1000 <= args.tolerance_ms and \
        worst_map * 1000 <= args.tolerance_ms
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
