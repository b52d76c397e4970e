#!/usr/bin/python3
"""Reliability figures measured the way a peer written against another Redis client sees them.

    bench/fault-figures.py BUILD_DIR [cut|prompt|kill|sigkill|switch ...]

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
  sigkill a primary, one replica and three redis-sentinel processes (master "m"; down after 1 s), the
          runner finding the primary through them: 10 rounds of SIGKILL of the primary, ms until the
          sentinels name the new one, until the runner shows "isServiceRegistered" with
          "primaryAddress" on it, and until a set sent to it is answered; the killed server comes
          back as a replica before the next round
  switch  the same set-up, a member changing every 5 ms and a peer subscribed to it: 5 rounds of
          SENTINEL FAILOVER, values the service still wrote to the old primary after the
          "+switch-master" announcement (and 100 ms after it), and ms from the announcement until
          the runner is registered on the new primary and until a set there is answered

Needs python3-redis (and redis-sentinel for sigkill and switch). Prints one line per round and a summary per scenario.
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
    def __init__(self, workdir, args=()):
        self.port = free_port()
        self.workdir = workdir
        self.args = list(args)
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--dir", self.workdir, *self.args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
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

    def __init__(self, build, workdir, port, extra=(), config=None, model_json=MODEL):
        model = os.path.join(workdir, "model.json")
        with open(model, "w") as f:
            json.dump(model_json, f)
        config = json.dumps(config or {"address": f"127.0.0.1:{port}", "serviceName": "S"})
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


def wait_until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            value = predicate()
            if value:
                return value
        except (redis.ConnectionError, redis.ResponseError):
            pass
        time.sleep(0.01)
    return None


class Failover:
    """A primary, one replica and three redis-sentinel processes watching them as "m"."""

    def __init__(self, work):
        fast = ["--repl-diskless-sync-delay", "0"]
        self.servers, self.sentinels, self.ports = {}, [], [free_port() for _ in range(3)]
        self.clients = [redis.Redis(port=port, decode_responses=True) for port in self.ports]
        self.config = {"serviceName": "S", "sentinels": ",".join(f"127.0.0.1:{p}" for p in self.ports),
                       "sentinelMaster": "m"}
        try:
            for name in ("a", "b"):
                os.mkdir(os.path.join(work, name))
                server = Redis(os.path.join(work, name), fast + [a for p in self.servers
                                                                 for a in ("--replicaof", "127.0.0.1", str(p))])
                self.servers[server.port] = server
            primary, replica = self.servers
            for port in self.ports:
                with open(os.path.join(work, f"{port}.conf"), "w") as f:
                    f.write(f"port {port}\nbind 127.0.0.1\ndir {work}\nsentinel monitor m 127.0.0.1 {primary} 2\n"
                            "sentinel down-after-milliseconds m 1000\nsentinel failover-timeout m 3000\n")
                self.sentinels.append(subprocess.Popen(["redis-sentinel", f.name], stdout=subprocess.DEVNULL,
                                                       stderr=subprocess.DEVNULL))
            self.wait_ready(primary, replica)
        except BaseException:
            self.stop()
            raise

    def sentinel(self, index=0):
        return self.clients[index]

    def named_other_than(self, old):
        for index in range(3):
            port = int(self.sentinel(index).execute_command("SENTINEL", "GET-MASTER-ADDR-BY-NAME", "m")[1])
            if port != old:
                return port
        return None

    def ready(self, primary, replica):
        wanted = {"flags": "slave", "port": str(replica), "master-port": str(primary), "master-link-status": "ok"}
        fields = lambda flat: dict(zip(flat[::2], flat[1::2]))
        for index in range(3):
            ask = lambda what: self.sentinel(index).execute_command("SENTINEL", what, "m")
            master = fields(ask("MASTER"))
            if ((master["port"], master["flags"]) != (str(primary), "master") or
                    sum(fields(o)["flags"] == "sentinel" for o in ask("SENTINELS")) != 2 or
                    not any(wanted.items() <= fields(r).items() for r in ask("REPLICAS"))):
                return False
        return True

    def wait_ready(self, primary, replica):
        # The killed or demoted server is a healthy replica again, so the next failover can start.
        if not wait_until(lambda: self.ready(primary, replica), 60):
            raise RuntimeError(f"the sentinels did not settle on {primary} with replica {replica}")
        self.primary, self.replica = primary, replica

    def stop(self):
        for server in self.servers.values():
            server.kill()
        for sentinel in self.sentinels:
            sentinel.kill()
            sentinel.wait()


def registered_on(port):
    return lambda l: (l.get("type") == "attributes" and l["attributes"].get("isServiceRegistered") is True and
                      l["attributes"].get("primaryAddress") == f"127.0.0.1:{port}")


def first_answer(port, timeout=20):
    """Sends a set every 100 ms until one is answered with success; returns when (monotonic)."""
    client = redis.Redis(port=port, decode_responses=True)
    sent, position = set(), None
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            sent.add(client.xadd("S.Commands", {"cmd": "set", "name": "S.Plant.W", "value": str(len(sent))}))
            position = position or min(sent)
            for _, entries in client.xread({"S.Commands": position}, block=100):
                for position, values in entries:
                    if values.get("responseId") in sent and values.get("result") == "success":
                        return time.monotonic()
        except (redis.ConnectionError, redis.ResponseError):
            time.sleep(0.1)
    return float("inf")


def spread(name, values):
    values = sorted(values)
    return f"{name} {values[len(values) // 2]:.0f} / {values[-1]:.0f} ms"


def scenario_sigkill(build, rounds=10):
    with tempfile.TemporaryDirectory() as work:
        cluster = Failover(work)
        host = Host(build, work, None, ["--reconnect-every", "500"], cluster.config)
        results = []
        try:
            host.wait_for(registered_on(cluster.primary))
            for round_ in range(rounds):
                while not host.lines.empty():
                    host.lines.get()
                old, killed = cluster.primary, time.monotonic()
                cluster.servers[old].kill()
                new = wait_until(lambda: cluster.named_other_than(old), 60)
                handed = time.monotonic()
                answered = first_answer(new)
                found = host.wait_for(registered_on(new), 20)
                result = [(at - killed) * 1000 for at in (handed, found[0] if found else float("inf"), answered)]
                results.append(result)
                print(f"sigkill round {round_ + 1}: sentinels name {new} after {result[0]:.0f} ms; runner registered "
                      f"on it after {result[1]:.0f} ms; a set answered after {result[2]:.0f} ms", flush=True)
                cluster.servers[old].args = ["--repl-diskless-sync-delay", "0", "--replicaof", "127.0.0.1", str(new)]
                cluster.servers[old].start()
                cluster.wait_ready(new, old)
        finally:
            host.stop()
            cluster.stop()
    print("sigkill (median / worst): " + ", ".join(spread(name, [f(r) for r in results]) for name, f in (
        ("new address", lambda r: r[0]), ("registered", lambda r: r[1]), ("set answered", lambda r: r[2]),
        ("registered - address", lambda r: r[1] - r[0]), ("answered - address", lambda r: r[2] - r[0]))))


def scenario_switch(build, rounds=5):
    model = json.loads(json.dumps(MODEL))
    model["elements"][0]["attributes"][0]["simulate"]["periodMs"] = 5
    with tempfile.TemporaryDirectory() as work:
        cluster = Failover(work)
        host = Host(build, work, None, ["--reconnect-every", "500"], cluster.config, model)
        listener = cluster.sentinel().pubsub(ignore_subscribe_messages=True)
        listener.subscribe("+switch-master")
        results = []
        try:
            host.wait_for(registered_on(cluster.primary))
            for round_ in range(rounds):
                old = cluster.primary
                client = cluster.servers[old].client()
                # One lease, renewed each round, so each change is published once.
                client.xadd("S.Commands", {"cmd": "subscribe", "subscriptionId": "switch", "samplingInterval": "0",
                                           "name": "S.Plant.Count"})
                flowing = int(time.time() * 1000) + 50
                if not wait_until(lambda: client.xrange("SValue:S.Plant.Count", min=f"{flowing}-0", count=1)):
                    raise RuntimeError(f"no values on {old}")
                while not host.lines.empty():
                    host.lines.get()
                while True:
                    try:
                        cluster.sentinel().execute_command("SENTINEL", "FAILOVER", "m")
                        break
                    except redis.ResponseError as error:
                        if not str(error).startswith(("NOGOODSLAVE", "INPROG")):
                            raise
                        time.sleep(0.2)
                announced = wait_until(lambda: listener.get_message(timeout=0.1), 30)
                wall, at, new = time.time() * 1000, time.monotonic(), int(announced["data"].split()[4])
                answered = first_answer(new)
                found = host.wait_for(registered_on(new), 20)
                time.sleep(max(0.0, at + 1.5 - time.monotonic()))
                role = client.execute_command("ROLE")[0]
                stamps = [int(i.split("-")[0]) - wall for i, _ in client.xrange("SValue:S.Plant.Count", min=int(wall))]
                last = int(client.xrevrange("SValue:S.Plant.Count", count=1)[0][0].split("-")[0]) - wall
                result = [sum(s > 0 for s in stamps), sum(s > 100 for s in stamps), last,
                          ((found[0] if found else float("inf")) - at) * 1000, (answered - at) * 1000]
                results.append(result)
                print(f"switch round {round_ + 1}: {result[0]} values on the old primary after the announcement "
                      f"({result[1]} after +100 ms, last at {result[2]:+.0f} ms"
                      f"{'' if role == 'master' else ', now a ' + role}); registered on the new one after "
                      f"{result[3]:.0f} ms, a set answered after {result[4]:.0f} ms", flush=True)
                if not wait_until(lambda: client.execute_command("ROLE")[0] == "slave", 60):
                    raise RuntimeError(f"{old} was not demoted")
                cluster.wait_ready(new, old)
        finally:
            host.stop()
            cluster.stop()
    print("switch: values after the announcement " + ", ".join(str(r[0]) for r in results) + " (after +100 ms " +
          ", ".join(str(r[1]) for r in results) + "); (median / worst) " + ", ".join(
              spread(name, [r[i] for r in results]) for name, i in
              (("last value offset", 2), ("registered", 3), ("set answered", 4))))


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    chosen = sys.argv[2:] or ["cut", "prompt", "kill", "sigkill", "switch"]
    scenarios = {"cut": scenario_cut, "prompt": scenario_prompt, "kill": scenario_kill, "sigkill": scenario_sigkill,
                 "switch": scenario_switch}
    for name in chosen:
        if name not in scenarios:
            sys.exit(f"unknown scenario {name} (known: {', '.join(scenarios)})")
        scenarios[name](build)


if __name__ == "__main__":
    main()
