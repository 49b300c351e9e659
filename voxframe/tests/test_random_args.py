"""Records built from random argument mixes: each raises a Python exception or is a valid record."""
import ctypes
import random
import sys
import unittest

import support

ROUNDS = 3000
SEED = 20261207

CHILD = """
import sys, test_random_args
test_random_args.fuzz(int(sys.argv[1]), int(sys.argv[2]))
print("done")
"""


class Sized:
    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n


class BadIndex:
    def __index__(self):
        raise OverflowError("no index")


class BadIter:
    def __len__(self):
        return 4

    def __iter__(self):
        raise KeyError("no items")


def pool(rng):
    """One argument value of some kind."""
    ints = [0, 1, -1, 3, 4, 5, 255, 256, 65535, 65536, 65537, 2 ** 31, 2 ** 32, -2 ** 32,
            2 ** 64 + 1, -(2 ** 70), 10 ** 30]
    kind = rng.randrange(12)
    if kind == 0:
        return rng.choice(ints)
    if kind == 1:
        return rng.choice([1.5, float("nan"), float("inf"), -0.0, 1j])
    if kind == 2:
        return rng.choice([None, True, False, "", "abcd", object(), Sized(3), BadIndex(), BadIter()])
    if kind in (3, 4):
        return bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 3, 4, 5, 8, 64])))
    if kind == 5:
        return bytearray(rng.choice([0, 4, 100, 65536, 65540]))
    if kind == 6:
        return [rng.choice(ints) for _ in range(rng.choice([0, 3, 4, 5]))]
    if kind == 7:
        return tuple(rng.randrange(-300, 300) for _ in range(rng.choice([2, 4, 6])))
    if kind == 8:
        return memoryview(bytes(rng.randrange(0, 20)))
    if kind == 9:
        return (ctypes.c_ubyte * rng.choice([0, 4, 9]))()
    if kind == 10:
        return {1: 2} if rng.random() < 0.5 else range(rng.choice([0, 4, 300]))
    return rng.choice(ints) * rng.choice([1, -1])


NAMES = ["sequence_number", "gpios", "timestamp_bytes", "rtp_timestamp_ms", "data", "data_len",
         "replica", "timestamp_ms", "empty_packet", "self", "bogus"]


def check_record(r, args, kwargs):
    """The invariants of a record the constructor accepted."""
    from voxframe import VoxFrame
    assert isinstance(r, VoxFrame)
    n = r.data_len
    assert 0 <= n <= 65535
    out = r.get_data()
    assert isinstance(out, bytes) and len(out) == n, (n, len(out))
    values = dict(zip(NAMES, args))
    values.update(kwargs)
    assert out == bytes(memoryview(values["data"]).cast("B"))[:n]
    assert 0 <= r.get_sequence_n() <= 65535 and 0 <= r.get_gpios() <= 255
    assert 0 <= r.get_timestamp_ms() <= 2 ** 32 - 1 and 0 <= r.get_rtp_timestamp_ms() <= 2 ** 32 - 1
    assert len(bytes(r.timestamp_bytes)) == 4
    assert isinstance(r.replica, bool)
    assert r.is_empty() is values.get("empty_packet", False)


def fuzz(seed, rounds):
    from voxframe import VoxFrame
    rng = random.Random(seed)
    built = 0
    for i in range(rounds):
        if rng.random() < 0.5:
            args = [rng.randrange(70000), rng.randrange(300), bytes(4), rng.randrange(2 ** 33),
                    bytes(rng.randrange(10))]
            for k in rng.sample(range(5), rng.randrange(0, 3)):
                args[k] = pool(rng)
        else:
            args = [pool(rng) for _ in range(rng.randrange(0, 12))]
        kwargs = {name: pool(rng) for name in rng.sample(NAMES, rng.choice([0, 0, 1, 2, 4]))}
        try:
            record = VoxFrame(*args, **kwargs)
        except SystemError as exc:
            raise AssertionError("round %d: SystemError %s" % (i, exc))
        except Exception:
            continue
        check_record(record, args, kwargs)
        built += 1
    return built


class RandomArgumentsTest(unittest.TestCase):
    def test_every_call_raises_or_builds_a_valid_record(self):
        # In a child: a crash must fail the test, not take the runner down.
        code = "import sys; sys.path.insert(0, %r)\n" % sys.path[0] + CHILD
        out = support.run_python(code.replace("sys.argv[1]", str(SEED)).replace(
            "sys.argv[2]", str(ROUNDS)), timeout=600)
        self.assertEqual(out.strip(), "done")

    def test_some_calls_build_records(self):
        self.assertGreater(fuzz(SEED + 1, 300), 15)


if __name__ == "__main__":
    unittest.main()
