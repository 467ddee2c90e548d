#!/usr/bin/env python3
"""quorvane-server on SQLite, on PostgreSQL with one server and with two servers
sharing the database and the data folder: small uploads and lists per second,
1 GiB upload and download throughput, side by side. SQLite is the baseline.

Usage: python3 bench/server/databases.py [BUILD_DIR]
"""

import glob
import http.client
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
SERVER = os.path.join(BUILD, "bin", "quorvane-server")
CLIENTS = 8
SMALL_EVENTS = 2000
LISTS = 800
BIG = 1 << 30
ACCOUNT = "username=bench&password=bench-pass"


def document(event_id, time_stamp):
    return (
        '<?xml version="1.0" encoding="UTF-8"?><event><id>%s</id><name><![CDATA[n]]></name>'
        "<path><![CDATA[f.bin]]></path><type>application/octet-stream</type><content>"
        "<![CDATA[]]></content><description><![CDATA[small]]></description><recordTime>%d"
        "</recordTime><recordChanged>%d</recordChanged></event>" % (event_id, time_stamp, time_stamp)
    ).encode()


class Postgres:
    """A cluster of the bench's own, as "nobody" when run as root."""

    def __init__(self, folder):
        bins = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
        if not bins:
            sys.exit("PostgreSQL is not installed (Debian package postgresql)")
        self.bin = os.path.dirname(bins[-1])
        self.folder = folder
        os.makedirs(folder + "/socket")
        user = pwd.getpwnam("nobody") if os.geteuid() == 0 else None
        if user:
            for path in (folder, folder + "/socket"):
                os.chown(path, user.pw_uid, user.pw_gid)

        def drop():
            if user:
                os.setgroups([])
                os.setgid(user.pw_gid)
                os.setuid(user.pw_uid)

        self.drop = drop
        subprocess.run([self.bin + "/initdb", "-D", folder + "/data", "-U", "quorvane",
                        "--auth=trust", "--no-sync", "--locale=C", "--encoding=UTF8"],
                       check=True, stdout=subprocess.DEVNULL, preexec_fn=drop)
        self.port = free_port()
        # Durable commits, as in production.
        self.process = subprocess.Popen(
            [self.bin + "/postgres", "-D", folder + "/data", "-k", folder + "/socket",
             "-p", str(self.port), "-c", "listen_addresses="],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=drop)
        for line in self.process.stderr:
            if b"ready to accept connections" in line:
                break
        threading.Thread(target=self.process.stderr.read, daemon=True).start()
        self.databases = 0

    def new_database(self):
        self.databases += 1
        name = "bench%d" % self.databases
        subprocess.run([self.bin + "/createdb", "-h", self.folder + "/socket", "-p",
                        str(self.port), "-U", "quorvane", name], check=True)
        return "postgresql://quorvane@/%s?host=%s/socket&port=%d" % (name, self.folder, self.port)

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        self.process.wait(30)


def free_port():
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    def __init__(self, data, database):
        arguments = [SERVER, "--listen", "127.0.0.1:0", "--data", data]
        if database:
            arguments += ["--database", database]
        self.process = subprocess.Popen(arguments, stderr=subprocess.PIPE)
        for line in self.process.stderr:
            found = re.search(rb"listening on http://127\.0\.0\.1:(\d+)", line)
            if found:
                self.port = int(found.group(1))
                break
        else:
            sys.exit("the server did not start")
        threading.Thread(target=self.process.stderr.read, daemon=True).start()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(60)


def run_clients(ports, count, make_request):
    """count requests spread over CLIENTS keep-alive connections; requests per second."""
    errors = []

    def client(index):
        connection = http.client.HTTPConnection("127.0.0.1", ports[index % len(ports)])
        for number in range(index, count, CLIENTS):
            target, body = make_request(number)
            connection.request("POST", target, body)
            answer = connection.getresponse()
            answer.read()
            if answer.status != 200:
                errors.append(answer.status)
        connection.close()

    threads = [threading.Thread(target=client, args=(i,)) for i in range(CLIENTS)]
    start = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.monotonic() - start
    if errors:
        sys.exit("%d requests failed, e.g. with %d" % (len(errors), errors[0]))
    return count / elapsed


