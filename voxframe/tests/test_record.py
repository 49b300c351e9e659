"""VoxFrame records: construction, accessors, field rules, layout, argument errors, tracebacks."""
import ctypes
import os
import sys
import traceback
import typing
import unittest
import weakref

import support
from support import STAMP_1000, base_args
from voxframe import VoxFrame


class Reference(ctypes.Structure):
    """The record as native code would declare it."""
    _fields_ = [
        ("sequence_number", ctypes.c_uint16),
        ("gpios", ctypes.c_uint8),
        ("timestamp_bytes", ctypes.c_ubyte * 4),
        ("rtp_timestamp_ms", ctypes.c_uint32),
        ("data", ctypes.POINTER(ctypes.c_ubyte)),
        ("data_len", ctypes.c_uint16),
        ("replica", ctypes.c_bool),
        ("timestamp_ms", ctypes.c_uint32),
    ]


def raised(exc_type, call, *args, **kwargs):
    """The exception call raises, with its traceback (assertRaises drops it)."""
    try:
        call(*args, **kwargs)
    except exc_type as exc:
        return exc
    raise AssertionError("%s not raised" % exc_type.__name__)


def last_entry(exc):
    return traceback.extract_tb(exc.__traceback__)[-1]


# Hooks that empty the caller's keyword dict while the constructor runs; every value is made at
# run time, so the dict holds the only reference to it.
ARGUMENTS_FREED_MID_CALL = """
import voxframe

class ClearingPayload(bytearray):
    def __len__(self):
        kwargs.clear()
        return bytearray.__len__(self)

class ClearingTruth:
    def __bool__(self):
        kwargs.clear()
        return True

def fresh(**extra):
    return dict(sequence_number=int("70001"), gpios=int("3"),
                timestamp_bytes=bytearray(b"\\0\\0\\3\\xe8"), rtp_timestamp_ms=int("12345678901"),
                empty_packet=[int("5")], **extra)

for extra in (dict(data=ClearingPayload(b"abc")),
              dict(data=bytes(bytearray(b"abc")), data_len=int("2"), replica=ClearingTruth())):
    kwargs = fresh(**extra)
    r = voxframe.VoxFrame(**kwargs)
    del kwargs
    bytearray(1000)  # reuses freed memory
    print(r.get_sequence_n(), r.get_gpios(), bytes(r.timestamp_bytes).hex(), r.get_timestamp_ms(),
          r.get_rtp_timestamp_ms(), r.get_data(), r.replica, r.is_empty())
"""


# A key whose __eq__, run by the binding, moves a non-string key in among the caller's keywords:
# the binding goes on with the keywords as they were passed, as CPython's does.
KEYWORDS_CHANGED_MID_BINDING = """
import voxframe

class Rearranging(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        if other == "replica" and 12345 not in kwargs:
            kwargs.pop("bogus")
            kwargs[12345] = 1
            kwargs["bogus"] = 1
        return str.__eq__(self, other)

kwargs = {Rearranging("replica"): 1, "bogus": 2}
try:
    voxframe.VoxFrame(1, 0, b"\\0\\0\\0\\0", 0, b"", **kwargs)
except TypeError as exc:
    print(exc)
"""


# Collections run while the constructor makes the array type of a new payload length, and the
# finalizers they run make records of another length.
RECORDS_MADE_BY_FINALIZERS = """
import gc
from voxframe import VoxFrame

class Garbage:
    def __del__(self):
        make_garbage()
        VoxFrame(1, 0, b"\\0\\0\\3\\xe8", 0, bytes(7))

def make_garbage():
    g = Garbage()
    g.cycle = g

make_garbage()
gc.set_threshold(1)
records = {n: VoxFrame(1, 0, b"\\0\\0\\3\\xe8", 0, bytes(n)) for n in range(1000, 1040)}
gc.set_threshold(700)
print(all(r.get_data() == bytes(n) for n, r in records.items()))
"""


# Finalizers that read their record's payload: one run by a collection, one at exit.
PAYLOAD_READ_BY_FINALIZERS = """
import gc
from voxframe import VoxFrame

class Flush:
    def __init__(self, payload):
        self.record = VoxFrame(1, 0, b"\\0\\0\\3\\xe8", 0, payload)

    def __del__(self):
        print(self.record.get_data())

collected = Flush(b"abc")
collected.cycle = collected
del collected
gc.collect()
at_exit = Flush(b"xyz")
"""


