#!/usr/bin/env python3
"""Reads the benchmarks' JSON results and prints each figure beside its gSOAP peer and its floor, as Markdown.

Rows are named "<case>/round:<r>..."; a figure is the median over the rounds of its case.
"""
import json
import os
import re
import statistics
import sys
from pathlib import Path

TIME_SCALE = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load(directory):
    cases = {}
    for path in sorted(Path(directory).glob("*_bench.json")):
        for row in json.loads(path.read_text()).get("benchmarks", []):
            if row.get("run_type") == "aggregate" or row.get("error_occurred"):
                continue
            case = re.sub(r"/round:\d+", "", row["name"])
            case = case.replace("/real_time", "").replace("/iterations:1", "")
            cases.setdefault(case, []).append(row)
    return cases


def median(cases, case, metric):
    rows = cases.get(case)
    if not rows:
        return None
    values = []
    for row in rows:
        if metric == "seconds":
            values.append(row["real_time"] * TIME_SCALE[row["time_unit"]])
        elif metric == "cpu_seconds":
            values.append(row["cpu_time"] * TIME_SCALE[row["time_unit"]])
        elif metric in row:
            values.append(float(row[metric]))
    return statistics.median(values) if values else None


def fmt(value, digits=1):
    if value is None:
        return "n/a"
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    return f"{value:.{digits}f}"


