"""Checks one built wheel: its name and tag, that it carries exactly the expected files, that
each extension module exports its init function, whether the test hooks are in it, and for a
manylinux wheel that auditwheel finds it within manylinux2014 (glibc 2.17) with no library
outside that policy. Exits 1 with every problem found.

    python scripts/check_wheel.py WHEEL release|test [--manylinux] -- FILE...

FILE... is the payload: every file the wheel must hold outside its .dist-info, and nothing else.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import zipfile

POLICY_GLIBC = (2, 17)
# What a C++ module built by the machine's compiler would need beyond the policy's libc.
BUILD_MACHINE_RUNTIMES = ("libstdc++", "libgcc_s", "libc++", "libunwind")


def exported_symbols(data: bytes) -> list[str]:
    with tempfile.NamedTemporaryFile(suffix=".so") as f:
        f.write(data)
        f.flush()
        out = subprocess.run(
            ["nm", "-D", "--defined-only", f.name], capture_output=True, text=True, check=True
        ).stdout
    return sorted(line.split()[-1] for line in out.splitlines() if len(line.split()) == 3)


def runpath(data: bytes) -> str:
    with tempfile.NamedTemporaryFile(suffix=".so") as f:
        f.write(data)
        f.flush()
        out = subprocess.run(
            ["readelf", "-d", f.name], capture_output=True, text=True, check=True
        ).stdout
    found = re.search(r"\((?:RUNPATH|RPATH)\).*\[(.*)\]", out)
    return found[1] if found else ""


# The shared platform library: only its C interface may cross between it and the modules.
PLATFORM_EXPORTS = ["vorlane_pool_run", "vorlane_pool_size"]
# Each module finds the platform library through an $ORIGIN-relative RUNPATH.
MODULE_RUNPATHS = {
    "vorlane.abi3.so": "$ORIGIN/vorlane.libs",
    "vorlane_tools/_native.abi3.so": "$ORIGIN/../vorlane.libs",
}


def auditwheel_problems(path: str, arch: str) -> list[str]:
    auditwheel = os.path.join(os.path.dirname(sys.executable), "auditwheel")
    done = subprocess.run([auditwheel, "show", "--json", path], capture_output=True, text=True)
    if done.returncode != 0:
        return [f"auditwheel show failed: {done.stderr.strip()}"]
    report = json.loads(done.stdout)
    print(
        f"auditwheel show: {report['overall_tag']}; versioned symbols "
        f"{json.dumps(report['versioned_symbols'], sort_keys=True)}; "
        f"external libraries {sorted(report['external_libs']) or 'none'}"
    )
    problems = []
    tag = re.fullmatch(rf"manylinux_(\d+)_(\d+)_{arch}", report["overall_tag"])
    if not tag or (int(tag[1]), int(tag[2])) > POLICY_GLIBC:
        problems.append(
            f"auditwheel places the wheel at {report['overall_tag']}, "
            f"not within manylinux2014_{arch}"
        )
    if report["external_libs"]:
        problems.append(f"the wheel needs libraries outside the policy: {report['external_libs']}")
    runtimes = [
        lib for lib in report["versioned_symbols"] if lib.startswith(BUILD_MACHINE_RUNTIMES)
    ]
    if runtimes:
        problems.append(f"the wheel links the C++ runtime dynamically: {runtimes}")
    return problems


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("wheel")
    parser.add_argument("kind", choices=["release", "test"])
    parser.add_argument(
        "--manylinux",
        action="store_true",
        help="also hold the wheel to manylinux2014 with auditwheel",
    )
    parser.add_argument("payload", nargs="+")
    args = parser.parse_args()

    name = os.path.basename(args.wheel)
    problems = []
    match = re.fullmatch(r"vorlane-[^-]+-cp311-abi3-((?:many)?linux[^-]*)\.whl", name)
    if not match:
        problems.append(f"file name {name} is not tagged cp311-abi3")
    platforms = match[1].split(".") if match else []
    arch = "aarch64" if platforms and platforms[0].endswith("aarch64") else "x86_64"
    if args.manylinux and f"manylinux2014_{arch}" not in platforms:
        problems.append(f"file name {name} lacks the manylinux2014_{arch} tag")

    with zipfile.ZipFile(args.wheel) as wheel:
        names = [n for n in wheel.namelist() if not n.endswith("/")]
        meta = [n for n in names if n.split("/")[0].endswith(".dist-info")]
        payload = sorted(set(names) - set(meta))
        if payload != sorted(args.payload):
            problems.append(f"payload is {payload}, expected exactly {sorted(args.payload)}")
        wheel_file = next((n for n in meta if n.endswith("/WHEEL")), None)
        tags = []
        if wheel_file:
            tags = [
                line.split(":", 1)[1].strip()
                for line in wheel.read(wheel_file).decode().splitlines()
                if line.startswith("Tag:")
            ]
        if not tags or not all(t.startswith("cp311-abi3-") for t in tags):
            problems.append(f"WHEEL tags are {tags}, expected cp311-abi3 tags only")
        binaries = {n: wheel.read(n) for n in payload if n.endswith(".so")}

    # The fault-injection hooks read this variable; they belong in the test wheel only.
    hooked = any(b"VORLANE_INJECT_FAULT" in data for data in binaries.values())
    if args.kind == "release" and hooked:
        problems.append("release wheel contains the test hooks")
    if args.kind == "test" and not hooked:
        problems.append("test wheel lacks the test hooks")
    for member, data in binaries.items():
        exported = exported_symbols(data)
        if member.endswith(".abi3.so"):
            init = "PyInit_" + os.path.basename(member).split(".")[0]
            if init not in exported:
                problems.append(f"{member} does not export {init}")
        if member.startswith("vorlane.libs/") and exported != PLATFORM_EXPORTS:
            problems.append(f"{member} exports {exported}, expected exactly {PLATFORM_EXPORTS}")
        wanted = MODULE_RUNPATHS.get(member)
        if wanted is not None and wanted not in runpath(data).split(":"):
            problems.append(f"{member} has RUNPATH {runpath(data)!r}, lacking {wanted}")
        shown = ", ".join(exported) if len(exported) <= 12 else f"{len(exported)} symbols"
        print(f"{name}: {member}: {len(data)} bytes, exports {shown}")

    if args.manylinux:
        problems += auditwheel_problems(args.wheel, arch)
    for p in problems:
        print("wheel check:", p, file=sys.stderr)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
