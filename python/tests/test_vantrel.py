"""The Python module on the built plug-in: bit-identical to `vantrel match`, the session's LUT
cache as a host's, the LUT and exports through the plug-in's buttons, the errors, the GIL."""
import itertools
import logging
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


@pytest.mark.parametrize("mode,fit,learner", [("different", None, None), ("different", None, "statistics"),
                                              ("same", None, None), ("same", "cells", None)])
def test_matches_what_vantrel_match_writes_bit_for_bit(tmp_path, mode, fit, learner):
    source, reference = picture(48, 64, seed=1), picture(40, 56, seed=2)
    if mode == "same":
        reference = np.clip(source * np.float32([1.1, 1.0, 0.85]), 0, 1).astype(np.float32)
    write_exr(tmp_path / "s.exr", source)
    write_exr(tmp_path / "r.exr", reference)
    # Float EXRs are linear Rec.709; in that working space the tool hands the plug-in the floats.
    subprocess.run([TOOL, "match", "s.exr", "r.exr", "-o", "o.exr", "--mode", mode, "--preserve", "brightness",
                    "--mix", "0.8", "--mix-b", "0.5", "--working-space", "lin_rec709", "--plugin", PLUGIN, "-q"]
                   + (["--fit", fit] if fit else []) + (["--dc-learner", learner] if learner else []),
                   cwd=tmp_path, check=True)
    # Both default to the fitted lattice in Same Frame and to matching content in Different Clips.
    chosen = {"fit": fit} if fit else {"dc_learner": learner} if learner else {}
    ours = vantrel.match(source, reference, mode=mode, preserve="brightness", mix=0.8, mix_rgb=(1, 1, 0.5), **chosen)
    assert ours.shape == source.shape and ours.dtype == np.float32
    assert np.array_equal(ours, read_exr(tmp_path / "o.exr")[:, :, :3])


@pytest.mark.parametrize("mode", ["different", "same"])
def test_scene_linear_plates_keep_their_highlights_as_vantrel_match_param_does(tmp_path, mode):
    source = picture(48, 64, seed=5) * np.float32(6)
    reference = (source * np.float32([1.2, 1.0, 0.8]) if mode == "same" else picture(48, 64, seed=6) * 3).astype(
        np.float32)
    write_exr(tmp_path / "s.exr", source)
    write_exr(tmp_path / "r.exr", reference)
    subprocess.run([TOOL, "match", "s.exr", "r.exr", "-o", "o.exr", "--mode", mode, "--working-space", "lin_rec709",
                    "--param", "plateEncoding=Scene Linear", "--plugin", PLUGIN, "-q"], cwd=tmp_path, check=True)
    ours = vantrel.match(source, reference, mode=mode, plate_encoding="Scene Linear")
    assert np.array_equal(ours, read_exr(tmp_path / "o.exr")[:, :, :3])
    assert ours.max() > 2 and vantrel.match(source, reference, mode=mode).max() <= 1
    with vantrel.Session(PLUGIN) as session:
        assert np.array_equal(session.match(source, reference, mode=mode, plate_encoding="Scene Linear"), ours)


def test_dc_learner_content_learns_the_grade_between_two_framings_of_one_scene():
    image = oiio.ImageInput.open(os.path.join(SOURCE_DIR, "tests/data/photos/astronaut.png"))
    photo = image.read_image("float")[:, :, :3].astype(np.float32)
    image.close()

    def look(p):
        return np.stack([0.9 * p[..., 0] ** 0.8 + 0.05, p[..., 1] ** 1.15, 0.8 * p[..., 2] + 0.1], -1).astype(np.float32)

    source, reference = photo[30:270, 20:340], look(photo[100:340, 130:450])
    truth = look(source)
    content = vantrel.match(source, reference)
    statistics = vantrel.match(source, reference, dc_learner="statistics")
    assert np.abs(content - truth).mean() < 0.3 * np.abs(statistics - truth).mean()


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


def plug_in_lines(caplog):
    """The plug-in's diagnostic lines logged since the last call, which are then forgotten."""
    lines = [r.getMessage() for r in caplog.records if r.name == "vantrel"]
    caplog.clear()
    return lines


