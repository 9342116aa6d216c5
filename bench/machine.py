#!/usr/bin/env python3
"""bench/run machine [SOURCE...]: every source enabled on this machine (or those named),
scanned alone by vantreel (`scan --full`, each time in a new sandbox, so that no registry
answer of an earlier round is reused) against the tool's own command that answers the
same question, taking turns, 5 rounds, medians, the answers compared (the same names,
installed and latest versions). Then the whole scan against its slowest source alone,
taking turns too. Prints each ratio and, last, the worst source ratio.

vantreel's own settings, results and caches live in a sandbox (the XDG folders). npm and apt
keep this machine's HOME, so they read the user's own configuration, as a user's run would.
pip and RubyGems ask indexes this machine cannot reach: for them both sides run with a
sandboxed HOME whose tool configuration (pip.conf, .gemrc; for our RubyGems look-ups the
endpoint variable) names an index on loopback serving the packages installed here, half of
them with a newer version. Nothing of this machine's packages is changed. A source with no
peer here is named and left out of the ratios."""

import gzip
import json
import os
import resource
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ROUNDS = int(os.environ.get("VT_BENCH_ROUNDS", "5"))  # fewer only to try the benchmark out
# Two runs of about 10 ms each are mostly the two process starts: five of each leave their
# ratio to chance (0.84 to 1.04 in four runs of the same go source), so such a source takes
# three times the rounds.
QUICK = 0.05
TIMEOUT = 900


def settings_keys(document):
    """The names of `settings list --json`, whichever shape it has."""
    return list(document.get("settings", document)) if isinstance(document, dict) else list(document)


def managers_of(document):
    return document.get("sources", []) if isinstance(document, dict) else document


# ---------------------------------------------------------------------------------------
# A loopback HTTP server answering fixed paths.


class Loopback:
    def __init__(self):
        self.routes = {}  # path -> (content type, bytes)
        self.requests = 0
        routes = self.routes
        server_self = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                server_self.requests += 1
                path = self.path.split("?", 1)[0]
                found = routes.get(path)
                if found is None and not path.endswith("/"):
                    found = routes.get(path + "/")
                if found is None:
                    body = b"not found\n"
                    self.send_response(404)
                    self.send_header("Content-Type", "text/plain")
                else:
                    content_type, body = found
                    self.send_response(200)
                    self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_HEAD(self):
                self.do_GET()

            def log_message(self, *arguments):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    @property
    def base(self):
        return f"http://127.0.0.1:{self.server.server_address[1]}"

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def bumped(version):
    """The version after `version`: its last number plus one ("1.2.3" -> "1.2.4")."""
    match = re.match(r"^(\d+(?:\.\d+)*)", version)
    if not match:
        return None
    parts = [int(part) for part in match.group(1).split(".")]
    parts[-1] += 1
    return ".".join(str(part) for part in parts)


def newer_half(names):
    """Every other name, in sorted order, gets a newer version on the loopback index."""
    return set(sorted(names)[::2])


# ---------------------------------------------------------------------------------------
# Sources: per source the settings key that shows it, the item type of its rows, how to set
# up both sides (environment, loopback index) and the peer: the tool's own command answering
# "what is outdated", run as a user at their best would (several at once where it takes
# several), read into {(name, installed, latest)}.


class Source:
    toggle = None
    item_type = None
    description = None

    def prepare(self, work):
        """Sets up what both sides need; returns the environment both run in."""
        return dict(os.environ)

    def peer(self, env):
        raise NotImplementedError

    def ours(self, item):
        return (item["name"], item["version"], item.get("latestVersion", ""))

    def close(self):
        pass


def run_tool(command, env):
    return subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT, env=env)


class Npm(Source):
    toggle, item_type = "ShowNpm", "NPM Global"
    description = "npm outdated -g --json"

    def peer(self, env):
        rows = set()
        text = run_tool(["npm", "outdated", "-g", "--json"], env).stdout
        for name, entry in (json.loads(text or "{}") or {}).items():
            entry = entry[0] if isinstance(entry, list) else entry
            current, latest = entry.get("current"), entry.get("latest")
            if current and latest and current != latest:
                rows.add((name, current, latest))
        return rows


