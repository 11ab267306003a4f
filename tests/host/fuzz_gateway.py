#!/usr/bin/env python3
"""Sends random HTTP requests to `zelhost serve --http` and fails on a host that ends, a request not
answered in time, an answer that carries bytes of a file the gateway must not serve, or an archive
of the gateway's left in the temporary folder once the host has stopped.

Usage: fuzz_gateway.py RUNNER ZELHOST [--seeds 1,2] [--count N] [--budget SECONDS] [--timeout SECONDS]
                       [--broker embedded|local-server] [--wine-prefix FOLDER]

RUNNER starts ZELHOST (wine). Each seed gets its own host (odd seeds with a --console folder, even
ones with the built-in console), sends first every spelling of a way out of the console's files
and the API that we know of through every route (each must answer 403, 404, or 414 for a path
longer than the gateway takes; device names exactly 404), then up to N random requests: methods,
paths, headers (huge, repeated, without the token, for another host or origin), bodies (malformed
JSON, deep nesting, huge arrays) and byte ranges, and zip archives that are fetched whole, broken
off or never fetched. A seed stops starting random requests when its share of the budget is spent
(the corpus is always sent whole). A seed and a count
always give the same requests; each request sent is kept in build/<arch>/fuzz-gateway/<seed>/
requests.txt (Python reprs of the bytes, one per line).

The marker's bytes sit in a file beside the console folder, in a subfolder of it and in files of
it under device names: no answer may carry them, since no request names them through a route that
reads files by path.
"""

import glob
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

from fuzz_host import Chances, fuzz_arguments

METHODS = ["GET", "GET", "GET", "POST", "POST", "HEAD", "PUT", "DELETE", "OPTIONS", "PATCH", "TRACE", "get",
           "CONNECT", "BREW", "G\x00T", "GET /x"]
SERVICES = ["GetFileInfo", "GetFile", "GetZelDataFolder", "my-ZEL_GetVersion", "my-ZEL_TailLog", "QueryFileSize",
            "GetDiskFolderContent", "GenerateCrash", "generatecrash", "NoSuchService", "Get Registered DVRs",
            "GetZelConfig", "IsMediumShared", "GetMediumInfoFromId"]
RANGES = ["bytes=0-0", "bytes=-1", "bytes=-0", "bytes=0-", "bytes=5-2", "bytes=0-1,1-2", "bytes=0-10,5-15",
          "bytes=299990-", "bytes=999999999-", "bytes=-99999999999", "bytes=99999999999999999999-", "items=0-5",
          "bytes", "bytes=", "bytes=--5", "bytes= 0-5", "BYTES=0-5", "bytes=0x10-", "bytes=1-1e3", "bytes=-",
          "bytes=0-0," * 300 + "1-1", "bytes=0-99,50-149,100-", "bytes=18446744073709551615-"]
# Names the platform takes for devices, in any case and with any extension: the console route has
# no such file, whatever its folder holds.
DEVICES = ["CON", "NUL", "COM1", "con.txt", "nul.html", "LPT1", "CONIN$", "aux.txt", "Con", "cOm1.Js",
           "COM%C2%B9", "lpt%C2%B2.txt", "nul%20.html", "PRN", "CONOUT$", "com9.css"]
MAX_ZIP_LOGS = 1  # each archives the whole data folder



def module_code(answer):
    """Whether a 500 carries a module's return code (the gateway's rule for codes other than 0, 403
    and 404) rather than a failure of the gateway itself."""
    try:
        body = json.loads(answer.split(b"\r\n\r\n", 1)[1])
    except (IndexError, ValueError):
        return False
    return isinstance(body, dict) and isinstance(body.get("rc"), int) and body.get("rc") not in (0, 403, 404)

