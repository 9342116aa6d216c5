#!/usr/bin/env python3
"""bench/run machine: every source enabled on this machine, scanned alone by vantreel
(`scan --full`) against the tool's own command that answers the same question, taking
turns, 5 rounds, medians, the answers compared (the same names, installed and latest
versions). Then the whole scan against its slowest source alone. Prints each ratio and,
last, the worst source ratio.

vantreel's own settings, results and caches live in a sandbox (the XDG folders); the tools
keep this machine's HOME, so they read the user's own configuration, as a user's run would.
A source whose tool needs an index this machine cannot reach, and for which no loopback
index is set up here, is named and left out of the ratios."""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROUNDS = 5

# Per source: the settings key that shows it, the item type of its rows, and the peer: the
# tool's own command answering "what is outdated", and how to read its answer into
# {(name, installed, latest)}.


def npm_answer(text):
    rows = set()
    for name, entry in (json.loads(text or "{}") or {}).items():
        entry = entry[0] if isinstance(entry, list) else entry
        current, latest = entry.get("current"), entry.get("latest")
        if current and latest and current != latest:
            rows.add((name, current, latest))
    return rows


def held_apt_packages():
    out = subprocess.run(["apt-mark", "showhold"], capture_output=True, text=True).stdout
    return set(out.split())


def apt_answer(text):
    held = held_apt_packages()
    rows = set()
    for line in text.splitlines():
        # "bash/oldstable 5.2.15-2+b13 amd64 [upgradable from: 5.2.15-2+b8]"
        if "[upgradable from: " not in line:
            continue
        name = line.split("/", 1)[0]
        fields = line.split()
        rows.add((name, line.rsplit("[upgradable from: ", 1)[1].rstrip("]"), fields[1]))
    return {row for row in rows if row[0] not in held}


SOURCES = {
    "npm": {"toggle": "ShowNpm", "type": "NPM Global", "peer": ["npm", "outdated", "-g", "--json"],
            "answer": npm_answer},
    "apt": {"toggle": "ShowApt", "type": "apt", "peer": ["apt", "list", "--upgradable"],
            "answer": apt_answer},
}
# Enabled here but left out, with the reason.
UNREACHABLE = {
    "pip": "PyPI is unreachable from this machine and pip's index cannot be moved to loopback "
           "without changing the user's pip configuration",
    "pipx": "PyPI is unreachable from this machine",
    "gem": "rubygems.org is unreachable from this machine",
    "cargo": "crates.io is unreachable from this machine",
    "go": "the Go module proxy answers only module downloads here",
    "composer": "Packagist is unreachable from this machine",
    "rustup": "the Rust release server is unreachable from this machine",
}


class Sandbox:
    """vantreel's XDG folders, with the preferences showing only `toggles`."""

    def __init__(self, vantreel, toggles):
        self.dir = tempfile.TemporaryDirectory(prefix="vt-machine-")
        root = self.dir.name
        self.env = dict(os.environ)
        for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"):
            self.env[name] = os.path.join(root, name.lower())
            os.makedirs(self.env[name])
        self.vantreel = vantreel
        if toggles is not None:
            keys = json.loads(self.run(["settings", "list", "--json"]).stdout)
            preferences = {"DidApplyFirstLaunchDefaults": True, "hasAcceptedOnboardingTerms_v1": True}
            preferences.update({key: False for key in keys if key.startswith("Show")})
            preferences.update({key: True for key in toggles})
            config = os.path.join(self.env["XDG_CONFIG_HOME"], "vantreel")
            os.makedirs(config, exist_ok=True)
            with open(os.path.join(config, "com.corvanel.Vantreel.json"), "w") as out:
                json.dump(preferences, out)

    def run(self, arguments):
        return subprocess.run([self.vantreel, "--accept-terms"] + arguments, env=self.env, capture_output=True,
                              text=True, timeout=900)


def our_answer(report, item_type):
    rows = set()
    for item in report.get("items", []):
        if item.get("type") == item_type and item.get("updateAvailable"):
            rows.add((item["name"], item["version"], item.get("latestVersion", "")))
    return rows


def timed(function):
    start = time.monotonic()
    result = function()
    return time.monotonic() - start, result