# Records whose pointer outlives the copy it points at, then new records. A payload this long
# lies in a block of its own size, which only the next copies of that length reuse.
FREED_COPY_AT_THE_SAME_ADDRESS = """
import ctypes, sys
from voxframe import VoxFrame

def address(r):
    at = VoxFrame.data.offset
    return int.from_bytes(bytes(r)[at:at + ctypes.sizeof(ctypes.c_void_p)], sys.byteorder)

def rewritten_itself(r):
    r.data = r.data

def shared_then_rewritten(r):
    other = VoxFrame(2, 0, b"\\0\\0\\3\\xe8", 0, bytes(300))
    r.data = other.data
    other.data = (ctypes.c_ubyte * 3)(*b"zzz")

for change in (rewritten_itself, shared_then_rewritten):
    r = VoxFrame(1, 0, b"\\0\\0\\3\\xe8", 0, bytes(300))
    change(r)
    later = [VoxFrame(3, 0, b"\\0\\0\\3\\xe8", 0, b"%0300d" % i) for i in range(3)]
    landed = [address(n) for n in later].count(address(r))
    view = VoxFrame.from_address(ctypes.addressof(r))
    print(change.__name__.replace("_", " ") + ":", landed, r.get_data()[:5], view.get_data()[:5])
"""


