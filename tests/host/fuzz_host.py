#!/usr/bin/env python3
"""Sends random typed inputs to every service through `zelhost serve --stdio` and reports the first
request of each seed that kills, hangs or silences the host: an answer that does not come within the
time limit, a host that ends, or an answer line that is not JSON.

Usage: fuzz_host.py RUNNER ZELHOST [--seeds 1,2,3] [--count N] [--budget SECONDS] [--timeout SECONDS]
                   [--broker embedded|local-server]

RUNNER starts ZELHOST (wine). Each seed gets its own host process and sends up to N requests; the run
stops starting requests when the budget is spent. A seed and a count always give the same requests,
and every line sent is kept in build/<arch>/fuzz/<seed>/requests.jsonl, so a failure replays with
  wine zelhost.exe serve --stdio < requests.jsonl
(with the same --satellites and --search-url options, printed with the failure).

What the requests may touch is bounded: files are read anywhere, but written, archived or deleted
only inside a scratch folder or the temporary folder (the module's own archives, removed at the end);
folders are listed recursively only inside the scratch folder; "GenerateCrash" is never sent. The
registration document "zel.xml" and the desktop-search URL are restored at the end.
"""

import argparse
import base64
import glob
import json
import os
import queue
import random
import shutil
import subprocess
import sys
import threading
import time

SERVICES = [
    "GetFileInfo", "GetFile", "GetMediumFromId", "GetMediumInfoFromId", "GetMediumListInfoFromId",
    "my-ZEL_GetVersion", "my-ZEL_TailLog", "GetAudioCategoryTotals", "GetTVCategoryTotals", "MultiRequest",
    "QueryFileSize", "CreateZip", "DeleteTempFile", "ZipLogs", "GetZelDataFolder", "Register Custom MediumId",
    "Register Custom DVR", "Get Registered DVRs", "IsMediumShared", "SetPlayPosition", "GetPlaylistFromId",
    "PlaylistNew", "PlaylistDestroy", "PlaylistClear", "PlaylistAdd", "PlaylistDelete", "PlaylistGet",
    "PlaylistReorder", "PlaylistListAll", "SetPlaylistPlayPosition", "PlaylistCreateAndSet", "PlaylistAddItems",
    "PlaylistGetCount", "GetDiskFolderContent", "StartUpload", "SendData", "StopUpload", "GoogleDesktopSearch",
    "GetZelConfig", "GenerateCrash",
]
NEVER_SENT = {"GenerateCrash"}  # its whole point is to end the host
SATELLITES = ["ZidAvaraV2", "DiRuzov", "RiRodera", "RuRuruvi", "ZiRUZ", "Any", "DivEduvizedA", "Nobody"]
OPERATIONS = [
    "GetFileFromId", "GetFileInfoFromId", "GetFileListInfoFromId", "GetChannelFromId", "GetChannelInfoFromId",
    "GetChannelListInfoFromId", "GetDeviceFromId", "GetDeviceInfoFromId", "GetDeviceListInfoFromId",
    "GetExtensions", "GetCategoryTotals", "GetPVRCategoryTotals", "GetTVListings", "IsMediumShared",
    "ShareCheckFile", "PlayListCreate", "PlayListRemove", "PlayListClearAll", "PlayListAddItem",
    "PlayListDeleteItem", "PlayListGetContent", "PlayListOrder", "PlayListList", "PlayListGetMediumID",
    "SetFilePlayPosition", "SetTVPlayPosition", "SetDevicePlayPosition",
]
INTEGERS = [0, 1, -1, 2, 7, 8, 16, 31, 255, 256, 65535, 2147483647, -2147483648, 4294967295, 4294967296,
            4294967276, 5000000, 9223372036854775807, -9223372036854775808]
ODD_TEXT = ["", " ", "a", "\u0000", "a\u0000b", "%s%s%s%n%x", "%I64d%ls%hs", "\\", "|", "*", ">", "<", "..",
            "\u00e9", "\u4e2d\u6587", "\U0001F600", "\uffff", "\ufeff", "\r\n", "\t", "title:desc", "x,y,",
            "M", "T", "TI", "X", "XA", "XAA", "F", "F*", "D", "O1", "http://127.0.0.1:1/", "&format=json"]
MAX_ZIP_LOGS = 4       # each archives the whole data folder


