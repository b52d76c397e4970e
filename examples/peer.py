#!/usr/bin/python3
"""A small peer of a TUL service, written with Debian's python3-redis (apt install python3-redis).

It finds a service, browses its data points, subscribes to some members (renewing the lease)
and prints their values, then sets a value and prints the service's response.

    examples/peer.py [--address HOST:PORT] [--user NAME] [--pass PASSWORD] [--tls [--cacert FILE]]
                     [--sentinel-master NAME] [--service NAME]
                     [--seconds N] [--watch MEMBER ...] [--set MEMBER=VALUE]

MEMBER is a member path such as Plant.BoilerHouse.Boiler1.Temp, or the same without the service
name (BoilerHouse.Boiler1.Temp), as tul-peer takes it. The address defaults to the environment
variable TUL_ADDRESS, then 127.0.0.1:6379; the password to REDISCLI_AUTH. With --sentinel-master,
--address lists sentinels (HOST:PORT,HOST:PORT,..., port 26379 by default) and the peer uses
the primary they name for NAME. See docs/protocol.md.
"""

import argparse
import json
import os
import sys
import time
import uuid

import redis
import redis.sentinel

LEASE_RENEWAL_S = 10  # the service keeps a subscription 20 s after its last "subscribe"


def host_port(text, default_port):
    """("host", port) of "HOST:PORT", "HOST" or "[V6]:PORT"; an empty host is 127.0.0.1."""
    host, colon, port = text.strip().rpartition(":")
    if not colon or "]" in port:
        host, port = text.strip(), default_port
    return host.strip("[]") or "127.0.0.1", int(port)


def connect(args):
    # As tul-peer and redis-cli take them; the server's certificate is always verified.
    security = {"username": args.user, "password": args.password}
    if args.tls:
        security.update(ssl=True, ssl_ca_certs=args.cacert, ssl_cert_reqs="required")
    if not args.sentinel_master:
        host, port = host_port(args.address, 6379)
        r = redis.Redis(host=host, port=port, decode_responses=True,  # texts are UTF-8
                        socket_connect_timeout=3.0, **security)
        r.ping()  # a wrong address fails here, with its reason
        return r
    sentinels = [host_port(entry, 26379) for entry in args.address.split(",")]
    # Asks the sentinels for the primary, and again whenever the connection to it is lost.
    sentinel_options = {"socket_timeout": 1.0}
    if args.tls:
        sentinel_options.update(ssl=True, ssl_ca_certs=args.cacert, ssl_cert_reqs="required")
    return redis.sentinel.Sentinel(sentinels, sentinel_kwargs=sentinel_options).master_for(
        args.sentinel_master, decode_responses=True, **security)


def full_path(service, members, name):
    """The member path of NAME, given with or without the service name in front."""
    if name in members:
        return name
    prefixed = service + "." + name
    return prefixed if prefixed in members else name


def find_service(r, wanted):
    """The name and record of a serving service: the one asked for, or the first serving one."""
    services = r.hgetall("Services")
    for name in sorted(services):
        if wanted and name != wanted:
            continue
        status = r.get(name + ".Status")  # missing: the service is not serving
        if status is None:
            print(f"service {name}: not serving")
            continue
        status = json.loads(status)
        print(f"service {name}: serving since {status['connectedSince']}, "
              f"registered at {status['registeredAt']}")
        return name, json.loads(services[name])
    sys.exit(f"no serving service{' ' + wanted if wanted else ''} in 'Services'")


def browse(r, record):
    """Member path -> (type, access, value stream) of every member of every data point."""
    types = r.hgetall(record["dataTypesKey"])
    members = {}
    for point_name, text in sorted(r.hgetall(record["dataPointsKey"]).items()):
        point = json.loads(text)
        print(f"data point {point['name']} ({point['type']}, size {point['size']})")
        for member in json.loads(types[point["type"]]):
            path = point["name"] + member["name"]
            stream = point["updateChn"] + member["updateChn"]
            members[path] = (member["type"], member["access"], stream)
            print(f"  member {path} {member['type']} {member['access']}")
    return members