class ConstructionTest(unittest.TestCase):
    def test_plain_packet_fills_every_field(self):
        r = VoxFrame(**base_args(rtp_timestamp_ms=77, gpios=5))
        self.assertEqual((r.sequence_number, r.gpios, r.rtp_timestamp_ms), (1, 5, 77))
        self.assertEqual(bytes(r.timestamp_bytes), STAMP_1000)
        self.assertEqual(r.data_len, 3)
        self.assertEqual(r.data[:3], [0x61, 0x62, 0x63])
        self.assertIs(r.replica, False)
        self.assertEqual(r.timestamp_ms, 1000)
        self.assertEqual(r.get_timestamp_ms(), 1000)
        self.assertEqual(r.get_rtp_timestamp_ms(), 77)
        self.assertEqual(r.get_gpios(), 5)
        self.assertEqual(r.get_sequence_n(), 1)
        self.assertEqual(r.get_data(), b"abc")
        self.assertIs(r.is_empty(), False)

    def test_edge_cases(self):
        marker = object()
        cases = [  # overrides, data_len, get_data(), get_timestamp_ms()
            ({}, 3, b"abc", 1000),
            ({"data_len": 2}, 2, b"ab", 1000),
            ({"data_len": 0}, 0, b"", 1000),
            ({"data": b""}, 0, b"", 1000),
            ({"data": bytearray(b"xyz"), "data_len": None}, 3, b"xyz", 1000),
            ({"data": memoryview(b"0123456789")[2:5]}, 3, b"234", 1000),
            ({"timestamp_ms": 0}, 3, b"abc", 0),
            ({"timestamp_ms": 2 ** 32 + 5}, 3, b"abc", 5),
            ({"timestamp_bytes": b"\xff\xff\xff\xff"}, 3, b"abc", 4294967295),
            ({"timestamp_bytes": bytearray(4)}, 3, b"abc", 0),
            ({"timestamp_bytes": [0, 0, 1, 0]}, 3, b"abc", 256),
            ({"timestamp_bytes": (1, 0, 0, 0)}, 3, b"abc", 1 << 24),
            ({"data": bytes(65536)}, 0, b"", 1000),
            ({"data": b"\x07" + bytes(65536)}, 1, b"\x07", 1000),
            ({"data_len": 65536 + 2}, 2, b"ab", 1000),
            ({"data_len": -65535}, 1, b"a", 1000),
        ]
        for overrides, data_len, data, ms in cases:
            with self.subTest(overrides=overrides if "data" not in overrides else "data"):
                r = VoxFrame(**base_args(**overrides))
                self.assertEqual(r.data_len, data_len)
                self.assertEqual(r.get_data(), data)
                self.assertEqual(r.get_timestamp_ms(), ms)
                self.assertEqual(r.timestamp_ms, ms)
        r = VoxFrame(**base_args(empty_packet=marker, replica="yes"))
        self.assertIs(r.is_empty(), marker)
        self.assertIs(r._VoxFrame__empty, marker)
        self.assertIs(r.replica, True)
        self.assertIs(VoxFrame(**base_args(replica=0)).replica, False)
        self.assertIs(VoxFrame(**base_args(replica=ctypes.c_bool(True))).replica, True)

    def test_arguments_freed_by_a_hook_stay_alive_for_the_call(self):
        # What a Python __init__ would build: it holds its arguments for the whole call.
        out = support.run_python(ARGUMENTS_FREED_MID_CALL)
        self.assertEqual(out.splitlines(), [
            "4465 3 000003e8 1000 3755744309 b'abc' False [5]",
            "4465 3 000003e8 1000 3755744309 b'ab' True [5]"])

    def test_records_made_by_finalizers_mid_construction(self):
        self.assertEqual(support.run_python(RECORDS_MADE_BY_FINALIZERS).split(), ["True"])

    def test_integer_arguments_keep_their_low_bits(self):
        cases = [  # sequence_number, gpios, rtp_timestamp_ms, expected
            (65536, 256, 2 ** 32, (0, 0, 0)),
            (-1, -1, -1, (65535, 255, 4294967295)),
            (2 ** 70 + 3, 2 ** 70 + 4, 2 ** 70 + 5, (3, 4, 5)),
            (True, False, True, (1, 0, 1)),
        ]
        for seq, gpios, rtp, expected in cases:
            with self.subTest(seq=seq):
                r = VoxFrame(**base_args(sequence_number=seq, gpios=gpios, rtp_timestamp_ms=rtp))
                self.assertEqual((r.get_sequence_n(), r.get_gpios(), r.get_rtp_timestamp_ms()),
                                 expected)

    def test_bad_values_raise_at_their_step(self):
        cases = [  # overrides, exception
            ({"data_len": 5}, ValueError),
            ({"data": 5}, TypeError),
            ({"data": 5, "data_len": 3}, TypeError),
            ({"data": [1, 2, 3]}, TypeError),
            ({"data": "abc"}, TypeError),
            ({"sequence_number": 1.5}, TypeError),
            ({"gpios": "1"}, TypeError),
            ({"rtp_timestamp_ms": None}, TypeError),
            ({"data_len": 1.0}, TypeError),
            ({"timestamp_ms": 2.5}, TypeError),
            ({"timestamp_bytes": b"\x00\x00\x03"}, TypeError),
            ({"timestamp_bytes": b"\x00" * 5}, TypeError),
            ({"timestamp_bytes": 1000}, TypeError),
            ({"timestamp_bytes": [0, 0, 3, 1.0]}, TypeError),
            ({"timestamp_bytes": [0, 0, 3, 300]}, ValueError),
            ({"timestamp_bytes": [0, 0, 3, -1]}, ValueError),
            # The field takes the truth of plain objects but refuses other ctypes instances.
            ({"replica": (ctypes.c_ubyte * 1)(1)}, TypeError),
            ({"replica": ctypes.c_uint8(1)}, TypeError),
        ]
        for overrides, exc in cases:
            with self.subTest(overrides=overrides):
                caught = raised(exc, VoxFrame, **base_args(**overrides))
                names = [entry.name for entry in traceback.extract_tb(caught.__traceback__)]
                tail = ["voxframe.VoxFrame.__init__"]
                if exc is ValueError and "timestamp_bytes" in overrides:
                    tail.append("voxframe.VoxFrame._bytes_timestamp_to_ms")
                self.assertEqual(names[-len(tail):], tail)

    def test_out_of_range_stamp_byte_is_stored_when_ms_is_given(self):
        r = VoxFrame(**base_args(timestamp_bytes=[0, 0, 3, 300], timestamp_ms=9))
        self.assertEqual(list(r.timestamp_bytes), [0, 0, 3, 44])
        self.assertEqual(r.get_timestamp_ms(), 9)

    def test_failed_construction_keeps_the_steps_before_it(self):
        r = VoxFrame.__new__(VoxFrame)
        with self.assertRaises(ValueError):
            r.__init__(7, 9, b"\x00\x00\x00\x01", 11, b"ab", 5)
        self.assertEqual((r.sequence_number, r.gpios, r.rtp_timestamp_ms, r.data_len), (7, 9, 11, 5))
        self.assertEqual(bytes(r.timestamp_bytes), b"\x00\x00\x00\x01")
        self.assertEqual(r.timestamp_ms, 0)
        self.assertFalse(bool(r.data))
        self.assertFalse(hasattr(r, "_VoxFrame__empty"))

    def test_payload_is_a_private_copy(self):
        payload = bytearray(b"abc")
        r = VoxFrame(**base_args(data=payload))
        payload[0] = ord("z")
        self.assertEqual(r.get_data(), b"abc")
        out = r.get_data()
        r.data[0] = ord("q")
        self.assertEqual((out, r.get_data()), (b"abc", b"qbc"))

    def test_all_parameters_by_position_and_by_keyword(self):
        marker = []
        by_position = VoxFrame(2, 3, b"\x00\x00\x00\x09", 4, b"wxyz", 3, 1, 8, marker)
        by_keyword = VoxFrame(empty_packet=marker, timestamp_ms=8, replica=1, data_len=3,
                              data=b"wxyz", rtp_timestamp_ms=4, timestamp_bytes=b"\x00\x00\x00\x09",
                              gpios=3, sequence_number=2)
        for r in (by_position, by_keyword):
            self.assertEqual((r.get_sequence_n(), r.get_gpios(), r.get_rtp_timestamp_ms(),
                              r.get_data(), r.replica, r.get_timestamp_ms()),
                             (2, 3, 4, b"wxy", True, 8))
            self.assertIs(r.is_empty(), marker)