class Scratch:
    """The files the requests may name: a scratch folder with small files, and paths around it."""

    def __init__(self, root):
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(os.path.join(root, "sub", "deeper"))
        self.root = root
        self.files = []
        contents = {"ten.bin": b"0123456789", "empty.txt": b"", "log.txt": b"first\r\nsecond\r\n\x1athird\n",
                    "sub/song.mp3": bytes(range(256)) * 40, "sub/deeper/caf\u00e9.jpg": b"x" * 5000,
                    "victim.txt": b"must survive"}
        for name, data in contents.items():
            with open(os.path.join(root, name), "wb") as out:
                out.write(data)
            self.files.append(self.win(os.path.join(root, name)))
        self.victim = os.path.join(root, "victim.txt")
        self.folders = [self.win(root), self.win(os.path.join(root, "sub"))]

    @staticmethod
    def win(path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")


class Chances:
    """One seed's random choices (the gateway's fuzzer makes its own with them too)."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def chance(self, p):
        return self.rng.random() < p

    def pick(self, items):
        return self.rng.choice(items)


class Generator(Chances):
    """Random requests for one seed; the same seed gives the same requests."""

    def __init__(self, seed, scratch, temp_folder):
        super().__init__(seed)
        self.scratch = scratch
        self.temp = temp_folder  # the Windows path of the temporary folder, with its final backslash
        self.archives = []       # archive paths the host answered, for DeleteTempFile
        self.zip_logs = 0

    # Values of every type tag the notation knows.
    def integer(self):
        return self.pick(INTEGERS) if self.chance(0.8) else self.rng.randint(-(2**63), 2**63 - 1)

    def text(self, longest=70000):
        roll = self.rng.random()
        if roll < 0.5:
            return self.pick(ODD_TEXT)
        if roll < 0.6:
            return self.pick([260, 1000, 4096, 32767, 32768, longest]) * self.pick(["x", "\u00e9", "\\"])
        if roll < 0.8:
            return "".join(self.pick(ODD_TEXT + ["a", "b", "1"]) for _ in range(self.rng.randint(1, 8)))
        return self.path()

    def path(self, reads_only=True):
        s = self.scratch
        choices = s.files + s.folders + [
            s.folders[0] + "\\missing.bin", s.folders[1] + "\\..\\ten.bin", s.folders[0] + "\\" + "a" * 300,
            "\\\\?\\" + s.files[0], "\\\\?\\" + s.folders[0] + "\\" + "b" * 5000, "..\\..\\..", "..", ".", "\\",
            "\\\\?\\", "\\\\?\\UNC\\nohost\\share", "\\\\.\\C:", "\\\\.\\pipe\\zel-fuzz-none", "\\\\nohost\\share\\x",
            "CON", "NUL", "COM1", "LPT1", "AUX", "CONIN$", "C:\\CON\\x", s.folders[0] + "\\NUL", "C:", "C:\\",
            "Z:\\dev\\zero", "Z:\\dev\\urandom", "Z:\\proc\\self\\status", "Z:\\etc\\os-release", self.temp,
            self.temp + "Zuvzz.tmp", "ten.bin", "sub\\song.mp3", "*", "?", "a:b", "C:\\" + "d\\" * 200]
        return self.pick(choices) if reads_only else self.pick(s.files + s.folders + [s.folders[0] + "\\missing"])

    def medium_id(self, local_only_scratch=False):
        if self.chance(0.4):
            local = self.path(reads_only=not local_only_scratch)
            return "F*" + local.replace("\\", "|").replace(" ", "*").replace(".", ">").replace("+", "<")
        if local_only_scratch and self.chance(0.3):
            return self.pick(["F*", "F*|", "F*>", "F*C:"]) + "no-such-" + str(self.rng.randint(0, 99))
        prefix = self.pick(["M", "O", "P", "V", "R", "T", "TI", "DA", "D", "XAA", "XZZ", "X", "Q", ""])
        return prefix + (self.pick(["12", "", "|x", "\u0000"]) if self.chance(0.7) else self.text(3000))

    def value(self, depth=0):
        kind = self.rng.randint(0, 17 if depth < 3 else 12)
        if kind == 0:
            return None
        if kind == 1:
            return self.chance(0.5)
        if kind == 2:
            return self.integer()
        if kind == 3:
            return self.text()
        if kind == 4:
            return {"i4": self.pick([0, -1, 2147483647, -2147483648, 5])}
        if kind == 5:
            return {"ui4": self.pick([0, 1, 2147483648, 4294967295, 4294967276])}
        if kind == 6:
            return {"i8": self.integer()}
        if kind == 7:
            return {"ui8": self.pick([0, 4294967296, 2**63, 2**64 - 1, 5368709120])}
        if kind == 8:
            return {"r8": self.pick([0.0, -0.0, 1.5, -1e308, 1e308, 5e-324, 4294967296.5, 2.5e9])}
        if kind == 9:
            return {"date": self.pick([0.0, -657435.0, 2958465.0, 2958466.0, -1e15, 1e15, 45000.75])}
        if kind == 10:
            return {"bstr": None if self.chance(0.6) else self.text()}
        if kind == 11:
            return {"bytes": base64.b64encode(bytes(self.rng.randrange(256) for _ in range(
                self.pick([0, 1, 7, 300])))).decode()}
        if kind == 12:
            return self.medium_id()
        if kind == 13:
            return {"byref": self.value(depth + 1)}
        if kind == 14:
            return [self.value(depth + 1) for _ in range(self.pick([0, 1, 2, 5, 9]))]
        return self.typed_array(depth)

    def typed_array(self, depth):
        of = self.pick(["variant", "bstr", "i4", "ui1"])
        items = [self.element_of(of, depth) for _ in range(self.pick([0, 1, 3, 6]))]
        array = {"array": items, "of": of}
        if self.chance(0.6):
            array["lbound"] = self.pick([1, -1, 5, -2147483648, 2147483647, 2147483640])
        return array

    def element_of(self, of, depth):
        if of == "variant":
            return self.value(depth + 1)
        if of == "bstr":
            return {"bstr": None} if self.chance(0.3) else self.text(5000)
        if of == "i4":
            return self.pick([0, -1, 2147483647, -2147483648, 3])
        return self.rng.randrange(256)

    # Inputs shaped like each service's own, then bent.
    def shaped(self, service):
        v = self.value
        s = self
        if service in ("GetFileInfo", "GetFile"):
            ranges = [0, -1, 4, 100000, 2147483647, 4294967276, {"i8": 4294967296}, {"ui4": 4294967295},
                      {"i8": 5368709118}, {"ui8": 2**64 - 1}, {"i8": -(2**63)}]
            return [s.path(), s.pick(ranges + [v()]), s.pick(ranges + [v()])] if service == "GetFile" else [s.path()]
        if service == "my-ZEL_TailLog":
            return [s.path(), s.pick([v(), 0, 10, 5000000, 2147483647, -1, 4294967295])]
        if service in ("GetMediumFromId", "GetMediumInfoFromId", "IsMediumShared", "GetPlaylistFromId"):
            return [s.text(), s.medium_id()]
        if service == "GetMediumListInfoFromId":
            return [s.text(), [s.medium_id() for _ in range(s.pick([0, 1, 4]))]]
        if service in ("SetPlayPosition", "SetPlaylistPlayPosition"):
            return [s.text(), s.medium_id(), v(), v()]
        if service.startswith("Playlist"):
            return [s.text(), s.medium_id()] + [s.medium_id() if s.chance(0.5) else v() for _ in range(s.pick([0, 1, 3]))]
        if service == "MultiRequest":
            return [[s.pick(SATELLITES + [s.text()]), s.pick(OPERATIONS + [s.text()]), v()] if s.chance(0.8) else v()
                    for _ in range(s.pick([0, 1, 3, 16, 40]))]
        if service in ("QueryFileSize", "CreateZip"):
            # Only scratch files, ids of other owners and names that do not exist: never a big tree.
            return [s.pick(["", "x", "a.zip"])] + [s.medium_id(local_only_scratch=True)
                                                   for _ in range(s.pick([0, 1, 2, 5]))]
        if service == "DeleteTempFile":
            victim = s.scratch.victim
            targets = self.archives[-3:] + [
                s.temp + "..\\..\\..\\..\\" + Scratch.win(victim)[3:], Scratch.win(victim), s.temp + "Zuvzz.tmp",
                s.temp + s.pick(["..", "", ".", "sub\\..\\Zuvzz.tmp", "\\\\?\\x"]), s.text(), s.temp + s.text()]
            target = s.pick(targets)
            return [s.text(200), target]
        if service == "ZipLogs":
            return s.pick([None, "Logs", "Zel", "..", "\\Logs", "C:\\", "Logs\\..\\..", 5, s.text(500)])
        if service in ("Register Custom MediumId", "Register Custom DVR"):
            return [s.text(300) for _ in range(s.pick([0, 1, 3, 4, 5]))]
        if service == "GetDiskFolderContent":
            path = s.path() if s.chance(0.8) else s.pick(["", "%MYMUSIC%", "%MYCOMPUTER%", "%CSIDL_5%", "%CSIDL_17%",
                                                           "%CSIDL_999%", "%", "%%"])
            if path in s.scratch.folders:
                flags = s.pick([0x10, 0x13, 0x1F, -1, 2147483647, v()])
            else:  # recursive listings (0x10) only inside the scratch folder
                flags = s.pick([0, 1, 2, 3, 4, 7, 8, 15, -17, {"i4": 15}, {"ui4": 4294967279}, "15"])
            return [s.text(), path, flags, s.pick(["", "mp3,wav", ",", "*", s.text(2000)]),
                    s.pick(["title,type,size,dateModified", "", ",,", "path,path.extension,mediaType,creationDate",
                            "nosuch", s.text(2000)]),
                    s.pick(["title", "title:asc", "size:desc", "lastAccessTime:desc", "", ":", s.text(100)]),
                    s.pick([0, -1, 1, 2147483647, v()]), s.pick([0, -1, 1, 2147483647, v()])]
        if service == "GoogleDesktopSearch":
            return [s.text(), s.text(), s.pick([0, -1, 2147483647, v()]), s.pick([10, 0, -1, v()]), s.pick([0, v()])]
        return v()

    # Elements that name what a request may archive, delete or list recursively: never replaced.
    PROTECTED = {"DeleteTempFile": {1}, "QueryFileSize": "all", "CreateZip": "all", "GetDiskFolderContent": {1, 2}}

    def bend(self, service, shaped):
        """Keeps the input as shaped, or bends it: elements of other types, too few or too many, a typed
        or non-zero-based array, by reference, or an input of another kind altogether."""
        roll = self.rng.random()
        if not isinstance(shaped, list) or roll < 0.45:
            return shaped
        protected = self.PROTECTED.get(service, set())
        kept = lambda i: protected == "all" or i in protected
        items = list(shaped)
        if roll < 0.65:
            free = [i for i in range(len(items)) if not kept(i)]
            if free:
                items[self.pick(free)] = self.value()
            return items
        if roll < 0.75:
            extra = [self.value()] if not protected and self.chance(0.3) else []
            return items[: self.rng.randrange(len(items) + 1)] + extra
        if roll < 0.85:
            if all(isinstance(item, str) for item in items) and self.chance(0.5):
                of = "bstr"
            else:
                of = "variant"
            array = {"array": items, "of": of}
            if self.chance(0.6):
                array["lbound"] = self.pick([1, -1, 5, -2147483648, 2147483647, 2147483640])
            return array
        if roll < 0.9 or protected:
            return {"byref": items}
        return self.value()

    def request(self):
        services = [name for name in SERVICES if name not in NEVER_SENT] + ["NoSuchService", "getfile"]
        service = self.pick(services)
        if service == "ZipLogs":
            self.zip_logs += 1
            while service == "ZipLogs" and self.zip_logs > MAX_ZIP_LOGS:
                service = self.pick(services)
        line = {"service": service, "input": self.bend(service, self.shaped(service))}
        if self.chance(0.3):
            line["requester"] = self.pick(["", "Sat", "DiRuzov", "\u00e9\u0000x", "x" * 300])
        if self.chance(0.3):
            line["rc"] = self.pick([0, -1, 77, 2147483647, -2147483648])
        return line

    def note_answer(self, answer):
        """Archive paths in answers become DeleteTempFile targets."""
        output = answer.get("output") if isinstance(answer, dict) else None
        if isinstance(output, list) and output and isinstance(output[0], str) and output[0].endswith(".tmp"):
            self.archives.append(output[0])

    def satellite_script(self):
        """Canned answers of odd shapes for the operations the module forwards."""
        script = {}
        for target in SATELLITES[:-1]:
            ops = {}
            for op in OPERATIONS:
                roll = self.rng.random()
                if roll < 0.15:
                    continue  # not scripted: status [-1], empty result
                if roll < 0.25:
                    ops[op] = {"hresult": self.pick([-2147467259, -2147024809, 1])}
                elif roll < 0.4:
                    ops[op] = {"rc": self.pick([0, 1, -1]), "result": self.value(1)}
                else:
                    files = self.scratch.files
                    answer = self.pick([
                        ["a", "b", None, "c", "d"], [self.pick(files), "audio/mpeg", 5, None],
                        [[self.pick(files), "x", 1], [None], []], "PL1", 7, None, [[]], {"bstr": None},
                        [self.value(2) for _ in range(self.pick([0, 2, 5, 13]))],
                        [self.pick(files)] * self.pick([1, 5]), {"array": ["x"], "of": "bstr", "lbound": 1}])
                    ops[op] = {"rc": self.pick([0, 0, 0, 1, -1, 404]), "answer": answer}
            script[target] = ops
        return self.storable(script)

    @staticmethod
    def storable(value):
        """A script value the host can load: stored, not passed, so no reference, and arrays whose
        indices fit (the host refuses to start otherwise)."""
        if isinstance(value, dict):
            if "byref" in value:
                return Generator.storable(value["byref"])
            if abs(value.get("lbound", 0)) > 1000:
                value["lbound"] = 1
            return {key: Generator.storable(item) for key, item in value.items()}
        if isinstance(value, list):
            return [Generator.storable(item) for item in value]
        return value


class Host:
    """zelhost serve --stdio with lines written and read on threads, so that no wait is unbounded."""

    def __init__(self, command, cwd):
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, cwd=cwd)
        self.lines = queue.Queue()
        self.outgoing = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=self._write, daemon=True).start()
        self.errors = []  # the last lines of its standard error, for reports
        threading.Thread(target=self._read_errors, daemon=True).start()

    def _read_errors(self):
        for raw in self.process.stderr:
            self.errors = (self.errors + [raw.decode("utf-8", "replace").rstrip()[:300]])[-3:]

    def _read(self):
        for raw in self.process.stdout:
            self.lines.put(raw.decode("utf-8", "replace").rstrip("\r\n"))
        self.lines.put(None)

    def _write(self):
        while True:
            data = self.outgoing.get()
            try:
                if data is None:
                    self.process.stdin.close()
                    return
                self.process.stdin.write(data)
                self.process.stdin.flush()
            except (BrokenPipeError, OSError, ValueError):
                return

    def ask(self, line, timeout):
        """The answer line; None when the output ended; raises queue.Empty when none came in time."""
        self.outgoing.put(line.encode("utf-8") + b"\n")
        return self.lines.get(timeout=timeout)

    def finish(self, timeout):
        """Closes the input; the exit status, or None when the host did not end in time (it is then ended)."""
        self.outgoing.put(None)
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def run_seed(args, seed, deadline, fuzz_root, temp_folder, engine_url, report):
    """Sends one seed's requests to a host of its own. Returns (answered, failures)."""
    folder = os.path.join(fuzz_root, str(seed))
    scratch = Scratch(os.path.join(folder, "scratch"))
    generator = Generator(seed, scratch, temp_folder)
    satellites = os.path.join(folder, "satellites.json")
    with open(satellites, "w") as out:
        json.dump(generator.satellite_script(), out)
    options = ["--broker", args.broker, "--satellites", Scratch.win(satellites), "--search-url", engine_url]
    host = Host([args.runner, args.zelhost] + options + ["serve", "--stdio"], cwd=scratch.root)
    log_path = os.path.join(folder, "requests.jsonl")
    answered = failures = 0
    started = time.monotonic()
    with open(log_path, "w", encoding="utf-8") as log:
        for index in range(args.count):
            if time.monotonic() > deadline:
                report(f"seed {seed}: budget spent after {index} requests")
                break
            line = json.dumps(generator.request())
            log.write(line + "\n")
            log.flush()
            problem = None
            try:
                asked = time.monotonic()
                answer = host.ask(line, args.timeout)
                if args.slow and time.monotonic() - asked > args.slow:
                    report(f"slow: {time.monotonic() - asked:.2f} s {line[:200]}")
                if answer is None:
                    problem = f"the host ended (exit status {host.finish(10)})"
                else:
                    try:
                        parsed = json.loads(answer)
                        if not isinstance(parsed, dict) or not ({"rc", "output"} <= parsed.keys() or "error" in parsed):
                            problem = "an answer of the wrong form: " + answer[:300]
                        else:
                            generator.note_answer(parsed)
                    except ValueError:
                        problem = "an answer that is not JSON: " + answer[:300]
            except queue.Empty:
                problem = f"no answer within {args.timeout} s"
            if problem:
                failures += 1
                time.sleep(0.5)  # the host's last words
                report(f"FAIL seed {seed} request {index + 1}: {problem}\n  request: {line[:2000]}\n"
                       f"  host's last errors: {host.errors}\n"
                       f"  replay: {args.runner} {args.zelhost} {' '.join(options)} serve --stdio < {log_path}")
                host.kill()
                break
            answered += 1
    if not failures:
        status = host.finish(60)
        if status != 0:
            failures += 1
            report(f"FAIL seed {seed}: the host {'did not end' if status is None else f'ended with {status}'} "
                   f"once its input closed\n  replay: ... serve --stdio < {log_path}")
    if not os.path.exists(scratch.victim):
        failures += 1
        report(f"FAIL seed {seed}: a file outside the temporary folder was deleted; requests in {log_path}")
    report(f"seed {seed}: {answered} requests answered in {time.monotonic() - started:.1f} s")
    return answered, failures


def read_search_url(runner):
    """The desktop-search URL in the registry now, as (type, value), or None."""
    result = subprocess.run([runner, "reg", "query", "HKCU\\Software\\Google\\Google Desktop\\API", "/v",
                             "search_url"], capture_output=True, text=True, errors="replace")
    for row in result.stdout.splitlines():
        parts = row.strip().split(None, 2)
        if len(parts) >= 2 and parts[0] == "search_url" and parts[1].startswith("REG_"):
            return parts[1], parts[2] if len(parts) == 3 else ""
    return None


def restore_search_url(runner, saved):
    key = "HKCU\\Software\\Google\\Google Desktop\\API"
    if saved is None:
        command = [runner, "reg", "delete", key, "/v", "search_url", "/f"]
    else:
        command = [runner, "reg", "add", key, "/v", "search_url", "/t", saved[0], "/d", saved[1], "/f"]
    subprocess.run(command, capture_output=True)


def fuzz_arguments(description, seeds, count_help, budget_help):
    """The options that both fuzzers take."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("runner")
    parser.add_argument("zelhost")
    parser.add_argument("--seeds", default=seeds)
    parser.add_argument("--count", type=int, default=1000, help=count_help)
    parser.add_argument("--budget", type=float, default=0, help=budget_help)
    parser.add_argument("--timeout", type=float, default=20, help="seconds an answer may take")
    parser.add_argument("--broker", default="embedded", choices=["embedded", "local-server"],
                        help="where the host's broker lives")
    return parser


def main():
    parser = fuzz_arguments(__doc__.splitlines()[0], "1,2,3", "requests per seed", "seconds for all seeds; 0: no limit")
    parser.add_argument("--slow", type=float, default=0, help="print requests that take longer (seconds)")
    args = parser.parse_args()
    args.zelhost = os.path.abspath(args.zelhost)  # the host runs in the scratch folder
    seeds = [int(seed) for seed in args.seeds.split(",") if seed]
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    temps = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "Temp"))
    temp_windows = "C:\\users\\%s\\Temp\\" % os.path.basename(os.path.dirname(temps[0])) if temps else "C:\\Temp\\"
    fuzz_root = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(args.zelhost))), "fuzz")
    zel_xml = os.path.join(prefix, "drive_c", "ProgramData", "RodEzeduduv", "Zel", "zel.xml")
    saved_xml = open(zel_xml, "rb").read() if os.path.exists(zel_xml) else None
    archives_before = {path for temp in temps for path in glob.glob(os.path.join(temp, "Zuv*.tmp"))}
    saved_url = read_search_url(args.runner)

    def report(text):
        print(text, flush=True)

    budget = args.budget if args.budget > 0 else float("inf")
    deadline = time.monotonic() + budget
    engine = subprocess.Popen([args.runner, args.zelhost, "search-engine", "--seconds",
                               str(int(min(budget, 86400)) + 60)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    answered = failures = 0
    try:
        engine_url = json.loads(engine.stdout.readline().decode())["search_url"]
        for seed in seeds:
            done, failed = run_seed(args, seed, deadline, fuzz_root, temp_windows, engine_url, report)
            answered += done
            failures += failed
    finally:
        engine.kill()
        engine.wait()
        restore_search_url(args.runner, saved_url)
        if saved_xml is None:
            if os.path.exists(zel_xml):
                os.remove(zel_xml)
        else:
            with open(zel_xml, "wb") as out:
                out.write(saved_xml)
        for temp in temps:
            for path in set(glob.glob(os.path.join(temp, "Zuv*.tmp"))) - archives_before:
                os.remove(path)
    print(f"fuzz: {answered} passed, {failures} failed")
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
