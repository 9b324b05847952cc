#!/usr/bin/env python3
"""Reads the benchmarks' JSON results and prints each figure beside its floor, as Markdown.

Rows are named "<case>/round:<r>..."; a figure is the median over the rounds of its case.
"""
import json
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

    def row(figure, subject, floor, ratio, target="", met=""):
        rows.append((figure, subject, floor, ratio, target, met))

    def ratio_of(a, b):
        return a / b if a is not None and b else None

    def verdict(ok):
        return "" if ok is None else ("met" if ok else "**missed**")

    # 1. The small call.
    dvl = median(cases, "BM_SmallCall_DVLQuery", "calls_per_s")
    curl = median(cases, "BM_SmallCall_CurlFloor", "calls_per_s")
    row("small query (10 objects): calls/s", fmt(dvl, 0), fmt(curl, 0) + " (libcurl)", fmt(ratio_of(dvl, curl), 2) + "x")
    dvl = median(cases, "BM_SmallCall_DVLQuery", "client_cpu_us")
    curl = median(cases, "BM_SmallCall_CurlFloor", "client_cpu_us")
    row("small query: client CPU µs/call", fmt(dvl), fmt(curl) + " (libcurl)", fmt(ratio_of(dvl, curl), 2) + "x")
    dvl = median(cases, "BM_SmallReply_DVLRead", "seconds")
    floor = median(cases, "BM_SmallReply_ReaderFloor", "seconds")
    row("small reply read: µs", fmt(dvl and dvl * 1e6), fmt(floor and floor * 1e6) + " (xmlTextReader)",
        fmt(ratio_of(dvl, floor), 2) + "x")

    # 2. The large reply.
    dvl = median(cases, "BM_LargeReply_DVLRead", "bytes_per_second")
    floor = median(cases, "BM_LargeReply_ReaderFloor", "bytes_per_second")
    size = median(cases, "BM_LargeReply_DVLRead", "reply_MiB")
    ratio = ratio_of(floor, dvl)  # time ratio
    row(f"100k-object reply ({fmt(size)} MiB) read: MB/s", fmt(dvl and dvl / 1e6), fmt(floor and floor / 1e6) + " (xmlTextReader)",
        fmt(ratio, 2) + "x time", "≤ 1.3x time", verdict(None if ratio is None else ratio <= 1.3))
    sax = median(cases, "BM_LargeReply_Sax2Reference", "bytes_per_second")
    row("100k-object reply: libxml2 SAX2 callbacks MB/s (reference)", "", fmt(sax and sax / 1e6) + " (SAX2)",
        fmt(ratio_of(floor, sax), 2) + "x reader time" if sax and floor else "n/a")
    dvl = median(cases, "BM_LargeReply_DVLPeakMemory", "peak_growth_MiB")
    floor = median(cases, "BM_LargeReply_ReaderPeakMemory", "peak_growth_MiB")
    times = median(cases, "BM_LargeReply_DVLPeakMemory", "x_reply")
    row("100k-object reply read: peak RSS growth MiB", fmt(dvl), fmt(floor) + " (xmlTextReader)",
        fmt(times, 2) + "x reply", "< 3x reply", verdict(None if times is None else times < 3))

    # 3. The attachment.
    dvl = median(cases, "BM_Attachment1GiB_DVLAddOutput", "bytes_per_second")
    curl = median(cases, "BM_Attachment1GiB_CurlFloor", "bytes_per_second")
    ratio = ratio_of(dvl, curl)
    row("1 GiB add-output: MB/s", fmt(dvl and dvl / 1e6), fmt(curl and curl / 1e6) + " (libcurl)", fmt(ratio, 2) + "x",
        "≥ 0.8x", verdict(None if ratio is None else ratio >= 0.8))
    dvl = median(cases, "BM_Attachment1GiB_DVLAddOutput", "client_peak_rss_MiB")
    curl = median(cases, "BM_Attachment1GiB_CurlFloor", "client_peak_rss_MiB")
    row("1 GiB add-output: client peak RSS MiB", fmt(dvl), fmt(curl) + " (libcurl)", fmt(ratio_of(dvl, curl), 2) + "x",
        "< 64 MiB", verdict(None if dvl is None else dvl < 64))
    dvl = median(cases, "BM_Attachment1GiB_DVLAddOutput", "client_cpu_s")
    curl = median(cases, "BM_Attachment1GiB_CurlFloor", "client_cpu_s")
    row("1 GiB add-output: client CPU s", fmt(dvl, 2), fmt(curl, 2) + " (libcurl)", fmt(ratio_of(dvl, curl), 2) + "x")

    # 4. Threads sharing one session.
    for threads in (1, 2, 4):
        dvl = median(cases, f"BM_SharedSession_DVLQuery/threads:{threads}", "calls_per_s")
        curl = median(cases, f"BM_SharedSession_CurlFloor/threads:{threads}", "calls_per_s")
        row(f"{threads} thread(s), one session: calls/s", fmt(dvl, 0), fmt(curl, 0) + " (libcurl, handle per thread)",
            fmt(ratio_of(dvl, curl), 2) + "x")

    # 5. Micro-benchmarks.
    for case, reference, label, unit, scale in (
        ("BM_Symbol_GetChar", "BM_Symbol_HashMapReference", "symbol getChar", "ns", 1e9),
        ("BM_Symbol_GetString", "BM_Symbol_HashMapReference", "symbol getString", "ns", 1e9),
        ("BM_QueryAssembly_DVL", "BM_QueryAssembly_WriterFloor", "query assembly (preExec + envelope)", "µs", 1e6),
        ("BM_SmallReplyWrite_DVL", "BM_SmallReplyWrite_WriterFloor", "small reply write", "µs", 1e6),
        ("BM_SmallReplyRead_DVL", "BM_SmallReplyRead_ReaderFloor", "small reply read", "µs", 1e6),
    ):
        dvl = median(cases, case, "seconds")
        ref = median(cases, reference, "seconds")
        what = "unordered_map" if "Hash" in reference else ("xmlTextWriter" if "Writer" in reference else "xmlTextReader")
        row(f"{label}: {unit}", fmt(dvl and dvl * scale, 1), fmt(ref and ref * scale, 1) + f" ({what})",
            fmt(ratio_of(dvl, ref), 2) + "x")

    machine = Path(directory, "machine.txt")
    if machine.exists():
        print("```")
        print(machine.read_text().strip())
        print("```")
    print("| figure | DVL | floor | ratio | target | |")
    print("|---|---|---|---|---|---|")
    for r in rows:
        if r[1] in ("", "n/a") and r[2].startswith("n/a"):
            continue
        print("| " + " | ".join(r) + " |")


if __name__ == "__main__":
    main()