def main():
    directory = sys.argv[1]
    cases = load(directory)
    rows = []

    def row(figure, dvl, peer="", floor="", vs_peer="", vs_floor="", target="", met=""):
        rows.append((figure, dvl, peer, floor, vs_peer, vs_floor, target, met))

    def ratio_of(a, b):
        return a / b if a is not None and b else None

    def x(value, suffix="x"):
        return "" if value is None else fmt(value, 2) + suffix

    def verdict(*checks):
        if any(c is None for c in checks):
            return ""
        return "met" if all(checks) else "**missed**"

    def at_most(value, limit):
        return None if value is None else value <= limit

    def at_least(value, limit):
        return None if value is None else value >= limit

    # 1. The small call: DVL, the gSOAP peer and plain libcurl against one server, one thread each.
    small = ("BM_SmallCall_DVLQuery", "BM_SmallCall_GSoapQuery", "BM_SmallCall_CurlFloor")
    dvl, peer, curl = (median(cases, c, "client_cpu_us") for c in small)
    vs_peer, vs_floor = ratio_of(dvl, peer), ratio_of(dvl, curl)
    row("small query (10 objects): client CPU µs/call", fmt(dvl), fmt(peer), fmt(curl) + " (libcurl)", x(vs_peer),
        x(vs_floor), "≤ 0.9x gSOAP, ≤ 1.4x floor", verdict(at_most(vs_peer, 0.9), at_most(vs_floor, 1.4)))
    dvl, peer, curl = (median(cases, c, "calls_per_s") for c in small)
    row("small query: calls/s", fmt(dvl, 0), fmt(peer, 0), fmt(curl, 0) + " (libcurl)", x(ratio_of(dvl, peer)),
        x(ratio_of(dvl, curl)))
    dvl, peer, curl = (median(cases, c, "server_cpu_us") for c in small)
    row("small query: server CPU µs/call (dvl-contentd)", fmt(dvl), fmt(peer), fmt(curl) + " (libcurl)",
        x(ratio_of(dvl, peer)), x(ratio_of(dvl, curl)))
    dvl = median(cases, "BM_SmallReply_DVLRead", "cpu_seconds")
    floor = median(cases, "BM_SmallReply_ReaderFloor", "cpu_seconds")
    row("small reply read: µs", fmt(dvl and dvl * 1e6), "", fmt(floor and floor * 1e6) + " (xmlTextReader)", "",
        x(ratio_of(dvl, floor)))

    # 2. The large reply, read from memory by each.
    dvl = median(cases, "BM_LargeReply_DVLRead", "cpu_seconds")
    peer = median(cases, "BM_LargeReply_GSoapRead", "cpu_seconds")
    floor = median(cases, "BM_LargeReply_ReaderFloor", "cpu_seconds")
    size = median(cases, "BM_LargeReply_DVLRead", "reply_MiB")
    vs_peer = ratio_of(dvl, peer)
    row(f"100k-object reply ({fmt(size)} MiB) read: client CPU ms", fmt(dvl and dvl * 1e3), fmt(peer and peer * 1e3),
        fmt(floor and floor * 1e3) + " (xmlTextReader)", x(vs_peer), x(ratio_of(dvl, floor)), "≤ 0.6x gSOAP",
        verdict(at_most(vs_peer, 0.6)))
    dvl, peer, floor = (median(cases, c, "peak_growth_MiB") for c in
                        ("BM_LargeReply_DVLPeakMemory", "BM_LargeReply_GSoapPeakMemory", "BM_LargeReply_ReaderPeakMemory"))
    times = median(cases, "BM_LargeReply_DVLPeakMemory", "x_reply")
    peer_times = median(cases, "BM_LargeReply_GSoapPeakMemory", "x_reply")
    row("100k-object reply read: peak RSS growth MiB", fmt(dvl), fmt(peer) + (f" ({x(peer_times, 'x reply')})" if peer_times else ""),
        fmt(floor) + " (xmlTextReader)", x(ratio_of(dvl, peer)), x(times, "x reply"), "≤ 1.5x reply",
        verdict(at_most(times, 1.5)))

    # 3. The attachment.
    dvl = median(cases, "BM_Attachment1GiB_DVLAddOutput", "bytes_per_second")
    curl = median(cases, "BM_Attachment1GiB_CurlFloor", "bytes_per_second")
    ratio = ratio_of(dvl, curl)
    row("1 GiB add-output: MB/s", fmt(dvl and dvl / 1e6), "", fmt(curl and curl / 1e6) + " (libcurl)", "", x(ratio),
        "≥ 0.9x floor", verdict(at_least(ratio, 0.9)))
    dvl = median(cases, "BM_Attachment1GiB_DVLAddOutput", "client_peak_rss_MiB")
    curl = median(cases, "BM_Attachment1GiB_CurlFloor", "client_peak_rss_MiB")
    row("1 GiB add-output: client peak RSS MiB", fmt(dvl), "", fmt(curl) + " (libcurl)", "", x(ratio_of(dvl, curl)),
        "≤ 32 MiB", verdict(at_most(dvl, 32)))
    dvl = median(cases, "BM_Attachment1GiB_DVLAddOutput", "client_cpu_s")
    curl = median(cases, "BM_Attachment1GiB_CurlFloor", "client_cpu_s")
    row("1 GiB add-output: client CPU s", fmt(dvl, 2), "", fmt(curl, 2) + " (libcurl)", "", x(ratio_of(dvl, curl)))

    # 4. Threads sharing one session, beside as many libcurl clients (a handle each).
    one = median(cases, "BM_SharedSession_DVLQuery/threads:1", "calls_per_s")
    # The floor's own gain from a second thread shows what the machine allows: on two cores with the
    # server in the same process, plain libcurl cannot double either.
    curl_one = median(cases, "BM_SharedSession_CurlFloor/threads:1", "calls_per_s")
    for threads in (1, 2, 4, 16):
        dvl = median(cases, f"BM_SharedSession_DVLQuery/threads:{threads}", "calls_per_s")
        curl = median(cases, f"BM_SharedSession_CurlFloor/threads:{threads}", "calls_per_s")
        target, met = "", ""
        if threads == 2:
            # How much of the cores the process used says whether the cores or the waits bound it.
            cores = median(cases, "BM_SharedSession_DVLQuery/threads:2", "cores_busy")
            target = f"≥ 1.8x 1 thread ({x(ratio_of(dvl, one))}; libcurl {x(ratio_of(curl, curl_one))}; {fmt(cores, 2)} of {os.cpu_count()} cores busy)"
            met = verdict(at_least(ratio_of(dvl, one), 1.8))
        elif threads == 4:  # what the session gives once the calls in flight keep both cores busy
            target = f"{x(ratio_of(dvl, one))} 1 thread (libcurl {x(ratio_of(curl, curl_one))})"
        elif threads == 16:
            target, met = "≥ 0.8x floor", verdict(at_least(ratio_of(dvl, curl), 0.8))
        row(f"{threads} thread(s), one session: calls/s", fmt(dvl, 0), "", fmt(curl, 0) + " (libcurl, handle per thread)",
            "", x(ratio_of(dvl, curl)), target, met)
        if threads == 2:
            # The same with the server 1 ms away: what sharing the session gives when the cores do not bound it.
            far_one = median(cases, "BM_RemoteSession_DVLQuery/threads:1", "calls_per_s")
            far_curl_one = median(cases, "BM_RemoteSession_CurlFloor/threads:1", "calls_per_s")
            far = median(cases, "BM_RemoteSession_DVLQuery/threads:2", "calls_per_s")
            far_curl = median(cases, "BM_RemoteSession_CurlFloor/threads:2", "calls_per_s")
            row("2 thread(s), one session, server 1 ms away: calls/s", fmt(far, 0), "",
                fmt(far_curl, 0) + " (libcurl, handle per thread)", "", x(ratio_of(far, far_curl)),
                f"≥ 1.8x 1 thread ({x(ratio_of(far, far_one))}; libcurl {x(ratio_of(far_curl, far_curl_one))})",
                verdict(at_least(ratio_of(far, far_one), 1.8)))

    # 5. Micro-benchmarks.
    for case, reference, label, unit, scale in (
        ("BM_Symbol_GetChar", "BM_Symbol_HashMapReference", "symbol getChar", "ns", 1e9),
        ("BM_Symbol_GetString", "BM_Symbol_HashMapReference", "symbol getString", "ns", 1e9),
        ("BM_QueryAssembly_DVL", "BM_QueryAssembly_WriterFloor", "query assembly (preExec + envelope)", "µs", 1e6),
        ("BM_SmallReplyWrite_DVL", "BM_SmallReplyWrite_WriterFloor", "small reply write", "µs", 1e6),
        ("BM_SmallReplyRead_DVL", "BM_SmallReplyRead_ReaderFloor", "small reply read", "µs", 1e6),
        ("BM_FailedLogon_UnknownUser", "BM_FailedLogon_WrongPassword", "failed logon, unknown user (server)", "ms", 1e3),
    ):
        dvl = median(cases, case, "cpu_seconds")
        ref = median(cases, reference, "cpu_seconds")
        what = ("unordered_map" if "Hash" in reference else "xmlTextWriter" if "Writer" in reference
                else "wrong password" if "Logon" in reference else "xmlTextReader")
        target = met = ""
        if "Logon" in case:
            # Equal time, or the time tells which accounts exist: the two within 20% of each other.
            failures = min(sum(r["iterations"] for r in cases.get(c, [])) for c in (case, reference))
            ratio = ratio_of(dvl, ref)
            target = f"0.8-1.2x ({failures} failures of each)"
            met = verdict(None if ratio is None else 0.8 <= ratio <= 1.2, failures >= 30)
        row(f"{label}: {unit}", fmt(dvl and dvl * scale, 1), "", fmt(ref and ref * scale, 1) + f" ({what})", "",
            x(ratio_of(dvl, ref)), target, met)

    machine = Path(directory, "machine.txt")
    if machine.exists():
        print("```")
        print(machine.read_text().strip())
        print("```")
    print("Ratios are DVL's figure over the peer's or the floor's (\"x reply\": peak growth over the reply's size).")
    print()
    print("Times are the CPU time of the measuring thread; calls/s are wall-clock.")
    print()
    print("| figure | DVL | gSOAP peer | floor | DVL / gSOAP | DVL / floor | target | |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        if r[1] in ("", "n/a") and r[3].startswith("n/a"):
            continue
        print("| " + " | ".join(r) + " |")


if __name__ == "__main__":
    main()