def curl_all(commands):
    start = time.monotonic()
    processes = [subprocess.Popen(command, stdout=subprocess.DEVNULL) for command in commands]
    if any(process.wait() != 0 for process in processes):
        sys.exit("curl failed")
    return BIG / (time.monotonic() - start) / (1 << 20)


def measure(label, ports, source):
    small = b"x" * 1024
    uploads = run_clients(
        ports, SMALL_EVENTS,
        lambda n: ("/action/file/quorvupload?%s&access_id=0" % ACCOUNT,
                   document("s%06d" % n, 1000 + n) + b"-|+" + small))
    # Each list covers a window of 50 events.
    lists = run_clients(
        ports, LISTS,
        lambda n: ("/action/file/quorvget?%s&starttime=%d&endtime=%d"
                   % (ACCOUNT, 1000 + n % 1900, 1049 + n % 1900), b""))
    # 1 GiB in all, split over the servers and sent at once.
    share = BIG // len(ports)
    body_files = []
    for index in range(len(ports)):
        path = "%s.%d" % (source, index)
        with open(path, "wb") as out:
            out.write(document("big%d" % index, 5000))
            out.write(b"-|+")
        subprocess.run(["sh", "-c", "head -c %d %s >> %s" % (share, source, path)], check=True)
        body_files.append(path)
    upload = curl_all([
        ["curl", "-sS", "-f", "-H", "Expect:", "-X", "POST", "-T", body_files[i],
         "http://127.0.0.1:%d/action/file/quorvupload?%s&access_id=0" % (port, ACCOUNT)]
        for i, port in enumerate(ports)])
    # Each server delivers the file the other one took.
    download = curl_all([
        ["curl", "-sS", "-f", "-o", "/dev/null", "--data-binary", "@/dev/null",
         "http://127.0.0.1:%d/action/file/quorvdownload?%s&extguid=big%d"
         % (port, ACCOUNT, (i + 1) % len(ports))]
        for i, port in enumerate(ports)])
    for path in body_files:
        os.remove(path)
    return label, uploads, lists, upload, download


def main():
    if not os.access(SERVER, os.X_OK):
        sys.exit("no %s: build first" % SERVER)
    work = tempfile.mkdtemp(prefix="quorvane-bench-", dir="/tmp")
    os.chmod(work, 0o755)
    postgres = None
    try:
        source = work + "/random.bin"
        subprocess.run(["head", "-c", str(BIG), "/dev/urandom"], stdout=open(source, "wb"),
                       check=True)
        postgres = Postgres(work + "/pg")
        rows = []
        for label, database, servers in (
            ("SQLite, one server", None, 1),
            ("PostgreSQL, one server", postgres.new_database(), 1),
            ("PostgreSQL, two servers", postgres.new_database(), 2),
        ):
            data = "%s/data-%d" % (work, len(rows))
            command = [SERVER, "account", "add", "bench", "--data", data]
            if database:
                command += ["--database", database]
            subprocess.run(command, input=b"bench-pass\n", check=True, stdout=subprocess.DEVNULL)
            running = [Server(data, database) for _ in range(servers)]
            try:
                rows.append(measure(label, [s.port for s in running], source))
            finally:
                for server in running:
                    server.stop()
            shutil.rmtree(data)
        base = rows[0]
        print("quorvane-server: %d small uploads (1 KiB) and %d lists of 50 events by %d "
              "clients; 1 GiB up and down with curl" % (SMALL_EVENTS, LISTS, CLIENTS))
        print("baseline: %s, measured in the same run\n" % base[0])
        print("%-26s %16s %16s %16s %16s" % ("", "uploads/s", "lists/s", "upload MiB/s",
                                           "download MiB/s"))
        for row in rows:
            print("%-26s" % row[0] + "".join(
                " %9.0f (%.2fx)" % (value, value / base[i + 1]) for i, value in enumerate(row[1:])))
    finally:
        if postgres:
            postgres.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