class Plain(VoxFrame):
    """A subclass: its records take every store through the ctypes fields."""


class StoreEquivalenceTest(unittest.TestCase):
    def test_records_of_a_subclass_hold_the_same_bytes(self):
        cases = [
            base_args(),
            base_args(sequence_number=-1, gpios=511, rtp_timestamp_ms=-5, data_len=65538,
                      replica=[1], timestamp_ms=2 ** 40 + 7, data=b"xyz" * 9),
            base_args(sequence_number=True, gpios=False, timestamp_bytes=bytearray(b"\x80\1\2\3")),
            base_args(timestamp_bytes=[9, 8, 7, 6], replica="", data=bytearray(300)),
            base_args(timestamp_bytes=memoryview(b"\xff\0\xff\0"), data=memoryview(b"pq")),
            base_args(replica=ctypes.c_bool(True), data_len=False),
        ]
        pointer_at = VoxFrame.data.offset
        pointer_end = pointer_at + ctypes.sizeof(ctypes.c_void_p)
        for args in cases:
            with self.subTest(args=args):
                fast, slow = VoxFrame(**args), Plain(**args)
                a, b = bytes(fast), bytes(slow)
                self.assertEqual(a[:pointer_at] + a[pointer_end:], b[:pointer_at] + b[pointer_end:])
                self.assertEqual(fast.get_data(), slow.get_data())
                self.assertEqual(fast.get_timestamp_ms(), slow.get_timestamp_ms())

    def test_a_changed_class_still_builds_records(self):
        code = "\n".join([
            "import voxframe",
            "voxframe.VoxFrame.extra = 1",
            "voxframe.VoxFrame.get_gpios = lambda self: -self.gpios",
            "r = voxframe.VoxFrame(-1, 7, b'\\0\\0\\1\\0', 2 ** 33, b'abcd', 3)",
            "print(r.sequence_number, r.get_gpios(), r.get_timestamp_ms(), r.rtp_timestamp_ms,"
            " r.get_data())",
        ])
        out = support.run_python(code)
        self.assertEqual(out.split(), ["65535", "-7", "256", "0", "b'abc'"])

    def test_the_constructor_looks_its_names_up_in_the_module(self):
        code = "\n".join([
            "import ctypes, voxframe",
            "voxframe.c_ubyte = ctypes.c_byte",
            "try:",
            "    voxframe.VoxFrame(1, 0, b'\\0\\0\\1\\0', 0, b'abc')",
            "except TypeError as exc:",
            "    print(exc)",
        ])
        out = support.run_python(code)
        self.assertEqual(out.strip(),
                         "incompatible types, c_byte_Array_4 instance instead of c_ubyte_Array_4 instance")


class BytesTimestampTest(unittest.TestCase):
    def test_big_endian_value_of_all_bytes(self):
        cases = [
            (b"", 0),
            (STAMP_1000, 1000),
            (b"\xff\xff\xff\xff", 4294967295),
            (bytes(range(1, 9)), 0x0102030405060708),
            (bytearray(b"\x01\x00"), 256),
            ([1, 2], 258),
        ]
        r = VoxFrame(**base_args())
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertEqual(VoxFrame._bytes_timestamp_to_ms(value), expected)
                self.assertEqual(r._bytes_timestamp_to_ms(value), expected)

    def test_bad_values(self):
        for value, exc in [([256], ValueError), (5, TypeError), ("ab", TypeError)]:
            with self.subTest(value=value):
                caught = raised(exc, VoxFrame._bytes_timestamp_to_ms, value)
                self.assertEqual(last_entry(caught).name,
                                 "voxframe.VoxFrame._bytes_timestamp_to_ms")