def spellings(secret):
    """Every spelling of the way to `secret` (a Windows path) or out of a folder beside it."""
    rooted = secret[2:]  # without the drive
    up = "..\\" * 12 + rooted[1:]

    def spelled(text, backslash):
        return "".join(backslash if c == "\\" else "%3A" if c == ":" else c for c in text)

    return [
        "..%5csecret.txt", "..%5Csecret.txt", "%2e%2e%5csecret.txt", "%2E%2E%5Csecret.txt", "..%255csecret.txt",
        "..\\secret.txt", "sub/..\\..\\secret.txt", "x/..\\..%5c..%2fsecret.txt", "..%2fsecret.txt",
        "%2f..%2fsecret.txt", spelled(up, "%5c"), spelled(up, "%5C"), spelled(up, "%255c"), spelled(up, "\\"),
        spelled(up, "/"), spelled(secret, "%5c"), "C:%5c" + spelled(rooted[1:], "%5c"),
        "Z:%5c" + spelled(rooted[1:], "%5c"), secret, "%5c%5c%3f%5c" + spelled(secret, "%5c"), "\\\\?\\" + secret,
        "\\\\.\\" + secret, "%5c%5clocalhost%5cZ$" + spelled(rooted, "%5c"), "\\\\?\\UNC\\localhost\\Z$" + rooted,
        "%5c%5c127.0.0.1%5cZ%24" + spelled(rooted, "%5c"), "secret.txt", "secret.txt%00", "secret.txt%00.html",
        "..%5csecret.txt%00index.html", "%00..%5csecret.txt", "%c0%ae%c0%ae%c0%afsecret.txt",
        "%c0%ae%c0%ae%5csecret.txt", "%e0%80%ae%e0%80%ae%e0%80%afsecret.txt", "%c0%ae%c0%ae%c1%9csecret.txt",
        "%c0%2e%c0%2e%c0%5csecret.txt", "..%c0%afsecret.txt", "NUL:", "sub%5cinner.txt", "sub/inner.txt", "sub",
        "..", ".", "%2e%2e", "...%5csecret.txt", "index.html%5c..%5c..%5csecret.txt", "index.html::$DATA",
        "..%5c" + spelled(up, "%5c"), "a" * 1000, "a" * 5000] + DEVICES


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Place:
    """A seed's folder: the marker beside the console folder and in it, and the files requests may name."""

    def __init__(self, root, seed):
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(os.path.join(root, "console", "sub"))
        os.makedirs(os.path.join(root, "scratch"))
        self.root = root
        self.marker = ("zel-fuzz-marker-%d-%s" % (seed, os.urandom(8).hex())).encode()
        self.secret = os.path.join(root, "secret.txt")
        for path, data in {self.secret: self.marker, os.path.join(root, "console", "sub", "inner.txt"): self.marker,
                           os.path.join(root, "console", "index.html"): b"<p>fuzzed console</p>",
                           os.path.join(root, "console", "app.js"): b"app();"}.items():
            with open(path, "wb") as out:
                out.write(data)
        # Files under device names, which only the Unix side can make: the console's listing shows
        # them, and the gateway must still refuse the names.
        for name in DEVICES:
            if "%" not in name and "$" not in name:
                with open(os.path.join(root, "console", name), "wb") as out:
                    out.write(self.marker)
        self.files = []
        for name, data in {"big.bin": bytes(range(256)) * 1200, "ten.bin": b"0123456789", "empty.txt": b"",
                           "caf\u00e9 x.txt": b"x" * 5000}.items():
            with open(os.path.join(root, "scratch", name), "wb") as out:
                out.write(data)
            self.files.append(win(os.path.join(root, "scratch", name)))
        self.console = os.path.join(root, "console")
        self.spellings = spellings(win(self.secret))