class Apt(Source):
    toggle, item_type = "ShowApt", "apt"
    description = "apt list --upgradable"

    def prepare(self, work):
        out = subprocess.run(["apt-mark", "showhold"], capture_output=True, text=True).stdout
        self.held = set(out.split())
        return dict(os.environ)

    def peer(self, env):
        rows = set()
        for line in run_tool(["apt", "list", "--upgradable"], env).stdout.splitlines():
            # "bash/oldstable 5.2.15-2+b13 amd64 [upgradable from: 5.2.15-2+b8]"
            if "[upgradable from: " not in line:
                continue
            name = line.split("/", 1)[0]
            fields = line.split()
            rows.add((name, line.rsplit("[upgradable from: ", 1)[1].rstrip("]"), fields[1]))
        return {row for row in rows if row[0] not in self.held}


def sandbox_home_env(work):
    """This machine's environment with HOME in the sandbox and no PIP_* or GEM* settings of
    the session: both sides then read only the configuration written below."""
    home = os.path.join(work, "home")
    os.makedirs(home, exist_ok=True)
    env = {name: value for name, value in os.environ.items()
           if not name.startswith("PIP_") and not name.startswith("GEM") and name != "BUNDLE_GEMFILE"}
    env["HOME"] = home
    return env, home


def normalized(name):
    return re.sub(r"[-_.]+", "-", name).lower()


class Pip(Source):
    toggle, item_type = "ShowPip", "Python (pip)"
    loopback = True
    description = "pip list --outdated (each python at once)"

    def interpreters(self, env, config):
        """The pythons our scan asks, each with the projects it shows (a project two pythons have
        is the one's that comes first), from our own listing with no index at all: pip then asks
        the same pythons, and keeps the same rows of each."""
        with open(os.path.join(config, "pip.conf"), "w") as out:
            out.write("[global]\nno-index = true\ndisable-pip-version-check = true\n")
        sandbox = Sandbox(self.vantreel, [self.toggle], env)
        sandbox.scan("pip listing")
        owners = {}
        for item in json.loads(sandbox.run(["list", "--all", "--json"]).stdout).get("items", []):
            if item.get("type") == self.item_type and item.get("sourceIdentifier"):
                owners[normalized(item["name"])] = item["sourceIdentifier"]
        return sorted(set(owners.values())), owners

    def prepare(self, work):
        env, home = sandbox_home_env(work)
        # The legacy place: read whatever XDG_CONFIG_HOME a side has.
        config = os.path.join(home, ".pip")
        os.makedirs(config, exist_ok=True)
        self.python, self.owners = self.interpreters(env, config)
        installed = {}
        for python in self.python:
            text = run_tool([python, "-m", "pip", "list", "--format=json"], env).stdout
            for entry in json.loads(text or "[]"):
                installed.setdefault(normalized(entry["name"]), set()).add(entry["version"])
        self.index = Loopback()
        newer = newer_half(installed)
        for project, versions in installed.items():
            offered = set(versions)
            if project in newer:
                later = bumped(max(versions, key=lambda v: [int(x) for x in re.findall(r"\d+", v)]))
                if later:
                    offered.add(later)
            links = []
            for version in sorted(offered):
                wheel = f"{project.replace('-', '_')}-{version}-py3-none-any.whl"
                links.append(f'<a href="/files/{wheel}">{wheel}</a><br/>')
            page = "<!DOCTYPE html><html><body>\n" + "\n".join(links) + "\n</body></html>\n"
            self.index.routes[f"/simple/{project}/"] = ("text/html; charset=utf-8", page.encode())
        with open(os.path.join(config, "pip.conf"), "w") as out:
            out.write(f"[global]\nindex-url = {self.index.base}/simple/\ndisable-pip-version-check = true\n")
        self.projects = len(installed)
        return env

    def peer(self, env):
        def outdated(python):
            result = run_tool([python, "-m", "pip", "list", "--outdated", "--format=json"], env)
            return json.loads(result.stdout or "[]")

        rows = set()
        with ThreadPoolExecutor(max_workers=max(len(self.python), 1)) as pool:
            for python, entries in zip(self.python, pool.map(outdated, self.python)):
                # Each project as the python that shows it says.
                for entry in entries:
                    if self.owners.get(normalized(entry["name"])) == python:
                        rows.add((normalized(entry["name"]), entry["version"], entry["latest_version"]))
        return rows

    def ours(self, item):
        return (normalized(item["name"]), item["version"], item.get("latestVersion", ""))

    def close(self):
        self.index.close()


