"""Pictures: each kind drawn from the embedded server's data shows those data, as
a PNG of the asked size with UTC times; requests that cannot be drawn fail with
one line and exit status 2."""

import io
import os
import struct
import subprocess
import sys

import matplotlib
import numpy as np
import pytest
import xarray as xr

import daqclient
from conftest import window
from daqclient import plot

SPECTRUM = "DIAG/TOROID/T1.SPECT"
IMAGE = "CAMERA/SCREEN/IMAGE"
BPM = "DIAG/BPM/BPM1"
GROUPS = "DIAG/GSPECT/G1"
NAMES = "RF/STATUS/NAMES"
PUMPS = "VACUUM/UPDATE/PUMPS"
SLOW = ["SLOW/TEMP/T1", "SLOW/PRESSURE/P1"]
TEXT_START, TEXT_STOP = "2025-03-01T09:00:00Z", "2025-03-01T09:00:02Z"


@pytest.fixture(scope="module")
def frames():
    start, stop = window(2)
    return plot.load([SPECTRUM, IMAGE, BPM, GROUPS, NAMES, PUMPS] + SLOW, start, stop, local=True)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def test_each_kind_draws_the_channels_values_to_a_png_of_the_asked_size(frames, tmp_path):
    spectrum = frames[SPECTRUM]
    fig = plot.plot(frames, [SPECTRUM], size=(640, 480))
    ax = fig.axes[0]
    assert len(fig.axes) == 2  # the panel and its colour bar
    assert (ax.get_title(), ax.get_xlabel(), ax.get_ylabel()) == (SPECTRUM, "time (UTC)", "index")
    # Time along x, index along y: the mesh's rows are the spectrum's samples.
    mesh = ax.collections[0].get_array().reshape(1024, 20)
    np.testing.assert_allclose(mesh, spectrum.values.T, rtol=1e-6)
    plot.save(fig, tmp_path / "w.png")
    assert png_size(tmp_path / "w.png") == (640, 480)

    # Several spectra per record: the one named by its suffix.
    ax = plot.waterfall(frames, [BPM], spectrum="Y").axes[0]
    assert ax.get_title() == f"{BPM} [Y]"
    np.testing.assert_allclose(ax.collections[0].get_array().reshape(16, 20),
                               frames[BPM].sel(spectrum=f"{BPM}_Y").values.T, rtol=1e-6)
    # Spectra of one name told by position; their groups one after another along y.
    ax = plot.waterfall(frames, [GROUPS], spectrum=1).axes[0]
    assert ax.get_title() == f"{GROUPS} [1]"
    np.testing.assert_allclose(ax.collections[0].get_array().reshape(4 * 256, 20),
                               frames[GROUPS].values[:, 1].reshape(20, -1).T, rtol=1e-6)

    images = frames[IMAGE]
    last = plot.plot(frames, [IMAGE]).axes[0]
    np.testing.assert_array_equal(last.images[0].get_array(), images.values[-1])
    chosen_event = int(images.event_number[4])
    chosen = plot.image(frames, [IMAGE], event=chosen_event).axes[0]
    np.testing.assert_array_equal(chosen.images[0].get_array(), images.values[4])
    assert f"event {chosen_event}, 2025-03-01 09:00:00.400 UTC" in chosen.get_title()

    # An update channel's items in one panel; several channels, one panel each.
    fig = plot.plot(frames, [PUMPS, NAMES])
    pumps, names = fig.axes
    assert [line.get_label() for line in pumps.lines] == [str(i) for i in range(6)]
    assert len(names.lines) == 8 and names.get_title() == NAMES
    np.testing.assert_allclose(pumps.lines[2].get_ydata(), frames[f"{PUMPS}.2"]["value"])

    fig = plot.plot(frames, SLOW, size=(500, 300))
    assert [ax.get_title() for ax in fig.axes] == SLOW
    np.testing.assert_allclose(fig.axes[1].lines[0].get_ydata(), frames[SLOW[1]]["value"])
    plot.save(fig, tmp_path / "s.png")
    assert png_size(tmp_path / "s.png") == (500, 300)


