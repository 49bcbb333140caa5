"""Property-based fuzzing of every entry point.

Every drawn call is run against a model of the module's documented behaviour:
argument matching, conversion in signature order, the method or matrix, then
the checks of the preparation step in their fixed order. The model yields the
outcomes the call may have (usually exactly one): a given exception with its
message and note, or a result of a given shape, which for small inputs is
compared byte for byte with the plain reference. Besides, every call must:

- leave the caller's objects as they were (array bytes and flags, lists) and
  hold no extra reference to them afterwards;
- give the same outcome when repeated (random dither with an explicit seed).

The `ci` profile keeps the run short; `tools/fuzz.sh` runs the `long` one.
"""

import ctypes
import gc
import operator
import os
import sys
import traceback
import tracemalloc
import unicodedata

import numpy as np
import pytest
from hypothesis import HealthCheck, event, example, given, note, settings
from hypothesis.control import currently_in_test_context
from hypothesis import strategies as st

import dithering
import reference
import reference_threshold
from fuzz_strategies import (
    BROKEN_TYPES, KEYWORD_ONLY, METHOD_NAMES, POSITIONAL, Arg, BadIndex, Call, CallerError, PILImage,
    RaisesMidway, calls, const, huge_view, mid_sized_calls, pil_images, surrogate_text,
)