# Writes the RubyGems index files of the gems installed here (specs.4.8.gz and its
# latest/prerelease siblings, as `gem` fetches them) and the API's latest.json answers.
RUBY_INDEX = r"""
require "json"
require "rubygems"
out = ARGV[0]
installed = Hash.new { |hash, name| hash[name] = [] }
Gem::Specification.each { |spec| installed[spec.name] << spec.version }
names = installed.keys.sort
newer = names.each_with_index.select { |_, index| index.even? }.map(&:first)
tuples = []
latest = {}
installed.each do |name, versions|
  offered = versions.uniq
  if newer.include?(name)
    segments = versions.max.release.segments
    last = segments.rindex { |segment| segment.is_a?(Integer) }
    if last
      segments = segments[0..last]
      segments[last] += 1
      offered << Gem::Version.new(segments.join("."))
    end
  end
  offered.each { |version| tuples << [name, version, "ruby"] }
  latest[name] = offered.reject(&:prerelease?).max.to_s
end
tuples.sort_by! { |name, version, _| [name, version] }
released = tuples.reject { |_, version, _| version.prerelease? }
newest = released.group_by(&:first).map { |_, list| list.max_by { |_, version, _| version } }
File.binwrite(File.join(out, "specs.4.8.gz"), Gem::Util.gzip(Marshal.dump(released)))
File.binwrite(File.join(out, "latest_specs.4.8.gz"), Gem::Util.gzip(Marshal.dump(newest)))
File.binwrite(File.join(out, "prerelease_specs.4.8.gz"),
              Gem::Util.gzip(Marshal.dump(tuples.select { |_, version, _| version.prerelease? })))
File.write(File.join(out, "latest.json"), JSON.generate(latest))
"""


class Gems(Source):
    toggle, item_type = "ShowGems", "Ruby Gems"
    loopback = True
    description = "gem outdated"

    def prepare(self, work):
        env, home = sandbox_home_env(work)
        folder = os.path.join(work, "gem-index")
        os.makedirs(folder)
        subprocess.run(["ruby", "-e", RUBY_INDEX, folder], env=env, check=True, timeout=TIMEOUT)
        self.index = Loopback()
        for name in ("specs.4.8.gz", "latest_specs.4.8.gz", "prerelease_specs.4.8.gz"):
            with open(os.path.join(folder, name), "rb") as data:
                self.index.routes["/" + name] = ("application/octet-stream", data.read())
        latest = json.load(open(os.path.join(folder, "latest.json")))
        for name, version in latest.items():
            self.index.routes[f"/api/v1/versions/{name}/latest.json"] = (
                "application/json", json.dumps({"version": version}).encode())
        with open(os.path.join(home, ".gemrc"), "w") as out:
            out.write(f"---\n:sources:\n- {self.index.base}/\n:update_sources: false\n")
        env["VANTREEL_ENDPOINT_RUBYGEMS"] = self.index.base
        self.projects = len(latest)
        return env

    def peer(self, env):
        rows = set()
        for line in run_tool(["gem", "outdated"], env).stdout.splitlines():
            # "rake (13.0.6 < 13.0.7)"
            match = re.match(r"^(\S+) \((\S+) < (\S+)\)$", line.strip())
            if match:
                rows.add(match.groups())
        return rows

    def close(self):
        self.index.close()