class FieldTest(unittest.TestCase):
    def test_integer_fields_store_low_bits(self):
        cases = [  # field, stored, read back
            ("sequence_number", 65536, 0), ("sequence_number", -1, 65535),
            ("gpios", 256, 0), ("gpios", -2, 254),
            ("rtp_timestamp_ms", 2 ** 32 + 1, 1), ("timestamp_ms", -1, 4294967295),
            ("data_len", 65537, 1),
        ]
        r = VoxFrame(**base_args())
        for field, value, expected in cases:
            with self.subTest(field=field, value=value):
                setattr(r, field, value)
                self.assertEqual(getattr(r, field), expected)
        r.timestamp_bytes[0] = 257
        self.assertEqual(r.timestamp_bytes[0], 1)
        for field in ("sequence_number", "gpios", "rtp_timestamp_ms", "data_len", "timestamp_ms"):
            with self.subTest(field=field):
                with self.assertRaises(TypeError):
                    setattr(r, field, 1.0)

    def test_replica_stores_truth_value(self):
        r = VoxFrame(**base_args())
        for value, expected in [("x", True), ("", False), (0, False), ([0], True), (None, False)]:
            r.replica = value
            self.assertIs(r.replica, expected)

    def test_timestamp_bytes_takes_only_four(self):
        r = VoxFrame(**base_args())
        r.timestamp_bytes = (ctypes.c_ubyte * 4)(1, 2, 3, 4)
        self.assertEqual(bytes(r.timestamp_bytes), b"\x01\x02\x03\x04")
        for n in (0, 3, 5):
            with self.assertRaises(TypeError):
                r.timestamp_bytes = (ctypes.c_ubyte * n)()

    def test_data_takes_arrays_pointers_and_none(self):
        r = VoxFrame(**base_args())
        array = (ctypes.c_ubyte * 6)(*b"abcdef")
        r.data = array
        del array  # the record keeps it alive
        self.assertEqual(r.data[:6], list(b"abcdef"))
        other = (ctypes.c_ubyte * 2)(1, 2)
        r.data = ctypes.cast(other, ctypes.POINTER(ctypes.c_ubyte))
        self.assertEqual(r.data[:2], [1, 2])
        r.data = None
        self.assertFalse(bool(r.data))
        r.data_len = 0
        self.assertEqual(r.get_data(), b"")
        r.data_len = 1
        with self.assertRaises(ValueError):
            r.get_data()
        with self.assertRaises(TypeError):
            r.data = b"abc"


class GetDataBoundsTest(unittest.TestCase):
    """data_len and data stay writable; get_data() never reads past what the record keeps."""

    def test_larger_length_is_cut_to_the_owned_copy(self):
        class Index:
            def __init__(self, n):
                self.n = n

            def __index__(self):
                return self.n

        class IndexLength(VoxFrame):
            """Reads data_len back as an index-like object, not an int."""
            data_len = property(lambda self: Index(VoxFrame.data_len.__get__(self)),
                                VoxFrame.data_len.__set__)

        for cls in (VoxFrame, IndexLength):
            r = cls(**base_args())
            for written, expected in [(4, b"abc"), (65535, b"abc"), (2, b"ab"), (3, b"abc")]:
                with self.subTest(cls=cls.__name__, written=written):
                    r.data_len = written
                    self.assertEqual(r.get_data(), expected)
            self.assertEqual(VoxFrame.data_len.__get__(r), 3)

    def test_views_return_the_payload_at_any_scale(self):
        class Holder(ctypes.Structure):
            _fields_ = [("tag", ctypes.c_uint8), ("record", VoxFrame)]

        class Node(ctypes.Structure):
            pass

        Node._fields_ = [("frame", VoxFrame), ("next", ctypes.POINTER(Node))]

        def linked_list(records):
            nodes = [Node(r) for r in records]
            for a, b in zip(nodes, nodes[1:]):
                a.next = ctypes.pointer(b)
            node, frames = nodes[0], []
            while node is not None:
                frames.append(node.frame)
                node = node.next.contents if node.next else None
            return frames

        as_pointer = ctypes.POINTER(VoxFrame)
        views = [  # how each record is reached, whether that view alone keeps the payload
            ("pointer contents", lambda rs: [ctypes.pointer(r).contents for r in rs], True),
            ("pointer chain", lambda rs: [ctypes.pointer(ctypes.pointer(r)).contents.contents
                                          for r in rs], True),
            ("array element", lambda rs: list((VoxFrame * len(rs))(*rs)), True),
            ("structure member", lambda rs: [Holder(1, r).record for r in rs], True),
            ("cast pointer", lambda rs: [ctypes.cast(ctypes.pointer(r), as_pointer).contents
                                         for r in rs], True),
            ("from_buffer", lambda rs: [VoxFrame.from_buffer(r) for r in rs], True),
            ("linked list", linked_list, True),
            ("from_address", lambda rs: [VoxFrame.from_address(ctypes.addressof(r))
                                         for r in rs], False),
            ("cast byref", lambda rs: [ctypes.cast(ctypes.byref(r), as_pointer).contents
                                       for r in rs], False),
            ("copy of the bytes", lambda rs: [VoxFrame.from_buffer_copy(r) for r in rs], False),
        ]
        for count in (1, 12000):
            for name, make, alone in views:
                with self.subTest(view=name, records=count):
                    records = [VoxFrame(**base_args(data=b"%d" % i)) for i in range(count)]
                    made = make(records)
                    if alone:
                        del records
                    first, last = made[0], made[-1]
                    self.assertEqual((first.get_data(), last.get_data()),
                                     (b"0", b"%d" % (count - 1)))
                    last.data_len = 1000
                    self.assertEqual(last.get_data(), b"%d" % (count - 1))

    def test_memory_the_record_does_not_keep_is_never_read(self):
        def pointed_at_array(r):
            r.data = (ctypes.c_ubyte * 3)(*b"xyz")
            r.data_len = 1000

        def pointed_into_array(r):
            r.data = ctypes.pointer(ctypes.c_ubyte.from_buffer((ctypes.c_ubyte * 8)(), 5))

        def pointed_into_its_copy(r):
            r.data = ctypes.pointer(ctypes.c_ubyte.from_buffer(r._objects["4"][1], 1))

        def copy_resized(r):
            ctypes.resize(r._objects["4"][1], 1 << 16)  # moves the copy's memory

        def callback_called_by_hand(r):
            ref = [w for w in weakref.getweakrefs(r._objects["4"][1]) if w.__callback__][0]
            for wrong in (object(), ref):  # neither the reference nor a copy that is gone
                ref.__callback__(wrong)

        def released_view_kept(r):
            scratch = bytearray(b"q" * 64)
            view = memoryview(scratch)
            r._objects["k"] = view
            view.release()
            del scratch
            r.data_len = 1000

        cases = [  # what the caller does to a record holding b"abc", get_data()
            (released_view_kept, b"abc"),
            (callback_called_by_hand, b"abc"),
            (pointed_at_array, b"xyz"),
            (pointed_into_array, b"\0\0\0"),
            (pointed_into_its_copy, b"bc"),
            (copy_resized, b""),
        ]
        for change, expected in cases:
            with self.subTest(change=change.__name__):
                r = VoxFrame(**base_args())
                change(r)
                bytearray(4096)  # reuses freed memory
                self.assertEqual(r.get_data(), expected)

    def test_memory_the_record_does_not_hold_is_never_read(self):
        # A stray pointer would crash the interpreter if it were followed.
        code = "\n".join([
            "import ctypes, voxframe",
            "r = voxframe.VoxFrame(1, 0, b'\\0\\0\\0\\0', 0, b'abc')",
            "r.data = ctypes.cast(ctypes.c_void_p(16), ctypes.POINTER(ctypes.c_ubyte))",
            "r.data_len = 65535",
            "a = r.get_data()",
            "copy = voxframe.VoxFrame.from_buffer_copy(bytes(r))",
            "del r",
            "b = copy.get_data()",
            "print(repr(a), repr(b), copy.data_len)",
        ])
        out = support.run_python(code)
        self.assertEqual(out.split(), ["b''", "b''", "65535"])

    def test_payload_lives_as_long_as_the_record_in_finalizers(self):
        out = support.run_python(PAYLOAD_READ_BY_FINALIZERS)
        self.assertEqual(out.split(), ["b'abc'", "b'xyz'"])

    def test_a_freed_copy_is_never_read_through_a_rewritten_pointer(self):
        # Without the sanitizer's quarantine a new copy soon lies where the freed one was.
        asan = os.environ.get("ASAN_OPTIONS", "")
        out = support.run_python(FREED_COPY_AT_THE_SAME_ADDRESS,
                                 env={"ASAN_OPTIONS": asan + ":quarantine_size_mb=0"
                                                        ":thread_local_quarantine_size_kb=0"})
        self.assertEqual(out.splitlines(), ["rewritten itself: 1 b'' b''",
                                            "shared then rewritten: 1 b'' b''"])


