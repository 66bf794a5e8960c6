# A python-zeroconf responder for discovery tests, only for loopback-only network namespaces. Registers one
# "_quenlor-eeg._tcp.local." instance, --service NAME:PORT[:ADDR,ADDR...] (no ADDR: no address), prints
# "ready PID" once announced (with --delay: at once, announcing later), and unregisters and exits when its
# standard input closes.

import argparse
import ipaddress
import os
import socket
import sys
import time

from zeroconf import IPVersion, ServiceInfo, Zeroconf

SERVICE_TYPE = "_quenlor-eeg._tcp.local."


def parse_service(text):
    name, port, *rest = text.split(":", 2)
    return name, int(port), [str(ipaddress.ip_address(a)) for a in (rest[0].split(",") if rest and rest[0] else [])]


def interface(text):
    # An address stays text; an interface name becomes its index.
    try:
        ipaddress.ip_address(text)
    except ValueError:
        return socket.if_nametoindex(text)
    return text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", type=parse_service, required=True)
    parser.add_argument("--ipv6", action="store_true")  # answer on IPv6 sockets too
    parser.add_argument("--ipv6-only", action="store_true")
    parser.add_argument("--interface", action="append", type=interface)  # to answer on (by name: IPv6)
    parser.add_argument("--delay", type=float, default=0.0)  # say ready at once, announce after this many seconds
    args = parser.parse_args()
    if args.delay > 0:
        print(f"ready {os.getpid()}", flush=True)
        time.sleep(args.delay)

    version = IPVersion.V6Only if args.ipv6_only else IPVersion.All if args.ipv6 else IPVersion.V4Only
    zc = Zeroconf(interfaces=args.interface or ["127.0.0.1"], ip_version=version)
    name, port, addresses = args.service
    info = ServiceInfo(SERVICE_TYPE, f"{name}.{SERVICE_TYPE}", port=port, server=f"{name}-host.local.",
                       parsed_addresses=addresses or None)
    if not addresses:
        info.addresses = []
    zc.register_service(info, cooperating_responders=True)
    if args.delay <= 0:
        print(f"ready {os.getpid()}", flush=True)
    try:
        sys.stdin.read()
    finally:
        zc.unregister_service(info)
        zc.close()


if __name__ == "__main__":
    socket.setdefaulttimeout(5)
    main()