class LeftOut(Exception):
    """A source whose peer cannot answer here, with the reason."""


# The sources below have registries this machine cannot reach and no loopback one yet: their
# peer stands only while nothing is installed, when the tool's own listing is the whole
# answer (nothing to look up) and both sides must say "nothing outdated".


class Pipx(Source):
    toggle, item_type = "ShowPipx", "Python (pipx)"
    description = "pipx list --json"

    def peer(self, env):
        venvs = json.loads(run_tool(["pipx", "list", "--json"], env).stdout or "{}").get("venvs", {})
        if venvs:
            raise LeftOut(f"{len(venvs)} pipx applications would need PyPI look-ups (no loopback index for pipx yet)")
        return set()


class Cargo(Source):
    toggle, item_type = "ShowCargo", "Cargo (Rust)"
    description = "cargo install --list"

    def peer(self, env):
        installed = [line for line in run_tool(["cargo", "install", "--list"], env).stdout.splitlines()
                     if line and not line.startswith(" ")]
        if installed:
            raise LeftOut(f"{len(installed)} crates would need look-ups on crates.io (no loopback registry yet)")
        return set()


class Go(Source):
    toggle, item_type = "ShowGo", "Go"
    description = "go version -m (GOBIN)"

    def peer(self, env):
        # One go start for both, as a script at its best asks: GOBIN, else GOPATH's first bin.
        lines = run_tool(["go", "env", "GOBIN", "GOPATH"], env).stdout.splitlines() + ["", ""]
        folder = lines[0].strip() or os.path.join(lines[1].strip().split(os.pathsep)[0], "bin")
        binaries = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        if binaries:
            run_tool(["go", "version", "-m"] + [os.path.join(folder, name) for name in binaries], env)
            raise LeftOut(f"{len(binaries)} Go programs would need the module proxy (no loopback proxy yet)")
        return set()


class Composer(Source):
    toggle, item_type = "ShowComposer", "Composer"
    description = "composer global outdated --format=json"

    def peer(self, env):
        result = run_tool(["composer", "global", "outdated", "--direct", "--format=json", "--no-interaction"], env)
        try:
            installed = json.loads(result.stdout or "{}").get("installed", [])
        except json.JSONDecodeError:
            installed = []  # no global composer.json: nothing installed
        if installed:
            raise LeftOut(f"{len(installed)} global packages would need Packagist (no loopback repository yet)")
        return set()


SOURCES = {"npm": Npm, "apt": Apt, "pip": Pip, "gems": Gems, "pipx": Pipx, "cargo": Cargo, "go": Go,
           "composer": Composer}
# Enabled here but left out, with the reason.
UNREACHABLE = {
    "rustup": "the Rust release server is unreachable from this machine",
}


class Sandbox:
    """vantreel's XDG folders, with the preferences showing only `toggles`."""

    def __init__(self, vantreel, toggles, env=None):
        self.dir = tempfile.TemporaryDirectory(prefix="vt-machine-")
        root = self.dir.name
        self.env = dict(env if env is not None else os.environ)
        for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"):
            self.env[name] = os.path.join(root, name.lower())
            os.makedirs(self.env[name])
        self.vantreel = vantreel
        if toggles is not None:
            keys = settings_keys(json.loads(self.run(["settings", "list", "--json"]).stdout))
            preferences = {"DidApplyFirstLaunchDefaults": True, "hasAcceptedOnboardingTerms_v1": True}
            preferences.update({key: False for key in keys if key.startswith("Show")})
            preferences.update({key: True for key in toggles})
            config = os.path.join(self.env["XDG_CONFIG_HOME"], "vantreel")
            os.makedirs(config, exist_ok=True)
            with open(os.path.join(config, "settings.json"), "w") as out:
                json.dump(preferences, out)

    def run(self, arguments):
        return subprocess.run([self.vantreel, "--accept-terms"] + arguments, env=self.env, capture_output=True,
                              text=True, timeout=TIMEOUT)

    def scan(self, what):
        result = self.run(["scan", "--full", "--json"])
        if result.returncode != 0:
            sys.exit(f"machine: {what}: vantreel scan failed ({result.returncode}): {result.stderr[-2000:]}")
        return json.loads(result.stdout)