class LayoutTest(unittest.TestCase):
    def test_matches_the_native_struct(self):
        self.assertEqual(ctypes.sizeof(VoxFrame), ctypes.sizeof(Reference))
        self.assertEqual(ctypes.alignment(VoxFrame), ctypes.alignment(Reference))
        self.assertEqual([name for name, _ in VoxFrame._fields_],
                         [name for name, _ in Reference._fields_])
        for (name, vtype), (_, rtype) in zip(VoxFrame._fields_, Reference._fields_):
            with self.subTest(field=name):
                self.assertEqual(getattr(VoxFrame, name).offset, getattr(Reference, name).offset)
                self.assertEqual(getattr(VoxFrame, name).size, getattr(Reference, name).size)
                self.assertEqual(ctypes.sizeof(vtype), ctypes.sizeof(rtype))
        self.assertIs(dict(VoxFrame._fields_)["data"], ctypes.POINTER(ctypes.c_ubyte))
        self.assertEqual(dict(VoxFrame._fields_)["timestamp_bytes"]._length_, 4)

    def test_native_view_of_a_record(self):
        r = VoxFrame(**base_args(sequence_number=0x1234, gpios=0x56, rtp_timestamp_ms=0x789,
                                 replica=True))
        native = Reference.from_buffer_copy(bytes(r))
        self.assertEqual((native.sequence_number, native.gpios, native.rtp_timestamp_ms,
                          native.data_len, native.replica, native.timestamp_ms),
                         (0x1234, 0x56, 0x789, 3, True, 1000))
        self.assertEqual(bytes(native.timestamp_bytes), STAMP_1000)
        self.assertEqual(native.data[:3], list(b"abc"))
        self.assertEqual(ctypes.cast(ctypes.pointer(r), ctypes.POINTER(Reference)).contents.gpios,
                         0x56)

    def test_record_from_a_buffer_has_no_marker(self):
        r = VoxFrame.from_buffer_copy(bytes(Reference(sequence_number=9, timestamp_ms=4)))
        self.assertEqual((r.get_sequence_n(), r.get_timestamp_ms(), r.get_data()), (9, 4, b""))
        caught = raised(AttributeError, r.is_empty)
        self.assertEqual(last_entry(caught).name, "voxframe.VoxFrame.is_empty")


