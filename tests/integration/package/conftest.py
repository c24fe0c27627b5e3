"""The sample package, made once for the packaging tests from the trees
scripts/build made (QVR_PACKAGE_BUILD_DIR=build): for the sample they are
configured with the same images, so the script runs its own configure,
build, strip and checksum steps, which find the programs already built. A
tree that scripts/build was told to give another image is set back to the
sample."""
import pytest

from release import ROOT, package, shipped


@pytest.fixture(scope="session")
def sample_package(tmp_path_factory):
    for arch in ("win64", "win32"):
        if not (ROOT / "build" / arch / "build.ninja").is_file():
            pytest.fail(f"build/{arch} is missing: run scripts/build --all")
    output = tmp_path_factory.mktemp("sample") / "dist"
    done = package(output, ROOT / "build")
    assert done.returncode == 0, done.stdout + done.stderr
    return shipped(output)