settings.register_profile(
    "ci", max_examples=40, deadline=None, derandomize=True, database=None, print_blob=True,
    suppress_health_check=list(HealthCheck),
)
settings.register_profile(
    "long", max_examples=int(os.environ.get("FUZZ_EXAMPLES", "20000")), deadline=None,
    print_blob=True,
    suppress_health_check=list(HealthCheck),
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

FUNCTIONS = {name: getattr(dithering, name)
             for name in ("dither", "ordered_dither", "error_diffusion", "random_dither")}

# ---------------------------------------------------------------- documented messages

NAMES = ", ".join(f"'{n}'" for n in METHOD_NAMES)
MATRICES = "'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16'"
UNKNOWN_METHOD = ("unknown error-diffusion method ", f"; valid values: {NAMES}")
UNKNOWN_DITHER = ("unknown dither method ", f"; valid values: {NAMES}, {MATRICES}, 'random'")
UNKNOWN_MATRIX = ("unknown dither matrix ", f"; valid values: {MATRICES}, the size as an int "
                  "(2, 4, 8, 16), or a custom 2-D numpy matrix")
MATRIX_SHAPE = ("custom dither matrix must be a non-empty 2-D array, got shape {}; pass 'bayerNxN', "
                "the size as an int (2, 4, 8, 16), or a 2-D numpy array")
MATRIX_KIND = ("custom dither matrix must have an integer dtype (Bayer-style indices) or float dtype "
               "(thresholds in [0, 1]), got kind {}")
MATRIX_NEGATIVE = ("integer matrix values must be >= 0, got {} (note: unsigned 64-bit values above "
                   "2^63 overflow to negative)")
MATRIX_LARGE = "integer matrix values must be below 2^24, got {}"
MATRIX_FLOAT = "float matrix thresholds must be in [0, 1]"
STRENGTH = "strength must be between 0.0 and 1.0, got {}"
LEVELS = "levels must be between 2 and 256, got {}"
CONFLICT = "pass either levels or palette, not both"
NEEDS_RGB = ("palette dithering needs an RGB or RGBA image; for grayscale use `levels`, or stack to "
             "RGB with np.dstack([img] * 3)")
PALETTE_TEXT = ('palette must be a sequence of colors, e.g. ["#000", "#fff"] or '
                "[(0, 0, 0), (255, 255, 255)]")
BAD_ENTRY = "palette entries must be hex strings like '#0f380f' or (r, g, b) tuples"
BAD_HEX = ("invalid hex color ", "; expected '#rgb' or '#rrggbb'")
COMPONENTS = "palette color must have exactly 3 components (r, g, b), got {}"
COMPONENT_RANGE = "palette color components must be in 0..=255, got {}"
TOO_FEW = "palette must contain at least 2 colors"
TOO_MANY = "palette must contain at most 4096 colors"
DTYPE = ("expected a uint8 image array, got dtype {}; convert with np.asarray(img, dtype=np.uint8), "
         "or (img * 255).clip(0, 255).astype(np.uint8) for float images in [0, 1]")
NDIM = "expected a 2-D grayscale or 3-D (H, W, C) image, got a {}-D array with shape {}"
EMPTY = "image has an empty dimension: shape {}"
LEVELS_RANGE = "out of range integral type conversion attempted"
SEED_RANGE = "Python int larger than 128 bits"
NOTE = "while processing '{}'"

IMMORTAL = 1 << 29  # refcounts at or above this are immortal objects; not worth tracking
TOO_BIG = 1 << 33  # logical image sizes above this must be refused, never allocated
REFERENCE_BUDGET = 40000  # bytes x palette colours up to which the reference is run

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int


def shape_text(shape):
    return "[" + ", ".join(str(d) for d in shape) + "]"


def f32_text(value):
    if np.isnan(value):
        return "NaN"
    if np.isinf(value):
        return "inf" if value > 0 else "-inf"
    return np.format_float_positional(np.float32(value), unique=True, trim="-")


# ---------------------------------------------------------------- quoted text

_ESCAPES = {"\\": "\\", '"': '"', "t": "\t", "r": "\r", "n": "\n", "0": "\0"}
_CANONICAL = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def _canonical_ascii(ch):
    if ch in _CANONICAL:
        return _CANONICAL[ch]
    if 0x20 <= ord(ch) < 0x7F:
        return ch
    return f"\\u{{{ord(ch):x}}}"


def quoted_ok(quoted, text):
    """`quoted` is `text` in the double-quoted form: it reads back to `text`,
    ASCII characters are written exactly one way, and no control character
    stands unescaped. (How other non-ASCII characters are shown is open.)"""
    if len(quoted) < 2 or quoted[0] != '"' or quoted[-1] != '"':
        return False
    body, out, i = quoted[1:-1], [], 0
    while i < len(body):
        c = body[i]
        if c == "\\":
            nxt = body[i + 1: i + 2]
            if nxt in _ESCAPES and nxt:
                ch, written, i = _ESCAPES[nxt], body[i: i + 2], i + 2
            elif nxt == "u" and body[i + 2: i + 3] == "{" and "}" in body[i + 3:]:
                end = body.index("}", i + 3)
                digits = body[i + 3: end]
                if not digits or any(d not in "0123456789abcdef" for d in digits):
                    return False
                cp = int(digits, 16)
                if cp > 0x10FFFF or digits != f"{cp:x}":
                    return False
                ch, written, i = chr(cp), body[i: end + 1], end + 1
            else:
                return False
        elif c == '"' or unicodedata.category(c) == "Cc":
            return False
        else:
            ch, written, i = c, c, i + 1
        if ord(ch) < 0x80 and written != _canonical_ascii(ch):
            return False
        out.append(ch)
    return "".join(out) == text


def quoted_message(parts, text):
    prefix, suffix = parts

    def check(message):
        return (message.startswith(prefix) and message.endswith(suffix)
                and len(message) >= len(prefix) + len(suffix)
                and quoted_ok(message[len(prefix): len(message) - len(suffix)], text))
    check.__doc__ = f"{prefix}<{text!r} quoted>{suffix}"
    return check


# ---------------------------------------------------------------- outcomes


class Outcome:
    def __init__(self, result=None, error=None):
        self.result = result
        self.ok = error is None
        if error is not None:
            self.type = type(error)
            try:
                self.message = str(error)
            except Exception:  # pragma: no cover - our own objects always print
                self.message = "<unprintable>"
            self.notes = list(getattr(error, "__notes__", []))

    def key(self):
        if not self.ok:
            return ("error", self.type, self.message, tuple(self.notes))
        r = self.result
        if PILImage is not None and isinstance(r, PILImage.Image):
            return ("pil", r.mode, r.size, r.tobytes())
        # Plain values only: holding the dtype would skew the reference counts.
        return ("array", type(r).__name__, str(getattr(r, "dtype", None)), getattr(r, "shape", None),
                r.tobytes() if isinstance(r, np.ndarray) else None)

    def __repr__(self):
        if self.ok:
            r = self.result
            if isinstance(r, np.ndarray):
                return f"<result {r.dtype} array {r.shape}>"
            return f"<result {r!r}>"
        notes = f" notes={self.notes}" if self.notes else ""
        return f"<{self.type.__name__}: {self.message!r}{notes}>"


class Fails:
    """An expected exception: its exact type, and its message (exact text, or
    any when None, or a predicate), and the conversion note if any."""

    def __init__(self, exc_type, message=None, note_for=None, check=None):
        self.type = exc_type
        self.message = message
        self.note_for = note_for
        self.check = check

    def accepts(self, out):
        if out.ok or out.type is not self.type:
            return False
        if self.message is not None and out.message != self.message:
            return False
        if self.check is not None and not self.check(out.message):
            return False
        return out.notes == ([NOTE.format(self.note_for)] if self.note_for else [])

    def __repr__(self):
        text = self.message if self.check is None else self.check.__doc__
        note_text = f" + note {self.note_for!r}" if self.note_for else ""
        return f"{self.type.__name__}({text!r}){note_text}"


def raised(error, note_for=None):
    """The exception an operation on the caller's object raised, passed on
    (with the conversion note, unless the exception refuses notes)."""
    if type(error).add_note is not BaseException.add_note:
        note_for = None
    return Fails(type(error), str(error), note_for)


class Succeeds:
    def __init__(self, shape, pil_mode, expected=None):
        self.shape = shape
        self.pil_mode = pil_mode
        self.expected = expected  # callable giving the reference output, or None

    def accepts(self, out):
        return out.ok

    def check_result(self, result):
        if self.pil_mode is not None:
            assert isinstance(result, PILImage.Image), type(result)
            assert result.mode == self.pil_mode
            assert result.size == (self.shape[1], self.shape[0])
            array = np.asarray(result)
        else:
            assert type(result) is np.ndarray, type(result)
            array = result
            assert array.flags.c_contiguous and array.flags.writeable and not array.flags.owndata
        assert array.dtype == np.uint8
        assert array.shape == tuple(self.shape)
        if self.expected is not None:
            expected = self.expected()
            assert np.array_equal(array, expected), f"differs from the reference:\n{array!r}\n{expected!r}"

    def __repr__(self):
        return f"Succeeds(shape={self.shape}, mode={self.pil_mode})"


class Decided(Exception):
    pass


class Model:
    """Walks one call through the documented steps; collects the outcomes it may have."""

    def __init__(self, call):
        self.call = call
        self.alternatives = []

    def stop(self, *alternatives):
        self.alternatives.extend(alternatives)
        raise Decided

    def may(self, *alternatives):
        self.alternatives.extend(alternatives)

    def run(self):
        try:
            self._run()
        except Decided as stop:
            # Leave no frame behind that still holds the caller's objects.
            traceback.clear_frames(stop.__traceback__)
            if stop.__context__ is not None:
                traceback.clear_frames(stop.__context__.__traceback__)
        return self.alternatives

    # -------------------------------------------------------- steps

    def _run(self):
        call = self.call
        function = call.function
        self.match(function, len(call.args), list(call.kwargs))
        named = call.named()
        values = {name: arg.build() for name, arg in named.items()}
        converted = {}
        order = ["matrix", "method"] + KEYWORD_ONLY[function]
        for name in order:
            if name in values and name in POSITIONAL[function] + KEYWORD_ONLY[function]:
                converted[name] = self.convert(name, values[name])
        levels = converted.get("levels", 2)
        palette = converted.get("palette")
        strength = converted.get("strength", np.float32(1.0))
        linear = converted.get("linear", False)
        preserve_alpha = converted.get("preserve_alpha", True)
        serpentine = converted.get("serpentine", False)
        seed = converted.get("seed")
        method = converted.get("method", "floyd_steinberg")
        common = dict(levels=levels, strength=strength, linear=linear, preserve_alpha=preserve_alpha)

        if function == "error_diffusion" or function == "dither":
            kernel = parse_method(method)
            if function == "error_diffusion" and kernel is None:
                self.stop(Fails(ValueError, check=quoted_message(UNKNOWN_METHOD, method)))
            if kernel is not None:
                algorithm = ("error_diffusion", kernel, serpentine)
            elif normalize(method) == "random":
                algorithm = ("random", seed)
            else:
                matrix = self.parse_matrix(method, quiet=True)
                if matrix is None:
                    self.stop(Fails(ValueError, check=quoted_message(UNKNOWN_DITHER, method)))
                algorithm = ("ordered", matrix)
        elif function == "ordered_dither":
            matrix_arg = named.get("matrix")
            if matrix_arg is None or values["matrix"] is None:
                matrix = reference_threshold.bayer(8)
            else:
                matrix = self.parse_matrix(values["matrix"])
            algorithm = ("ordered", matrix)
        else:
            algorithm = ("random", seed)

        image, pil_mode, colors = self.prepare(values["image"], palette, **common)
        self.succeed(image, pil_mode, colors, algorithm, common)

    def match(self, function, nargs, kwnames):
        positional, keyword_only = POSITIONAL[function], KEYWORD_ONLY[function]
        if nargs > len(positional):
            if len(positional) == 1:
                text = f"{function}() takes 1 positional arguments but {nargs} were given"
            else:
                verb = "was" if nargs == 1 else "were"
                text = f"{function}() takes from 1 to 2 positional arguments but {nargs} {verb} given"
            self.stop(Fails(TypeError, text))
        filled = set(positional[:nargs])
        for name in kwnames:
            if name not in keyword_only and name not in positional:
                alternatives = [Fails(TypeError, f"{function}() got an unexpected keyword argument '{name}'")]
                if not _utf8(name):
                    alternatives.append(Fails(UnicodeEncodeError))
                self.stop(*alternatives)
            if name in filled:
                self.stop(Fails(TypeError, f"{function}() got multiple values for argument '{name}'"))
            filled.add(name)
        if "image" not in filled:
            self.stop(Fails(TypeError, f"{function}() missing 1 required positional argument: 'image'"))

    def convert(self, name, value):
        if name in ("image", "palette", "matrix"):
            return value
        if name == "levels":
            try:
                number = operator.index(value)
            except Exception as error:
                self.stop(raised(error, name))
            if not -(2**63) <= number < 2**63:
                self.stop(Fails(OverflowError, "Python int too large to convert to C long", name))
            if not 0 <= number <= 2**32 - 1:
                self.stop(Fails(OverflowError, LEVELS_RANGE, name))
            return number
        if name == "seed":
            if value is None:
                return None
            try:
                number = operator.index(value)
            except Exception as error:
                self.stop(raised(error, name))
            if not -(2**127) <= number < 2**127:
                self.stop(Fails(OverflowError, SEED_RANGE, name))
            return number
        if name == "strength":
            return self.convert_float(value)
        if name in ("linear", "preserve_alpha", "serpentine"):
            t = type(value)
            if t is bool:
                return value
            if t.__module__ == "numpy" and t.__name__ in ("bool", "bool_"):
                return bool(value)
            if value is None:
                self.stop(Fails(TypeError, "'None' is not an instance of 'bool'", name))
            self.stop(Fails(TypeError, f"'{t.__qualname__}' object is not an instance of 'bool'", name))
        if name == "method":
            if value is None:
                self.stop(Fails(TypeError, "'None' is not an instance of 'str'", name))
            if not isinstance(value, str):
                self.stop(Fails(TypeError, f"'{type(value).__qualname__}' object is not an instance of 'str'",
                                name))
            if not _utf8(value):
                self.stop(Fails(UnicodeEncodeError, None, name))
            return str(value)
        raise AssertionError(name)

    def convert_float(self, value):
        """The interpreter's float conversion; its messages are its own."""
        if isinstance(value, float):
            number = float(value)
        else:
            t = type(value)
            try:
                if hasattr(t, "__float__"):
                    number = t.__float__(value)
                    if type(number) is not float:
                        raise TypeError("__float__ returned non-float")
                elif hasattr(t, "__index__"):
                    number = float(operator.index(value))
                else:
                    raise TypeError("must be real number")
            except CallerError as error:
                self.stop(raised(error, "strength"))
            except (TypeError, OverflowError) as error:
                self.stop(Fails(type(error), None, "strength"))
        with np.errstate(over="ignore"):
            return np.float32(number)

    def parse_matrix(self, matrix, quiet=False):
        """A threshold table (list of rows of float32) or, with `quiet`, None
        for any failure; otherwise a failure stops the model."""
        def fail(*alternatives):
            if quiet:
                raise _NoMatrix
            self.stop(*alternatives)
        try:
            return self._parse_matrix(matrix, fail)
        except _NoMatrix:
            return None

    def _parse_matrix(self, matrix, fail):
        t = type(matrix)
        if isinstance(matrix, int) or hasattr(t, "__index__"):
            try:
                n = operator.index(matrix)
            except CallerError as error:
                # Reading the size failed: passing that on and trying the
                # next reading are both fine.
                self.may(raised(error))
                n = None
            except TypeError:
                n = None
            if n is not None and 0 <= n < 2**64:
                if n in (2, 4, 8, 16):
                    return reference_threshold.bayer(n)
                fail(Fails(ValueError, check=quoted_message(UNKNOWN_MATRIX, str(n))))
        if isinstance(matrix, str):
            n = matrix_name_size(matrix)
            if n is None:
                alternatives = [Fails(ValueError, check=quoted_message(UNKNOWN_MATRIX, matrix))]
                if not _utf8(matrix):
                    alternatives.append(Fails(UnicodeEncodeError))
                fail(*alternatives)
            return reference_threshold.bayer(n)
        try:
            array = np.asarray(matrix)
        except Exception as error:
            fail(raised(error))
        if array.ndim != 2 or 0 in array.shape:
            fail(Fails(ValueError, MATRIX_SHAPE.format(shape_text(array.shape))))
        kind = array.dtype.kind
        if kind == "f":
            values = array.astype("float64").flatten().tolist()
            if not all(0 <= v <= 1 for v in values):
                fail(Fails(ValueError, MATRIX_FLOAT))
            return reference_threshold.from_thresholds(np.array(values).reshape(array.shape))
        if kind in "iu":
            values = array.astype("int64").flatten().tolist()
            if min(values) < 0:
                fail(Fails(ValueError, MATRIX_NEGATIVE.format(min(values))))
            if max(values) >= 2**24:
                fail(Fails(ValueError, MATRIX_LARGE.format(max(values))))
            return reference_threshold.from_indices(np.array(values).reshape(array.shape))
        fail(Fails(TypeError, MATRIX_KIND.format(f'"{kind}"')))

    def prepare(self, image, palette, levels, strength, linear, preserve_alpha):
        if not 0 <= strength <= 1:
            self.stop(Fails(ValueError, STRENGTH.format(f32_text(strength))))
        if not 2 <= levels <= 256:
            self.stop(Fails(ValueError, LEVELS.format(levels)))
        if levels != 2 and palette is not None:
            self.stop(Fails(ValueError, CONFLICT))
        colors = None
        if palette is not None:
            # The model's own copy where the argument is used up by a call.
            colors = self.parse_palette(palette)
        image, pil_mode = self.read_image(image)
        channels = image.shape[2] if image.ndim == 3 else 1
        if palette is not None and channels in (1, 2):
            self.stop(Fails(ValueError, NEEDS_RGB))
        return image, pil_mode, (colors if palette is not None else None)

    def parse_palette(self, palette):
        """The colour list, or "unknown" where a lying object makes it so."""
        if isinstance(palette, str):
            self.stop(Fails(TypeError, PALETTE_TEXT))
        try:
            iterator = iter(palette)
        except Exception as error:
            self.stop(raised(error))
        colors = []
        while True:
            try:
                entry = next(iterator)
            except StopIteration:
                break
            except Exception as error:
                self.stop(raised(error))
            color = self.read_entry(entry)
            if color is None:
                colors = None  # read, but what it reads as is open
            elif colors is not None:
                colors.append(color)
        if colors is not None:
            if len(colors) < 2:
                self.stop(Fails(ValueError, TOO_FEW))
            if len(colors) > 4096:
                self.stop(Fails(ValueError, TOO_MANY))
        else:
            self.may(Fails(ValueError, TOO_FEW), Fails(ValueError, TOO_MANY))
        return colors if colors is not None else "unknown"

    def read_entry(self, entry):
        if isinstance(entry, str):
            body = entry[1:] if entry.startswith("#") else entry
            if len(body) in (3, 6) and all(c in "0123456789abcdefABCDEF" for c in body):
                if len(body) == 3:
                    return tuple(int(c, 16) * 17 for c in body)
                return tuple(int(body[i: i + 2], 16) for i in (0, 2, 4))
            self.stop(Fails(ValueError, check=quoted_message(BAD_HEX, entry)))
        if not _sequence_check(entry):
            self.stop(Fails(TypeError, BAD_ENTRY))
        plain = (tuple, list, bytes, bytearray, range)
        if not (isinstance(entry, plain) or (isinstance(entry, np.ndarray) and entry.ndim >= 1)):
            # A sequence with a broken or lying length or items: what is read
            # is open, but the outcome must still be one of these.
            self.may(Fails(TypeError, BAD_ENTRY), *_any_message(ValueError, COMPONENTS, COMPONENT_RANGE),
                     *_caller_errors())
            return None
        items = list(entry)
        numbers = []
        for item in items:
            if isinstance(item, int):
                numbers.append(int(item))
                continue
            if not hasattr(type(item), "__index__"):
                self.stop(Fails(TypeError, BAD_ENTRY))
            try:
                numbers.append(operator.index(item))
            except CallerError as error:
                self.stop(Fails(TypeError, BAD_ENTRY), raised(error))
            except TypeError:
                self.stop(Fails(TypeError, BAD_ENTRY))
        if any(not -(2**63) <= v < 2**63 for v in numbers):
            self.stop(Fails(TypeError, BAD_ENTRY))
        if len(numbers) != 3:
            self.stop(Fails(ValueError, COMPONENTS.format(len(numbers))))
        if any(not 0 <= v <= 255 for v in numbers):
            self.stop(Fails(ValueError, COMPONENT_RANGE.format(shape_text(numbers))))
        return tuple(numbers)

    def read_image(self, image):
        pil_mode = None
        if isinstance(image, np.ndarray) and image.dtype == np.uint8:
            array = image
        elif PILImage is not None and isinstance(image, PILImage.Image):
            if image.mode in ("L", "LA", "RGB", "RGBA"):
                pil_mode = image.mode
            else:
                try:
                    image = image.convert("RGB")
                except Exception as error:
                    self.stop(raised(error))
                pil_mode = "RGB"
            array = np.asarray(image)
        else:
            try:
                array = np.asarray(image)
            except Exception as error:
                self.stop(raised(error))
            if array.dtype != np.uint8:
                self.stop(Fails(TypeError, DTYPE.format(array.dtype)))
        if array.ndim not in (2, 3):
            self.stop(Fails(ValueError, NDIM.format(array.ndim, shape_text(array.shape))))
        if 0 in array.shape:
            self.stop(Fails(ValueError, EMPTY.format(shape_text(array.shape))))
        if array.size > TOO_BIG:
            self.stop(Fails(MemoryError))
        return array, pil_mode

    def succeed(self, image, pil_mode, colors, algorithm, common):
        expected = None
        budget = image.size * (len(colors) if isinstance(colors, list) else 1)
        if colors != "unknown" and budget <= REFERENCE_BUDGET:
            expected = _reference(image, colors, algorithm, common)
        self.alternatives.append(Succeeds(image.shape, pil_mode, expected))


class _NoMatrix(Exception):
    pass


def _utf8(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _any_message(exc_type, *templates):
    def check(message):
        return any(_template_matches(t, message) for t in templates)
    check.__doc__ = " | ".join(templates)
    return [Fails(exc_type, check=check)]


def _caller_errors():
    return [Fails(CallerError, check=lambda m: True)]


def _template_matches(template, message):
    head, _, tail = template.partition("{}")
    return message.startswith(head) and message.endswith(tail) and len(message) > len(head) + len(tail)


def _reference(image, colors, algorithm, common):
    image = np.ascontiguousarray(image)
    kwargs = dict(levels=common["levels"], palette=colors, strength=common["strength"],
                  linear=common["linear"], preserve_alpha=common["preserve_alpha"])
    kind = algorithm[0]
    if kind == "error_diffusion":
        _, kernel, serpentine = algorithm
        return lambda: reference.error_diffusion(image, kernel, serpentine=serpentine, **kwargs)
    if kind == "ordered":
        thresholds = algorithm[1]
        return lambda: reference_threshold.ordered_dither(image, thresholds, **kwargs)
    seed = algorithm[1]
    if seed is None:
        return None
    return lambda: reference_threshold.random_dither(image, seed, **kwargs)


# ---------------------------------------------------------------- names

ALIASES = {
    "fs": "floyd_steinberg", "floydsteinberg": "floyd_steinberg", "ffs": "false_floyd_steinberg",
    "falsefloydsteinberg": "false_floyd_steinberg", "jjn": "jarvis_judice_ninke",
    "jarvis": "jarvis_judice_ninke", "jarvisjudiceninke": "jarvis_judice_ninke", "stucki": "stucki",
    "atkinson": "atkinson", "burkes": "burkes", "sierra": "sierra", "sierra3": "sierra",
    "sierra2": "sierra_two_row", "sierratworow": "sierra_two_row", "tworowsierra": "sierra_two_row",
    "sierralite": "sierra_lite", "sierra24a": "sierra_lite",
}


def normalize(text):
    return "".join(c.lower() if "A" <= c <= "Z" else c for c in text if c not in " -_")


def parse_method(text):
    return ALIASES.get(normalize(text))


def matrix_name_size(text):
    key = normalize(text)
    if len(key.encode("utf-8", "surrogatepass")) >= 5 and key.startswith("bayer"):
        key = key[5:]
    head = key.split("x", 1)[0]
    digits = head[1:] if head.startswith("+") else head
    if not digits or any(c not in "0123456789" for c in digits):
        return None
    n = int(digits)
    if n >= 2**64:
        return None
    if key not in (f"{n}x{n}", f"{n}"):
        return None
    return n if n in (2, 4, 8, 16) else None


# ---------------------------------------------------------------- running a call


def snapshot(obj, depth=0):
    """What must not change about an argument: array bytes and flags, container items."""
    if isinstance(obj, np.ndarray):
        flags = obj.flags
        # The bytes of small arrays only: a zero-stride view may claim terabytes.
        content = obj.tobytes() if obj.size <= 4096 else None
        return ("ndarray", obj.shape, obj.strides, obj.dtype.str, flags.writeable, flags.c_contiguous,
                flags.f_contiguous, flags.owndata, flags.aligned, obj.ctypes.data, content)
    if PILImage is not None and isinstance(obj, PILImage.Image):
        return ("pil", obj.mode, obj.size, obj.tobytes(), dict(obj.info))
    if isinstance(obj, (list, tuple)) and depth < 2:
        return (type(obj), [(id(x), snapshot(x, depth + 1)) for x in obj])
    if isinstance(obj, (bytearray, memoryview)):
        return bytes(obj)
    return (type(obj), id(obj))


TRACKED_TYPES = (np.ndarray, list, tuple, dict, set, bytearray, memoryview) + BROKEN_TYPES


def tracked_objects(call):
    """Objects whose reference counts a call must leave as it found them."""
    out = []
    for arg in list(call.args) + list(call.kwargs.values()):
        if arg.fresh:
            continue
        obj = arg.build()
        out.append(obj)
        if isinstance(obj, (list, tuple)):
            out.extend(obj[:64])
        out.extend(arg.meta.get("buffers", ()))
    if PILImage is not None:
        types = TRACKED_TYPES + (PILImage.Image,)
    else:
        types = TRACKED_TYPES
    out = [o for o in out if isinstance(o, types)]
    # What the module itself takes hold of during a call must be let go too.
    out += [np, np.asarray, np.dtype(np.uint8)]
    pil = sys.modules.get("PIL.Image")
    if pil is not None:
        out += [pil, pil.fromarray]
    return [o for o in out if sys.getrefcount(o) < IMMORTAL]


def buffers_of(call):
    return [b for arg in list(call.args) + list(call.kwargs.values())
            for b in arg.meta.get("buffers", ())]


def invoke(function, args, kwargs):
    try:
        result = function(*args, **kwargs)
    except Exception as error:
        return Outcome(error=error)
    return Outcome(result=result)


def log(text):
    if currently_in_test_context():
        note(text)


def run_and_check(call):
    """Runs `call` twice and checks everything the module promises about it."""
    alternatives = Model(call).run()
    log(f"expected one of: {alternatives!r}")
    function = FUNCTIONS[call.function]
    buffers = buffers_of(call)
    buffer_bytes = [b.tobytes() for b in buffers]
    args, kwargs = call.build()
    tracked = tracked_objects(call)
    shots = [snapshot(a) for a in args] + [snapshot(v) for v in kwargs.values()]
    # No collection while counting: garbage cycles elsewhere may hold the same objects.
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        before = [sys.getrefcount(o) for o in tracked]
        first = invoke(function, args, kwargs)
        log(f"outcome: {first!r}")
        accepted = [alt for alt in alternatives if alt.accepts(first)]
        assert accepted, f"unexpected outcome {first!r}; expected one of {alternatives!r}"
        if first.ok:
            accepted[0].check_result(first.result)
        if currently_in_test_context():
            event("outcome", "result" if first.ok else f"{first.type.__name__}: {first.message[:40]}")
            event("reference", str(first.ok and accepted[0].expected is not None))
        assert [snapshot(a) for a in args] + [snapshot(v) for v in kwargs.values()] == shots, \
            "the caller's objects changed"
        assert [b.tobytes() for b in buffers] == buffer_bytes, "the caller's array was written to"
        first_key = first.key()
        del first, accepted
        after = [sys.getrefcount(o) for o in tracked]
    finally:
        if gc_was_enabled:
            gc.enable()
    assert after == before, f"reference counts changed: {before} -> {after} for {tracked!r}"

    if first_key[0] != "error" and unseeded_random(call):
        # Without a seed the noise comes from the clock: repeat with one.
        run_and_check(Call(call.function, call.args, {**call.kwargs, "seed": const(0x5EED)}))
        return
    args, kwargs = call.build()
    second = invoke(function, args, kwargs)
    assert second.key() == first_key, f"second call differs: {second!r}"


def unseeded_random(call):
    named = call.named()
    if "seed" in named and named["seed"].build() is not None:
        return False
    if call.function == "random_dither":
        return True
    if call.function != "dither":
        return False
    method = named["method"].build() if "method" in named else "floyd_steinberg"
    return isinstance(method, str) and parse_method(method) is None and normalize(method) == "random"


# ---------------------------------------------------------------- the properties

# Cases every run must include, whatever the profile draws.
GRAY = const(np.arange(12, dtype=np.uint8).reshape(3, 4), "np.arange(12, dtype=np.uint8).reshape(3, 4)")
RGB = const(np.arange(36, dtype=np.uint8).reshape(3, 4, 3), "np.arange(36, dtype=np.uint8).reshape(3, 4, 3)")
PAIR = const(["#000", "#fff"])


def fixed(function, *args, **kwargs):
    def wrap(value):
        return value if isinstance(value, Arg) else const(value)
    return Call(function, [wrap(a) for a in args], {k: wrap(v) for k, v in kwargs.items()})


def uint8_tuple():
    rows = tuple(tuple(np.uint8(v) for v in row) for row in ((1, 200, 3), (40, 5, 250)))
    return Arg("((np.uint8(1), ...), ...) of shape (2, 3)", lambda: rows)




@given(calls(wild=("image",)))
@example(fixed("dither", huge_view((2**21, 2**21, 3))))
@example(fixed("random_dither", huge_view((2**45, 1)), seed=const(1)))
@example(fixed("ordered_dither", huge_view((2**40, 2**3)), levels=const(4)))
@example(fixed("error_diffusion", huge_view((2**20, 2**21), np.float64)))
@example(fixed("dither", huge_view((2**40, 0))))
def test_images(call):
    run_and_check(call)


@pytest.mark.parametrize("call", [
    fixed("dither", uint8_tuple()),
    fixed("error_diffusion", const(())),
    fixed("random_dither", const(((1, 2), (3, 4))), seed=const(1)),
    fixed("ordered_dither", GRAY, const(((0, 2), (3, 1)))),
    fixed("ordered_dither", GRAY, const(((0.25, 0.75),))),
    fixed("ordered_dither", GRAY, const((np.array([0, 1]), np.array([2, 3])))),
], ids=repr)
def test_tuples_are_read_like_lists(call):
    # A tuple is one array-like argument, never a list of arguments to unpack.
    run_and_check(call)


@given(calls(wild=("palette",)))
@example(fixed("error_diffusion", RGB, palette=Arg("RaisesMidway(...)", lambda: RaisesMidway(
    [(0, 0, 0), (255, 255, 255)], 1), fresh=True)))
@example(fixed("ordered_dither", RGB, palette=const(np.array([[0, 0, 0], [np.nan, 1, 2]]))))
@example(fixed("random_dither", RGB, palette=const(np.array([[0, 0, 0], [np.inf, 1, 2]]))))
@example(fixed("dither", RGB, palette=const([(0, 0, 0), (BadIndex(), 0, 0)])))
@example(fixed("dither", GRAY, palette=PAIR))
def test_palettes(call):
    run_and_check(call)


@given(calls(wild=("matrix",), functions=["ordered_dither"]))
@example(fixed("ordered_dither", GRAY, const(np.array([[2**63, 1]], np.uint64))))
@example(fixed("ordered_dither", GRAY, const(np.array([[0.5, np.nan]]))))
@example(fixed("ordered_dither", GRAY, const(np.zeros((2, 2), bool))))
def test_matrices(call):
    run_and_check(call)


@given(calls(wild=("method",), functions=["dither", "error_diffusion"]))
def test_method_names(call):
    run_and_check(call)


@given(calls(wild=("levels", "seed", "strength", "serpentine", "linear", "preserve_alpha")))
@example(fixed("random_dither", GRAY, seed=const(2**127 - 1)))
@example(fixed("random_dither", GRAY, seed=const(-(2**127))))
@example(fixed("random_dither", GRAY, seed=const(2**127)))
@example(fixed("dither", GRAY, "random", seed=const(-(2**127) - 1)))
@example(fixed("dither", GRAY, levels=const(2**32)))
@example(fixed("dither", GRAY, levels=const(2**32 - 1)))
@example(fixed("dither", GRAY, strength=const(1.00000001)))
@example(fixed("dither", GRAY, strength=const(1.0000001)))
@example(fixed("dither", GRAY, strength=const(-5e-324)))
def test_numbers_and_flags(call):
    run_and_check(call)


@given(calls(keyword_chaos=True))
def test_argument_matching(call):
    run_and_check(call)


@given(calls(wild=("all",)))
def test_everything_at_once(call):
    run_and_check(call)


@given(calls(wild=("all",), keyword_chaos=True))
def test_everything_with_odd_keywords(call):
    run_and_check(call)


@given(calls())
def test_valid_calls_match_reference(call):
    run_and_check(call)


@settings(max_examples=max(10, settings.default.max_examples // 3))
@given(mid_sized_calls())
def test_mid_sized_inputs_match_reference(call):
    run_and_check(call)


@settings(max_examples=max(8, settings.default.max_examples // 5))
@given(st.one_of(calls(wild=("all",)), calls(wild=("image",)), calls(wild=("palette",)),
                 calls(wild=("matrix",), functions=["ordered_dither"]), calls(keyword_chaos=True)))
def test_repeated_calls_do_not_leak(call):
    """Memory traced by the interpreter stops growing once caches are warm: a
    leaked object per call would keep it growing."""
    function = FUNCTIONS[call.function]

    def repeat(count):
        for _ in range(count):
            args, kwargs = call.build()
            invoke(function, args, kwargs)

    def growth():
        tracemalloc.start()
        try:
            marks = []
            for count in (300, 400, 400, 400):
                repeat(count)
                # Also frees what the free-threaded interpreter defers freeing.
                gc.collect()
                marks.append(tracemalloc.get_traced_memory()[0])
        finally:
            tracemalloc.stop()
        return [after - before for before, after in zip(marks, marks[1:])]

    repeat(20)
    # A cache filling up or a table resized shows in one window, a leak in
    # every window and every time. Twenty bytes a call is less than any object
    # the module could leak (a float, the smallest, takes 24); the free-threaded
    # interpreter sometimes shows ten or so of noise.
    measured = []
    for _ in range(3):
        measured.append(growth())
        if min(measured[-1]) < 400 * 20:
            return
    raise AssertionError(f"traced memory kept growing, bytes per window of 400 calls: {measured}")


@pytest.mark.skipif(PILImage is None, reason="PIL is not installed")
@given(st.data())
def test_pil_images_of_every_mode(data):
    image = data.draw(pil_images())
    call = data.draw(calls())
    call.args[0] = image
    run_and_check(call)


LISTINGS = {
    "available_methods": METHOD_NAMES,
    "available_matrices": ["bayer2x2", "bayer4x4", "bayer8x8", "bayer16x16"],
}
ANY_VALUE = st.one_of(st.none(), st.integers(), st.text(max_size=4), st.floats(), st.binary(max_size=4))


@given(st.sampled_from(sorted(LISTINGS)), st.lists(ANY_VALUE, max_size=3),
       st.dictionaries(st.one_of(st.text(max_size=4), surrogate_text().filter(bool)), ANY_VALUE,
                       max_size=2))
def test_listings(name, args, kwargs):
    function = getattr(dithering, name)
    first = function()
    assert first == LISTINGS[name] and type(first) is list
    first.append("changed")
    assert function() == LISTINGS[name]
    if args or kwargs:
        with pytest.raises(TypeError) as info:
            function(*args, **kwargs)
        assert type(info.value) is TypeError
        assert name in str(info.value)


def test_models_own_quoting_rule():
    # The checker itself: it must reject what the message format forbids.
    assert quoted_ok('"a\\"b\\\\c"', 'a"b\\c')
    assert quoted_ok('"\\t\\r\\n\\0\\u{7f}"', "\t\r\n\0\x7f")
    assert quoted_ok('"é"', "é") and quoted_ok('"\\u{e9}"', "é")
    assert not quoted_ok('"\\u{07f}"', "\x7f")
    assert not quoted_ok('"\x01"', "\x01")
    assert not quoted_ok('"\\x41"', "A")
    assert not quoted_ok('"\\u{41}"', "A")
    assert not quoted_ok('"a"b"', 'a"b')
    assert not quoted_ok("'ab'", "ab")


def test_model_agrees_with_documented_examples():
    # A few fixed calls through the same checker, so a broken model cannot pass silently.
    img = const(np.full((2, 3), 128, np.uint8))
    cases = [
        (Call("random_dither", [img, const(4)], {}), TypeError,
         "random_dither() takes 1 positional arguments but 2 were given"),
        (Call("dither", [img], {"method": const("bogus")}), ValueError, None),
        (Call("error_diffusion", [img], {"levels": const(-1)}), OverflowError, LEVELS_RANGE),
        (Call("ordered_dither", [img, const(3)], {}), ValueError, None),
        (Call("dither", [img], {"strength": const(float("nan"))}), ValueError, STRENGTH.format("NaN")),
        (Call("dither", [img], {"palette": const(["#000", "#fff"])}), ValueError, NEEDS_RGB),
    ]
    for call, exc_type, message in cases:
        alternatives = Model(call).run()
        assert len(alternatives) == 1 and isinstance(alternatives[0], Fails)
        assert alternatives[0].type is exc_type
        if message is not None:
            assert alternatives[0].message == message
        run_and_check(call)