class Generator(Chances):
    """Random requests for one seed; the same seed gives the same requests."""

    def __init__(self, seed, place, port, token):
        super().__init__(seed)
        self.place = place
        self.port = port
        self.token = token
        self.zips = []       # archive addresses not fetched yet
        self.zip_logs = 0

    def medium_id(self):
        path = self.pick(self.place.files + [self.place.files[0] + "x", "Z:\\no\\such"])
        return "F*" + path.replace("\\", "|").replace(".", ">").replace(" ", "*")

    def junk(self):
        """Odd bytes for a path or a query; never the marker's name."""
        pieces = ["%", "%%", "%zz", "%00", "%0d%0a", "%ff", "%c0%af", "\xff", "..", "/", "//", "\\", ";", "?", "#",
                  "&", "=", "+", "~", "$", "{", "}", "|", "*", "%2f", "%5c", "a" * self.pick([1, 300, 2000])]
        return "".join(self.pick(pieces) for _ in range(self.rng.randint(1, 8)))

    def target(self):
        """(method, target, body) of a request to one of the routes, the console's files, or nowhere."""
        roll = self.rng.random()
        files = self.place.files
        if roll < 0.12:
            prefix = self.pick(["/", "/api/files/", "/api/", "/api/zip/", "/api/services/", "/api/host/",
                                "/api/logs/", "/console.js/", "/sub/"])
            return self.pick(["GET", "GET", "POST", "HEAD"]), prefix + self.pick(self.place.spellings), b"{}"
        if roll < 0.3:
            service = self.pick(SERVICES)
            name = service.replace(" ", "%20") if self.chance(0.9) else self.junk()
            return "POST", "/api/services/" + name, self.body(service)
        if roll < 0.45:
            query = "path=" + self.pick(files).replace("\\", "%5C").replace(" ", "%20") if self.chance(0.85) else \
                self.pick(["", "path=", "path=" + self.junk(), "path=a&path=b", self.junk()])
            return self.pick(["GET", "GET", "HEAD"]), "/api/files?" + query, b""
        if roll < 0.55:
            return "POST", "/api/zip", self.zip_body()
        if roll < 0.65 and self.zips:
            url = self.zips.pop(self.rng.randrange(len(self.zips)))
            return self.pick(["GET", "GET", "HEAD"]), url, b""
        if roll < 0.7:
            return "GET", "/api/zip/" + self.pick(["0123abcd", "f" * 24, "", self.junk()]), b""
        if roll < 0.78:
            return "GET", "/api/logs?size=" + self.pick(["0", "-1", "10", "20000", "99999999999", "x", "1e5", ""]), b""
        if roll < 0.8 and self.zip_logs < MAX_ZIP_LOGS:
            self.zip_logs += 1
            return "GET", "/api/logs.zip", b""
        if roll < 0.85:
            return "GET", self.pick(["/api/host/prefixes", "/api/host/prefixes?x=1", "/api", "/api/", "/API/files"]), b""
        if roll < 0.95:
            return self.pick(METHODS), self.pick(["/", "/index.html", "/console.js", "/console.css", "/app.js",
                                                  "/?token=" + self.token, "/?token=abc", "/favicon.ico"]), b""
        return self.pick(METHODS), "/" + self.junk(), self.pick([b"", b"{}", b"x" * 100])

    def body(self, service):
        roll = self.rng.random()
        files = self.place.files
        if roll < 0.4:
            inputs = {"GetFileInfo": [self.pick(files)], "QueryFileSize": [self.pick(files)],
                      "GetFile": [self.pick(files), {"i8": self.pick([0, 5, -1, 2**40])},
                                  {"i8": self.pick([0, 10, 300000, 2**31])}]}
            return json.dumps({"input": inputs.get(service), "rc": self.pick([0, 0, 1, -1])}).encode()
        if roll < 0.55:
            return self.pick([b"", b"{", b"[1]", b"null", b'{"input": [', b'{"input": {"nosuchtag": 1}}',
                              b'{"rc": "x"}', b'{"requester": 5}', b"\xff\xfe{}", b'{"input": "\\ud800"}',
                              b'{"input": {"i8": 1e400}}', b'{"a":' * 50])
        if roll < 0.7:
            depth = self.pick([100, 1000, 10000, 100000])
            opener, closer = self.pick([("[", "]"), ('{"a":', "}"), ('{"array":[', "]}")])
            return ('{"input": ' + opener * depth + "1" + closer * depth + "}").encode()
        if roll < 0.85:
            item = self.pick(["0", '"x"', "null", '{"i4": 1}', "[]"])
            # Each object or array of JSON is a few allocations of the platform's heap: 100,000 of
            # them take seconds under Wine, 400,000 (what 4 MiB holds) longer than the hang bound.
            count = self.pick([1000, 100000] + ([500000] if item in ("0", '"x"', "null") else []))
            return ('{"input": [' + ",".join([item] * count) + "]}").encode()
        return json.dumps({"input": self.pick([None, [None], ["\u0000"], [""], "x" * 70000, [2**63], [-2**63]])}).encode()

    def zip_body(self):
        if self.chance(0.2):
            return self.pick([b"", b"{}", b'{"ids": []}', b'{"ids": "x"}', b'{"ids": [1]}', b'{"ids": [null]}'])
        ids = [self.medium_id() for _ in range(self.pick([1, 2, 3]))]
        name = self.pick(["a.zip", "", "\u00e9\u4e2d.zip", "x\"y\\z.zip", "..\\..\\a.zip", "a" * 300, "\r\nX: y"])
        return json.dumps({"ids": ids, "name": name}).encode()

    def headers(self, method, body):
        """The header lines; the host, token and close headers are usually right, sometimes not."""
        lines = []
        host = "127.0.0.1:%d" % self.port
        if self.chance(0.95):
            lines.append("Host: " + (host if self.chance(0.95) else self.pick(
                ["evil.example", "evil.example:%d" % self.port, "127.0.0.1:1", "", "localhost:%d" % self.port,
                 "[::1]:%d" % self.port, host + "\r\nHost: evil.example"])))
        token_roll = self.rng.random()
        if token_roll < 0.6:
            lines.append("X-Zel-Token: " + self.token)
        elif token_roll < 0.85:
            lines.append("Cookie: a=b; zel_token=" + self.token)
        elif token_roll < 0.9:
            lines.append("X-Zel-Token: " + self.pick(["", "0" * 64, self.token[:-1], self.token + "0"]))
        elif token_roll < 0.95:
            lines += ["X-Zel-Token: " + self.token, "X-Zel-Token: " + "0" * 64]
        if self.chance(0.1):
            lines.append(self.pick(["Origin: http://evil.example", "Origin: http://" + host, "Origin: null",
                                    "Sec-Fetch-Site: cross-site", "Sec-Fetch-Site: same-origin", "Referer: x"]))
        if self.chance(0.3):
            lines.append("Range: " + self.pick(RANGES))
            if self.chance(0.1):
                lines.append("Range: " + self.pick(RANGES))
        if self.chance(0.04):
            lines.append("X-Huge: " + "h" * self.pick([8000, 60000, 70000]))
        if self.chance(0.03):
            lines += ["X-Many-%d: %d" % (i, i) for i in range(self.pick([100, 1000]))]
        if self.chance(0.03):
            lines.append(self.pick(["Transfer-Encoding: chunked", "Expect: 100-continue", "Content-Length: x",
                                    "Content-Length: %d" % len(body), "Content-Length: -1", "Accept-Encoding: gzip",
                                    "Connection: keep-alive", "If-Range: x", "bad header line", ": empty name"]))
        if body or method in ("POST", "PUT"):
            lines.append("Content-Type: application/json")
            lines.append("Content-Length: %d" % len(body))
        lines.append("Connection: close")
        self.rng.shuffle(lines)
        return lines

    def request(self):
        """The bytes of one request, its target, and how much of the answer to read (None: all of it;
        a download read in part ends when the connection closes)."""
        method, target, body = self.target()
        limit = self.pick([None, None, 50, 300]) if target.startswith("/api/zip/") else None
        head = "%s %s HTTP/%s\r\n" % (method, target, "1.1" if self.chance(0.97) else self.pick(["1.0", "2", "x"]))
        text = head + "".join(line + "\r\n" for line in self.headers(method, body)) + "\r\n"
        return text.encode("utf-8", "surrogateescape") + body, target, limit

    def note_answer(self, target, answer):
        if target == "/api/zip" and b"\r\n\r\n" in answer:
            try:
                url = json.loads(answer.split(b"\r\n\r\n", 1)[1]).get("url")
            except ValueError:
                return
            if isinstance(url, str):
                self.zips.append(url)


