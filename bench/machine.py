"""The machine a benchmark ran on (CPU model, CPUs, memory), read from /proc so that every table
and CSV says what its figures were measured on: the same run on another host is another run.
"""

from __future__ import annotations

import os
import platform

__all__ = ["MACHINE_FIELDS", "describe", "machine_line", "this_machine"]

MACHINE_FIELDS = ("cpu_model", "cpus", "usable_cpus", "memory_gib")

# x86 names the model; arm kernels give only implementer and part numbers, or a board name.
_MODEL_KEYS = ("model name", "Hardware", "Model", "cpu model", "CPU part")


def describe(cpuinfo: str, meminfo: str, usable_cpus: int) -> dict:
    """The machine's fields from the text of /proc/cpuinfo and /proc/meminfo."""
    fields: dict[str, str] = {}
    cpus = 0
    for line in cpuinfo.splitlines():
        key, sep, value = line.partition(":")
        key = key.strip()
        if not sep:
            continue
        if key == "processor":
            cpus += 1
        fields.setdefault(key, value.strip())
    model = next((fields[k] for k in _MODEL_KEYS if fields.get(k)), "") or platform.machine()
    memory_kib = 0
    for line in meminfo.splitlines():
        if line.startswith("MemTotal:"):
            memory_kib = int(line.split()[1])
    return {
        "cpu_model": " ".join(model.split()),
        "cpus": cpus or usable_cpus,
        "usable_cpus": usable_cpus,
        "memory_gib": round(memory_kib / 2**20, 1),
    }


def this_machine() -> dict:
    texts = []
    for name in ("/proc/cpuinfo", "/proc/meminfo"):
        try:
            with open(name) as f:
                texts.append(f.read())
        except OSError:
            texts.append("")
    return describe(texts[0], texts[1], len(os.sched_getaffinity(0)))


def machine_line(machine: dict) -> str:
    """One sentence for the head of a table; rows written before machines were recorded have
    no fields."""
    if not machine.get("cpu_model"):
        return "machine: not recorded"
    usable = machine.get("usable_cpus")
    cpus = int(machine["cpus"])
    shared = f" ({int(usable)} usable)" if usable and int(usable) != cpus else ""
    return (
        f"machine: {machine['cpu_model']}, {cpus} CPUs{shared}, "
        f"{float(machine['memory_gib']):.1f} GiB memory"
    )
