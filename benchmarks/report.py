"""Small helpers for benchmark scripts: timing, markdown tables, plots."""
from __future__ import annotations

import platform
import time
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "results"


def best_time(fn, repeat: int = 3, budget: float = 20.0) -> float:
    """Fastest of up to `repeat` runs (fewer when a run is slow)."""
    best = float("inf")
    spent = 0.0
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        dt = time.perf_counter() - t
        best = min(best, dt)
        spent += dt
        if spent > budget:
            break
    return best


def machine() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
    except OSError:
        model = platform.processor() or "?"
    return f"{model}, Python {platform.python_version()}, {time.strftime('%Y-%m-%d')}"


def write_markdown(name: str, title: str, headers: list[str], rows: list[list], notes: str = "") -> Path:
    RESULTS.mkdir(exist_ok=True)
    lines = [f"# {title}", "", f"Machine: {machine()}", ""]
    if notes:
        lines += [notes.strip(), ""]
    lines.append("| " + " | ".join(headers) + " |")
    lines.append("|" + "---|" * len(headers))
    for row in rows:
        lines.append("| " + " | ".join(_fmt(v) for v in row) + " |")
    path = RESULTS / f"{name}.md"
    path.write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    return path


def _fmt(v) -> str:
    if v is None:
        return "—"
    if isinstance(v, float):
        return f"{v:.4g}"
    return str(v)


def plot(name: str, title: str, xlabel: str, ylabel: str, series: dict[str, tuple[list, list]], logy=True) -> Path:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6, 4))
    for label, (xs, ys) in series.items():
        ax.plot(xs, ys, marker="o", label=label)
    if logy:
        ax.set_yscale("log")
    ax.set_title(title)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    ax.grid(True, alpha=0.3)
    ax.legend()
    RESULTS.mkdir(exist_ok=True)
    path = RESULTS / f"{name}.png"
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return path