class Host:
    """zelhost serve --http --until-input-ends: stops, deleting its archives, when its input closes."""

    def __init__(self, command, cwd):
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, cwd=cwd)
        self.errors = []
        threading.Thread(target=self._read_errors, daemon=True).start()

    def _read_errors(self):
        for raw in self.process.stderr:
            self.errors = (self.errors + [raw.decode("utf-8", "replace").rstrip()[:300]])[-3:]

    def started(self):
        line = self.process.stdout.readline().decode("utf-8", "replace")
        return json.loads(line) if line.startswith("{") else None

    def stop(self, timeout):
        """The exit status once the input closed, or None when the host did not end in time (it is then ended)."""
        try:
            self.process.stdin.close()
            return self.process.wait(timeout=timeout)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
            return None


def whole(answer, head_only):
    """True once `answer` holds a whole answer by its Content-Length: a gateway that keeps the
    connection open after it (a request it could not read as one asks for no close) is not waited for."""
    while answer.startswith(b"HTTP/1.1 100 ") and b"\r\n\r\n" in answer:
        answer = answer.split(b"\r\n\r\n", 1)[1]
    if b"\r\n\r\n" not in answer:
        return False
    head, body = answer.split(b"\r\n\r\n", 1)
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length" and value.strip().isdigit():
            return head_only or len(body) >= int(value)
    return False


