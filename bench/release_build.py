"""The benchmarks' own build: a Release tree without sanitizers, so that the
figures are those of the code people run, not of its checked build."""
import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[1]


def build_release(build_dir, *targets):
    if not (build_dir / "build.ninja").exists():
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                        "-DQVR_SANITIZE=OFF", "-DCMAKE_BUILD_TYPE=Release"], check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", *targets, "sample_image"],
                   check=True, stdout=subprocess.DEVNULL)
