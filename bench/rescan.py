#!/usr/bin/env python3
"""bench/run rescan: a second `vantreel scan` with nothing changed on this machine, after a
first one (`scan --full`) that every source ran in. vantreel's own settings, results and
caches live in a sandbox (the XDG folders); the tools keep this machine's HOME. Median of 5
second scans (target 1.0 s). Then, in a sandbox of its own (a HOME whose .npmrc moves npm's
global prefix into it), a package installed by hand between two plain scans must be in the
second one. The last line is the median."""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROUNDS = 5


def sandbox_env(root, home=None):
    env = dict(os.environ)
    for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"):
        env[name] = os.path.join(root, name.lower())
        os.makedirs(env[name], exist_ok=True)
    if home:
        env["HOME"] = home
    return env


def scan(vantreel, env, *extra):
    start = time.monotonic()
    result = subprocess.run([vantreel, "--accept-terms", "scan", "--json", *extra], env=env, capture_output=True,
                            text=True, timeout=900)
    seconds = time.monotonic() - start
    if result.returncode != 0:
        sys.exit(f"rescan: vantreel scan failed: {result.stderr[-2000:]}")
    return seconds, json.loads(result.stdout)


def install_by_hand(prefix, name, version):
    folder = os.path.join(prefix, "lib", "node_modules", name)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "package.json"), "w") as out:
        json.dump({"name": name, "version": version}, out)


def seen_after_install(vantreel):
    """A package installed between two plain scans is in the second."""
    if not shutil.which("npm"):
        print("rescan: npm is not installed; the installed-between check is skipped")
        return
    with tempfile.TemporaryDirectory(prefix="vt-rescan-npm-") as root:
        home = os.path.join(root, "home")
        prefix = os.path.join(home, "npm-global")
        os.makedirs(home)
        npmrc = os.path.expanduser("~/.npmrc")
        settings = open(npmrc).read() if os.path.exists(npmrc) else ""
        with open(os.path.join(home, ".npmrc"), "w") as out:
            out.write(settings + f"\nprefix={prefix}\nupdate-notifier=false\n")
        install_by_hand(prefix, "left-pad", "1.0.0")
        env = sandbox_env(root, home)
        listed = json.loads(subprocess.run([vantreel, "settings", "list", "--json"], env=env, capture_output=True,
                                           text=True).stdout)
        keys = listed.get("settings", listed)  # the names sit under "settings" beside "schemaVersion"
        preferences = {"DidApplyFirstLaunchDefaults": True, "hasAcceptedOnboardingTerms_v1": True}
        preferences.update({key: False for key in keys if key.startswith("Show")})
        preferences["ShowNpm"] = True
        config = os.path.join(env["XDG_CONFIG_HOME"], "vantreel")
        os.makedirs(config, exist_ok=True)
        with open(os.path.join(config, "settings.json"), "w") as out:
            json.dump(preferences, out)
        scan(vantreel, env, "--all")
        install_by_hand(prefix, "semver", "6.0.0")
        _, report = scan(vantreel, env, "--all")
        names = {item["name"] for item in report.get("items", []) if item.get("type") == "NPM Global"}
        if "semver" not in names:
            sys.exit(f"rescan: semver, installed between two scans, is not in the second: {sorted(names)}")
        print("rescan: a package installed between two scans is in the second (npm, semver 6.0.0)")


def main():
    vantreel = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="vt-rescan-") as root:
        env = sandbox_env(root)
        first, _ = scan(vantreel, env, "--full")
        times = []
        for _ in range(ROUNDS):
            seconds, report = scan(vantreel, env)
            times.append(seconds)
        reason = report.get("scan", {}).get("cacheReason", "")
        print(f"rescan: first scan --full {first:.2f} s; second scans {', '.join(f'{t:.2f}' for t in times)} s "
              f"({reason})")
    seen_after_install(vantreel)
    print(f"rescan: second scan with nothing changed, median of {ROUNDS}: {statistics.median(times):.2f} s "
          f"(target 1.00)")


if __name__ == "__main__":
    main()