def timed(function):
    start = time.monotonic()
    result = function()
    return time.monotonic() - start, result


def enabled_sources(vantreel):
    """The sources this machine's first launch enables and whose tool is found, and the
    settings key of each."""
    sandbox = Sandbox(vantreel, None)
    managers = managers_of(json.loads(sandbox.run(["managers", "--json"]).stdout))
    return {m["id"]: m.get("toggle") for m in managers if m.get("enabled") and m.get("found", m.get("installed"))}


def measure_source(vantreel, name):
    source = SOURCES[name]()
    source.vantreel = vantreel
    with tempfile.TemporaryDirectory(prefix=f"vt-machine-{name}-") as work:
        env = source.prepare(work)
        try:
            ours, peers = [], []
            differences = None
            rounds, round_number = ROUNDS, 0
            while round_number < rounds:
                # Taking turns, each side first in every other round.
                order = ["ours", "peer"] if round_number % 2 == 0 else ["peer", "ours"]
                for side in order:
                    if side == "ours":
                        # Each round in a new sandbox: nothing of the last round's registry
                        # answers is reused, and we do the tool's whole work, as it does.
                        sandbox = Sandbox(vantreel, [source.toggle], env)
                        seconds, report = timed(lambda: sandbox.scan(name))
                        answer = {source.ours(item) for item in report.get("items", [])
                                  if item.get("type") == source.item_type and item.get("updateAvailable")}
                        failed = [s for s in report.get("scanners", []) if s.get("state") != "finished"
                                  or s.get("latestVersionsUnknown")]
                        if failed:
                            print(f"machine: {name}: vantreel says {failed}", file=sys.stderr)
                        ours.append(seconds)
                    else:
                        seconds, peer_answer = timed(lambda: source.peer(env))
                        peers.append(seconds)
                if answer != peer_answer and differences is None:
                    differences = (sorted(peer_answer - answer), sorted(answer - peer_answer))
                round_number += 1
                if round_number == ROUNDS and max(statistics.median(ours), statistics.median(peers)) < QUICK:
                    rounds = 3 * ROUNDS
            if differences:
                print(f"machine: {name}: the answers differ", file=sys.stderr)
                for row in differences[0]:
                    print(f"  only {source.description}: {row}", file=sys.stderr)
                for row in differences[1]:
                    print(f"  only vantreel: {row}", file=sys.stderr)
            if not answer:
                print(f"machine: {name}: neither side found anything outdated", file=sys.stderr)
            return statistics.median(ours), statistics.median(peers), len(ours), len(answer), source, differences is None
        finally:
            source.close()


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def cold_scan(vantreel, toggles, what, cpu=None):
    """Seconds of one scan in a new sandbox; its processor time (the program's and its
    tools') is appended to `cpu` when given."""
    sandbox = Sandbox(vantreel, toggles)
    if toggles is None:
        # The first launch (looking for every tool, writing the preferences) happens before
        # the clock starts, as it did for the sources timed alone: only the scan is compared.
        sandbox.run(["settings", "list", "--json"])
    before = children_cpu()
    seconds = timed(lambda: sandbox.scan(what))[0]
    if cpu is not None:
        cpu.append(children_cpu() - before)
    return seconds


def cold_scans(vantreel, toggles, what):
    """Median seconds of ROUNDS scans, each in a new sandbox."""
    return statistics.median(cold_scan(vantreel, toggles, what) for _ in range(ROUNDS))


