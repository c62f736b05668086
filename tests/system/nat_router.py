#!/usr/bin/env python3
"""The home router of the port-mapping test: answers NAT-PMP (RFC 6886) and UPnP IGD (SSDP, the device
description, WANIPConnection's SOAP actions) on its LAN address, and really forwards each mapped UDP port by
rewriting an nftables chain, so that a caller outside reaches the listener only through the mapping. Its IPv6
firewall (IGDv2's WANIPv6FirewallControl) lets nothing from WAN_IF in but the pinholes asked for, each an
nftables rule of its own.

    nat_router.py LAN_IP PUBLIC_IP WAN_IF [--no-natpmp] [--no-upnp]

After SIGUSR1 it stops answering, as a router that hung would: UPnP requests are taken and never answered
(for a minute at most), NAT-PMP requests are dropped.

Runs until killed; logs each request on stdout. Each request is bounded: it is test scaffolding facing the
program under test, not the network."""
import http.server
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

lan_ip, public_ip, wan_if = sys.argv[1], sys.argv[2], sys.argv[3]
natpmp = "--no-natpmp" not in sys.argv
upnp = "--no-upnp" not in sys.argv
started = time.time()
mappings = {}  # external port -> (client, internal port)
pinholes = {}  # unique id -> (IPv6 client, port)
next_pinhole = [1]
lock = threading.Lock()
silent = threading.Event()
signal.signal(signal.SIGUSR1, lambda *_: silent.set())
MAX_LIFETIME = 7200


def log(text):
    print(text, flush=True)


def apply_rules():
    """The whole forwarding chain again, from the current mappings."""
    lines = ["flush chain ip qrnat mapped"]
    for port, (client, internal) in sorted(mappings.items()):
        lines.append(f"add rule ip qrnat mapped iifname {wan_if} udp dport {port} dnat to {client}:{internal}")
    subprocess.run(["nft", "-f", "-"], input="\n".join(lines) + "\n", text=True, check=True)


def apply_pinholes():
    lines = ["flush chain ip6 qrfw pinholes"]
    for client, port in sorted(pinholes.values()):
        lines.append(f"add rule ip6 qrfw pinholes ip6 daddr {client} udp dport {port} accept")
    subprocess.run(["nft", "-f", "-"], input="\n".join(lines) + "\n", text=True, check=True)


def add_pinhole(client, port):
    with lock:
        unique = next_pinhole[0]
        next_pinhole[0] += 1
        pinholes[unique] = (client, port)
        apply_pinholes()
    log(f"pinhole {unique} -> [{client}]:{port}")
    return unique


def remove_pinhole(unique):
    with lock:
        if unique in pinholes:
            del pinholes[unique]
            apply_pinholes()
            log(f"pinhole {unique} removed")
            return True
    return False


def add(port, client, internal):
    with lock:
        mappings[port] = (client, internal)
        apply_rules()
    log(f"mapped {port} -> {client}:{internal}")


def remove(port, client):
    with lock:
        if port in mappings and mappings[port][0] == client:
            del mappings[port]
            apply_rules()
            log(f"unmapped {port}")


def natpmp_socket():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((lan_ip, 5351))
    return s


def serve_natpmp(s):
    while True:
        data, (client, port) = s.recvfrom(64)
        epoch = int(time.time() - started)
        if silent.is_set() or len(data) < 2 or data[0] != 0:
            continue
        op = data[1]
        if op == 0 and len(data) == 2:
            s.sendto(struct.pack("!BBHI4s", 0, 128, 0, epoch, socket.inet_aton(public_ip)), (client, port))
            log("natpmp public address")
        elif op == 1 and len(data) == 12:
            _, internal, _, lifetime = struct.unpack("!HHHI", data[2:])
            if lifetime == 0:
                remove(internal, client)
            else:
                lifetime = min(lifetime, MAX_LIFETIME)
                add(internal, client, internal)
            s.sendto(struct.pack("!BBHIHHI", 0, 129, 0, epoch, internal, internal if lifetime else 0, lifetime),
                     (client, port))


DESCRIPTION = """<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0"><specVersion><major>1</major><minor>0</minor></specVersion>
<device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
<friendlyName>test router</friendlyName><UDN>uuid:00000000-0000-0000-0000-000000000001</UDN>
<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>
<UDN>uuid:00000000-0000-0000-0000-000000000002</UDN>
<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>
<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId><SCPDURL>/cif.xml</SCPDURL>
<controlURL>/cif</controlURL><eventSubURL>/cifevt</eventSubURL></service></serviceList>
<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>
<UDN>uuid:00000000-0000-0000-0000-000000000003</UDN>
<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId><SCPDURL>/ipc.xml</SCPDURL>
<controlURL>/ctl</controlURL><eventSubURL>/evt</eventSubURL></service>
<service><serviceType>urn:schemas-upnp-org:service:WANIPv6FirewallControl:1</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPv6Firewall1</serviceId><SCPDURL>/fw.xml</SCPDURL>
<controlURL>/fw</controlURL><eventSubURL>/fwevt</eventSubURL></service></serviceList>
</device></deviceList></device></deviceList></device></root>
"""


def soap(action, body, service="WANIPConnection"):
    return (f'<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            f's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            f'<u:{action}Response xmlns:u="urn:schemas-upnp-org:service:{service}:1">{body}'
            f'</u:{action}Response></s:Body></s:Envelope>')


