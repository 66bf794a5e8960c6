"""A python-zeroconf responder for discovery tests.

Registers one "_quenlor-eeg._tcp.local." instance per --service argument,
prints "ready" once they are announced (with --delay: at once, announcing later), and unregisters and exits when its
standard input closes. Run it only inside a loopback-only network namespace.

--service NAME:PORT[:ADDR,ADDR...]  (no ADDR list: the service has no address)
"""

import argparse
import ipaddress
import socket
import sys
import time

from zeroconf import IPVersion, ServiceInfo, Zeroconf

SERVICE_TYPE = "_quenlor-eeg._tcp.local."


def parse_service(text):
    parts = text.split(":", 2)
    name, port = parts[0], int(parts[1])
    addresses = []
    if len(parts) == 3 and parts[2]:
        addresses = [ipaddress.ip_address(a) for a in parts[2].split(",")]
    return name, port, addresses


def interface(text):
    """An address stays text; an interface name becomes its index."""
    try:
        ipaddress.ip_address(text)
        return text
    except ValueError:
        return socket.if_nametoindex(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", action="append", type=parse_service, required=True)
    parser.add_argument("--ipv6", action="store_true", help="answer on IPv6 sockets too")
    parser.add_argument("--ipv6-only", action="store_true", help="answer on IPv6 sockets only")
    parser.add_argument("--interface", action="append", type=interface,
                        help="interface address, or name (IPv6), to answer on")
    parser.add_argument("--delay", type=float, default=0.0,
                        help="say ready at once, announce after this many seconds")
    args = parser.parse_args()
    if args.delay > 0:
        print("ready", flush=True)
        time.sleep(args.delay)

    version = IPVersion.V6Only if args.ipv6_only else IPVersion.All if args.ipv6 else IPVersion.V4Only
    zc = Zeroconf(interfaces=args.interface or ["127.0.0.1"], ip_version=version)
    infos = []
    for name, port, addresses in args.service:
        info = ServiceInfo(
            SERVICE_TYPE,
            f"{name}.{SERVICE_TYPE}",
            port=port,
            server=f"{name}-host.local.",
            parsed_addresses=[str(a) for a in addresses] or None,
        )
        if not addresses:
            info.addresses = []
        zc.register_service(info, cooperating_responders=True)
        infos.append(info)
    if args.delay <= 0:
        print("ready", flush=True)
    try:
        sys.stdin.read()
    finally:
        for info in infos:
            zc.unregister_service(info)
        zc.close()


if __name__ == "__main__":
    socket.setdefaulttimeout(5)
    main()
