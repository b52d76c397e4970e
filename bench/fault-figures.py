#!/usr/bin/python3
"""Reliability figures measured the way a peer written against another Redis client sees them.

    bench/fault-figures.py BUILD_DIR [cut|prompt|kill ...]

Each scenario starts a private redis-server on a free loopback port (no persistence) and the
built ormanta-host with the plug-in over a small model (service "S"), and stops both by pid:

  cut     four peers each pipeline 250 sets while the command connection is cut once
          (CLIENT KILL ID; the server keeps its data), five rounds: commands answered (counted
          on the server's MONITOR feed, so a trimmed response still counts) and members left
          at their last value
  prompt  one peer pipelines 3,000 sets while another reads the command stream in a tight loop
          (XREAD BLOCK 100 COUNT 10000), four rounds: responses the reader saw
  kill    20 cycles of SIGKILL of redis-server and a restart on the same port, with the
          runner's reconnect task every 500 ms: ms from the kill until the runner shows
          "isServiceRegistered" false, whether "state" came back before the service was
          registered again, and whether a peer that subscribes as soon as "state" is true gets a
          value within 3 s

Needs python3-redis. Prints one line per round and a summary per scenario.
"""

import json
import os
import queue
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import redis

MODEL = {"elements": [{"key": "Plant", "attributes": [
    {"name": "Count", "type": "int", "access": "r", "value": 0, "simulate": {"kind": "counter", "periodMs": 20}},
    *[{"name": f"V{i}", "type": "int", "access": "b", "value": 0} for i in range(4)],
    {"name": "W", "type": "int", "access": "b", "value": 0}]}]}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Redis:
    def __init__(self, workdir):
        self.port = free_port()
        self.workdir = workdir
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--dir", self.workdir], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(500):
            try:
                redis.Redis(port=self.port).ping()
                return
            except redis.ConnectionError:
                time.sleep(0.01)
        raise RuntimeError("redis-server did not start")

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def client(self):
        return redis.Redis(port=self.port, decode_responses=True)