def soap_fault(code, text):
    return ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"><s:Body>'
            '<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>'
            f'<UPnPError xmlns="urn:schemas-upnp-org:control-1-0"><errorCode>{code}</errorCode>'
            f'<errorDescription>{text}</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>')


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def reply(self, text, status=200):
        data = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", 'text/xml; charset="utf-8"')
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        self.reply(DESCRIPTION if self.path == "/desc.xml" else "<scpd/>")

    def do_POST(self):
        length = min(int(self.headers.get("Content-Length", "0")), 65536)
        body = self.rfile.read(length).decode(errors="replace")
        action = self.headers.get("SOAPAction", "").strip('"').split("#")[-1]
        if silent.is_set():
            log(f"upnp {action} left unanswered")
            time.sleep(60)
            return
        arg = lambda name: (re.search(f"<{name}>([^<]*)</{name}>", body) or [None, ""])[1]
        log(f"upnp {action}")
        if action == "GetStatusInfo":
            self.reply(soap(action, "<NewConnectionStatus>Connected</NewConnectionStatus>"
                                    "<NewLastConnectionError>ERROR_NONE</NewLastConnectionError>"
                                    "<NewUptime>100</NewUptime>"))
        elif action == "GetExternalIPAddress":
            self.reply(soap(action, f"<NewExternalIPAddress>{public_ip}</NewExternalIPAddress>"))
        elif action == "AddPortMapping" and arg("NewProtocol") == "UDP":
            add(int(arg("NewExternalPort")), arg("NewInternalClient"), int(arg("NewInternalPort")))
            self.reply(soap(action, ""))
        elif action == "GetFirewallStatus":
            self.reply(soap(action, "<FirewallEnabled>1</FirewallEnabled>"
                                    "<InboundPinholeAllowed>1</InboundPinholeAllowed>", "WANIPv6FirewallControl"))
        elif action == "AddPinhole" and arg("Protocol") == "17" and re.fullmatch(r"[0-9a-fA-F:]+", arg("InternalClient")):
            unique = add_pinhole(arg("InternalClient"), int(arg("InternalPort")))
            self.reply(soap(action, f"<UniqueID>{unique}</UniqueID>", "WANIPv6FirewallControl"))
        elif action == "UpdatePinhole":
            known = arg("UniqueID").isdigit() and int(arg("UniqueID")) in pinholes
            log(f"pinhole {arg('UniqueID')} {'updated' if known else 'unknown'}")
            self.reply(soap(action, "", "WANIPv6FirewallControl") if known else soap_fault(704, "NoSuchEntry"),
                       200 if known else 500)
        elif action == "DeletePinhole":
            known = arg("UniqueID").isdigit() and remove_pinhole(int(arg("UniqueID")))
            self.reply(soap(action, "", "WANIPv6FirewallControl") if known else soap_fault(704, "NoSuchEntry"),
                       200 if known else 500)
        elif action == "DeletePortMapping":
            remove(int(arg("NewExternalPort")), self.client_address[0])
            self.reply(soap(action, ""))
        else:
            self.reply(soap(action, ""))

    def log_message(self, *args):
        pass


def ssdp_socket():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("239.255.255.250", 1900))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton("239.255.255.250") + socket.inet_aton(lan_ip))
    return s


def serve_ssdp(s, location):
    while True:
        data, source = s.recvfrom(2048)
        text = data.decode(errors="replace")
        if not text.startswith("M-SEARCH"):
            continue
        st = (re.search(r"(?im)^ST:\s*(\S+)", text) or [None, "ssdp:all"])[1]
        log(f"ssdp {st}")
        answer = (f"HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: {st}\r\n"
                  f"USN: uuid:00000000-0000-0000-0000-000000000001::{st}\r\nEXT:\r\n"
                  f"LOCATION: {location}\r\nSERVER: test/1 UPnP/1.0 test/1\r\n\r\n")
        s.sendto(answer.encode(), source)


subprocess.run(["nft", "-f", "-"], text=True, check=True, input=f"""
table ip qrnat {{
  chain mapped {{ }}
  chain prerouting {{ type nat hook prerouting priority dstnat; jump mapped; }}
  chain postrouting {{ type nat hook postrouting priority srcnat; oifname {wan_if} masquerade; }}
}}
table ip6 qrfw {{
  chain pinholes {{ }}
  chain forward {{ type filter hook forward priority 0; policy accept;
    iifname {wan_if} ct state established,related accept; iifname {wan_if} jump pinholes; iifname {wan_if} drop; }}
}}
""")
# Every socket is bound (and the multicast group joined) before "ready": a search sent the moment after
# must find the router listening.
threads = []
if natpmp:
    threads.append(threading.Thread(target=serve_natpmp, args=(natpmp_socket(),), daemon=True))
if upnp:
    server = http.server.ThreadingHTTPServer((lan_ip, 0), Handler)
    threads.append(threading.Thread(target=server.serve_forever, daemon=True))
    threads.append(threading.Thread(target=serve_ssdp,
                                    args=(ssdp_socket(), f"http://{lan_ip}:{server.server_port}/desc.xml"),
                                    daemon=True))
for t in threads:
    t.start()
log("ready")
while True:
    time.sleep(3600)
