"""Type information for the tenvira extension module."""

from collections.abc import Sequence
from typing import Literal, Self, SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer

__all__ = ["F32Resampler", "I16Resampler", "ProcessStats", "quality_values", "backend_values"]

# Quality names: the canonical "fast", "balanced" (the default) and "best"
# (see quality_values()), and the studio-quality presets "hq" and "vhq",
# accepted in any ASCII case like the others but not listed among the
# canonical names.

# The names a resampler reports for the backend that runs it. Requests accept
# more spellings (see backend_values()), in any ASCII case.
_BackendName = Literal["scalar", "avx2+fma", "avx512f", "neon", "rvv"]

@final
class ProcessStats:
    """What one process(), finish() or flush() call did. Made only by the
    resamplers; calling ProcessStats() raises TypeError."""

    @property
    def input_frames(self) -> int: ...
    @property
    def output_frames(self) -> int: ...
    @property
    def backend(self) -> _BackendName: ...

@final
class F32Resampler:
    """Streaming resampler for interleaved float32 samples."""

    def __new__(
        cls,
        input_rate: SupportsIndex,
        output_rate: SupportsIndex,
        channels: SupportsIndex,
        quality: str | None = None,
        backend: str | None = None,
        max_input_frames_per_chunk: SupportsIndex | None = None,
    ) -> Self: ...
    def process(self, input: Sequence[SupportsFloat | SupportsIndex] | Buffer) -> tuple[list[float], ProcessStats]: ...
    def finish(self) -> tuple[list[float], ProcessStats]: ...
    def flush(self) -> tuple[list[float], ProcessStats]: ...
    def reset(self) -> None: ...
    def required_output_capacity(self, input_frames: SupportsIndex) -> int: ...
    def process_into(self, input: Sequence[SupportsFloat | SupportsIndex] | Buffer, output: Buffer) -> ProcessStats:
        """Writes the output to the start of `output`, a writable float32
        buffer of at least required_output_capacity(frames) samples."""
    def finish_into(self, output: Buffer) -> ProcessStats:
        """Writes the end of the stream to the start of `output`, a writable
        float32 buffer with room for every frame still to come."""
    @property
    def selected_backend(self) -> _BackendName: ...

@final
class I16Resampler:
    """Streaming resampler for interleaved signed 16-bit samples."""

    def __new__(
        cls,
        input_rate: SupportsIndex,
        output_rate: SupportsIndex,
        channels: SupportsIndex,
        quality: str | None = None,
        backend: str | None = None,
        max_input_frames_per_chunk: SupportsIndex | None = None,
    ) -> Self: ...
    def process(self, input: Sequence[SupportsIndex] | Buffer) -> tuple[list[int], ProcessStats]: ...
    def finish(self) -> tuple[list[int], ProcessStats]: ...
    def flush(self) -> tuple[list[int], ProcessStats]: ...
    def reset(self) -> None: ...
    def required_output_capacity(self, input_frames: SupportsIndex) -> int: ...
    def process_into(self, input: Sequence[SupportsIndex] | Buffer, output: Buffer) -> ProcessStats:
        """Writes the output to the start of `output`, a writable int16
        buffer of at least required_output_capacity(frames) samples."""
    def finish_into(self, output: Buffer) -> ProcessStats:
        """Writes the end of the stream to the start of `output`, a writable
        int16 buffer with room for every frame still to come."""
    @property
    def selected_backend(self) -> _BackendName: ...

def quality_values() -> list[str]:
    """The quality names, in order: fast, balanced, best. The studio-quality
    presets "hq" and "vhq" are accepted too but not listed."""

def backend_values() -> list[str]:
    """The backend names a resampler accepts (avx512f is accepted too)."""