def test_a_session_keeps_one_instance_and_rebuilds_only_when_a_host_would(caplog):
    caplog.set_level(logging.INFO, logger="vantrel")
    a, b, reference = picture(40, 40, seed=5), picture(40, 40, seed=6), picture(40, 40, seed=7)
    half, other = vantrel.match(a, reference, mix=0.5), vantrel.match(b, reference)
    with vantrel.Session(plugin=PLUGIN, threads=2) as session:
        assert session.plugin_identifier == "org.vantrel.colormatch"
        first = session.match(a, reference)
        plug_in_lines(caplog)
        # Another mix only blends: no input changed, no rebuild.
        assert np.array_equal(session.match(a, reference, mix=0.5), half)
        assert not any("LUT invalidated" in line for line in plug_in_lines(caplog))
        # New pixels at the same time are a changed input: rebuilt, never the old LUT.
        assert np.array_equal(session.match(b, reference), other)
        assert any("Input clip changed" in line for line in plug_in_lines(caplog))
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
    (lambda s: vantrel.match(s, s, mode="same", fit="grid"), ValueError, "fit must be 'cells' or 'lattice'"),
    (lambda s: vantrel.match(s, s, dc_learner="stats"), ValueError, "dc_learner must be 'statistics' or 'content'"),
    (lambda s: vantrel.match(s, s, mix=1.5), ValueError, "mix must be a number from 0 to 1"),
    (lambda s: vantrel.match(s, s, plate_encoding="linear"), ValueError, "plate_encoding must be 'As Delivered', "),
    (lambda s: vantrel.match(s, s, mix=float("nan")), ValueError, "mix must be a number from 0 to 1"),
    (lambda s: vantrel.match(s, s, mix_rgb=(1, 1)), TypeError, "mix_rgb must be a sequence of three"),
    (lambda s: vantrel.match(s, s, threads=0), ValueError, "threads must be 1 or more"),
    (lambda s: vantrel.Session(PLUGIN).match(s, s, time=float("inf")), ValueError, "time must be a finite"),
    (lambda s: vantrel.match(s, s, plugin="/nowhere/Brenvale.ofx"), vantrel.PluginNotFoundError, "/nowhere"),
])
def test_wrong_arguments_get_clear_exceptions(call, error, message):
    with pytest.raises(error, match=message):
        call(picture(8, 8))


@pytest.mark.parametrize("keywords, flags", [
    (dict(analysis="key", key_frame=1003), ["--analysis", "key", "--key-frame", "1003"]),
    (dict(analysis="range"), ["--analysis", "range"]),
    (dict(analysis="range", frame_range=(1002, 1004), frame_step=2),
     ["--analysis", "range", "--analysis-frames", "1002-1004", "--frame-step", "2"]),
    (dict(analysis="window", window_radius=1), ["--analysis", "window", "--window-radius", "1"]),
])
@pytest.mark.parametrize("mode", ["different", "same"])
def test_a_session_given_the_shot_learns_from_its_frames_as_vantrel_match_does(tmp_path, keywords, flags, mode):
    sources = [picture(24, 32, seed=20 + f) for f in range(5)]
    if mode == "same":
        references = [np.clip(s * np.float32([1.1, 1.0, 0.8]) + 0.02 * f, 0, 1).astype(np.float32)
                      for f, s in enumerate(sources)]
    else:
        references = picture(20, 28, seed=30)
    for f, s in enumerate(sources):
        write_exr(tmp_path / f"s.{1001 + f}.exr", s)
        if mode == "same":
            write_exr(tmp_path / f"r.{1001 + f}.exr", references[f])
    write_exr(tmp_path / "r.exr", references if mode == "different" else references[0])
    subprocess.run([TOOL, "match", "s.%04d.exr", "r.%04d.exr" if mode == "same" else "r.exr", "-o", "o.%04d.exr",
                    "--frames", "1001-1005", "--mode", mode, "--working-space", "lin_rec709", "--plugin", PLUGIN,
                    "-q"] + flags, cwd=tmp_path, check=True)
    with vantrel.Session(plugin=PLUGIN) as session:
        session.set_frames(sources, references, first=1001)
        assert session.frames == (1001, 1005)
        for f in (1005, 1001, 1003):  # in any order, as a host may render them
            ours = session.match(time=f, mode=mode, **keywords)
            assert np.array_equal(ours, read_exr(tmp_path / f"o.{f}.exr")[:, :, :3]), f
        # Arrays given for a frame of the shot serve that frame.
        given = references[1] if mode == "same" else references
        assert np.array_equal(session.match(sources[1], given, time=1002, mode=mode, **keywords),
                              read_exr(tmp_path / "o.1002.exr")[:, :, :3])


