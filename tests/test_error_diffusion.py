"""Error diffusion against the slow reference, and the documented worked examples."""

import numpy as np
import pytest

import dithering
import reference

KERNELS = list(reference.KERNELS)


def sample_image(seed, shape):
    """Half the seeds give noise, the others a noisy diagonal gradient."""
    rng = np.random.default_rng(seed)
    if seed % 2:
        return rng.integers(0, 256, shape, dtype=np.uint8)
    h, w = shape[:2]
    ramp = np.add.outer(np.linspace(0, 180, h), np.linspace(0, 75, w))
    if len(shape) == 3:
        ramp = ramp[:, :, None] + np.linspace(0, 60, shape[2])
    noisy = ramp + rng.normal(0, 12, shape)
    return np.clip(np.rint(noisy), 0, 255).astype(np.uint8)



def check(image, method="floyd_steinberg", **kwargs):
    expected = reference.error_diffusion(image, method, **kwargs)
    result = dithering.error_diffusion(image, method, **kwargs)
    assert result.dtype == np.uint8 and result.shape == image.shape
    assert np.array_equal(result, expected)
    return result


class TestWorkedExamples:
    @pytest.mark.parametrize(
        ("shape", "byte", "serpentine", "expected"),
        [
            ((2, 2), 128, False, [[255, 0], [0, 255]]),
            ((3, 3), 128, False, [[255, 0, 255], [0, 255, 0], [255, 0, 255]]),
            ((2, 3), 96, False, [[0, 255, 0], [0, 0, 255]]),
            ((2, 3), 96, True, [[0, 255, 0], [255, 0, 0]]),
            ((2, 1), 128, False, [[255], [0]]),
            ((3, 1), 100, False, [[0], [255], [0]]),
            ((1, 3), 100, False, [[0, 255, 0]]),
        ],
    )
    def test_uniform_grey(self, shape, byte, serpentine, expected):
        image = np.full(shape, byte, dtype=np.uint8)
        for implementation in (dithering.error_diffusion, reference.error_diffusion):
            result = implementation(image, "floyd_steinberg", serpentine=serpentine)
            assert result.tolist() == expected

    def test_defaults(self):
        image = np.full((2, 3), 96, dtype=np.uint8)
        assert dithering.error_diffusion(image).tolist() == [[0, 255, 0], [0, 0, 255]]

    def test_just_below_half_takes_the_low_level(self):
        # Pixel 0 is 1 and goes to 0; half its error times a strength of
        # 1 - 2**-16 lands on pixel 1, whose value becomes 127.49999237, the
        # float just below 127.5. Two levels compare with 127.5 directly.
        image = np.array([[1, 127]], dtype=np.uint8)
        strength = 1 - 2**-16
        rows = reference.kernel_rows("sierra_lite", strength)
        assert reference.f32(127) + rows[0][0, 3] * reference.f32(1) == np.float32(127.49999237060547)
        for implementation in (dithering.error_diffusion, reference.error_diffusion):
            assert implementation(image, "sierra_lite", strength=strength).tolist() == [[0, 0]]
        # With more levels the same value is rounded, and rounds up.
        assert dithering.error_diffusion(image, "sierra_lite", strength=strength, levels=3).tolist() == [[0, 128]]

    def test_inverse_step_is_one_over_step(self):
        # Eight levels: the last pixel's value lies so close to the boundary
        # between levels 4 and 5 that the last bit of 1 / step decides it;
        # 7 / 255, one unit lower, would give 146 there.
        image = np.array([[84, 142, 188, 124], [5, 169, 122, 162]], dtype=np.uint8)
        expected = [[73, 146, 182, 109], [0, 182, 109, 182]]
        strength = 0.5403081178665161
        for implementation in (dithering.error_diffusion, reference.error_diffusion):
            result = implementation(image, "jarvis_judice_ninke", levels=8, strength=strength)
            assert result.tolist() == expected

    @pytest.mark.parametrize(
        ("alias", "canonical"),
        [("FS", "floyd_steinberg"), ("Sierra-2-4A", "sierra_lite"), ("jarvis", "jarvis_judice_ninke"),
         ("two_row_sierra", "sierra_two_row"), ("ffs", "false_floyd_steinberg")],
    )
    def test_aliases(self, alias, canonical):
        image = sample_image(3, (9, 10, 3))
        assert np.array_equal(dithering.error_diffusion(image, alias, levels=3),
                              reference.error_diffusion(image, canonical, levels=3))


KERNEL_CASES = [
    # shape, levels, strength, linear, preserve_alpha
    ((13, 17), 2, 1.0, False, True),
    ((9, 11, 3), 4, 1.0, True, True),
    ((1, 23, 2), 3, 0.5, True, True),
    ((19, 1, 4), 7, 0.25, False, False),
    ((8, 9, 5), 16, 1.0, True, False),
    ((12, 10, 1), 2, 0.875, True, True),
    ((6, 7, 4), 256, 1.0, True, True),
    ((1, 1, 3), 2, 1.0, False, True),
    ((2, 5), 2, 0.75, False, True),
    ((3, 4, 3), 2, 1.0, False, True),
]


