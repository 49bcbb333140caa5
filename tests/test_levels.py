"""Output levels, the byte-to-working-value table and plain quantization."""

import numpy as np
import pytest

import dithering
import reference
from reference import f32

RAMP = np.arange(256, dtype=np.uint8).reshape(16, 16)


def random_image(seed, shape):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def quantized(image, levels, linear):
    return dithering.error_diffusion(image, levels=levels, linear=linear, strength=0.0)


class TestTable:
    """The reference's working-value table against the documented values."""

    DOCUMENTED = {1: 0.07739938, 10: 0.7739938, 11: 0.8533666, 12: 0.9375092, 32: 3.683180, 64: 13.07371,
                  128: 55.04443, 188: 128.2361, 254: 252.7311}

    def test_linear_values(self):
        lut = reference.build_lut(True)
        for byte, value in self.DOCUMENTED.items():
            assert float(f"{float(lut[byte]):.7g}") == value, byte
        assert lut[0] == 0 and lut[255] == 255
        assert np.all(np.diff(lut) > 0)

    def test_pinned_bits(self):
        lut = reference.build_lut(True)
        assert lut[128] == f32(55.04443359375)
        assert lut[188] == f32(128.236083984375)
        assert lut[10] == f32(10) / f32(255) / f32(12.92) * f32(255)

    def test_identity(self):
        assert np.array_equal(reference.build_lut(False), np.arange(256, dtype=np.float32))


LEVEL_TABLE = [
    (2, False, [0, 255], [0, 255]),
    (2, True, [0, 255], [0, 255]),
    (3, False, [0, 128, 255], [0, 128, 255]),
    (3, True, [0, 188, 255], [0, 128.2361, 255]),
    (4, False, [0, 85, 170, 255], [0, 85, 170, 255]),
    (4, True, [0, 156, 213, 255], [0, 84.7752, 169.6738, 255]),
    (5, True, [0, 137, 188, 225, 255], [0, 63.7904, 128.2361, 192.0003, 255]),
    (8, True, [0, 106, 146, 175, 199, 220, 238, 255],
     [0, 36.7528, 73.2974, 109.3161, 145.6369, 182.5019, 218.0231, 255]),
]


class TestLevelsTable:
    @pytest.mark.parametrize(("n", "linear", "codes", "values"), LEVEL_TABLE)
    def test_reference(self, n, linear, codes, values):
        levels = reference.Levels(n, reference.build_lut(linear), linear)
        assert levels.codes == codes
        assert [round(float(v), 4) for v in levels.values] == values
        assert levels.step == f32(255) / f32(n - 1)
        assert levels.top == n - 1

    @pytest.mark.parametrize(("n", "linear", "codes", "values"), LEVEL_TABLE)
    def test_module_outputs_are_the_codes(self, n, linear, codes, values):
        assert sorted(set(quantized(RAMP, n, linear).ravel().tolist())) == codes

    def test_inverse_step(self):
        levels = reference.Levels(8, reference.build_lut(False), False)
        assert levels.inv_step == f32(1) / f32(f32(255) / f32(7))
        assert levels.inv_step == np.float32(0.027450982)
        assert levels.inv_step != f32(7) / f32(255)

    def test_linear_256(self):
        levels = reference.Levels(256, reference.build_lut(True), True)
        assert len(set(levels.codes)) == 183
        assert levels.codes[:5] == [0, 13, 22, 28, 34]
        assert levels.codes[-8:] == [252, 252, 253, 253, 254, 254, 255, 255]
        assert levels.values[0] == 0 and levels.values[-1] == 255

    def test_powf_sensitive_code(self):
        levels = reference.Levels(114, reference.build_lut(True), True)
        assert levels.codes[98] == 240

    def test_quantize_around_half(self):
        levels = reference.Levels(2, reference.build_lut(False), False)
        below = np.nextafter(f32(127.5), f32(0))
        assert below == f32(127.49999237060547)
        assert levels.quantize(np.nextafter(below, f32(0))) == 0
        assert levels.quantize(below) == 1
        assert levels.quantize(f32(127.5)) == 1
        assert levels.quantize(f32(-1e30)) == 0
        assert levels.quantize(f32(1e30)) == 1
        assert levels.quantize(f32(np.nan)) == 0


class TestPlainQuantization:
    @pytest.mark.parametrize("linear", [False, True])
    @pytest.mark.parametrize("n", [2, 3, 4, 5, 7, 8, 16, 17, 100, 114, 128, 255, 256])
    def test_every_byte(self, n, linear):
        levels = reference.Levels(n, reference.build_lut(linear), linear)
        lut = reference.build_lut(linear)
        expected = np.array([levels.codes[levels.quantize(lut[b])] for b in range(256)], dtype=np.uint8)
        assert np.array_equal(quantized(RAMP, n, linear).ravel(), expected)

    @pytest.mark.parametrize(
        ("n", "linear", "byte", "output"),
        [
            (2, False, 127, 0),
            (2, False, 128, 255),
            (2, True, 187, 0),
            (2, True, 188, 255),
            (3, False, 63, 0),
            (3, False, 64, 128),
            (3, False, 191, 128),
            (3, False, 192, 255),
            (4, True, 128, 156),
            (4, True, 10, 0),
            (256, True, 1, 0),
            (256, True, 10, 13),
        ],
    )
    def test_pinned(self, n, linear, byte, output):
        image = np.full((2, 3), byte, dtype=np.uint8)
        assert np.all(quantized(image, n, linear) == output)

    @pytest.mark.parametrize("shape", [(1, 1), (5, 7), (4, 6, 1), (4, 6, 2), (4, 6, 3), (4, 6, 4), (3, 5, 5)])
    @pytest.mark.parametrize("preserve_alpha", [False, True])
    def test_256_levels_returns_input(self, shape, preserve_alpha):
        image = random_image(sum(shape), shape)
        result = dithering.error_diffusion(image, levels=256, strength=0.0, preserve_alpha=preserve_alpha)
        assert np.array_equal(result, image)

    @pytest.mark.parametrize("method", list(reference.KERNELS))
    def test_strength_zero_ignores_kernel_and_scan(self, method):
        image = random_image(3, (9, 10, 3))
        plain = quantized(image, 5, True)
        assert np.array_equal(dithering.error_diffusion(image, method, levels=5, linear=True, strength=0.0,
                                                        serpentine=True), plain)

    @pytest.mark.parametrize("linear", [False, True])
    def test_linear_levels_against_reference(self, linear):
        image = random_image(4, (12, 14, 3))
        for n in (3, 4, 6, 9, 33):
            expected = reference.error_diffusion(image, levels=n, strength=0.0, linear=linear)
            assert np.array_equal(quantized(image, n, linear), expected)