def test_a_held_match_is_the_key_frame_s_own_and_new_frames_rebuild_it(caplog):
    caplog.set_level(logging.INFO, logger="vantrel")
    sources, reference = [picture(24, 24, seed=40 + f) for f in range(4)], picture(24, 24, seed=50)
    with vantrel.Session(plugin=PLUGIN) as session:
        session.set_frames(sources, reference)
        session.match(time=2)
        at_key = session.lut()
        session.match(time=3, analysis="key", key_frame=2)
        assert np.array_equal(session.lut(), at_key)
        session.match(time=0, analysis="range")
        pooled = session.lut()
        session.match(time=3, analysis="range")
        assert np.array_equal(session.lut(), pooled) and not np.array_equal(pooled, at_key)
        plug_in_lines(caplog)
        session.set_frames(sources[::-1], reference)  # the same frames in another order
        session.match(time=3, analysis="key", key_frame=2)
        assert any("Input clip changed" in line for line in plug_in_lines(caplog))
        assert np.array_equal(session.lut(), vantrel_lut(sources[1], reference))


def vantrel_lut(source, reference):
    with vantrel.Session(plugin=PLUGIN) as session:
        session.match(source, reference)
        return session.lut()


@pytest.mark.parametrize("call, error, message", [
    (lambda s, f: s.match(f[0], f[0], analysis="Range"), ValueError, "'current', 'key', 'range' or 'window'"),
    (lambda s, f: vantrel.Session(PLUGIN).match(f[0], f[0], analysis="range"), ValueError, "set_frames"),
    (lambda s, f: s.match(time=0, analysis="range", key_frame=1), ValueError, "key_frame goes with analysis='key'"),
    (lambda s, f: s.match(time=0, frame_step=2), ValueError, "frame_step goes with analysis='range' or 'window'"),
    (lambda s, f: s.match(time=0, analysis="window", window_radius=0), ValueError, "window_radius must be from 1"),
    (lambda s, f: s.match(time=0, analysis="range", frame_range=(3, 1)), ValueError, "first <= last"),
    (lambda s, f: s.match(time=0, analysis="range", frame_range=3), TypeError, r"frame_range must be \(first, last\)"),
    (lambda s, f: s.match(time=0, analysis="key", key_frame=1.5), TypeError, "key_frame must be an integer"),
    (lambda s, f: s.match(time=7), ValueError, "time 7.0 is no frame of the shot"),
    (lambda s, f: s.match(f[0][:, :, :3], time=0), ValueError, "source has 3 channels and the shot's frames 4"),
    (lambda s, f: vantrel.Session(PLUGIN).match(time=0), ValueError, "give source"),
    (lambda s, f: s.set_frames(f[0], f[0]), TypeError, "one per frame, not one array"),
    (lambda s, f: s.set_frames(f, f[:2]), ValueError, "references holds 2 frames, sources 3"),
    (lambda s, f: s.set_frames([f[0], f[1][:, :, :3]], f[0]), ValueError, r"sources\[1\] has 3 channels"),
    (lambda s, f: s.set_frames([], f[0]), ValueError, "sources holds no frame"),
    (lambda s, f: s.set_frames(f, f[0], first=-1), ValueError, "first must be from 0"),
])
def test_wrong_analysis_settings_and_frames_get_clear_exceptions(call, error, message):
    frames = [picture(8, 8, 4, seed=f) for f in range(3)]
    with vantrel.Session(plugin=PLUGIN) as session:
        session.set_frames(frames, frames)
        with pytest.raises(error, match=message):
            call(session, frames)


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


