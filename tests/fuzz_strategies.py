"""Hypothesis strategies for the fuzz tests: every argument, well-formed, odd and broken.

Each strategy draws an `Arg`: a readable label (what Hypothesis prints for a failing
example) and a way to build the object. Objects that a call uses up, such as
generators, are built afresh for every call, so a call can be repeated and the
oracle can walk its own copy.
"""

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from numpy.lib.stride_tricks import as_strided

try:
    from PIL import Image as PILImage
except ImportError:  # PIL is optional; its strategies are left out
    PILImage = None

METHOD_NAMES = [
    "floyd_steinberg", "false_floyd_steinberg", "jarvis_judice_ninke", "stucki", "atkinson",
    "burkes", "sierra", "sierra_two_row", "sierra_lite",
]
METHOD_ALIASES = [
    "fs", "floydsteinberg", "ffs", "falsefloydsteinberg", "jjn", "jarvis", "jarvisjudiceninke",
    "stucki", "atkinson", "burkes", "sierra", "sierra3", "sierra2", "sierratworow",
    "tworowsierra", "sierralite", "sierra24a",
]
MATRIX_NAMES = ["bayer2x2", "bayer4x4", "bayer8x8", "bayer16x16"]


class CallerError(Exception):
    """Raised by the deliberately broken objects; the module must let it through."""


# ---------------------------------------------------------------- arguments


class Arg:
    """One argument: `build()` returns the object to pass.

    `fresh` objects (iterators, generators) are rebuilt on every `build()`;
    the others are built once and the same object is passed every time, so
    that a call can be checked for leaving it unchanged.
    """

    def __init__(self, label, make, fresh=False, **meta):
        self.label = label
        self._make = make
        self.fresh = fresh
        self.meta = meta
        self._value = None if fresh else make()

    def build(self):
        return self._make() if self.fresh else self._value

    def __repr__(self):
        return self.label


def const(value, label=None):
    return Arg(label if label is not None else repr(value), lambda: value)


def consts(*values):
    return st.sampled_from([const(v) for v in values])


# ---------------------------------------------------------------- broken objects


class BadIndex:
    def __index__(self):
        raise CallerError("__index__ failed")

    def __repr__(self):
        return "BadIndex()"


class NoNotes(CallerError):
    """An exception that refuses notes: it must come through as it is."""

    def add_note(self, note):
        raise RuntimeError("no notes, thanks")


class BadIndexNoNotes:
    def __index__(self):
        raise NoNotes("__index__ failed")

    def __repr__(self):
        return "BadIndexNoNotes()"


class IndexAs:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexAs({self.value!r})"


class BadFloat:
    def __float__(self):
        raise CallerError("__float__ failed")

    def __repr__(self):
        return "BadFloat()"


class FloatAs:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatAs({self.value!r})"


class BadBool:
    def __bool__(self):
        raise CallerError("__bool__ failed")

    def __repr__(self):
        return "BadBool()"


class BadLen:
    """A sequence whose length cannot be read."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise CallerError("__len__ failed")

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"BadLen({self.items!r})"


class BadGetitem:
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        raise CallerError("__getitem__ failed")

    def __repr__(self):
        return f"BadGetitem({self.length})"


class BadIter:
    def __iter__(self):
        raise CallerError("__iter__ failed")

    def __repr__(self):
        return "BadIter()"


class LyingLen:
    """Claims `length` items but holds `items`."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"LyingLen({self.items!r}, {self.length})"