class ArgumentErrorTest(unittest.TestCase):
    def test_constructor_messages(self):
        ts = STAMP_1000
        cases = [  # args, kwargs, message
            ((), {}, "__init__() takes at least 6 positional arguments (1 given)"),
            ((1, 0, ts, 0), {}, "__init__() takes at least 6 positional arguments (5 given)"),
            ((1, 0, ts, 0, b"", 0, 0, 0, 0, 0), {},
             "__init__() takes at most 10 positional arguments (11 given)"),
            ((1, 0, ts, 0, b"", 0, 0, 0, 0, 0), {"gpios": 1},
             "__init__() takes at most 10 positional arguments (11 given)"),
            ((), {"sequence_number": 1}, "__init__() takes at least 6 positional arguments (2 given)"),
            ((1, 0), {"timestamp_bytes": ts, "data": b""},
             "__init__() takes at least 6 positional arguments (4 given)"),
            ((1,), {"foo": 2}, "__init__() takes at least 6 positional arguments (2 given)"),
            ((1, 0, ts, 0, b""), {"sequence_number": 1},
             "__init__() got multiple values for keyword argument 'sequence_number'"),
            ((1, 0, ts, 0, b""), {"self": 1},
             "__init__() got multiple values for keyword argument 'self'"),
            ((1, 0, ts, 0, b""), {"foo": 1},
             "__init__() got an unexpected keyword argument 'foo'"),
            ((1, 0, ts, 0, b"", 3), {"data_len": 3, "replica": 1},
             "__init__() got multiple values for keyword argument 'data_len'"),
        ]
        for args, kwargs, message in cases:
            with self.subTest(args=args, kwargs=kwargs):
                caught = raised(TypeError, VoxFrame, *args, **kwargs)
                self.assertEqual(str(caught), message)
                self.assertEqual(last_entry(caught).name, "voxframe.VoxFrame.__init__")

    def test_keyword_that_is_no_string(self):
        compared = []

        class LooksLikeDataLen:
            """Hashes and compares equal to "data_len", so a name lookup would bind it."""

            def __hash__(self):
                return hash("data_len")

            def __eq__(self, other):
                compared.append(other)
                return other == "data_len"

        r = VoxFrame(**base_args())
        for kwargs in [{1: 2}, {"data_len": 0, 1: 2}, {LooksLikeDataLen(): 2},
                       {"replica": 1, LooksLikeDataLen(): 2}]:
            with self.subTest(kwargs=kwargs):
                caught = raised(TypeError,
                                lambda: VoxFrame.__init__(r, 1, 0, STAMP_1000, 0, b"", **kwargs))
                self.assertEqual(str(caught), "__init__() keywords must be strings")
                self.assertEqual(last_entry(caught).name, "voxframe.VoxFrame.__init__")
        self.assertEqual(compared, [])

    def test_keywords_changed_during_the_binding(self):
        self.assertEqual(support.run_python(KEYWORDS_CHANGED_MID_BINDING).strip(),
                         "__init__() got an unexpected keyword argument 'bogus'")

    def test_keyword_binds_by_name_then_by_equality(self):
        class Shy(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                return False

        class Eager(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                return True

        cases = [  # keywords after five positional arguments, get_data() or the TypeError's text
            ({"".join(["data", "_len"]): 2}, b"ab"),
            ({Shy("data_len"): 2}, "__init__() got an unexpected keyword argument 'data_len'"),
            ({"data_len": 2, Shy("replica"): 1},
             "__init__() got an unexpected keyword argument 'replica'"),
            ({Eager("data_len"): 2},
             "__init__() got multiple values for keyword argument 'data_len'"),
        ]
        for kwargs, expected in cases:
            with self.subTest(kwargs=kwargs):
                if isinstance(expected, bytes):
                    self.assertEqual(VoxFrame(1, 0, STAMP_1000, 0, b"abc", **kwargs).get_data(),
                                     expected)
                else:
                    caught = raised(TypeError,
                                    lambda: VoxFrame(1, 0, STAMP_1000, 0, b"abc", **kwargs))
                    self.assertEqual(str(caught), expected)

    def test_method_messages(self):
        r = VoxFrame(**base_args())
        names = ["is_empty", "get_timestamp_ms", "get_rtp_timestamp_ms", "get_gpios",
                 "get_sequence_n", "get_data"]
        for name in names:
            with self.subTest(name=name):
                cases = [
                    (lambda: getattr(VoxFrame, name)(),
                     "%s() takes exactly one argument (0 given)" % name),
                    (lambda: getattr(r, name)(1),
                     "%s() takes exactly one argument (2 given)" % name),
                    (lambda: getattr(r, name)(x=1), "%s() takes no keyword arguments" % name),
                ]
                for call, message in cases:
                    caught = raised(TypeError, call)
                    self.assertEqual(str(caught), message)
                    self.assertEqual(last_entry(caught).name, "voxframe.VoxFrame." + name)
                    self.assertEqual(last_entry(caught).filename, "voxframe.cpp")
        convert = VoxFrame._bytes_timestamp_to_ms
        for call, message in [
                (lambda: convert(), "_bytes_timestamp_to_ms() takes exactly one argument (0 given)"),
                (lambda: r._bytes_timestamp_to_ms(b"", b""),
                 "_bytes_timestamp_to_ms() takes exactly one argument (2 given)"),
                (lambda: convert(timestamp=b""), "_bytes_timestamp_to_ms() takes no keyword arguments")]:
            caught = raised(TypeError, call)
            self.assertEqual(str(caught), message)
            self.assertEqual(last_entry(caught).name, "voxframe.VoxFrame._bytes_timestamp_to_ms")


class ClassTest(unittest.TestCase):
    METHODS = ["__init__", "_bytes_timestamp_to_ms", "is_empty", "get_timestamp_ms",
               "get_rtp_timestamp_ms", "get_gpios", "get_sequence_n", "get_data"]

    def test_class_attributes(self):
        self.assertIs(type(VoxFrame), type(ctypes.Structure))
        self.assertIs(VoxFrame.__bases__[0], ctypes.Structure)
        self.assertEqual((VoxFrame.__module__, VoxFrame.__qualname__), ("voxframe", "VoxFrame"))
        self.assertEqual(VoxFrame.__doc__, "\n        This class needs to be compiled and deployed"
                                           " to the device from Yocto\n    ")
        self.assertEqual(list(vars(VoxFrame))[:4], ["__module__", "__doc__", "_fields_", "__init__"])

    def test_functions_look_like_python_functions(self):
        for name in self.METHODS:
            with self.subTest(name=name):
                f = getattr(VoxFrame, name)
                self.assertEqual(f.__name__, name)
                self.assertEqual(f.__qualname__, "VoxFrame." + name)
                self.assertEqual(f.__module__, "voxframe")
                self.assertIn("VoxFrame." + name, repr(f))
                if name != "_bytes_timestamp_to_ms":
                    self.assertIsNone(f.__doc__)
        self.assertEqual(VoxFrame.__init__.__defaults__, (None, False, None, False))
        convert = VoxFrame._bytes_timestamp_to_ms
        self.assertIsInstance(vars(VoxFrame)["_bytes_timestamp_to_ms"], staticmethod)
        self.assertEqual(convert.__annotations__, {"timestamp": typing.Union[bytes, bytearray]})
        self.assertEqual(convert.__doc__,
                         "\n            Take the RTP timestamp bytes, and return the value in ms\n"
                         "        @param timestamp: QRTP stream timestamp bytes\n"
                         "        @return: Timestamp value in ms\n        ")

    def test_functions_bind_like_python_functions(self):
        r = VoxFrame(**base_args())
        bound = r.get_data
        self.assertIs(bound.__self__, r)
        self.assertIs(bound.__func__, VoxFrame.get_data)
        self.assertIs(r._bytes_timestamp_to_ms, VoxFrame._bytes_timestamp_to_ms)

        class Other:
            timestamp_ms = 42
            read = VoxFrame.get_timestamp_ms

        self.assertEqual(Other().read(), 42)

        class Sub(VoxFrame):
            def get_data(self):
                return b"<" + super().get_data() + b">"

        self.assertEqual(Sub(**base_args()).get_data(), b"<abc>")
        self.assertEqual(Sub(**base_args()).get_timestamp_ms(), 1000)

    def test_fields_table(self):
        expected = [("sequence_number", ctypes.c_uint16), ("gpios", ctypes.c_uint8),
                    ("rtp_timestamp_ms", ctypes.c_uint32), ("data_len", ctypes.c_uint16),
                    ("replica", ctypes.c_bool), ("timestamp_ms", ctypes.c_uint32)]
        fields = dict(VoxFrame._fields_)
        for name, ctype in expected:
            self.assertIs(fields[name], ctype)
        self.assertIs(fields["timestamp_bytes"]._type_, ctypes.c_ubyte)


if __name__ == "__main__":
    unittest.main()