def test_the_module_is_quiet_its_lines_are_logged_and_its_warnings_are_python_warnings(capfd, caplog):
    caplog.set_level(logging.INFO, logger="vantrel")
    frames = [picture(16, 16, seed=60 + f) for f in range(3)]
    with vantrel.Session(plugin=PLUGIN) as session:
        session.set_frames(frames, frames[0])
        with pytest.warns(vantrel.PluginWarning, match="None of the frames") as said:
            out = session.match(time=1, analysis="range", frame_range=(100, 200))
            session.match(time=2, analysis="range", frame_range=(100, 200))
        assert len(said) == 1, "the plug-in says it once"
        assert np.array_equal(out, np.clip(frames[1], 0, 1)), "nothing to learn from: the Source as it is"
    assert "Vantrel:" not in capfd.readouterr().err
    assert any("LUT invalidated" in line or "changed" in line for line in plug_in_lines(caplog))


def test_a_match_without_data_is_a_warning_once_and_gives_the_source():
    source, reference = picture(16, 16, seed=70), picture(16, 16, seed=71)
    with pytest.warns(vantrel.PluginWarning, match="The SourceMask selects no sampled Source pixel"):
        out = vantrel.match(source, reference, source_mask=np.zeros((16, 16), np.float32))
    assert np.array_equal(out, source), "not a painted colour"
    nan = source.copy()
    nan[:, :, 0] = np.nan  # no pixel has a finite colour
    with vantrel.Session(plugin=PLUGIN) as session:
        with pytest.warns(vantrel.PluginWarning, match="No sampled Source pixel has a finite colour") as said:
            outs = [session.match(nan, reference, time=t) for t in range(2)]
    assert len(said) == 1, "said once"
    assert all(np.array_equal(out[:, :, 1:], source[:, :, 1:]) for out in outs), "not a painted colour"


def test_the_plug_in_s_lines_are_held_back_while_other_writes_to_standard_error_go_on(capfd):
    source, reference = picture(256, 256, seed=14), picture(64, 64, seed=15)
    with vantrel.Session(plugin=PLUGIN, threads=1) as session:
        session.match(source, reference)
        os.write(2, b"before\n")
        writer = threading.Thread(target=lambda: [os.write(2, b"beside\n") for _ in range(20)])
        writer.start()
        session.match(reference, source, time=1)
        writer.join()
        os.write(2, b"after\n")
    err = capfd.readouterr().err
    assert "Vantrel:" not in err
    assert err.count("beside\n") == 20 and err.index("before") < err.index("beside") < err.index("after")


def test_saving_into_an_existing_folder_writes_a_named_file_inside_it(tmp_path):
    with vantrel.Session(plugin=PLUGIN) as session:
        session.match(picture(16, 16, seed=16), picture(16, 16, seed=17))
        for save, extension in ((session.save_cube, ".cube"), (session.save_cdl, ".cdl")):
            written = save(tmp_path)
            assert os.path.dirname(written) == str(tmp_path) and written.endswith(extension)
            assert re.fullmatch(r"Vantrel_\d{8}_\d{6}" + re.escape(extension), os.path.basename(written))
            assert os.path.isfile(written)
    assert not os.path.exists(str(tmp_path) + ".cube")


def test_closing_a_session_while_another_thread_renders_waits_for_the_render():
    source, reference = picture(256, 256, seed=18), picture(64, 64, seed=19)
    session = vantrel.Session(plugin=PLUGIN, threads=2)
    rendered, ended = threading.Event(), []

    def render():
        try:
            for t in itertools.count():
                session.match(source, reference, time=t)  # a new time: a new build each
                rendered.set()
        except vantrel.Error as error:
            ended.append(str(error))

    worker = threading.Thread(target=render)
    worker.start()
    rendered.wait()
    session.close()
    worker.join()
    assert ended == ["the session is closed"]


def test_the_readme_example_runs_as_printed(tmp_path):
    readme = open(os.path.join(SOURCE_DIR, "README.md")).read()
    block = re.search(r"<!-- example: python -->\n```python\n(.*?)```", readme, re.S)
    assert block, "the README has a Python example"
    result = subprocess.run(["/usr/bin/python3", "-c", block.group(1)], cwd=tmp_path, capture_output=True, text=True,
                            env=dict(os.environ, OFX_PLUGIN_PATH=os.path.dirname(os.path.dirname(
                                os.path.dirname(os.path.dirname(PLUGIN))))))
    assert result.returncode == 0, result.stderr
    assert result.stderr == "", "quiet by default"
    assert (tmp_path / "look.cube").exists()
    assert "(65, 65, 65, 3)" in result.stdout
