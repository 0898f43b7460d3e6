#!/usr/bin/env python3
"""Fetch a few seconds of a spectrum, an image and a slow channel, and print a
line per record: by default from the embedded DAQ data server, or from the
servers named on the command line (entries FACILITY/DEVICE/LOCATION/).
The package is built by an unsanitized build of the project:

    cmake -S . -B build/release-pkg -DCMAKE_BUILD_TYPE=Release -DDAQ_SANITIZE=none \
          -DDAQ_BUILD_TESTS=OFF -DPython3_EXECUTABLE=/usr/bin/python3
    cmake --build build/release-pkg -j --target daqclient_ext
    PYTHONPATH=build/release-pkg/python /usr/bin/python3 examples/python_fetch.py
"""

import sys

import daqclient

SPECTRUM = "DIAG/TOROID/T1.SPECT"
IMAGE = "CAMERA/SCREEN/IMAGE"
SLOW = "SLOW/TEMP/T1"


def describe(record):
    if record.slow:
        return ", ".join(f"{e.name}={e.value:.3f} (status {e.status})" for e in record.entries)
    spectrum = record[SPECTRUM]
    image = record[IMAGE]
    return (f"spectrum {spectrum.values.size} values from {spectrum.start} by {spectrum.inc}, "
            f"max {spectrum.values.max():.3f}; image {image.pixels.shape} {image.pixels.dtype}, "
            f"mean {image.pixels.mean():.1f}")


def main():
    servers = sys.argv[1:] or None
    try:
        records = daqclient.fetch([SPECTRUM, IMAGE, SLOW], "2025-03-01T10:00:00", "2025-03-01T10:00:03",
                                  servers=servers, local=servers is None, stream=True)
        for record in records:
            kind = "slow " if record.slow else "event"
            print(f"{kind} {record.event_number} {record.datetime.isoformat()}  {describe(record)}")
        print(f"end: {records.end_data_status_text} (normal: {records.ended_normally})")
        c = records.counters()
        print(f"{c['records_delivered']} records of {c['events_received']} events, "
              f"{c['bytes_received']} bytes in {c['elapsed_s']:.2f} s, "
              f"{c['reconnects']} reconnects, {c['dropped_events']} events dropped")
    except daqclient.DaqError as failure:
        print(f"python_fetch: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
