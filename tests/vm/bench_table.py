#!/usr/bin/python3
"""Sums up the Bluetooth bench's runs (bench_guest.sh) in a table.

    bench_table.py BENCH_TXT MIB

Lines read: "run KIND CLIENT SERVER ROUND SECONDS CPU CHECK TRANSPORT..." and
"raw KIND TRY SECONDS MODE...". For each client and kind: the median over
rounds of Quillfern's time over obexd's in the same round, both servers' CPU
seconds, and Quillfern's speed as a share of the plain link's.
"""

import statistics
import sys


def main():
    path, mib = sys.argv[1], float(sys.argv[2])
    runs, raw = {}, {}
    bad = []
    for line in open(path):
        words = line.split()
        if not words:
            continue
        if words[0] == "run":
            kind, client, server, round_, seconds, cpu, check = words[1:8]
            transport = " ".join(words[8:]) or "RFCOMM"
            if check != "identical":
                bad.append(line.strip())
                continue
            runs.setdefault((client, kind), {}).setdefault(round_, {})[server] = (
                float(seconds), float(cpu), transport)
        elif words[0] == "raw" and len(words) > 3:
            try:
                raw.setdefault(words[1], []).append(float(words[3]))
            except ValueError:
                bad.append(line.strip())

    # Quillfern served obexd's client a second time over RFCOMM alone; obexd's server
    # (which always offers L2CAP) ran once, and its run of the same round is the pair.
    for (client, kind), rounds in runs.items():
        if client.endswith("-rfcomm"):
            base = runs.get((client[: -len("-rfcomm")], kind), {})
            for round_, servers in rounds.items():
                if "obexd" in base.get(round_, {}):
                    servers.setdefault("obexd", base[round_]["obexd"])

    ceiling = {kind: mib / statistics.median(times) for kind, times in raw.items()}
    print()
    print(f"| Client, {mib:g} MiB | pairs | Quillfern / obexd time (median) | Quillfern s (median) | obexd s (median)"
          " | server CPU s, Quillfern | server CPU s, obexd | CPU ratio (median) | transport Q / O |")
    print("|---|---|---|---|---|---|---|---|---|")
    fastest_q = {}
    for (client, kind), rounds in sorted(runs.items()):
        pairs = [r for r in rounds.values() if "quillfern" in r and "obexd" in r]
        if not pairs:
            continue
        ratio = statistics.median(r["quillfern"][0] / r["obexd"][0] for r in pairs)
        cpu_ratio = statistics.median(r["quillfern"][1] / r["obexd"][1] for r in pairs if r["obexd"][1] > 0)
        q = [r["quillfern"] for r in pairs]
        o = [r["obexd"] for r in pairs]
        q_median = statistics.median(x[0] for x in q)
        fastest_q[(client, kind)] = (q_median, q[0][2])
        print(f"| {client} {'PUT' if kind == 'put' else 'GET'} | {len(pairs)} | {ratio:.2f} | {q_median:.1f}"
              f" | {statistics.median(x[0] for x in o):.1f} | {min(x[1] for x in q):.1f}-{max(x[1] for x in q):.1f}"
              f" | {min(x[1] for x in o):.1f}-{max(x[1] for x in o):.1f} | {cpu_ratio:.2f} | {q[0][2]} / {o[0][2]} |")
    print()
    for kind, speed in sorted(ceiling.items()):
        print(f"plain {kind}: {speed:.2f} MiB/s (median of {len(raw[kind])})")
    for (client, kind), (seconds, transport) in sorted(fastest_q.items()):
        link = "l2cap" if "L2CAP" in transport else "rfcomm"
        if link in ceiling:
            print(f"Quillfern, {client} {kind}: {mib / seconds:.2f} MiB/s, {mib / seconds / ceiling[link]:.0%} of plain {link}")
    for line in bad:
        print(f"not counted: {line}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