class Host:
    """ormanta-host; its JSON lines go to a queue with the time they were read."""

    def __init__(self, build, workdir, port, extra=()):
        model = os.path.join(workdir, "model.json")
        with open(model, "w") as f:
            json.dump(MODEL, f)
        config = json.dumps({"address": f"127.0.0.1:{port}", "serviceName": "S"})
        self.process = subprocess.Popen(
            [os.path.join(build, "apps/ormanta-host"), "--plugin", os.path.join(build, "plugin/libTulService.so"),
             "--model", model, "--config", config, *extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for text in self.process.stdout:
            self.lines.put((time.monotonic(), json.loads(text)))

    def wait_for(self, predicate, timeout=15.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                at, line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                break
            if predicate(line):
                return at, line
        return None

    def wait_serving(self):
        return self.wait_for(lambda l: l.get("type") == "attributes" and l["attributes"].get("state") is True and
                             l["attributes"].get("isServiceRegistered") is True)

    def read(self, path):
        self.process.stdin.write(f"read {path}\n")
        self.process.stdin.flush()
        found = self.wait_for(lambda l: l.get("type") == "value" and l.get("path") == path, 5)
        return found[1]["value"] if found else None

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(10)


def command_client_id(client):
    for line in client.execute_command("CLIENT", "LIST").splitlines():
        if "cmd=xread" in line:
            return line.split()[0].split("=")[1]
    return None


def pipeline_sets(port, member, count):
    pipe = redis.Redis(port=port, decode_responses=True).pipeline(transaction=False)
    for value in range(1, count + 1):
        pipe.xadd("S.Commands", {"cmd": "set", "name": f"S.Plant.{member}", "value": str(value)})
    return pipe.execute()


class ResponseCounter(threading.Thread):
    """Counts the responses appended to S.Commands, from the server's MONITOR feed."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.ids, self.stop = port, [], threading.Event()

    def run(self):
        with redis.Redis(port=self.port, decode_responses=True).monitor() as feed:
            for event in feed.listen():
                if self.stop.is_set():
                    return
                args = event["command"].split(" ")
                if args[:2] == ["XADD", "S.Commands"] and "responseId" in args:
                    self.ids.append(args[args.index("responseId") + 1])


def scenario_cut(build, rounds=5):
    results = []
    for round_ in range(rounds):
        with tempfile.TemporaryDirectory() as work:
            server = Redis(work)
            host = Host(build, work, server.port)
            try:
                host.wait_serving()
                admin = server.client()
                counter = ResponseCounter(server.port)
                counter.start()
                time.sleep(0.2)
                victim = command_client_id(admin)
                ids = [None] * 4
                peers = [threading.Thread(target=lambda p=p: ids.__setitem__(p, pipeline_sets(server.port, f"V{p}", 250)))
                         for p in range(4)]
                for peer in peers:
                    peer.start()
                # The cut lands somewhere in the burst.
                deadline = time.monotonic() + 10
                cut_after = random.randint(20, 400)
                while len(counter.ids) < cut_after and time.monotonic() < deadline:
                    time.sleep(0.001)
                admin.execute_command("CLIENT", "KILL", "ID", victim)
                for peer in peers:
                    peer.join()
                time.sleep(3)
                sent = {i for peer_ids in ids for i in peer_ids}
                answered = [i for i in counter.ids if i in sent]
                at_last = sum(host.read(f"Plant.V{p}") == "250" for p in range(4))
                counter.stop.set()
                results.append((len(set(answered)), len(answered) - len(set(answered)), at_last))
                print(f"cut round {round_ + 1}: {len(set(answered))} of 1000 answered "
                      f"({len(answered) - len(set(answered))} twice), {at_last} of 4 members at their last value",
                      flush=True)
            finally:
                host.stop()
                server.kill()
    print("cut: answered " + ", ".join(str(r[0]) for r in results) + " of 1000; answered twice " +
          ", ".join(str(r[1]) for r in results) + "; members at last value " +
          ", ".join(str(r[2]) for r in results) + " of 4")


def scenario_prompt(build, rounds=4, sets=3000):
    seen_counts = []
    for round_ in range(rounds):
        with tempfile.TemporaryDirectory() as work:
            server = Redis(work)
            host = Host(build, work, server.port)
            try:
                host.wait_serving()
                reader = server.client()
                start = reader.xrevrange("S.Commands", count=1)
                position = start[0][0] if start else "0-0"
                result = {}
                writer = threading.Thread(target=lambda: result.update(ids=pipeline_sets(server.port, "W", sets)))
                writer.start()
                seen = set()
                deadline = time.monotonic() + 20
                while time.monotonic() < deadline:
                    reply = reader.xread({"S.Commands": position}, count=10000, block=100)
                    for _, entries in reply:
                        for entry_id, fields in entries:
                            position = entry_id
                            if "responseId" in fields:
                                seen.add(fields["responseId"])
                    if "ids" in result and seen.issuperset(result["ids"]):
                        break
                writer.join()
                got = len(seen.intersection(result["ids"]))
                seen_counts.append(got)
                print(f"prompt round {round_ + 1}: the reader saw {got} of {sets} responses", flush=True)
            finally:
                host.stop()
                server.kill()
    print(f"prompt: {', '.join(map(str, seen_counts))} of {sets}")


def scenario_kill(build, cycles=20):
    with tempfile.TemporaryDirectory() as work:
        server = Redis(work)
        host = Host(build, work, server.port, ["--reconnect-every", "500"])
        with_value, early, notices = 0, 0, []
        try:
            host.wait_serving()
            for cycle in range(cycles):
                time.sleep(random.uniform(0.5, 1.5))
                killed = time.monotonic()
                server.kill()
                found = host.wait_for(lambda l: l.get("type") == "attributes" and
                                      l["attributes"].get("isServiceRegistered") is False, 10)
                notice_ms = (found[0] - killed) * 1000 if found else float("inf")
                time.sleep(0.3)
                server.start()
                # The peer subscribes as soon as the runner shows the service up.
                up = host.wait_for(lambda l: l.get("type") == "attributes" and l["attributes"].get("state") is True, 15)
                early += bool(up) and up[1]["attributes"].get("isServiceRegistered") is not True
                client = server.client()
                sub = f"watch-{cycle}"
                client.xadd("S.Commands", {"cmd": "subscribe", "subscriptionId": sub, "samplingInterval": "20",
                                           "name": "S.Plant.Count"})
                deadline = time.monotonic() + 3
                got = False
                while up and time.monotonic() < deadline and not got:
                    got = client.xlen("SValue:S.Plant.Count") > 0
                    time.sleep(0.02)
                with_value += got
                notices.append(notice_ms)
                print(f"kill cycle {cycle + 1}: registered false after {notice_ms:.0f} ms; "
                      f"{'a value' if got else 'NO value'} after subscribing", flush=True)
                # Drain what the runner printed meanwhile.
                while not host.lines.empty():
                    host.lines.get()
        finally:
            host.stop()
            server.kill()
    notices.sort()
    print(f"kill: {with_value} of {cycles} cycles with a value; {early} showed \"state\" true before "
          f"\"isServiceRegistered\"; registered false after "
          f"{notices[len(notices) // 2]:.0f} ms (median), {notices[-1]:.0f} ms (worst)")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    chosen = sys.argv[2:] or ["cut", "prompt", "kill"]
    scenarios = {"cut": scenario_cut, "prompt": scenario_prompt, "kill": scenario_kill}
    for name in chosen:
        if name not in scenarios:
            sys.exit(f"unknown scenario {name} (known: {', '.join(scenarios)})")
        scenarios[name](build)


if __name__ == "__main__":
    main()