def exchange(port, data, timeout, read_limit=None):
    """Sends one request; (answer bytes, True once the gateway closed or answered in whole, False when
    it stopped answering)."""
    answer = b""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection:
        connection.settimeout(timeout)
        try:
            connection.sendall(data)
        except OSError:
            pass  # refused before the whole request went: the answer tells
        try:
            while read_limit is None or len(answer) < read_limit:
                got = connection.recv(65536)
                if not got:
                    break
                answer += got
                if whole(answer, data.startswith(b"HEAD ")):
                    break
        except socket.timeout:
            return answer, False
        except OSError:
            pass  # reset: the gateway closed
    return answer, True


def temporary_archives(temps):
    return {path for temp in temps for path in glob.glob(os.path.join(temp, "Zu*.tmp"))}


def run_seed(args, seed, seconds, fuzz_root, temps, report):
    """One seed's requests to a host of its own. Returns (requests answered, failures)."""
    place = Place(os.path.join(fuzz_root, str(seed)), seed)
    command = [args.runner, args.zelhost, "--broker", args.broker, "serve", "--http", "127.0.0.1:0",
               "--until-input-ends"]
    if seed % 2 == 1:
        command += ["--console", win(place.console)]
    before = temporary_archives(temps)
    host = Host(command, os.path.join(place.root, "scratch"))
    started = host.started()
    if started is None:
        host.stop(10)
        report(f"FAIL seed {seed}: the host did not start: {host.errors}")
        return 0, 1
    port, token = started["port"], started["token"]
    generator = Generator(seed, place, port, token)
    log_path = os.path.join(place.root, "requests.txt")
    answered = failures = 0
    statuses = {}
    slowest = []  # (seconds, the request's start)
    began = time.monotonic()

    def fail(kind, what, data):
        nonlocal failures
        failures += 1
        report(f"FAIL seed {seed} request {answered + 1}: {kind}: {what}\n  request: {data[:600]!r}\n"
               f"  host's last errors: {host.errors}\n  replay: {' '.join(command)} with the requests in {log_path}")

    # Every known spelling through every route first: refused, whatever it names.
    corpus = []
    for prefix in ["/", "/api/files/", "/api/", "/api/zip/", "/api/services/", "/api/host/"]:
        for spelling in place.spellings:
            method = "POST" if prefix == "/api/services/" else "GET"
            corpus.append((prefix + spelling, ("%s %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nCookie: zel_token=%s\r\n"
                                               "Content-Length: 2\r\nConnection: close\r\n\r\n{}" %
                                               (method, prefix + spelling, port, token)).encode()))
    with open(log_path, "w", encoding="utf-8") as log:
        for index in range(len(corpus) + args.count):
            if index == len(corpus):
                deadline = time.monotonic() + seconds
            if index >= len(corpus) and time.monotonic() > deadline:
                report(f"seed {seed}: budget spent after {index} requests")
                break
            limit = 1 << 22
            if index < len(corpus):
                target, data = corpus[index]
            else:
                data, target, limit = generator.request()
            log.write(repr(data) + "\n")
            asked = time.monotonic()
            try:
                answer, closed = exchange(port, data, args.timeout, limit)
            except OSError as error:
                answer, closed = b"", True
                if host.process.poll() is None:
                    fail("refused", f"no connection ({error})", data)
                    break
            slowest = sorted(slowest + [(time.monotonic() - asked, data[:70])], reverse=True)[:3]
            status = answer[9:12].decode("ascii", "replace") if answer.startswith(b"HTTP/1.1 ") else "none"
            statuses[status] = statuses.get(status, 0) + 1
            if host.process.poll() is not None:
                fail("crash", f"the host ended (exit status {host.process.returncode})", data)
                break
            if not closed:
                fail("hang", f"no whole answer within {args.timeout} s ({len(answer)} bytes)", data)
                break
            if place.marker in answer:
                fail("leak", "the answer carries the marker file's bytes", data)
            if status == "500" and not module_code(answer):
                fail("error", "500: " + answer[:300].decode("utf-8", "replace"), data)
            if index < len(corpus):
                device = target.rsplit("/", 1)[-1] in DEVICES and target.count("/") == 1
                allowed = ["404"] if device else ["403", "404"] + (["414"] if len(target) > 1024 else [])
                if status not in allowed:
                    fail("corpus", f"{status} where {'/'.join(allowed)} was due: {answer[:200]!r}", data)
            else:
                generator.note_answer(target, answer)
            answered += 1
    unfetched = len(generator.zips)
    exit_status = host.stop(60)
    if exit_status != 0:
        fail("stop", f"the host {'did not end' if exit_status is None else f'ended with {exit_status}'} "
             "once its input closed", b"")
    left = temporary_archives(temps) - before
    if left:
        fail("archive", f"{len(left)} archive(s) left in the temporary folder: {sorted(left)[:3]}", b"")
        for path in left:
            os.remove(path)
    spent = time.monotonic() - began
    report(f"seed {seed}: {answered} requests in {spent:.1f} s ({answered / max(spent, 0.001):.0f}/s), "
           f"{unfetched} archive(s) never fetched, statuses {dict(sorted(statuses.items()))}")
    if args.verbose:
        report("  slowest: " + "; ".join(f"{took:.2f} s {start!r}" for took, start in slowest))
    return answered, failures