def test_time_axes_read_utc_whatever_the_configured_zone(frames):
    with matplotlib.rc_context({"timezone": "Asia/Tokyo"}):
        fig = plot.plot(frames, SLOW[:1])
        fig.savefig(io.BytesIO(), format="png")  # ticks are placed when drawn
    ax = fig.axes[0]
    assert "09:00" in [t.get_text() for t in ax.get_xticklabels()]
    assert ax.xaxis.get_major_formatter().get_offset() == "2025-Mar-01 09:00"


def test_unknown_channels_and_kinds_that_do_not_fit_are_refused(frames):
    with pytest.raises(plot.PlotError, match=r"^unknown channel: NOPE \(the data hold"):
        plot.plot(frames, ["NOPE"])
    with pytest.raises(plot.PlotError, match=f"kind image does not fit {SPECTRUM}, a spectrum"):
        plot.plot(frames, [SPECTRUM], "image")
    with pytest.raises(plot.PlotError, match="different kinds"):
        plot.plot(frames, [SPECTRUM, IMAGE])
    hollow = {"S": xr.DataArray(np.zeros((3, 0)), dims=("time", "index"), coords={
        "time": frames[SPECTRUM].time.values[:3]})}
    with pytest.raises(plot.PlotError, match="^S has spectra without samples"):
        plot.plot(hollow)
    for event in (7, 2**64, -1):
        with pytest.raises(plot.PlotError, match=f"event {event} is not among the 20 images"):
            plot.image(frames, IMAGE, event=event)


def run_plot(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-m", "daqclient.plot", *args], env=env,
                          capture_output=True, text=True, timeout=60)


def test_command_line_draws_and_fails_with_one_line_and_status_2(tmp_path, capsys):
    out = tmp_path / "slow.png"
    done = run_plot(*SLOW, "--local", "--start", TEXT_START, "--stop", TEXT_STOP,
                    "--size", "320x200", "-o", str(out))
    assert done.returncode == 0, done.stderr
    assert png_size(out) == (320, 200)

    fetch = ["--local", "-o", str(tmp_path / "x.png")]
    cases = [
        ([SPECTRUM, "--start", TEXT_STOP, "--stop", TEXT_START],
         f"empty range: the start {TEXT_STOP} is not before the stop {TEXT_START}"),
        (["NOPE/X/Y", "--start", TEXT_START, "--stop", TEXT_STOP], "unknown channel: NOPE/X/Y"),
        ([SPECTRUM, "--kind", "slow", "--start", TEXT_START, "--stop", TEXT_STOP],
         f"kind slow does not fit {SPECTRUM}"),
        ([SPECTRUM, "--start", "2019-03-01T09:00:00Z", "--stop", "2019-03-01T09:00:01Z"],
         "no data between"),
    ]
    for args, message in cases:
        assert plot.main(args + fetch) == 2, args
        err = capsys.readouterr().err
        assert err.startswith(f"daqclient.plot: {message}") and err.count("\n") == 1, err
    assert not (tmp_path / "x.png").exists()


@pytest.mark.skipif(not hasattr(daqclient, "fetch_hdf5"), reason="no HDF5 writer in this build")
def test_hdf5_file_drawn_and_cut_to_the_range(tmp_path):
    path = str(tmp_path / "f.h5")
    start, stop = window(2)
    daqclient.fetch_hdf5(path, [IMAGE] + SLOW, start, stop, local=True)
    cut = plot.load(start="2025-03-01T09:00:01Z", stop=TEXT_STOP, hdf5=path)
    assert len(cut[IMAGE].time) == 10 and len(cut[SLOW[0]]) == 1
    # No channel named: those of the kind asked.
    assert {ax.get_title() for ax in plot.slow(cut).axes} == set(SLOW)
    out = tmp_path / "i.png"
    assert plot.main(["--hdf5", path, IMAGE, "--event", str(int(cut[IMAGE].event_number[0])),
                      "-o", str(out)]) == 0
    assert png_size(out) == plot.DEFAULT_SIZE
    assert plot.main(["--hdf5", path, "--start", "2025-03-01T10:00:00Z", "--stop",
                      "2025-03-01T10:00:01Z", "-o", str(out)]) == 2
