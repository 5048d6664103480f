#!/usr/bin/env python3
"""Turns bench/run's measurements into its table and its JSON results.

    report.py SAMPLES.jsonl RESULTS.json STAMP RUNS

SAMPLES holds one {"metric": ..., "value": ...} per line; a metric measured
in every run appears once per run and is reported as its median.
"""
import json
import statistics
import sys
from collections import defaultdict

# Setup's stages in order, with the reference work that does the same job.
# Setup unpacks the parts as one stream while the rest download, and takes
# the package's digest as it passes: its download stage ends with the last
# part, and what is left of the stream then is its verify stage. The
# reference downloads, hashes each part, then pipes the parts into the same
# tar with sha256sum beside it.
STAGES = [
    ("manifest", []),
    ("download", ["winhttp_download_s", "reference_part_digests_s"]),
    ("verify", ["reference_extract_s"]),
    ("close application", []),
    ("smoke test", ["reference_smoke_s"]),
    ("activation", []),
]
LABELS = {"download": "download (unpacking beside it)", "verify": "the rest of the unpacking"}
# What a headless install may take against the reference tools, and an
# update's peak disk against the least it could be.
INSTALL_GOAL = 0.70
DISK_GOAL = 1.35
MIB = 1024 * 1024


def load(path):
    values = defaultdict(list)
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.strip():
                record = json.loads(line)
                values[record["metric"]].append(record["value"])
    return values


def median(values):
    return statistics.median(values) if values else None


def ratio(a, b):
    return a / b if a is not None and b else None


