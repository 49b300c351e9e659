"""Many constructions, good and failing, leave memory and the arguments' reference counts flat."""
import gc
import sys
import tracemalloc
import unittest

from voxframe import VoxFrame

ROUNDS = 20000


def churn(payload, stamp, marker, rounds):
    for i in range(rounds):
        r = VoxFrame(i, i, stamp, i, payload, None, i & 1, None, marker)
        r.get_data()
        r.get_timestamp_ms()
        r.is_empty()
        try:
            VoxFrame(i, i, stamp, i, payload, len(payload) + 1)
        except ValueError:
            pass
        try:
            r.get_gpios(1)
        except TypeError:
            pass


class LeakTest(unittest.TestCase):
    def test_argument_references_are_released(self):
        payload, stamp, marker = bytes(160), b"\x00\x00\x03\xe8", object()
        churn(payload, stamp, marker, 100)
        gc.collect()
        before = [sys.getrefcount(x) for x in (payload, stamp, marker)]
        churn(payload, stamp, marker, ROUNDS // 4)
        gc.collect()
        self.assertEqual([sys.getrefcount(x) for x in (payload, stamp, marker)], before)

    def test_memory_stays_flat(self):
        payload, stamp, marker = bytes(160), b"\x00\x00\x03\xe8", object()
        tracemalloc.start()
        try:
            churn(payload, stamp, marker, 1000)
            gc.collect()
            start = tracemalloc.get_traced_memory()[0]
            churn(payload, stamp, marker, ROUNDS)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - start
        finally:
            tracemalloc.stop()
        # A leak of even one small object per round would be several hundred kilobytes.
        self.assertLess(grown, 64 * 1024)

    def test_memory_returns_after_a_burst(self):
        payload, stamp = bytes(20), b"\x00\x00\x03\xe8"
        tracemalloc.start()
        try:
            churn(payload, stamp, None, 100)
            gc.collect()
            start = tracemalloc.get_traced_memory()[0]
            burst = [VoxFrame(i, 0, stamp, i, payload) for i in range(50000)]
            del burst
            gc.collect()
            kept = tracemalloc.get_traced_memory()[0] - start
        finally:
            tracemalloc.stop()
        # 50,000 records hold megabytes; what finds their payloads must go with them.
        self.assertLess(kept, 256 * 1024)


if __name__ == "__main__":
    unittest.main()