def main():
    parser = fuzz_arguments(__doc__.splitlines()[0], "1,2", "random requests per seed, after the corpus",
                            "seconds of random requests for all seeds, shared evenly; 0: no limit")
    parser.add_argument("--verbose", action="store_true", help="print the slowest requests of each seed")
    parser.add_argument("--wine-prefix", default=os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")))
    args = parser.parse_args()
    args.zelhost = os.path.abspath(args.zelhost)
    seeds = [int(seed) for seed in args.seeds.split(",") if seed]
    temps = glob.glob(os.path.join(args.wine_prefix, "drive_c", "users", "*", "Temp"))
    if not temps:
        print(f"gateway-fuzz: no temporary folder in {args.wine_prefix}; 0 passed, 1 failed")
        return 1
    fuzz_root = os.path.join(os.path.dirname(os.path.dirname(args.zelhost)), "fuzz-gateway")
    share = args.budget / len(seeds) if args.budget > 0 else float("inf")
    print(f"gateway-fuzz: seeds {seeds}, {args.count} random requests each, broker {args.broker}", flush=True)
    answered = failures = 0
    for seed in seeds:
        done, failed = run_seed(args, seed, share, fuzz_root, temps, lambda text: print(text, flush=True))
        answered += done
        failures += failed
    print(f"gateway-fuzz: {answered} passed, {failures} failed")
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