def enabled_sources(vantreel):
    """The sources this machine's first launch enables and whose tool is found."""
    sandbox = Sandbox(vantreel, None)
    managers = json.loads(sandbox.run(["managers", "--json"]).stdout)
    return [m["id"] for m in managers if m.get("enabled") and m.get("found", m.get("installed"))]


def measure_source(vantreel, source):
    spec = SOURCES[source]
    sandbox = Sandbox(vantreel, [spec["toggle"]])
    ours, peers = [], []
    for round_number in range(ROUNDS):
        # Taking turns, each side first in every other round.
        order = ["ours", "peer"] if round_number % 2 == 0 else ["peer", "ours"]
        for side in order:
            if side == "ours":
                seconds, result = timed(lambda: sandbox.run(["scan", "--full", "--json"]))
                if result.returncode != 0:
                    sys.exit(f"machine: {source}: vantreel scan failed: {result.stderr[-2000:]}")
                answer = our_answer(json.loads(result.stdout), spec["type"])
                ours.append(seconds)
            else:
                seconds, result = timed(lambda: subprocess.run(spec["peer"], capture_output=True, text=True,
                                                               timeout=900))
                peer_answer = spec["answer"](result.stdout)
                peers.append(seconds)
        if answer != peer_answer:
            print(f"machine: {source}: the answers differ", file=sys.stderr)
            for row in sorted(peer_answer - answer):
                print(f"  only {' '.join(spec['peer'])}: {row}", file=sys.stderr)
            for row in sorted(answer - peer_answer):
                print(f"  only vantreel: {row}", file=sys.stderr)
            sys.exit(1)
    return statistics.median(ours), statistics.median(peers), len(answer)


def measure_whole(vantreel):
    sandbox = Sandbox(vantreel, None)
    times = []
    for _ in range(ROUNDS):
        seconds, result = timed(lambda: sandbox.run(["scan", "--full", "--json"]))
        if result.returncode != 0:
            sys.exit(f"machine: whole scan failed: {result.stderr[-2000:]}")
        times.append(seconds)
    return statistics.median(times)


def measure_alone(vantreel, source):
    """Our scan of a source with no peer here, alone: for the whole scan's slowest source."""
    sandbox = Sandbox(vantreel, [toggle_of(vantreel, source)])
    return statistics.median(timed(lambda: sandbox.run(["scan", "--full", "--json"]))[0] for _ in range(ROUNDS))


def toggle_of(vantreel, source):
    sandbox = Sandbox(vantreel, None)
    for manager in json.loads(sandbox.run(["managers", "--json"]).stdout):
        if manager["id"] == source:
            return manager.get("toggle") or manager.get("setting")
    return None


def main():
    vantreel = sys.argv[1]
    enabled = enabled_sources(vantreel)
    print(f"machine: sources enabled here: {', '.join(enabled)}")
    ratios = {}
    alone = {}
    for source in enabled:
        if source not in SOURCES:
            reason = UNREACHABLE.get(source, "no peer command defined for it")
            print(f"machine: {source}: left out ({reason})")
            continue
        ours, peer, found = measure_source(vantreel, source)
        ratios[source] = ours / peer
        alone[source] = ours
        print(f"machine: {source}: vantreel scan --full {ours:.2f} s, {' '.join(SOURCES[source]['peer'])} "
              f"{peer:.2f} s (medians of {ROUNDS}, the same {found} outdated items); ratio {ratios[source]:.2f}")
    for source in enabled:
        if source in alone:
            continue
        toggle = toggle_of(vantreel, source)
        if toggle:
            alone[source] = measure_alone(vantreel, source)
            print(f"machine: {source}: vantreel scan --full alone {alone[source]:.2f} s (median of {ROUNDS})")
    whole = measure_whole(vantreel)
    slowest = max(alone, key=alone.get)
    print(f"machine: whole scan --full {whole:.2f} s; slowest source alone {slowest} {alone[slowest]:.2f} s; "
          f"ratio {whole / alone[slowest]:.2f} (target 1.10)")
    worst = max(ratios, key=ratios.get)
    print(f"machine: worst ratio vantreel/tool: {worst} {ratios[worst]:.2f} (target 1.00)")


if __name__ == "__main__":
    main()