def measure_whole(vantreel, slowest, toggle):
    """The whole scan and its slowest source alone, taking turns as the sources and their tools
    do: a change of the machine's load between two phases of the benchmark then weighs on both
    sides alike. Medians of twice ROUNDS plus one each: the two sides are a few hundredths of a
    second apart, within what one round's noise can move either of them."""
    whole, alone, whole_cpu = [], [], []
    for round_number in range(2 * ROUNDS + 1):
        sides = [(whole, None, "whole scan"), (alone, [toggle], slowest)]
        for times, toggles, what in sides if round_number % 2 == 0 else reversed(sides):
            times.append(cold_scan(vantreel, toggles, what, whole_cpu if toggles is None else None))
    return statistics.median(whole), statistics.median(alone), statistics.median(whole_cpu)


def measure_alone(vantreel, name, toggle):
    """Our scan of a source with no peer here, alone: for the whole scan's slowest source."""
    return cold_scans(vantreel, [toggle], name)


def main():
    vantreel = sys.argv[1]
    wanted = sys.argv[2:]
    enabled = enabled_sources(vantreel)
    print(f"machine: sources enabled here: {', '.join(enabled)}; load: {os.getloadavg()[0]:.2f} "
          f"{os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f} on {os.cpu_count()} cores")
    ratios, alone, agreed = {}, {}, True
    for name in enabled:
        if wanted and name not in wanted:
            continue
        if name not in SOURCES:
            print(f"machine: {name}: left out ({UNREACHABLE.get(name, 'no peer command defined for it')})")
            continue
        try:
            ours, peer, rounds, found, source, same = measure_source(vantreel, name)
        except LeftOut as reason:
            print(f"machine: {name}: left out ({reason})")
            continue
        agreed = agreed and same
        ratios[name] = ours / peer
        # The whole scan runs as this machine is, unreachable indexes included: a source
        # measured against a loopback index is timed alone again below, as it is.
        if not getattr(source, "loopback", False):
            alone[name] = ours
        extra = f", {source.projects} projects on a loopback index" if hasattr(source, "projects") else ""
        verdict = f"the same {found} outdated items" if same else f"ANSWERS DIFFER ({found} outdated by vantreel)"
        print(f"machine: {name}: vantreel scan --full {ours:.3f} s, {source.description} {peer:.3f} s "
              f"(medians of {rounds}, {verdict}{extra}); ratio {ratios[name]:.2f}")
    if not wanted:
        for name, toggle in enabled.items():
            if name in alone or not toggle:
                continue
            alone[name] = measure_alone(vantreel, name, toggle)
            print(f"machine: {name}: vantreel scan --full alone {alone[name]:.2f} s (median of {ROUNDS})")
        slowest = max(alone, key=alone.get)
        whole, slowest_alone, whole_cpu = measure_whole(vantreel, slowest, enabled[slowest])
        print(f"machine: whole scan --full {whole:.2f} s; slowest source alone {slowest} {slowest_alone:.2f} s "
              f"(taking turns); ratio {whole / slowest_alone:.2f} (target 1.10)")
        # No schedule of the same work takes less than its processor time spread over every
        # core, however the sources wait on each other: the true floor when that is longer.
        cores = os.cpu_count() or 1
        floor = max(slowest_alone, whole_cpu / cores)
        print(f"machine: whole scan's processor time {whole_cpu:.2f} s (ours and the tools', median) on {cores} cores: "
              f"no scan can end before {floor:.2f} s; ratio to that floor {whole / floor:.2f}")
    if not ratios:
        sys.exit("machine: no source with a peer was measured")
    for name in sorted(ratios, key=ratios.get):
        print(f"machine: ratio vantreel/tool {name}: {ratios[name]:.2f}")
    worst = max(ratios, key=ratios.get)
    print(f"machine: worst ratio vantreel/tool: {worst} {ratios[worst]:.2f} (target 1.00)"
          + ("" if agreed else "; some answers differ (above)"))
    if not agreed:
        sys.exit(1)


if __name__ == "__main__":
    main()