def send_command(r, command_stream, fields):
    """Appends a command (a flat list of fields and values: "name" may repeat) and waits at
    most 5 s for the response entry that names its ID."""
    command_id = r.execute_command("XADD", command_stream, "*", *fields)
    last_id, deadline = command_id, time.monotonic() + 5.0
    while time.monotonic() < deadline:
        for _, entries in r.xread({command_stream: last_id}, block=500) or []:
            for entry_id, entry in entries:
                last_id = entry_id
                if entry.get("responseId") == command_id:
                    return entry
    return None


def subscribe(r, record, subscription_id, names, interval_ms=500):
    fields = ["cmd", "subscribe", "subscriptionId", subscription_id,
              "samplingInterval", str(interval_ms)]
    for name in names:
        fields += ["name", name]
    return send_command(r, record["cmdChn"], fields)


def watch(r, record, members, names, seconds):
    streams = {members[name][2]: name for name in names}
    # Where each stream ends now: the first value comes after the subscription.
    positions = {}
    for stream in streams:
        last = r.xrevrange(stream, count=1)
        positions[stream] = last[0][0] if last else "0-0"
    subscription_id = "peer-py-" + uuid.uuid4().hex[:12]
    response = subscribe(r, record, subscription_id, names)
    print(f"subscribed {subscription_id}: {response['result'] if response else 'no response'}")
    renew_at = time.monotonic() + min(LEASE_RENEWAL_S, seconds / 2)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for stream, entries in r.xread(positions, block=200) or []:
            for entry_id, entry in entries:
                positions[stream] = entry_id
                print(f"value {streams[stream]} {entry['value']}")
        if time.monotonic() >= renew_at:
            response = subscribe(r, record, subscription_id, names)
            print(f"renewed {subscription_id}: {response['result'] if response else 'no response'}")
            renew_at = time.monotonic() + LEASE_RENEWAL_S
    # A subscribe without names ends the subscription at once.
    subscribe(r, record, subscription_id, [])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", default=os.environ.get("TUL_ADDRESS", "127.0.0.1:6379"))
    parser.add_argument("--user")
    parser.add_argument("--pass", dest="password", default=os.environ.get("REDISCLI_AUTH"))
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--cacert")
    parser.add_argument("--sentinel-master")
    parser.add_argument("--service")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--watch", nargs="*", default=[])
    parser.add_argument("--set", dest="assignment")
    args = parser.parse_args()
    if args.user and not args.password:
        parser.error("--user needs --pass (or REDISCLI_AUTH)")
    if args.cacert and not args.tls:
        parser.error("--cacert needs --tls")
    try:
        return run(args)
    except redis.exceptions.RedisError as error:
        # One line, not a traceback: the address, and the client's reason.
        sys.exit(f"peer.py: {args.address}: {error}")


def run(args):
    r = connect(args)
    name, record = find_service(r, args.service)
    members = browse(r, record)

    # Write-only members accept a subscription but never publish: watch the readable ones.
    names = [full_path(name, members, n) for n in args.watch] or \
        [m for m, (_, access, _) in members.items() if access != "w"][:3]
    unknown = [n for n in names if n not in members]
    if unknown:
        sys.exit(f"not members of {name}: {', '.join(unknown)}")
    watch(r, record, members, names, args.seconds)

    if args.assignment:
        member, _, value = args.assignment.partition("=")
        member = full_path(name, members, member)
        response = send_command(r, record["cmdChn"], ["cmd", "set", "name", member, "value", value])
        if response is None:
            sys.exit(f"set {member}: no response within 5 s")
        print(f"set {member}={value}: {response['result']} {response.get('errorMessage', '')}".rstrip())
        return 0 if response["result"] == "success" else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
