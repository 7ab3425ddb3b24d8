"""One setValue + getValue round trip of the SCPI template (ScpiDevice) over loopback, against
PyVISA's own write + query doing the same job on the same connection, measured in the same run.

The instrument is the tests' raw SCPI socket server (tests/driver/scpi_server.py) in a child
process, which answers each query from the thread that read it, at once. The baseline is what a
PyVISA user writes for the same setting: write(f"SOUR{ch}:VOLT {value}") and
float(query(f"SOUR{ch}:VOLT?")). The two alternate call by call and each is timed on its own, so
that a busy moment of the machine hits both alike; the medians are compared.

    python bench/scpi_calls.py [PAIRS]        (default: 20000)
"""

import pathlib
import statistics
import subprocess
import sys
import time

from pelorix.driver.common.quantity import Quantity
from pelorix.driver.ScpiDevice import ScpiDevice

SERVER = pathlib.Path(__file__).resolve().parent.parent / "tests" / "driver" / "scpi_server.py"


class Source(ScpiDevice):
    CHs = [1, 2]
    quants = [Quantity("Amplitude", 1.0, unit="V")]
    commands = {"Amplitude": "SOUR{ch}:VOLT"}


def timed_pairs(device, pairs, value=0.5, ch=2):
    """Times `pairs` round trips of each side, alternating; both lists of times in seconds."""
    write, query = device.resource.write, device.resource.query
    set_value, get_value = device.setValue, device.getValue
    clock = time.perf_counter
    baseline, template = [], []
    for _ in range(pairs):
        start = clock()
        write(f"SOUR{ch}:VOLT {value}")
        float(query(f"SOUR{ch}:VOLT?"))
        middle = clock()
        set_value("Amplitude", value, ch=ch)
        get_value("Amplitude", ch=ch)
        end = clock()
        baseline.append(middle - start)
        template.append(end - middle)
    return baseline, template


def main():
    pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    server = subprocess.Popen([sys.executable, str(SERVER)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline())
        with Source("127.0.0.1", port=port) as device:
            device.setValue("Amplitude", 0.75, ch=2)
            assert device.resource.query("SOUR2:VOLT?") == "0.75"
            assert device.getValue("Amplitude", ch=2) == 0.75
            baseline, template = timed_pairs(device, pairs)
    finally:
        server.stdin.close()  # the server's signal to stop
        try:
            server.wait(5)
        except subprocess.TimeoutExpired:
            server.kill()  # by its process id, as Popen does
            server.wait()
    baseline, mine = statistics.median(baseline), statistics.median(template)
    print(f"setValue + getValue over loopback: baseline (PyVISA write + query) "
          f"{baseline * 1e6:.1f} us, ScpiDevice {mine * 1e6:.1f} us, ratio {baseline / mine:.2f}x "
          f"(the template adds {(mine / baseline - 1) * 100:+.1f}%)")


if __name__ == "__main__":
    main()
