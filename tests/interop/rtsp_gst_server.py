#!/usr/bin/python3
"""An RTSP server built on GStreamer's RTSP server library, for interop tests.

Serves a live test picture in H.264, H.265, MPEG-4 or JPEG at /test or --mount (on 127.0.0.1 unless
told otherwise) and prints "PORT <n>" once it listens.
Runs until SIGTERM or SIGINT, or until --lifetime seconds have passed (so a lost test process
never leaves it running).
"""
import argparse
import collections
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

# 4:2:0, the one layout every payloader here takes (rtpjpegpay refuses 4:4:4).
SOURCE = (
    "videotestsrc is-live=true pattern=ball "
    "! video/x-raw,format=I420,width=%d,height=%d,framerate=25/1"
)
# One key frame a second; no B-frames, so RTP timestamps only ever rise.
ENCODERS = {
    "h264": "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 bitrate=500 "
    "! rtph264pay name=pay0 pt=96 config-interval=1",
    # H.265 with the parameter sets before every key frame, once gathered into aggregation
    # packets and once each in a packet of its own.
    "h265": "x265enc tune=zerolatency speed-preset=ultrafast key-int-max=25 bitrate=500 "
    "! rtph265pay name=pay0 pt=96 config-interval=-1 aggregate-mode=zero-latency",
    "h265_single": "x265enc tune=zerolatency speed-preset=ultrafast key-int-max=25 bitrate=500 "
    "! rtph265pay name=pay0 pt=96 config-interval=-1 aggregate-mode=none",
    # max-ptime of one frame interval: one picture per RTP timestamp, as cameras send it (left
    # alone, rtpmp4vpay packs several small pictures into one packet).
    "mpeg4": "avenc_mpeg4 name=restamp bitrate=800000 gop-size=25 max-bframes=0 "
    "! rtpmp4vpay name=pay0 pt=96 max-ptime=40000000",
    "jpeg": "jpegenc quality=75 ! rtpjpegpay name=pay0 pt=26",
}


def restamp(encoder):
    """Gives each encoded picture the time of the raw picture it came from.

    avenc_mpeg4 of this GStreamer and FFmpeg pairing stamps its output with an invalid time, and
    rtpmp4vpay then packs several pictures into one RTP timestamp. The encoder makes one picture
    of each input picture, in order (no B-frames), so the times are handed on first in, first out.
    After the server's flushing seek the encoder refuses the few pictures whose times it has seen
    already; the times then run that many pictures behind, which only shifts the clock.
    """
    times = collections.deque()

    def on_input(pad, info):
        if info.type & Gst.PadProbeType.BUFFER:
            times.append(info.get_buffer().pts)
        elif info.get_event().type == Gst.EventType.FLUSH_STOP:
            times.clear()
        return Gst.PadProbeReturn.OK

    def on_output(pad, info):
        if times:
            buffer = info.get_buffer()
            buffer.pts = buffer.dts = times.popleft()
        return Gst.PadProbeReturn.OK

    encoder.get_static_pad("sink").add_probe(
        Gst.PadProbeType.BUFFER | Gst.PadProbeType.EVENT_FLUSH, on_input
    )
    encoder.get_static_pad("src").add_probe(Gst.PadProbeType.BUFFER, on_output)


def on_media_configure(factory, media):
    encoder = media.get_element().get_by_name("restamp")
    if encoder is not None:
        restamp(encoder)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--auth", choices=["none", "basic", "digest"], default="none")
    parser.add_argument("--user", default="root")
    parser.add_argument("--password", default="pass")
    parser.add_argument("--protocols", default="udp,tcp")
    parser.add_argument("--lifetime", type=int, default=120)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--multicast-iface", default="lo")
    parser.add_argument("--codec", choices=sorted(ENCODERS), default="h264")
    parser.add_argument("--size", default="320x240", help="WIDTHxHEIGHT of the picture")
    parser.add_argument("--mount", default="/test", help="path of the stream, without a query")
    parser.add_argument(
        "--pack-pictures",
        action="store_true",
        help="let rtpmp4vpay put several pictures into one RTP packet, as it does by default",
    )
    args = parser.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address(args.address)
    server.set_service("0")

    factory = GstRtspServer.RTSPMediaFactory()
    width, height = (int(v) for v in args.size.split("x"))
    encoder = ENCODERS[args.codec]
    if args.pack_pictures:
        encoder = encoder.replace(" max-ptime=40000000", "")
    factory.set_launch("( %s ! %s )" % (SOURCE % (width, height), encoder))
    factory.set_shared(True)
    factory.connect("media-configure", on_media_configure)
    protocols = GstRtsp.RTSPLowerTrans(0)
    for name in args.protocols.split(","):
        protocols |= {
            "udp": GstRtsp.RTSPLowerTrans.UDP,
            "tcp": GstRtsp.RTSPLowerTrans.TCP,
            "mcast": GstRtsp.RTSPLowerTrans.UDP_MCAST,
            "http": GstRtsp.RTSPLowerTrans.HTTP | GstRtsp.RTSPLowerTrans.TCP,
        }[name]
    factory.set_protocols(protocols)
    if "mcast" in args.protocols:
        pool = GstRtspServer.RTSPAddressPool()
        pool.add_range("239.255.42.1", "239.255.42.20", 5000, 5100, 1)
        factory.set_address_pool(pool)
        factory.set_multicast_iface(args.multicast_iface)

    if args.auth != "none":
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "user")
        if args.auth == "basic":
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.BASIC)
            auth.add_basic(GstRtspServer.RTSPAuth.make_basic(args.user, args.password), token)
        else:
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
            auth.add_digest(args.user, args.password, token)
        server.set_auth(auth)
        permissions = GstRtspServer.RTSPPermissions()
        permissions.add_role_from_structure(
            Gst.Structure.new_from_string(
                "user, media.factory.access=(boolean)true, media.factory.construct=(boolean)true"
            )
        )
        factory.set_permissions(permissions)

    server.get_mount_points().add_factory(args.mount, factory)
    pool = server.get_session_pool()
    pool.set_max_sessions(16)

    loop = GLib.MainLoop()
    if server.attach(None) == 0:
        print("ERROR attach", flush=True)
        return 1

    def cleanup():
        pool.cleanup()
        return True

    GLib.timeout_add_seconds(1, cleanup)
    GLib.timeout_add_seconds(args.lifetime, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    print("PORT %d" % server.get_bound_port(), flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