class TestKernels:
    @pytest.mark.parametrize("serpentine", [False, True])
    @pytest.mark.parametrize("method", KERNELS)
    @pytest.mark.parametrize(("shape", "levels", "strength", "linear", "preserve_alpha"), KERNEL_CASES)
    def test_against_reference(self, method, serpentine, shape, levels, strength, linear, preserve_alpha):
        seed = KERNELS.index(method) * 7 + levels + len(shape)
        check(sample_image(seed, shape), method, levels=levels, strength=strength, linear=linear,
              serpentine=serpentine, preserve_alpha=preserve_alpha)

    @pytest.mark.parametrize("method", KERNELS)
    def test_larger_image(self, method):
        image = sample_image(KERNELS.index(method), (40, 40))
        check(image, method, serpentine=True)
        check(image, method, levels=5, linear=True)


class TestStrengthAndLevels:
    @pytest.mark.parametrize("levels", [2, 3, 4, 7, 16, 256])
    @pytest.mark.parametrize("strength", [0.0, 0.25, 0.5, 1.0, 0.1, 1 / 3, 0.999, 1e-3, 2**-30])
    def test_against_reference(self, strength, levels):
        method = KERNELS[(levels + int(strength * 100)) % len(KERNELS)]
        linear = bool(levels % 2)
        image = sample_image(levels, (10, 12, 3))
        check(image, method, levels=levels, strength=strength, linear=linear, serpentine=levels > 5)

    @pytest.mark.parametrize("levels", [2, 3, 8])
    def test_strength_zero_is_plain_quantization(self, levels):
        image = sample_image(levels, (11, 9, 3))
        levels_record = reference.Levels(levels, reference.build_lut(True), True)
        lut = reference.build_lut(True)
        codes = [levels_record.codes[levels_record.quantize(lut[b])] for b in range(256)]
        expected = np.array(codes, dtype=np.uint8)[image]
        result = dithering.error_diffusion(image, "jjn", levels=levels, strength=0.0, linear=True)
        assert np.array_equal(result, expected)


class TestChannels:
    @pytest.mark.parametrize("linear", [False, True])
    @pytest.mark.parametrize("preserve_alpha", [False, True])
    @pytest.mark.parametrize("shape", [(7, 8), (7, 8, 1), (7, 8, 2), (7, 8, 3), (7, 8, 4), (7, 8, 5)])
    def test_against_reference(self, shape, preserve_alpha, linear):
        check(sample_image(len(shape) * 10 + shape[-1], shape), "burkes", levels=3, linear=linear,
              preserve_alpha=preserve_alpha, serpentine=linear)

    def test_channels_are_independent(self):
        image = sample_image(5, (9, 8, 3))
        result = dithering.error_diffusion(image, "stucki", levels=4, serpentine=True)
        for c in range(3):
            plane = np.ascontiguousarray(image[..., c])
            assert np.array_equal(result[..., c],
                                  dithering.error_diffusion(plane, "stucki", levels=4, serpentine=True))

    def test_single_channel_axis_same_as_2d(self):
        image = sample_image(6, (9, 8))
        assert np.array_equal(dithering.error_diffusion(image[:, :, None], levels=3)[:, :, 0],
                              dithering.error_diffusion(image, levels=3))

    @pytest.mark.parametrize("channels", [2, 4])
    def test_alpha_kept_only_with_preserve_alpha(self, channels):
        image = sample_image(channels, (6, 9, channels))
        kept = dithering.error_diffusion(image, levels=2, preserve_alpha=True)
        assert np.array_equal(kept[..., -1], image[..., -1])
        diffused = dithering.error_diffusion(image, levels=2, preserve_alpha=False)
        assert set(np.unique(diffused)) <= {0, 255}
        assert np.array_equal(diffused[..., :-1], kept[..., :-1])


class TestPaletteDiffusion:
    @pytest.mark.parametrize("serpentine", [False, True])
    @pytest.mark.parametrize("method", KERNELS)
    def test_against_reference(self, method, serpentine):
        palette = [(20, 20, 30), (230, 220, 200), (200, 40, 40), (40, 160, 60), (50, 70, 200), (20, 20, 30)]
        image = sample_image(KERNELS.index(method) + 20, (11, 13, 4))
        for linear in (False, True):
            check(image, method, palette=palette, serpentine=serpentine, linear=linear, preserve_alpha=False)

    def test_error_grows_without_clamp(self):
        # No palette colour is dark, so the error of a black image keeps growing negative.
        image = np.zeros((6, 7, 3), dtype=np.uint8)
        palette = [(200, 200, 200), (255, 255, 255), (200, 255, 200)]
        check(image, "jarvis_judice_ninke", palette=palette)
        check(image, "atkinson", palette=palette, serpentine=True, linear=True)
