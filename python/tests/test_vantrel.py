"""The Python module on the built plug-in: bit-identical to `vantrel match`, the session's LUT
cache as a host's, the LUT and exports through the plug-in's buttons, the errors, the GIL."""
import os
import re
import subprocess
import threading
import time

import numpy as np
import OpenImageIO as oiio
import pytest

import vantrel

TOOL = os.environ["VANTREL_TOOL"]
PLUGIN = os.environ["VANTREL_PLUGIN"]
SOURCE_DIR = os.environ["VANTREL_SOURCE_DIR"]


def picture(height, width, channels=3, seed=0):
    """Smooth gradients with a little noise, values in 0..1."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    base = np.stack([x / width, y / height, 0.5 + 0.4 * np.sin(x / 7 + seed)], axis=-1)
    base = np.clip(base * rng.uniform(0.6, 1.0, 3) + rng.normal(0, 0.02, base.shape), 0, 1)
    if channels == 4:
        base = np.concatenate([base, np.ones((height, width, 1))], axis=-1)
    return base.astype(np.float32)


def write_exr(path, pixels):
    out = oiio.ImageOutput.create(str(path))
    out.open(str(path), oiio.ImageSpec(pixels.shape[1], pixels.shape[0], pixels.shape[2], "float"))
    out.write_image(pixels)
    out.close()


def read_exr(path):
    image = oiio.ImageInput.open(str(path))
    pixels = image.read_image("float")
    image.close()
    return pixels


@pytest.mark.parametrize("mode", ["different", "same"])
def test_matches_what_vantrel_match_writes_bit_for_bit(tmp_path, mode):
    source, reference = picture(48, 64, seed=1), picture(40, 56, seed=2)
    if mode == "same":
        reference = np.clip(source * np.float32([1.1, 1.0, 0.85]), 0, 1).astype(np.float32)
    write_exr(tmp_path / "s.exr", source)
    write_exr(tmp_path / "r.exr", reference)
    # Float EXRs are linear Rec.709; in that working space the tool hands the plug-in the floats.
    subprocess.run([TOOL, "match", "s.exr", "r.exr", "-o", "o.exr", "--mode", mode, "--preserve", "brightness",
                    "--mix", "0.8", "--mix-b", "0.5", "--working-space", "lin_rec709", "--plugin", PLUGIN, "-q"],
                   cwd=tmp_path, check=True)
    ours = vantrel.match(source, reference, mode=mode, preserve="brightness", mix=0.8, mix_rgb=(1, 1, 0.5))
    assert ours.shape == source.shape and ours.dtype == np.float32
    assert np.array_equal(ours, read_exr(tmp_path / "o.exr")[:, :, :3])


def test_rgb_and_rgba_and_masks_render_as_the_plug_in_renders_them():
    rgba, reference = picture(32, 32, 4, seed=3), picture(32, 32, seed=4)
    rgba[:, :, 3] = 0.25
    out = vantrel.match(rgba, reference)
    assert np.array_equal(out[:, :, :3], vantrel.match(rgba[:, :, :3], reference))
    assert np.array_equal(out[:, :, 3], rgba[:, :, 3]), "alpha is passed through"
    mask = np.zeros((32, 32), np.float32)
    mask[:, :8] = 1
    masked = vantrel.match(rgba, reference, source_mask=mask)
    assert not np.array_equal(masked, out)
    # A Fortran-ordered view is the same picture.
    assert np.array_equal(vantrel.match(np.asfortranarray(rgba), reference), out)


def test_a_session_keeps_one_instance_and_rebuilds_only_when_a_host_would(capfd):
    a, b, reference = picture(40, 40, seed=5), picture(40, 40, seed=6), picture(40, 40, seed=7)
    half, other = vantrel.match(a, reference, mix=0.5), vantrel.match(b, reference)
    with vantrel.Session(plugin=PLUGIN, threads=2) as session:
        assert session.plugin_identifier == "org.vantrel.colormatch"
        first = session.match(a, reference)
        capfd.readouterr()
        # Another mix only blends: no input changed, no rebuild.
        assert np.array_equal(session.match(a, reference, mix=0.5), half)
        assert "LUT invalidated" not in capfd.readouterr().err
        # New pixels at the same time are a changed input: rebuilt, never the old LUT.
        assert np.array_equal(session.match(b, reference), other)
        assert "Input clip changed" in capfd.readouterr().err
        assert np.array_equal(session.match(a, reference, time=1001), first)
        assert session.match(a, reference, mode="same").shape == a.shape
    with pytest.raises(vantrel.Error, match="closed"):
        session.match(a, reference)


def test_the_lut_and_the_exports_come_from_the_plug_in(tmp_path):
    source, reference = picture(64, 64, seed=8), picture(64, 64, seed=9)
    with vantrel.Session(plugin=PLUGIN) as session:
        with pytest.raises(vantrel.Error, match="No LUT available"):
            session.lut()
        session.match(source, reference)
        lut = session.lut()
        assert lut.shape == (65, 65, 65, 3) and lut.dtype == np.float32
        # lut[r, g, b] is what a lattice colour renders to: the axes are the right way round.
        r, g, b = np.meshgrid([0, 16, 40, 64], [3, 32, 60], [5, 50, 64], indexing="ij")
        colours = np.stack([r, g, b], axis=-1).reshape(1, -1, 3).astype(np.float32) / 64
        session.save_cube(tmp_path / "before.cube")
        rendered = session.match(colours, reference, time=1)  # another time: built from these
        assert np.allclose(session.lut()[r, g, b].reshape(1, -1, 3), rendered, atol=1e-6)
        session.match(source, reference)
        assert np.allclose(session.lut(), lut, atol=0)
        assert session.save_cube(tmp_path / "look") == str(tmp_path / "look.cube")
        assert session.save_cdl(tmp_path / "look.cdl") == str(tmp_path / "look.cdl")
    cube = (tmp_path / "look.cube").read_text()
    assert "LUT_3D_SIZE 65" in cube and cube == (tmp_path / "before.cube").read_text()
    assert "<SOPNode>" in (tmp_path / "look.cdl").read_text()


@pytest.mark.parametrize("call, error, message", [
    (lambda s: vantrel.match(s.astype(np.float64), s), TypeError, "dtype float64"),
    (lambda s: vantrel.match(s.tolist(), s), TypeError, "numpy.ndarray of float32, not list"),
    (lambda s: vantrel.match(s[:, :, 0], s), ValueError, r"shape \(height, width, 3 or 4\), not \(8, 8\)"),
    (lambda s: vantrel.match(s, s[:, :, :2]), ValueError, "reference must have shape"),
    (lambda s: vantrel.match(s[:0], s), ValueError, "source is empty"),
    (lambda s: vantrel.match(s, s, source_mask=np.ones((8, 8, 2), np.float32)), ValueError, "source_mask"),
    (lambda s: vantrel.match(s, s, mode="Same"), ValueError, "mode must be 'different' or 'same', not 'Same'"),
    (lambda s: vantrel.match(s, s, preserve="all"), ValueError, "'nothing', 'brightness' or 'colors'"),
    (lambda s: vantrel.match(s, s, mix=1.5), ValueError, "mix must be a number from 0 to 1"),
    (lambda s: vantrel.match(s, s, mix=float("nan")), ValueError, "mix must be a number from 0 to 1"),
    (lambda s: vantrel.match(s, s, mix_rgb=(1, 1)), TypeError, "mix_rgb must be a sequence of three"),
    (lambda s: vantrel.match(s, s, threads=0), ValueError, "threads must be 1 or more"),
    (lambda s: vantrel.Session(PLUGIN).match(s, s, time=float("inf")), ValueError, "time must be a finite"),
    (lambda s: vantrel.match(s, s, plugin="/nowhere/Brenvale.ofx"), vantrel.PluginNotFoundError, "/nowhere"),
])
def test_wrong_arguments_get_clear_exceptions(call, error, message):
    with pytest.raises(error, match=message):
        call(picture(8, 8))


def test_the_plug_in_is_found_as_vantrel_finds_it(tmp_path, monkeypatch):
    monkeypatch.setenv("OFX_PLUGIN_PATH", str(tmp_path))
    assert vantrel.find_plugin().endswith("Brenvale.ofx.bundle/Contents/Linux-x86-64/Brenvale.ofx")
    bundle = os.path.dirname(os.path.dirname(os.path.dirname(PLUGIN)))
    assert vantrel.find_plugin(bundle) == os.path.join(bundle, "Contents/Linux-x86-64/Brenvale.ofx")
    assert issubclass(vantrel.PluginNotFoundError, vantrel.Error) and issubclass(vantrel.Error, RuntimeError)


def test_other_python_threads_run_while_the_plug_in_renders():
    source, reference = picture(2000, 2000, seed=10), picture(64, 64, seed=11)
    done = threading.Event()
    took = []

    def render():
        start = time.perf_counter()
        vantrel.match(source, reference, mode="same", threads=1)
        took.append(time.perf_counter() - start)
        done.set()

    worker = threading.Thread(target=render)
    worker.start()
    # Held through the render, the GIL would stop this loop for as long as the render takes.
    longest, last = 0.0, time.perf_counter()
    while not done.is_set():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    worker.join()
    assert longest < took[0] / 2, f"this thread stood still for {longest:.3f} s of a {took[0]:.3f} s render"


def test_the_readme_example_runs_as_printed(tmp_path):
    readme = open(os.path.join(SOURCE_DIR, "README.md")).read()
    block = re.search(r"<!-- example: python -->\n```python\n(.*?)```", readme, re.S)
    assert block, "the README has a Python example"
    result = subprocess.run(["/usr/bin/python3", "-c", block.group(1)], cwd=tmp_path, capture_output=True, text=True,
                            env=dict(os.environ, OFX_PLUGIN_PATH=os.path.dirname(os.path.dirname(
                                os.path.dirname(os.path.dirname(PLUGIN))))))
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "look.cube").exists()
    assert "(65, 65, 65, 3)" in result.stdout