class OldSequence:
    """Iterable only through __getitem__ and IndexError; no length."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"OldSequence({self.items!r})"


class RaisesMidway:
    """Yields the first `count` entries, then raises."""

    def __init__(self, items, count):
        self.items = items
        self.count = count

    def __iter__(self):
        yield from self.items[: self.count]
        raise CallerError("iteration failed midway")

    def __repr__(self):
        return f"RaisesMidway({self.items!r}, {self.count})"


class ArrayLike:
    """Converts to `array` through __array__, or raises when `array` is None."""

    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None, copy=None):
        if self.array is None:
            raise CallerError("__array__ failed")
        return self.array if dtype is None else self.array.astype(dtype)

    def __repr__(self):
        return "ArrayLike(None)" if self.array is None else f"ArrayLike({label_array(self.array)})"


class HasMode:
    """Looks a little like a PIL image but is not one."""

    mode = "L"
    size = (2, 2)

    def __repr__(self):
        return "HasMode()"


class TextSubclass(str):
    pass


class ImageArray(np.ndarray):
    """An ndarray subclass."""


BROKEN_TYPES = (BadIndex, BadIndexNoNotes, BadFloat, BadBool, BadLen, BadGetitem, BadIter, LyingLen,
                OldSequence, RaisesMidway, ArrayLike, IndexAs, FloatAs)


# ---------------------------------------------------------------- arrays


def label_array(a):
    if a.size <= 12 and a.dtype.kind in "biuf":
        return f"np.array({a.tolist()!r}, dtype={a.dtype.str!r})"
    return f"<{a.dtype.str} array of shape {a.shape}>"


def _uint8_content(shape):
    return hnp.arrays(np.uint8, shape)


def _layouts(logical):
    """Ways to present `logical` (C-contiguous) with the same logical content.

    Each entry: (name, view, buffers), where buffers are the arrays that own
    the memory (checked for being left unchanged).
    """
    out = [("C", logical, [logical])]
    out.append(("F", np.asfortranarray(logical), None))
    if logical.ndim >= 2:
        base = np.ascontiguousarray(logical.T)
        out.append(("transposed", base.T, [base]))
    if logical.ndim >= 1:
        big_shape = tuple(2 * d + 1 for d in logical.shape)
        big = np.random.default_rng(0).integers(0, 256, big_shape, dtype=logical.dtype) \
            if logical.dtype == np.uint8 else np.zeros(big_shape, logical.dtype)
        index = tuple(slice(1, 1 + 2 * d, 2) for d in logical.shape)
        big[index] = logical
        out.append(("stepped", big[index], [big]))
        rev_index = (slice(None, None, -1),) * logical.ndim
        base = np.ascontiguousarray(logical[rev_index])
        out.append(("reversed", base[rev_index], [base]))
    ro = logical.copy()
    ro.setflags(write=False)
    out.append(("read-only", ro, [ro]))
    out.append(("subclass", logical.copy().view(ImageArray), None))
    return [(name, view, bufs if bufs is not None else [view]) for name, view, bufs in out]


@st.composite
def image_shapes(draw, ndims=(0, 1, 2, 2, 2, 3, 3, 3, 3, 4), allow_empty=True):
    ndim = draw(st.sampled_from(ndims))
    low = 0 if allow_empty and draw(st.integers(0, 9)) == 0 else 1
    return tuple(draw(st.integers(low, 6)) for _ in range(ndim))


@st.composite
def uint8_arrays(draw, shapes=None):
    """uint8 ndarrays of every layout; the label names the layout."""
    shape = draw(shapes if shapes is not None else image_shapes())
    logical = draw(_uint8_content(shape))
    layouts = _layouts(logical)
    name, view, buffers = draw(st.sampled_from(layouts))
    return Arg(f"{name}({label_array(logical)})", lambda: view, buffers=buffers)


@st.composite
def zero_stride_views(draw, allow_empty=True):
    """Small views that repeat one row, column or pixel through zero strides."""
    shape = draw(image_shapes(ndims=(2, 3), allow_empty=allow_empty))
    base = draw(_uint8_content(tuple(draw(st.sampled_from([1, d])) for d in shape)))
    strides = tuple(0 if b == 1 else s for b, s in zip(base.shape, base.strides))
    view = as_strided(base, shape=shape, strides=strides, writeable=False)
    return Arg(f"as_strided({label_array(base)}, shape={shape}, strides={strides})",
               lambda: view, buffers=[base])


HUGE_SHAPES = [
    (2**21, 2**21), (2**20, 2**21, 4), (1, 2**45), (2**45, 1), (3, 2**40, 5), (2**42, 2, 3),
    (2**40, 0), (0, 2**50), (2**20, 2**20, 2**10, 2), (2**50,), (2**25, 2**25, 1),
]


def huge_view(shape, dtype=np.uint8):
    """A zero-stride view claiming a huge size over a one-element buffer."""
    base = np.zeros(1, dtype)
    view = as_strided(base, shape=shape, strides=(0,) * len(shape), writeable=False)
    return Arg(f"as_strided(np.zeros(1, {np.dtype(dtype).name}), shape={shape}, strides=0)",
               lambda: view, buffers=[base])


@st.composite
def huge_views(draw):
    """Zero-stride views claiming terabytes; the module must refuse them, not allocate."""
    shape = draw(st.sampled_from(HUGE_SHAPES))
    dtype = draw(st.sampled_from([np.uint8, np.uint8, np.float64, np.int16, bool]))
    return huge_view(shape, dtype)


OTHER_DTYPES = [
    "bool", "int8", "int16", "uint16", "int32", "uint32", "int64", "uint64", "float16", "float32",
    "float64", "complex64", "complex128", "object", "U3", "S2", "datetime64[s]", "timedelta64[ms]",
    "V2", [("r", "u1")], [("r", "u1"), ("g", "u1")], ">u2", "<i4",
]
EQUIVALENT_UINT8 = [">u1", "<u1", "|u1", "B", np.dtype(np.uint8, metadata={"tag": 1})]


@st.composite
def other_dtype_arrays(draw):
    shape = draw(image_shapes())
    dtype = np.dtype(draw(st.sampled_from(OTHER_DTYPES)))
    content = draw(_uint8_content(shape))
    if dtype.kind in "biufc":
        a = content.astype(dtype)
    elif dtype.kind == "O":
        a = content.astype(object)
    else:
        a = np.zeros(shape, dtype)
    name, view, buffers = draw(st.sampled_from(_layouts(a)))
    return Arg(f"{name}(<{dtype!s} array of shape {shape}>)", lambda: view,
               buffers=buffers)


@st.composite
def equivalent_dtype_arrays(draw):
    shape = draw(image_shapes(ndims=(2, 3)))
    content = draw(_uint8_content(shape))
    dtype = draw(st.sampled_from(EQUIVALENT_UINT8))
    a = content.view(np.dtype(dtype))
    return Arg(f"{label_array(content)}.view({dtype!r})", lambda: a, buffers=[a])


@st.composite
def array_likes(draw):
    """Objects that are not arrays but that NumPy may turn into one."""
    shape = draw(image_shapes(ndims=(0, 1, 2, 2, 3, 3)))
    content = draw(_uint8_content(shape))
    choice = draw(st.integers(0, 8))
    if choice == 0:
        return Arg(f"{content.tolist()!r}", lambda: content.tolist(), fresh=True)
    if choice in (1, 7):
        scalars = [np.uint8(v) for v in content.reshape(-1).tolist()]
        as_tuples = choice == 7

        def build():
            holder = np.empty(content.size, dtype=object)
            holder[:] = scalars
            nested = holder.reshape(content.shape).tolist()
            return to_tuples(nested) if as_tuples else nested
        kind = "tuple" if as_tuples else "list"
        return Arg(f"nested {kind} of np.uint8 of shape {shape}", build, fresh=True)
    if choice == 8:
        nested = to_tuples(content.tolist())
        return Arg(repr(nested), lambda: nested)
    if choice == 2:
        mv = memoryview(content)
        return Arg(f"memoryview({label_array(content)})", lambda: mv, buffers=[content])
    if choice == 3:
        return Arg(f"bytes({content.tobytes()!r})", lambda: content.tobytes())
    if choice == 4:
        return Arg(f"bytearray({content.tobytes()!r})", lambda: bytearray(content.tobytes()),
                   fresh=True)
    if choice == 5:
        obj = ArrayLike(content)
        return Arg(repr(obj), lambda: obj, buffers=[content])
    other = draw(st.sampled_from(OTHER_DTYPES[:12]))
    obj = ArrayLike(content.astype(other))
    return Arg(repr(obj), lambda: obj)


def to_tuples(nested):
    if isinstance(nested, list):
        return tuple(to_tuples(x) for x in nested)
    return nested


def non_images():
    return st.one_of(
        consts(None, 0, 7, -1, 2**70, 1.5, float("nan"), "", "image", b"", b"\x00\x01",
               np.uint8(7), np.float64(1.0), (), [], [[]], [[1, 2], [3]], {}, {"a": 1},
               set(), object, np.ndarray, 1j),
        st.builds(lambda: const(BadLen([[1, 2]]))),
        st.builds(lambda: const(BadGetitem(2))),
        st.builds(lambda: const(BadIter())),
        st.builds(lambda: const(BadIndex())),
        st.builds(lambda: const(BadBool())),
        st.builds(lambda: const(ArrayLike(None))),
        st.builds(lambda: const(HasMode())),
        st.builds(lambda: const(LyingLen([[1, 2]], 5))),
        st.builds(lambda: const(OldSequence([[1, 2], [3, 4]]))),
    )


# ---------------------------------------------------------------- PIL images

PIL_MODES = ["1", "L", "LA", "La", "P", "PA", "I", "I;16", "I;16B", "I;16L", "F", "RGB", "RGBA",
             "RGBX", "RGBa", "CMYK", "YCbCr", "LAB", "HSV"]
_PIL_BYTES = {"L": 1, "P": 1, "LA": 2, "La": 2, "PA": 2, "I": 4, "F": 4, "I;16": 2, "I;16B": 2,
              "I;16L": 2, "RGB": 3, "YCbCr": 3, "LAB": 3, "HSV": 3, "RGBA": 4, "RGBX": 4,
              "RGBa": 4, "CMYK": 4}


@st.composite
def pil_images(draw, modes=None, allow_empty=True):
    mode = draw(st.sampled_from(modes or PIL_MODES))
    low = 0 if allow_empty and draw(st.integers(0, 5)) == 0 else 1
    width = draw(st.integers(low, 6))
    height = draw(st.integers(low, 6))
    if mode == "1":
        row = (width + 7) // 8
    else:
        row = width * _PIL_BYTES[mode]
    data = draw(st.binary(min_size=row * height, max_size=row * height))
    if mode == "F":
        # Keep the floats finite; a NaN byte pattern is a valid image too, but dull.
        data = np.frombuffer(data, np.uint8).astype("<f4").tobytes()[: row * height]
    if width == 0 or height == 0:
        image = PILImage.new(mode, (width, height))
    else:
        image = PILImage.frombytes(mode, (width, height), data)
    return Arg(f"PIL.Image.frombytes({mode!r}, {(width, height)}, {data!r})", lambda: image)


def images(wild=True):
    """Every kind of image argument; `wild=False` keeps to valid images."""
    valid = [
        uint8_arrays(image_shapes(ndims=(2, 3), allow_empty=False)),
        zero_stride_views(allow_empty=False),
        equivalent_dtype_arrays(),
    ]
    if PILImage is not None:
        valid.append(pil_images(["L", "LA", "RGB", "RGBA", "P", "1"], allow_empty=False))
    if not wild:
        return st.one_of(*valid)
    wild_parts = [uint8_arrays(), zero_stride_views(), other_dtype_arrays(), array_likes(),
                  non_images(), huge_views()]
    if PILImage is not None:
        wild_parts.append(pil_images())
    return st.one_of(*valid, *wild_parts)


def rgb_images():
    """Valid images with three or more channels (for palettes)."""
    parts = [uint8_arrays(st.tuples(st.integers(1, 5), st.integers(1, 5), st.integers(3, 5)))]
    if PILImage is not None:
        parts.append(pil_images(["RGB", "RGBA", "P"], allow_empty=False))
    return st.one_of(*parts)


# ---------------------------------------------------------------- palettes

byte = st.integers(0, 255)


@st.composite
def color_entries(draw, color=None):
    """One valid palette entry in any accepted form, with the colour it stands for."""
    r, g, b = color if color is not None else draw(st.tuples(byte, byte, byte))
    form = draw(st.integers(0, 8))
    short = r % 17 == 0 and g % 17 == 0 and b % 17 == 0
    if form == 0 and short:
        digits = "".join("0123456789abcdef"[v // 17] for v in (r, g, b))
        text = draw(st.sampled_from(["#", ""])) + _mixed_case(draw, digits)
        return text, (r, g, b)
    if form <= 1:
        text = draw(st.sampled_from(["#", ""])) + _mixed_case(draw, f"{r:02x}{g:02x}{b:02x}")
        return text, (r, g, b)
    if form == 2:
        return [r, g, b], (r, g, b)
    if form == 3:
        return np.array([r, g, b], dtype=draw(st.sampled_from(["u1", "i8", "u2", "i2"]))), (r, g, b)
    if form == 4:
        return bytes([r, g, b]), (r, g, b)
    if form == 5:
        return (np.int64(r), np.uint8(g), IndexAs(b)), (r, g, b)
    if form == 6 and r in (0, 1) and g in (0, 1):
        return (bool(r), bool(g), b), (r, g, b)
    return (r, g, b), (r, g, b)


def _mixed_case(draw, text):
    flips = draw(st.lists(st.booleans(), min_size=len(text), max_size=len(text)))
    return "".join(c.upper() if f else c for c, f in zip(text, flips))


def bad_entries():
    """Palette entries that are not valid colours (or, for text, usually not)."""
    return st.one_of(
        st.text(max_size=8),
        st.text(alphabet="#0123456789abcdefABCDEFg \t", max_size=9),
        st.lists(st.integers(-3, 300), max_size=5).map(tuple),
        st.tuples(st.sampled_from([-1, 256, 2**63 - 1, 2**63, -(2**63) - 1, 2**64, -(2**70)]),
                  byte, byte),
        st.tuples(byte, st.sampled_from([0.5, float("nan"), float("inf"), None, "1", 1j]), byte),
        st.sampled_from([None, 0, 1.5, b"ab", b"abcd", {}, {"r": 1}, set(), frozenset(),
                         bytearray(b"\x01\x02\x03"), range(3), range(254, 257), (IndexAs(2**64), 0, 0),
                         (IndexAs(-1), 0, 0), (BadIndex(), 0, 0), (np.float64(1), 0, 0),
                         (np.bool_(True), 0, 0), np.array([1.0, 2.0, 3.0]),
                         np.array([[1, 2, 3]]), np.int64(3)]),
        st.builds(lambda: BadLen([1, 2, 3])),
        st.builds(lambda: BadGetitem(3)),
        st.builds(lambda: BadIter()),
        st.builds(lambda: LyingLen([1, 2, 3], 2)),
        st.builds(lambda: LyingLen([1, 2], 3)),
        st.builds(lambda: OldSequence([1, 2, 3])),
        st.builds(lambda: IndexAs(3)),
        st.builds(lambda: BadBool()),
        st.builds(lambda: BadFloat()),
        st.builds(lambda: (BadFloat(), 0, 0)),
    )


@st.composite
def valid_palettes(draw, max_colors=8):
    """A valid palette in any accepted container."""
    colors = draw(st.lists(st.tuples(byte, byte, byte), min_size=2, max_size=max_colors))
    entries = [draw(color_entries(c))[0] for c in colors]
    container = draw(st.integers(0, 5))
    label = repr(entries)
    if container == 0:
        return Arg(label, lambda: list(entries), fresh=True)
    if container == 1:
        t = tuple(entries)
        return Arg(f"tuple({label})", lambda: t)
    if container == 2:
        return Arg(f"iter({label})", lambda: iter(list(entries)), fresh=True)
    if container == 3:
        a = np.array(colors, dtype=draw(st.sampled_from(["u1", "i8", "u8", "i2", "O"])))
        return Arg(label_array(a), lambda: a, buffers=[a])
    if container == 4:
        def gen():
            return (e for e in entries)
        return Arg(f"(e for e in {label})", gen, fresh=True)
    lst = list(entries)
    return Arg(label, lambda: lst)


@st.composite
def wild_palettes(draw):
    choice = draw(st.integers(0, 9))
    if choice <= 1:
        return draw(valid_palettes())
    if choice <= 4:
        # Mostly valid entries with a bad one somewhere (or not).
        good = draw(st.lists(color_entries(), max_size=5))
        entries = [e for e, _ in good]
        bad = draw(st.lists(bad_entries(), max_size=2))
        for e in bad:
            entries.insert(draw(st.integers(0, len(entries))), e)
        if draw(st.booleans()):
            lst = list(entries)
            return Arg(repr(entries), lambda: lst)
        return Arg(repr(entries), lambda: list(entries), fresh=True)
    if choice == 5:
        good = [e for e, _ in draw(st.lists(color_entries(), min_size=0, max_size=5))]
        count = draw(st.integers(0, len(good)))
        return Arg(f"RaisesMidway({good!r}, {count})", lambda: RaisesMidway(good, count),
                   fresh=True)
    if choice == 6:
        # Long palettes: up to and beyond the 4096 limit, maybe with a bad entry late on.
        count = draw(st.sampled_from([4095, 4096, 4097, 5000]))
        bad_at = draw(st.sampled_from([None, None, count - 1, 4500 if count == 5000 else 0]))
        bad = draw(bad_entries()) if bad_at is not None else None
        colors = [(i % 256, (i // 256) % 256, 7) for i in range(count)]

        def build():
            entries = list(colors)
            if bad_at is not None:
                entries[bad_at] = bad
            return entries
        return Arg(f"<{count} colours, bad entry {bad!r} at {bad_at}>", build, fresh=True)
    if choice == 7:
        shape = draw(st.sampled_from([(2, 3), (3, 3), (4, 3), (0, 3), (1, 3), (2, 4), (2, 2), (3,),
                                      (2, 3, 1), ()]))
        dtype = draw(st.sampled_from(["u1", "i8", "f8", "f4", "bool", "O", "U1", "c8", "u8"]))
        values = draw(st.lists(st.sampled_from([0, 1, 255, 256, -1, 0.5, float("nan"),
                                                float("inf"), 2**63]),
                               min_size=int(np.prod(shape)), max_size=int(np.prod(shape))))
        with np.errstate(all="ignore"):
            try:
                a = np.array(values, dtype=object).astype(dtype).reshape(shape)
            except (OverflowError, ValueError, TypeError):
                a = np.zeros(shape, dtype)
        return Arg(label_array(a), lambda: a, buffers=[a])
    if choice == 8:
        return draw(st.one_of(
            consts(None, "#000", "", "#000,#fff", 42, 1.5, b"\x00\x00\x00\xff\xff\xff", {}, set(),
                   {"#000": 1, "#fff": 2}, frozenset({(0, 0, 0), (255, 255, 255)}),
                   [], [(0, 0, 0)], ["#000", "#fff", "#123456"], [(0, 0, 0), (255, 255, 255)]),
            st.builds(lambda: const(TextSubclass("#fff"))),
            st.builds(lambda: const(BadIter())),
            st.builds(lambda: const(BadLen([(0, 0, 0), (1, 1, 1)]))),
            st.builds(lambda: const(OldSequence([(0, 0, 0), (9, 9, 9)]))),
            st.builds(lambda: const(BadGetitem(2))),
            st.builds(lambda: const(BadBool())),
            st.builds(lambda: const(BadIndex())),
            st.builds(lambda: const(LyingLen([(0, 0, 0), (9, 9, 9)], 5))),
        ))
    entries = draw(st.lists(bad_entries(), min_size=1, max_size=3))
    return Arg(repr(entries), lambda: list(entries), fresh=True)


def palettes(wild=True):
    if wild:
        return wild_palettes()
    return st.one_of(consts(None), consts(None), valid_palettes())


# ---------------------------------------------------------------- matrices


@st.composite
def matrix_arrays(draw):
    shape = draw(st.sampled_from([(1, 1), (2, 2), (2, 3), (3, 1), (4, 4), (1, 5), (0, 3), (3, 0),
                                  (5,), (), (2, 2, 2), (1, 1, 1)]))
    dtype = np.dtype(draw(st.sampled_from(
        ["u1", "i1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "bool", "c8", "O", "U2",
         "S1", "M8[s]", ">i4", ">f8"])))
    n = int(np.prod(shape))
    if dtype.kind in "iu":
        edges = [0, 1, 2, 3, 15, 16, 255, 2**24 - 1, 2**24, 2**31 - 1]
        if dtype.kind == "i":
            edges += [-1, -128]
        if dtype == np.uint64:
            edges += [2**63, 2**64 - 1]
        info = np.iinfo(dtype)
        values = draw(st.one_of(
            st.permutations(list(range(n))),
            st.lists(st.sampled_from([e for e in edges if info.min <= e <= info.max]),
                     min_size=n, max_size=n),
            st.lists(st.integers(max(info.min, 0), min(info.max, 3 * n)), min_size=n, max_size=n),
        ))
        a = np.array(values, dtype=dtype).reshape(shape)
    elif dtype.kind in "fc":
        values = draw(st.lists(st.one_of(
            st.floats(0, 1, width=16),
            st.sampled_from([0.0, -0.0, 1.0, 1.0000001, 0.99999994, -1e-30, float("nan"),
                             float("inf"), -float("inf"), 2.0])),
            min_size=n, max_size=n))
        with np.errstate(all="ignore"):
            a = np.array(values, dtype=np.float64).astype(dtype).reshape(shape)
    elif dtype.kind == "b":
        a = np.array(draw(st.lists(st.booleans(), min_size=n, max_size=n)), dtype).reshape(shape)
    elif dtype.kind == "O":
        a = np.array(draw(st.lists(st.integers(0, 3), min_size=n, max_size=n)) + [None],
                     dtype=object)[:n].reshape(shape)
    else:
        a = np.zeros(shape, dtype)
    layout = draw(st.sampled_from(["C", "F", "T", "list", "tuple", "ro"]))
    if layout == "F":
        a = np.asfortranarray(a)
    elif layout == "T" and a.ndim == 2:
        base = np.ascontiguousarray(a.T)
        return Arg(f"{label_array(a)} (transposed view)", lambda: base.T, buffers=[base])
    elif layout in ("list", "tuple") and dtype.kind in "iufb":
        lst = a.tolist() if layout == "list" else to_tuples(a.tolist())
        return Arg(f"{lst!r}", lambda: lst)
    elif layout == "ro":
        a.setflags(write=False)
    return Arg(label_array(a), lambda: a, buffers=[a])


def _decorate(name):
    """A name with random case changes and separators inserted."""
    @st.composite
    def build(draw):
        out = []
        for ch in name:
            if draw(st.integers(0, 5)) == 0:
                out.append(draw(st.sampled_from([" ", "-", "_", "  ", "\t", "x", "+"])))
            out.append(ch.upper() if draw(st.booleans()) else ch)
        if draw(st.integers(0, 4)) == 0:
            out.append(draw(st.sampled_from([" ", "-", "_", "\t", "\n", "\x00", "0"])))
        return "".join(out)
    return build()


def matrix_texts():
    return st.one_of(
        st.sampled_from(MATRIX_NAMES + ["8", "8x8", "Bayer-8", "bayer 8 x 8", "+8", "08", "bayer08x08",
                                        "1x1", "0", "x8", "bayer", "bayer3x3", "bayer32x32",
                                        "bayer8x4", "16", "2x2", "4X4", "18446744073709551616",
                                        "18446744073709551617x18446744073709551617",
                                        "bayer+16x16", "bayer٨", "８"]),
        st.sampled_from(MATRIX_NAMES + ["8x8", "16", "bayer2"]).flatmap(_decorate),
        st.text(max_size=12),
        st.from_regex(r"\A(bayer)?\+?[0-9]{1,3}(x\+?[0-9]{1,3})?\Z"),
    )


def matrices(wild=True):
    tame = st.one_of(
        consts(None, 2, 4, 8, 16, "bayer2x2", "bayer4x4", "8x8", "bayer16x16", np.int64(4)),
        st.builds(lambda: const([[0, 2], [3, 1]])),
        st.builds(lambda: const(np.array([[0.25, 0.75]]))),
    )
    if not wild:
        return tame
    return st.one_of(
        tame,
        st.integers(-3, 33).map(const),
        consts(True, False, -4, 2**64 - 1, 2**64, -(2**64), 2**200, np.uint64(2**64 - 1),
               np.int8(-8), np.uint8(8), np.bool_(True), 8.0, float("nan"), b"8", b"", [], [[]],
               [[0, 1], [2]], [[[0]]], [[0.5, "a"]], [[None]], {}, object, 1j, np.array(8),
               np.array([[8]]), np.array(8.0)),
        st.builds(lambda: const(((0, 2), (3, 1)))),
        st.builds(lambda: const(BadIndex())),
        st.builds(lambda: const(IndexAs(8))),
        st.builds(lambda: const(IndexAs(3))),
        st.builds(lambda: const(IndexAs(-1))),
        st.builds(lambda: const(IndexAs(2**64))),
        st.builds(lambda: const(BadLen([[0, 1]]))),
        st.builds(lambda: const(BadGetitem(2))),
        st.builds(lambda: const(ArrayLike(None))),
        st.builds(lambda: const(ArrayLike(np.array([[0, 1], [2, 3]], np.uint8)))),
        st.builds(lambda: const(TextSubclass("bayer4x4"))),
        matrix_texts().map(const),
        matrix_arrays(),
    )


# ---------------------------------------------------------------- method names


def surrogate_text():
    return st.text(st.characters(codec=None, exclude_categories=()), max_size=6)


def method_texts():
    return st.one_of(
        st.sampled_from(METHOD_NAMES + METHOD_ALIASES + ["random"]),
        st.sampled_from(METHOD_NAMES + METHOD_ALIASES + ["random", "ran dom"]).flatmap(_decorate),
        st.sampled_from(["", "bogus", "\"\\", "fs\t", "\x00", "ｆｓ", "FS", "f-s", " fs ", "false_fs",
                         "judice", "jjnk", "sierra_2", "sierra-2-4a", "Floyd-X", "r a n d o m",
                         "RANDOM", "random\n", "café", "\u0301fs", "e\u0301", "\u200b", "\x7f",
                         "\u2028", "\U0001f600", "a'b", "\ufeff", "\\u{41}"]),
        matrix_texts(),
        st.text(max_size=10),
        surrogate_text(),
    )


def methods(wild=True, function="dither"):
    names = METHOD_NAMES + METHOD_ALIASES
    if function == "dither":
        names = names + ["random", "Random"] + MATRIX_NAMES + ["8x8", "bayer-4"]
    tame = st.sampled_from(names).map(const)
    if not wild:
        return tame
    return st.one_of(
        tame,
        method_texts().map(const),
        consts(None, 8, b"fs", 1.0, ["fs"], ("fs",), np.str_("fs")),
        st.builds(lambda: const(TextSubclass("atkinson"))),
        st.builds(lambda: const(TextSubclass("nope"))),
    )


# ---------------------------------------------------------------- scalars

LEVEL_EDGES = [-(2**63) - 1, -(2**63), -1, 0, 1, 2, 3, 255, 256, 257, 2**32 - 1, 2**32, 2**40,
               2**63 - 1, 2**63, 2**64, 2**70, True, False]


def levels(wild=True):
    tame = st.integers(2, 256).map(const)
    if not wild:
        return tame
    return st.one_of(
        tame,
        st.sampled_from(LEVEL_EDGES).map(const),
        st.integers().map(const),
        consts(np.int64(4), np.uint64(2**64 - 1), np.int8(-1), np.uint8(200), np.bool_(True), 4.0,
               float("nan"), "4", b"4", None, [4], 4j, np.float64(4.0)),
        st.builds(lambda: const(BadIndexNoNotes())),
        st.builds(lambda: const(BadIndex())),
        st.sampled_from([4, 2**64, -1, "x", 2.5]).map(lambda v: const(IndexAs(v))),
    )


SEED_EDGES = [0, 1, -1, 2**63, 2**64 - 1, 2**64, 2**64 + 5, 2**127 - 1, 2**127, 2**127 + 1,
              -(2**127), -(2**127) - 1, 2**128, -(2**128), 2**500, True]


def seeds(wild=True):
    tame = st.one_of(st.integers(-(2**127), 2**127 - 1), st.integers(0, 2**64)).map(const)
    if not wild:
        return st.one_of(consts(None), tame)
    return st.one_of(
        consts(None),
        tame,
        st.sampled_from(SEED_EDGES).map(const),
        st.integers().map(const),
        consts(np.uint64(2**64 - 1), np.int8(-1), np.bool_(False), 1.0, float("inf"), "1", b"1",
               [1], 1j),
        st.builds(lambda: const(BadIndexNoNotes())),
        st.builds(lambda: const(BadIndex())),
        st.sampled_from([5, 2**127, -(2**127) - 1, "x"]).map(lambda v: const(IndexAs(v))),
    )


STRENGTH_EDGES = [0.0, -0.0, 1.0, 0.5, 1.00000001, 1.0000001, float(np.nextafter(1, 2)),
                  float(np.nextafter(0, -1)), -5e-324, 5e-324, 1e-45, -1e-46, 1e300, -1e300,
                  float("nan"), float("inf"), -float("inf"), 1e20, 2.0, -1.0, 1.1]


def strengths(wild=True):
    tame = st.floats(0, 1).map(const)
    if not wild:
        return tame
    return st.one_of(
        tame,
        st.sampled_from(STRENGTH_EDGES).map(const),
        st.floats().map(const),
        consts(0, 1, 2, -1, True, False, 10**400, -(10**400), np.float32(0.25), np.float16(1),
               np.float64("nan"), np.int64(1), np.uint64(2**64 - 1), np.bool_(True), "0.5", None,
               [0.5], b"1", 0.5j),
        st.builds(lambda: const(BadFloat())),
        st.builds(lambda: const(BadIndexNoNotes())),
        st.builds(lambda: const(BadIndex())),
        st.sampled_from([0.5, 2.0, "x", 1]).map(lambda v: const(FloatAs(v))),
        st.sampled_from([0, 1, 10**400]).map(lambda v: const(IndexAs(v))),
    )


def flags(wild=True):
    tame = st.booleans().map(const)
    if not wild:
        return tame
    return st.one_of(
        tame,
        consts(np.True_, np.False_, 0, 1, None, "", "True", 1.0, [], np.array(True), np.int8(1),
               2, b"", np.array([True])),
        st.builds(lambda: const(BadBool())),
    )


# ---------------------------------------------------------------- calls

FUNCTIONS = ["dither", "ordered_dither", "error_diffusion", "random_dither"]
POSITIONAL = {
    "dither": ["image", "method"],
    "ordered_dither": ["image", "matrix"],
    "error_diffusion": ["image", "method"],
    "random_dither": ["image"],
}
KEYWORD_ONLY = {
    "dither": ["levels", "palette", "serpentine", "seed", "strength", "linear", "preserve_alpha"],
    "ordered_dither": ["levels", "palette", "strength", "linear", "preserve_alpha"],
    "error_diffusion": ["levels", "palette", "serpentine", "strength", "linear", "preserve_alpha"],
    "random_dither": ["levels", "palette", "seed", "strength", "linear", "preserve_alpha"],
}


class Call:
    """A drawn call: function name, positional Args, keyword Args (in order)."""

    def __init__(self, function, args, kwargs):
        self.function = function
        self.args = args
        self.kwargs = kwargs

    def build(self):
        return [a.build() for a in self.args], {k: v.build() for k, v in self.kwargs.items()}

    def named(self):
        """{parameter: Arg} for what the call binds, when matching succeeds."""
        out = dict(zip(POSITIONAL[self.function], self.args))
        out.update(self.kwargs)
        return out

    def __repr__(self):
        parts = [repr(a) for a in self.args] + [f"{k}={v!r}" for k, v in self.kwargs.items()]
        return f"dithering.{self.function}({', '.join(parts)})"


def unknown_keywords():
    return st.one_of(
        st.sampled_from(["Levels", "level", "seed ", "alpha", "colors", "kernel", "img", "self",
                         "matrix", "method", "serpentine", "seed", "__init__", "", "é", "levels\x00"]),
        st.text(max_size=6),
        st.text(st.characters(codec=None, exclude_categories=()), min_size=1, max_size=3),
    )


PARAMETER_STRATEGIES = {
    "image": images,
    "method": methods,
    "matrix": matrices,
    "levels": levels,
    "palette": palettes,
    "seed": seeds,
    "strength": strengths,
    "serpentine": flags,
    "linear": flags,
    "preserve_alpha": flags,
}


@st.composite
def calls(draw, wild=(), functions=FUNCTIONS, keyword_chaos=False):
    """A call of one of `functions`; the parameters named in `wild` (or all, for "all")
    are drawn from their full strategies, the rest from valid values."""
    function = draw(st.sampled_from(functions))
    positional = POSITIONAL[function]
    keyword_only = KEYWORD_ONLY[function]

    def strategy(name):
        is_wild = "all" in wild or name in wild
        if name == "method":
            return methods(wild=is_wild, function=function)
        return PARAMETER_STRATEGIES[name](wild=is_wild)

    if "palette" in wild and "image" not in wild and "all" not in wild:
        image_strategy = st.one_of(rgb_images(), images(wild=False))
    else:
        image_strategy = strategy("image")
    args = [draw(image_strategy)]
    kwargs = {}
    second = positional[1] if len(positional) > 1 else None
    if second is not None and draw(st.integers(0, 3)) > 0:
        value = draw(strategy(second))
        if draw(st.booleans()):
            args.append(value)
        else:
            kwargs[second] = value
    chosen = draw(st.lists(st.sampled_from(keyword_only), unique=True,
                           max_size=len(keyword_only)))
    for name in keyword_only:
        is_wild = "all" in wild or name in wild
        if name in chosen or (is_wild and draw(st.integers(0, 2)) > 0):
            kwargs[name] = draw(strategy(name))
    # A palette forces levels to 2 or to nothing unless the conflict is what we're after.
    if "palette" in kwargs and "levels" in kwargs and "levels" not in wild and "all" not in wild:
        del kwargs["levels"]
    if keyword_chaos:
        chaos = draw(st.integers(0, 6))
        if chaos == 0:
            extra = draw(st.integers(1, 2))
            while len(args) < len(positional) + extra:
                args.append(draw(images(wild=False)))
        elif chaos == 1:
            kwargs["image"] = draw(images(wild=False))
            if draw(st.booleans()):
                args = []
        elif chaos == 2:
            args = []
        elif chaos <= 4:
            for name in draw(st.lists(unknown_keywords(), min_size=1, max_size=2)):
                kwargs[name] = const(1)
        elif chaos == 5 and second is not None:
            if len(args) == 1:
                args.append(draw(strategy(second)))
            kwargs[second] = draw(strategy(second))
        items = list(kwargs.items())
        order = draw(st.permutations(range(len(items))))
        kwargs = dict(items[i] for i in order)
    return Call(function, args, kwargs)



# ---------------------------------------------------------------- mid-sized valid calls


@st.composite
def mid_sized_calls(draw, budget=40000):
    """Valid calls on images up to a few hundred pixels and palettes up to a hundred
    colours: wide enough to cross the block and chunk sizes of vectorised loops,
    small enough for the plain reference."""
    function = draw(st.sampled_from(FUNCTIONS))
    use_palette = draw(st.booleans())
    height = draw(st.sampled_from([1, 2, 3, 4, 8]))
    width = draw(st.sampled_from([1, 2, 7, 15, 16, 17, 20, 21, 33, 64, 65, 90, 129]))
    channels = draw(st.integers(3, 5)) if use_palette else draw(st.sampled_from([None, 1, 2, 3, 4]))
    shape = (height, width) if channels is None else (height, width, channels)
    if draw(st.booleans()):
        image = draw(hnp.arrays(np.uint8, shape))
    else:
        # Few distinct values: plateaus, exact ties and the two ends.
        values = draw(st.lists(st.sampled_from([0, 1, 64, 127, 128, 191, 254, 255]), min_size=1,
                               max_size=3))
        image = draw(hnp.arrays(np.uint8, shape, elements=st.sampled_from(values)))
    kwargs = {}
    if use_palette:
        pixels = height * width * 3
        top = max(2, min(100, budget // pixels))
        count = draw(st.sampled_from([n for n in (2, 3, 15, 16, 17, 63, 64, 65, 100) if n <= top]))
        levels_set = draw(st.sampled_from([(0, 128, 255), (0, 64, 128, 192, 255), None]))
        component = st.sampled_from(levels_set) if levels_set else byte
        colors = draw(st.lists(st.tuples(component, component, component), min_size=count,
                               max_size=count))
        kwargs["palette"] = const(colors)
    elif draw(st.booleans()):
        kwargs["levels"] = const(draw(st.sampled_from([2, 3, 4, 5, 8, 16, 17, 64, 255, 256])))
    if draw(st.booleans()):
        kwargs["strength"] = const(draw(st.sampled_from([0.0, 0.25, 0.5, 1.0])
                                        | st.floats(0, 1)))
    for flag in ("linear", "preserve_alpha"):
        if draw(st.booleans()):
            kwargs[flag] = const(draw(st.booleans()))
    args = [Arg(f"{label_array(image)} of shape {shape}", lambda: image, buffers=[image])]
    if function in ("dither", "error_diffusion"):
        names = METHOD_NAMES if function == "error_diffusion" else METHOD_NAMES + ["random"] + MATRIX_NAMES
        args.append(const(draw(st.sampled_from(names))))
        if draw(st.booleans()):
            kwargs["serpentine"] = const(draw(st.booleans()))
    if function == "ordered_dither":
        rows, cols = draw(st.integers(1, 5)), draw(st.integers(1, 7))
        matrix = draw(st.one_of(
            st.sampled_from([2, 4, 8, 16, None]).map(const),
            hnp.arrays(np.int64, (rows, cols), elements=st.integers(0, rows * cols + 3)).map(const),
            hnp.arrays(np.float32, (rows, cols), elements=st.floats(0, 1, width=32)).map(const),
        ))
        args.append(matrix)
    if function in ("dither", "random_dither"):
        kwargs["seed"] = const(draw(st.integers(-(2**127), 2**127 - 1)))
    return Call(function, args, kwargs)
