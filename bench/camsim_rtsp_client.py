"""Minimal RTSP client helpers shared by the camsim measurement scripts (standard library only)."""
import base64
import re
import socket
import struct
import subprocess
import time


def start_camsim(binary, extra_args=(), user="root", password="pass"):
    """Starts the camsim binary on free loopback ports; returns (process, http_port, rtsp_port)."""
    proc = subprocess.Popen(
        [binary, "--profile", "fixed", "--http-port", "0", "--rtsp-port", "0", "--user", user,
         "--password", password, "--auth", "basic", *extra_args],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    http_port = rtsp_port = None
    deadline = time.time() + 10
    while time.time() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        m = re.match(r"http http://[^:]+:(\d+)/", line)
        if m:
            http_port = int(m.group(1))
        m = re.match(r"rtsp rtsp://[^:]+:(\d+)/", line)
        if m:
            rtsp_port = int(m.group(1))
        if line.strip() == "ready":
            return proc, http_port, rtsp_port
    proc.kill()
    raise RuntimeError("camsim did not start")


class RtspSession:
    """One RTSP control connection; media either interleaved on it or over UDP."""

    def __init__(self, port, query, user="root", password="pass", timeout=5.0):
        self.port = port
        self.base = f"rtsp://127.0.0.1:{port}/axis-media/media.amp"
        self.query = query
        self.auth = "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""
        self.cseq = 0
        self.session = None

    def request(self, method, url, headers=None):
        self.cseq += 1
        text = f"{method} {url} RTSP/1.0\r\nCSeq: {self.cseq}\r\nAuthorization: {self.auth}\r\n"
        if self.session:
            text += f"Session: {self.session}\r\n"
        for k, v in (headers or {}).items():
            text += f"{k}: {v}\r\n"
        self.sock.sendall((text + "\r\n").encode())
        while b"\r\n\r\n" not in self.buf or self.buf.startswith(b"$"):
            if self.buf.startswith(b"$") and len(self.buf) >= 4:
                n = struct.unpack("!H", self.buf[2:4])[0]
                if len(self.buf) >= 4 + n:
                    self.buf = self.buf[4 + n:]
                    continue
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("connection closed")
            self.buf += chunk
        head, _, rest = self.buf.partition(b"\r\n\r\n")
        head = head.decode()
        m = re.search(r"Content-Length: (\d+)", head)
        body_len = int(m.group(1)) if m else 0
        while len(rest) < body_len:
            rest += self.sock.recv(65536)
        self.buf = rest[body_len:]
        status = int(head.split(" ")[1])
        if status != 200:
            raise RuntimeError(f"{method} answered {status}")
        m = re.search(r"Session: ([0-9A-Fa-f]+)", head)
        if m:
            self.session = m.group(1)
        return head

    def setup_interleaved(self):
        return self.request("SETUP", f"{self.base}/trackID=1?{self.query}",
                            {"Transport": "RTP/AVP/TCP;unicast;interleaved=0-1"})

    def setup_udp(self, rtp_port, rtcp_port):
        return self.request("SETUP", f"{self.base}/trackID=1?{self.query}",
                            {"Transport": f"RTP/AVP;unicast;client_port={rtp_port}-{rtcp_port}"})

    def play(self):
        return self.request("PLAY", f"{self.base}?{self.query}")

    def keepalive(self):
        return self.request("GET_PARAMETER", f"{self.base}?{self.query}")

    def teardown(self):
        try:
            self.request("TEARDOWN", f"{self.base}?{self.query}")
        except (RuntimeError, OSError):
            pass
        self.sock.close()

    def read_frame(self):
        """Next interleaved '$' frame as (channel, packet, arrival wall time)."""
        while True:
            if len(self.buf) >= 4 and self.buf[0:1] == b"$":
                n = struct.unpack("!H", self.buf[2:4])[0]
                if len(self.buf) >= 4 + n:
                    ch, pkt = self.buf[1], self.buf[4:4 + n]
                    self.buf = self.buf[4 + n:]
                    return ch, pkt, time.time()
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("connection closed")
            self.buf += chunk


def rtp_fields(pkt):
    """(marker, sequence, timestamp, ssrc) of an RTP packet."""
    b1, seq, ts, ssrc = struct.unpack("!xBHII", pkt[:12])
    return bool(b1 & 0x80), seq, ts, ssrc


def sender_report(pkt):
    """(ntp seconds as float since the Unix epoch, rtp timestamp) of an SR, or None."""
    if len(pkt) < 28 or pkt[1] != 200:
        return None
    ntp_sec, ntp_frac, rtp_ts = struct.unpack("!III", pkt[8:20])
    return ntp_sec - 2208988800 + ntp_frac / 2**32, rtp_ts
