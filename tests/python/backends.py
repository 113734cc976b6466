"""The backends this processor can run, by request name."""

from tenvira import F32Resampler


def available_backends() -> list[str]:
    names = []
    for b in ("scalar", "avx2", "avx512"):
        try:
            F32Resampler(48000, 16000, 1, backend=b)
            names.append(b)
        except ValueError:
            pass
    return names