def main():
    samples_path, results_path, stamp, runs = sys.argv[1:5]
    values = load(samples_path)
    installs = values.pop("setup_install", [])
    failed = [i for i in installs if not i["ok"]]
    if failed:
        sys.exit("bench: an install failed: " + failed[0]["failure"])

    stage_times = defaultdict(list)
    stages = list(STAGES)
    for install in installs:
        for stage in install["stages"]:
            stage_times[stage["name"]].append(stage["seconds"])
            # A stage the table does not know (an older Setup's) is shown,
            # without reference work, so that the total still adds up.
            if stage["name"] != "finished" and all(stage["name"] != name for name, _ in stages):
                stages.append((stage["name"], []))
    m = {name: median(v) for name, v in values.items()}
    package = m["package_bytes"]
    setup_stage = {name: median(stage_times[name]) for name, _ in stages}
    reference_stage = {name: (sum(m[r] for r in refs) if refs else None) for name, refs in stages}
    setup_install = median([i["seconds"] for i in installs])
    reference_install = sum(v for v in reference_stage.values() if v is not None)
    download = setup_stage["download"]

    # The three updates: what each sent against what changed, compressed.
    update_sent = values["update_sent_bytes"]
    update_changed = values["update_changed_compressed_bytes"]
    sent_over_changed = median([a / b for a, b in zip(update_sent, update_changed)])
    peak_minus_idle_mib = (m["window_install_peak_kib"] - m["idle_peak_kib"]) / 1024
    # The least an update could take on disk: the package, its unpacked
    # content and the installation beside it.
    least_disk = package + 2 * m["installed_bytes"]
    disk_peak = max(values["update_disk_peak_bytes"] + values["whole_update_disk_peak_bytes"])
    # Had the installed version's parts gone once the new ones were verified
    # (not done: a failed update could then reuse nothing).
    disk_peak_without = max(values["update_disk_peak_without_installed_parts_bytes"] +
                            values["whole_update_disk_peak_without_installed_parts_bytes"])

    ratios = {
        "download_setup_over_curl": ratio(download, m["curl_download_s"]),
        "download_setup_over_winhttp": ratio(download, m["winhttp_download_s"]),
        # Setup's manifest, closing and activation stages have no reference work.
        "install_setup_over_reference_tools": ratio(setup_install, reference_install),
        "resume_sent_over_missing": m["resume_sent_over_missing"],
        "peak_memory_over_package": ratio(m["window_install_peak_kib"] * 1024, package),
        "cached_rerun_part_bytes_sent": max(values["cached_part_bytes"]),
        "peak_memory_minus_idle_mib": peak_minus_idle_mib,
        "update_sent_over_changed_compressed": sent_over_changed,
        "update_sent_over_package": ratio(m["update_sent_bytes"], package),
        "update_seconds_over_whole_package_update": ratio(m["update_seconds"], m["whole_update_seconds"]),
        "installer_cache_after_three_updates_over_package": ratio(m["cache_after_updates_bytes"], package),
        "update_peak_disk_over_least": ratio(disk_peak, least_disk),
        "update_peak_disk_over_least_without_installed_parts": ratio(disk_peak_without, least_disk),
    }
    figures = {
        "package_bytes": package,
        "parts": m["parts"],
        "download_seconds": {"setup": download, "curl": m["curl_download_s"], "winhttp": m["winhttp_download_s"]},
        "stages_seconds": {name: {"setup": setup_stage[name], "reference": reference_stage[name]}
                           for name, _ in stages},
        "install_seconds": {"setup_headless": setup_install, "reference_tools": reference_install,
                            "setup_window_to_ready": m["window_install_s"]},
        "resume": {"missing_bytes": m["resume_missing_bytes"], "sent_bytes": m["resume_sent_bytes"],
                   "seconds_to_ready": m["window_resumed_s"]},
        "peak_memory_kib": {"install": m["window_install_peak_kib"], "idle_window": m["idle_peak_kib"]},
        "cached_rerun": {"seconds_to_ready": m["window_cached_s"], "part_bytes_sent": m["cached_part_bytes"]},
        "release_exe_bytes": m["release_exe_bytes"],
        "updates": {"sent_bytes": update_sent, "changed_compressed_bytes": update_changed,
                    "seconds": m["update_seconds"], "whole_package_update_seconds": m["whole_update_seconds"],
                    "installer_cache_bytes_after_three": m["cache_after_updates_bytes"],
                    "peak_disk_bytes": disk_peak, "least_disk_bytes": least_disk,
                    "peak_disk_bytes_without_installed_parts": disk_peak_without},
    }
    results = {"when": stamp, "runs": int(runs), "ratios": ratios, "figures": figures,
               "samples": {**values, "setup_install": installs}}
    with open(results_path, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=2)
        f.write("\n")

    def seconds(v):
        return "—" if v is None else f"{v:.2f} s"

    def goal(value, most):
        return f"{value:.2f}  (goal at most {most:.2f}: {'met' if value <= most else 'NOT met'})"

    def rate(s):
        return f"{package / MIB / s:.0f} MiB/s" if s else "—"

    rows = [
        ("Ratios", None),
        ("download stage, Setup / curl", f"{ratios['download_setup_over_curl']:.2f}"),
        ("download stage, Setup / WinHTTP client", f"{ratios['download_setup_over_winhttp']:.2f}"),
        ("whole install, Setup / reference tools*",
         goal(ratios['install_setup_over_reference_tools'], INSTALL_GOAL)),
        ("resume, bytes sent / bytes missing", f"{ratios['resume_sent_over_missing']:.3f}"),
        ("peak memory / package size", f"{ratios['peak_memory_over_package']:.2f}"),
        ("cached rerun, part bytes sent (most)", f"{ratios['cached_rerun_part_bytes_sent']:.0f}"),
        ("peak memory minus idle", f"{peak_minus_idle_mib:.0f} MiB"),
        ("update, bytes sent / changed compressed", f"{sent_over_changed:.2f}"),
        ("update, bytes sent / package", f"{ratios['update_sent_over_package']:.3f}"),
        ("update, time / whole-package update", f"{ratios['update_seconds_over_whole_package_update']:.2f}"),
        ("installer cache after 3 updates / package",
         f"{ratios['installer_cache_after_three_updates_over_package']:.2f}"),
        ("update, peak disk / least possible", goal(ratios['update_peak_disk_over_least'], DISK_GOAL)),
        ("  the same without the installed parts**",
         f"{ratios['update_peak_disk_over_least_without_installed_parts']:.2f}"),
        ("Download stage", None),
        ("Setup (3 threads, parts verified)", f"{seconds(download)}  {rate(download)}"),
        ("curl (3 at a time)", f"{seconds(m['curl_download_s'])}  {rate(m['curl_download_s'])}"),
        ("WinHTTP client (3 at a time)", f"{seconds(m['winhttp_download_s'])}  {rate(m['winhttp_download_s'])}"),
        ("Install by stage (Setup | reference)", None),
    ]
    for name, _ in stages:
        rows.append((LABELS.get(name, name), f"{seconds(setup_stage[name])} | {seconds(reference_stage[name])}"))
    rows += [
        ("total, headless", f"{seconds(setup_install)} | {seconds(reference_install)}"),
        ("Setup's window, start to ready", seconds(m["window_install_s"])),
        ("Other runs", None),
        ("resumed: missing / sent", f"{m['resume_missing_bytes'] / MIB:.1f} MiB / {m['resume_sent_bytes'] / MIB:.1f} MiB"),
        ("resumed: start to ready", seconds(m["window_resumed_s"])),
        ("all cached: start to ready", seconds(m["window_cached_s"])),
        ("peak memory: install / idle window",
         f"{m['window_install_peak_kib'] / 1024:.0f} MiB / {m['idle_peak_kib'] / 1024:.0f} MiB"),
        ("updates: sent / changed (median)",
         f"{m['update_sent_bytes'] / MIB:.1f} MiB / {median(update_changed) / MIB:.1f} MiB"),
        ("updates: time, reused / whole package",
         f"{seconds(m['update_seconds'])} | {seconds(m['whole_update_seconds'])}"),
        ("update peak disk / least possible", f"{disk_peak / MIB:.0f} MiB / {least_disk / MIB:.0f} MiB"),
        ("package", f"{package / MIB:.1f} MiB in {m['parts']:.0f} parts"),
        ("TessalineSetup.exe (release)", f"{m['release_exe_bytes']:,.0f} bytes"),
    ]
    print(f"Tessaline Setup benchmark, {stamp}, median of {runs} runs")
    for label, value in rows:
        print(f"\n{label}" if value is None else f"  {label:<40} {value}")
    print("\n* the reference side has no work for the manifest, closing and activation stages")
    print("** had the installed version's cached parts been removed once the new parts were all there")
    if any(values["cached_part_bytes"]):
        sys.exit("bench: with every part cached, the server still sent part bytes")


if __name__ == "__main__":
    main()
