#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Each seed is the byte string that makes a target build one of the reference cases of the test
suite (rows, transfers, host transfers, tile programs). The encoder mirrors FuzzInput
(fuzz_input.hpp) and each builder mirrors the order in which its target reads its input, so a
change to a target's reading order changes what these seeds mean (they stay valid inputs, only
less pointed). Run it from anywhere: python3 fuzz/make_corpus.py
"""

import pathlib

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"

SYNC = 0x41800003
RET = 0x43A00000
TILES = [0, 1, 2, 3, 9, 274, 736, 1286, 1409, 1471]


class Enc:
    """The inverse of FuzzInput: records the bytes that make each read return a chosen value."""

    def __init__(self):
        self.data = bytearray()

    def integral(self, value, size):
        self.data += (value % (1 << (8 * size))).to_bytes(size, "little")

    def u16(self, value):
        self.integral(value, 2)

    def u32(self, value):
        self.integral(value, 4)

    def in_range(self, low, high, value):
        assert low <= value <= high or high <= low, (low, high, value)
        if high <= low:
            return
        span = high - low
        self.data += (value - low).to_bytes((span.bit_length() + 7) // 8, "little")

    def boolean(self, value):
        self.data.append(1 if value else 0)

    def chance(self, yes):
        self.in_range(0, 99, 0 if yes else 99)

    def pick(self, count, index):
        self.in_range(0, count - 1, index)


# ---- helpers of fuzz_exchange.hpp ----------------------------------------------------------------

def tile(e, number):
    if number in TILES:
        e.chance(True)
        e.pick(len(TILES), TILES.index(number))
    else:
        e.chance(False)
        e.u16(number)


def cycles(e, value):
    if value <= 300:
        e.in_range(0, 3, 0)
        e.in_range(0, 300, value)
    else:
        e.in_range(0, 3, 3)
        e.u32(value)


def raw_word(e, word):
    e.in_range(0, 13, 12)
    e.u32(word)


def exchange_words(e, maximum, words):
    e.in_range(0, maximum, len(words))
    for word in words:
        raw_word(e, word)


def assembled_plan(e, sender, receivers, count, mode, offset=0):
    """mode 0: point-to-point, 1: multicast, 2: paired (each receiver with its partner)."""
    tile(e, sender)
    e.in_range(1, 3, len(receivers))
    for receiver in receivers:
        tile(e, receiver)
    if 1 <= count <= 600:
        e.chance(True)
        e.in_range(1, 600, count)
    else:
        e.chance(False)
        e.in_range(0, 5000, count)
    e.in_range(0, 2, mode)
    if mode == 1:
        e.in_range(0, 300, offset)


def assembled_row(e, sender, receivers, count, mode, which, offset=0):
    """A real row: `which` 0 is the sender row, 1.. the receiver rows."""
    e.in_range(0, 3, 0)
    assembled_plan(e, sender, receivers, count, mode, offset)
    rows = {0: 1, 1: len(receivers), 2: 2 * len(receivers)}[mode]
    e.in_range(0, rows, which)
    e.chance(False)  # no word replaced


def literal_row(e, words):
    e.in_range(0, 3, 3)
    for word in (list(words) + [0] * 9)[:9]:
        e.u32(word)


def write(target, name, e):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(bytes(e.data))


# ---- decode ------------------------------------------------------------------------------------

def decode_raw(name, words, base=None, near_top=None):
    e = Enc()
    e.in_range(0, 2, 0)
    if near_top is None:
        e.chance(True)
        e.u32(base or 0)
    else:
        e.chance(False)
        e.in_range(0, 64, near_top)
    for word in words:
        e.u32(word)
    write("decode", name, e)


def decode_validator(name, sender, events, mode=0):
    """A schedule of one real sender row placed at cycle 0 and the given receive events
    (cycle, kind, operand), validated against its own encoding (mode 0)."""
    e = Enc()
    e.in_range(0, 2, 2)
    e.in_range(0, 40, 0)  # first placement cycle
    e.in_range(0, 3, 1 if sender else 0)
    if sender:
        assembled_row(e, *sender, which=0)
        e.chance(True)  # at the row's own payload interval
        e.in_range(0, 40, 10)
    e.in_range(0, 8, len(events))
    e.in_range(0, 20, 0)
    cycle = 0
    for at, kind, operand in events:
        e.in_range(0, 30, at - cycle)
        cycle = at
        e.chance(True)  # at the running cycle
        e.in_range(0, 5, kind)
        e.chance(True)  # kind and word agree
        if kind <= 3:
            e.in_range(0, 0xFFF, 0)
            e.chance(True)  # flag 0
            if kind not in (1, 3):
                e.in_range(0, 0x1FFF, operand)
        else:
            e.in_range(0, 0x7F, 0)
            if kind == 5:
                e.in_range(0, 3, operand)
            else:
                e.in_range(0, 1, 0)
                e.in_range(0, 0x3FFFF, operand)
    e.chance(True)  # horizon just after the last activity
    e.in_range(0, 20, 3)
    e.integral(7, 8)  # tile
    e.in_range(0, 2, mode)
    write("decode", name, e)


def decode():
    receiver = [0x64000082, 0x40A00032, 0xF6600000, 0x03014048, 0xF6600000, 0x03095000,
                0xF6600000, 0x04016000, 0xF7200000, 0x19017000, 0x43A00000]
    decode_raw("receiver-row-at-0x60000", receiver, base=0x60000)
    decode_raw("control-pair", [0xF54A0109, 0x19015000])
    decode_raw("paired-format-pair", [0xF8000000, 0x00000001])
    decode_raw("truncated-pair", [SYNC, 0xF54A0109])
    decode_raw("syncs-and-unknown-words", [0x41800000, SYNC, 0x41800100, 0x41801000, RET])
    decode_raw("addresses-near-the-top", receiver, near_top=8)
    decode_raw("empty-row", [])
    ordinary = [(11, 0, 5), (14, 4, 0x14000), (39, 1, 0)]
    decode_validator("sender-and-ordinary-stream", (0, [274], 65, 1), ordinary)
    decode_validator("ordinary-stream-alone", None, ordinary)
    decode_validator("paired-stream", None, [(1, 5, 1), (2, 2, 5), (3, 4, 0x18000), (30, 5, 0), (31, 3, 0)])
    decode_validator("sender-with-mutation", (736, [1286], 64, 1), ordinary, mode=1)


# ---- rows ---------------------------------------------------------------------------------------

def rows_case(name, row, offset=0, receive=None, plan_offset=0, address=0x53080, index=2,
              source=9, control=5, words=()):
    """`row` writes the row; `receive` is None for a row that receive timing refuses, else
    (previous stream or None, received items)."""
    e = Enc()
    row(e)
    cycles(e, offset)
    if receive is not None:
        previous, received = receive
        e.boolean(previous is not None)
        if previous is not None:
            ordinary, source_end, pointer_end = previous
            e.boolean(ordinary)
            cycles(e, source_end)
            cycles(e, pointer_end)
            e.chance(True)  # a next address
            e.chance(True)  # the row's own pointer address: the stream continues
        e.chance(True)
        e.in_range(0, 600, received)
    if plan_offset <= 0x180000:
        e.chance(True)
        e.in_range(0, 0x180000, plan_offset)
    else:
        e.chance(False)
        cycles(e, plan_offset)
    e.in_range(0, 3, 3)
    e.u32(address)
    e.in_range(0, 8, index)
    e.chance(True)
    e.in_range(0, 0x1FFF, source)
    e.in_range(0, 9, control)
    exchange_words(e, 12, list(words))
    write("rows", name, e)


def rows():
    from_words = lambda words: (lambda e: literal_row(e, words))
    ordinary = [SYNC, 0x64000005, 0x60114000, 0x40A00009, 0x64000640, RET]
    rows_case("ordinary-receiver-row", from_words(ordinary), offset=100, receive=(None, 8))
    rows_case("ordinary-row-after-a-stream", from_words(ordinary), offset=100,
              receive=((True, 101, 104), 8))
    rows_case("paired-early-row", from_words([SYNC, 0x64002000, 0x61A40001, 0x60098000, 0x64022640,
                                               0x61A40000, 0x40A00006, RET]),
              receive=(None, 64), address=0x60000)
    rows_case("paired-late-row", from_words([SYNC, 0x61AC0001, 0x60098000, 0x61EC0000, 0x40A00006, RET]),
              receive=(None, 64), address=0x60000)
    rows_case("sender-row", from_words([SYNC, 0x40A00009, 0x78600001, 0x40A00004, RET]), offset=1000,
              address=0x52040)
    rows_case("multicast-sender-row", lambda e: assembled_row(e, 0, [274], 65, 1, 0), address=0x52040,
              index=1)
    rows_case("multicast-receiver-row", lambda e: assembled_row(e, 0, [274], 65, 1, 1),
              receive=(None, 65), address=0x8F000)
    rows_case("plan-offset-of-two-delays", lambda e: assembled_row(e, 0, [1, 2], 4096, 1, 1),
              receive=(None, 600), plan_offset=524358)
    rows_case("point-receiver-row", lambda e: assembled_row(e, 274, [1286], 64, 0, 1), source=9,
              receive=None)
    rows_case("paired-sender-row", lambda e: assembled_row(e, 0, [2], 64, 2, 0), address=0x50004,
              control=7)
    rows_case("normalized-words", from_words(ordinary), receive=(None, 8),
              words=[SYNC, 0x78000000 | 1 << 21 | 106568 << 3 | 3, 0xF0ED0253, 0x19015000, RET])


# ---- phase --------------------------------------------------------------------------------------

def exact_address(e, address):
    e.in_range(0, 3, 3)
    e.u32(address)


def transfer(e, source, source_address, destinations, items, paired=False, base="none",
             requested=None, offset=None):
    """destinations: [(tile, address)]; for a paired transfer each is followed by its partner.
    base: "none", "first" (the first destination's address: point-to-point) or an address."""
    e.chance(not paired)
    tile(e, source)
    e.chance(True)  # one source address
    exact_address(e, source_address)
    e.in_range(1, 3, len(destinations))
    for receiver, address in destinations:
        tile(e, receiver)
        exact_address(e, address)
        if paired:
            e.chance(True)  # with its partner
    e.chance(True)
    e.in_range(64 if paired else 1, 520, items)
    if base == "none":
        e.in_range(0, 3, 0)
    elif base == "first":
        e.in_range(0, 3, 1)
    else:
        e.in_range(0, 3, 3)
        e.u32(base)
    e.chance(False)  # not altered
    if offset is None:
        e.chance(True)  # placed at its earliest offset
        if requested is None:
            e.chance(True)
        else:
            e.chance(False)
            cycles(e, requested)
    else:
        e.chance(False)
        cycles(e, offset)


def phase_case(name, transfers):
    e = Enc()
    e.chance(True)  # 1472 tiles
    e.in_range(1, 6, len(transfers))
    for arguments in transfers:
        transfer(e, **arguments)
    write("phase", name, e)


def phase():
    phase_case("paired-transfer", [dict(source=0, source_address=0x50000, destinations=[(2, 0x60000)],
                                        items=64, paired=True)])
    phase_case("relay", [dict(source=0, source_address=0x50000, destinations=[(736, 0x60000)], items=64),
                         dict(source=736, source_address=0x60000, destinations=[(1286, 0x61000)], items=64)])
    phase_case("point-to-point", [dict(source=274, source_address=0x52040, destinations=[(1286, 0x60000)],
                                       items=64, base="first")])
    phase_case("back-to-back-streams",
               [dict(source=source, source_address=0x50000, destinations=[(736, 0x60000 + 4 * 60 * i)], items=60)
                for i, source in enumerate([1, 2, 3, 9])])
    phase_case("same-transfer-twice", [dict(source=0, source_address=0x50000, destinations=[(1, 0x60000), (2, 0x60000)],
                                            items=100)] * 2)
    phase_case("arbitrary-offsets", [dict(source=1409, source_address=0x50000, destinations=[(1471, 0x60000)],
                                          items=32, offset=5),
                                     dict(source=1471, source_address=0x50000, destinations=[(1409, 0x60000)],
                                          items=32, offset=40)])


# ---- host ---------------------------------------------------------------------------------------

def physical(e, number):
    if number <= 4095:
        e.in_range(0, 3, 2)
        e.in_range(0, 4095, number)
    else:
        e.in_range(0, 3, 3)
        e.u16(number)


def host_offset(e, offset):
    e.in_range(0, 3, 3)
    e.chance(False)
    e.u32(offset)


def byte_count(e, count):
    e.in_range(0, 3, 2)
    e.in_range(0, 70000, count)


def host_headers(name, tile_number, address, offset, count):
    e = Enc()
    e.chance(True)
    physical(e, tile_number)
    exact_address(e, address)
    host_offset(e, offset)
    byte_count(e, count)
    write("host", name, e)


def host_program(name, tile_number, address, offset, count, packet, case, rest=lambda e: None):
    e = Enc()
    e.chance(False)
    physical(e, tile_number)
    exact_address(e, address)
    host_offset(e, offset)
    byte_count(e, count)
    exact_address(e, packet)
    e.in_range(0, 5, case)
    rest(e)
    write("host", name, e)


def host():
    host_headers("tile-to-host-header", 0, 0x50120, 64, 64)
    host_headers("header-of-tile-1409", 1409, 0x50180, 64, 64)
    host_headers("smallest-short-packet", 0, 0x50124, 4, 4)
    host_headers("long-packet-of-1024-bytes", 4096, 0x54000, 0x400, 1024)
    host_program("host-to-tile-program", 260, 0x50120, 64, 64, 0x50170, 0)
    host_program("host-to-tile-of-five-chunks", 63, 0x50000, 0x40, 4096, 0x54000, 0)
    host_program("tile-to-host-program", 260, 0x50120, 64, 64, 0x50160, 1,
                 lambda e: exact_address(e, 0x50180))
    host_program("tile-to-host-of-eight-chunks", 2, 0x52000, 0x40, 2048, 0x50160, 1,
                 lambda e: exact_address(e, 0x501A0))
    host_program("tile-to-host-of-unaligned-offset", 2, 0x60004, 4, 2200, 0x50160, 1,
                 lambda e: exact_address(e, 0x501A0))

    def planned_chunks(e):
        e.chance(True)  # the planned chunks
        e.in_range(0, 4, 0)
        exact_address(e, 0x50180)
    host_program("tile-to-host-instructions", 0, 0x60000, 64, 4096, 0x50160, 2, planned_chunks)

    def targets(e):
        e.in_range(0, 5, 4)
        for number in (31, 81, 768, 1471):
            physical(e, number)
    host_program("xreq-of-four-targets", 260, 0x50120, 64, 64, 0x50120, 3, targets)
    host_program("command-read", 0, 0x50120, 0x1000, 64, 0x50160, 4, lambda e: exact_address(e, 0x50180))

    def operation(e):
        exchange_words(e, 8, [0x19800010, 0x438080A6, 0x782A02C3, 0x41800000])
        e.chance(True)  # ends with the return
        exact_address(e, 0x50160)
    host_program("wrapped-operations", 0, 0x50120, 64, 64, 0x50168, 5, operation)


# ---- emit ---------------------------------------------------------------------------------------

def value(e, number):
    if number <= 0x100:
        e.in_range(0, 3, 0)
        e.in_range(0, 0x100, number)
    elif 0x60000 <= number <= 0x70000 and number % 4 == 0:
        e.in_range(0, 3, 1)
        e.in_range(0x60000, 0x70000, number)
    else:
        e.in_range(0, 3, 3)
        e.u32(number)


def row_address(e, address):
    if 0x60000 <= address <= 0x60028 and address % 8 == 0:
        e.in_range(0, 5, 0)
        e.in_range(0, 5, (address - 0x60000) // 8)
    elif 0x61000 <= address <= 0x6100C and address % 4 == 0:
        e.in_range(0, 5, 3)
        e.in_range(0, 3, (address - 0x61000) // 4)
    else:
        e.in_range(0, 5, 5)
        e.u32(address)


def row_words(e, words):
    for word in words:
        if word <= 3:
            e.chance(True)
            e.in_range(0, 3, word)
        else:
            e.chance(False)
            e.u32(word)


def no_profile(e):
    e.chance(False)
    e.chance(False)


def exchange_step(e, active, body=(), address=0x60000, base=0, patches=(), inside_repeat=False):
    """patches: [(word_offset, values, address)]; values hold the repeat count of words."""
    e.in_range(0, 9, 0)
    e.chance(False)  # no sync in the program
    e.chance(active)
    if active:
        e.in_range(1, 4, len(body))
        for word in body:
            e.chance(True)
            e.in_range(0, 0x100, word)
    row_address(e, address)
    e.chance(True)  # sync flag as the program says
    e.chance(True)  # active flag as the program says
    e.chance(False)  # no garbage program
    value(e, base)
    e.chance(False)  # base registers written
    e.chance(False)  # no multiplexer
    e.chance(True)  # format 0
    e.chance(False)  # no paired multiplexer
    e.chance(False)  # no count
    e.chance(False)  # no setup patch
    e.chance(bool(patches))
    if patches:
        e.in_range(1, 2, len(patches))
        for word_offset, values, values_address in patches:
            e.chance(True)
            e.in_range(0, len(body) + 1, word_offset)
            if inside_repeat:
                e.chance(True)  # one value per iteration
            else:
                e.in_range(0, 4, len(values))
            row_address(e, values_address)
            row_words(e, values)
    no_profile(e)


def kernel(e, symbol_index, output, inputs, arguments):
    e.in_range(0, 9, 3)
    e.chance(False)  # not a halfword copy
    e.pick(6, symbol_index)
    e.chance(False)  # absolute output
    value(e, output)
    e.in_range(0, 5, len(inputs))
    for address in inputs:
        e.chance(False)
        value(e, address)
    e.in_range(0, 5, len(arguments))
    for argument in arguments:
        value(e, argument)
    no_profile(e)


def halfword_copy(e, source, destination):
    e.in_range(0, 9, 3)
    e.chance(True)
    e.chance(True)
    value(e, destination)
    e.chance(True)
    value(e, source)
    e.chance(True)  # arguments [1]
    no_profile(e)


def checkpoint(e, breakpoint):
    e.in_range(0, 9, 8)
    e.u32(0)
    e.chance(True)
    e.in_range(0, 1, breakpoint)
    no_profile(e)


def emit_case(name, tile_number, steps, invocations=1, host_phases=None):
    """`steps` writes the top-level steps (count first)."""
    e = Enc()
    e.chance(True)
    e.in_range(0, 1471, tile_number)
    steps(e)
    for phases in host_phases or ([], [], []):
        if not phases:
            e.chance(True)
            continue
        e.chance(False)
        e.in_range(1, 4, len(phases))
        for address, active, run_table in phases:
            e.pick(3, [0x1000, 0x3000, 0x5000].index(address))
            e.chance(False)
            e.boolean(active)
            e.chance(run_table is not None)
            if run_table is not None:
                value(e, run_table)
    e.chance(True)  # the reference symbols
    e.chance(True)  # code at 0x52000
    e.chance(True)
    e.in_range(1, 4, invocations)
    e.chance(False)
    e.chance(False)
    write("emit", name, e)


def emit():
    def exchange_and_gemm(e):
        e.in_range(0, 6, 2)
        exchange_step(e, active=False)
        kernel(e, 0, 0x70000, [0x71000, 0x72000], [64])

    emit_case("exchange-and-kernel", 7, exchange_and_gemm)
    emit_case("three-invocations", 7, exchange_and_gemm, invocations=3)

    def repeat(e, count=4):
        e.in_range(0, 6, 1)
        e.in_range(0, 9, 6)
        e.chance(True)
        e.in_range(1, 6, count)
        e.in_range(0, 3, 1)
        value(e, 0x70000)
        e.chance(True)
        e.in_range(0, 256, 64)
        e.in_range(0, 4, 1)
        exchange_step(e, active=True, body=[0], base=0x70000,
                      patches=[(0, [0x11, 0x22, 0x33, 0x44][:count], 0x61000)], inside_repeat=True)
        no_profile(e)

    emit_case("repeat-with-patch", 0, repeat)

    def copies(e):
        e.in_range(0, 6, 3)
        halfword_copy(e, 0x1000, 0x2000)
        halfword_copy(e, 0x1004, 0x2004)
        checkpoint(e, 1)

    emit_case("merged-copies", 3, copies)
    emit_case("host-phases", 3, lambda e: e.in_range(0, 6, 0),
              host_phases=([], [(0x1000, False, None), (0x3000, True, 0x4000), (0x3000, True, 0x4000)],
                           [(0x5000, True, 0x6000)]))


# ---- verify -------------------------------------------------------------------------------------

def verify_case(name, transfers, programs=()):
    """transfers: [(paired, source, receivers, items, offset)], resolved as the target resolves
    them; programs: [(tile, row writer)], each tile's program the body of a real row."""
    e = Enc()
    e.in_range(0, 4, len(transfers))
    for paired, source, receivers, items, offset in transfers:
        e.chance(True)  # a real transfer
        e.chance(not paired)
        tile(e, source)
        e.in_range(1, 3, len(receivers))
        for receiver in receivers:
            tile(e, receiver)
        e.in_range(1, 300, items)
        for _ in range(6):
            e.chance(False)  # no field replaced
        cycles(e, offset)
    e.chance(True)  # 1472 tiles
    e.in_range(0, 4, len(programs))
    for number, row in programs:
        e.chance(True)
        tile(e, number)
        e.chance(True)  # a row's body
        row(e)
        cycles(e, 200)
    cycles(e, 200)
    write("verify", name, e)


def verify():
    verify_case("transfer-without-programs", [(False, 0, [1], 64, 0)])
    verify_case("paired-transfer-without-programs", [(True, 0, [2], 64, 10)])
    verify_case("sender-row-as-program", [(False, 0, [1], 64, 0)],
                [(0, lambda e: assembled_row(e, 0, [1], 64, 1, 0)),
                 (1, lambda e: assembled_row(e, 0, [1], 64, 1, 1))])
    verify_case("two-transfers-into-one-tile", [(False, 1, [736], 60, 0), (False, 2, [736], 60, 0)])


if __name__ == "__main__":
    decode()
    rows()
    phase()
    host()
    emit()
    verify()
