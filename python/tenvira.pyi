"""Type information for the tenvira extension module."""

from collections.abc import Sequence
from typing import Any, Literal, Protocol, Self, SupportsFloat, SupportsIndex, final, type_check_only

from typing_extensions import Buffer

__all__ = ["F32Resampler", "I16Resampler", "ProcessStats", "quality_values", "backend_values"]

# Quality names: the canonical "fast", "balanced" (the default) and "best"
# (see quality_values()), and the studio-quality presets "hq" and "vhq",
# accepted in any ASCII case like the others but not listed among the
# canonical names.

# The names a resampler reports for the backend that runs it. Requests accept
# more spellings (see backend_values()), in any ASCII case.
_BackendName = Literal["scalar", "avx2+fma", "avx512f", "neon", "rvv"]

# numpy declares its arrays' buffer protocol to type checkers only from
# Python 3.12 on; an array interface stands for it before that.
@type_check_only
class _ArrayInterface(Protocol):
    @property
    def __array_interface__(self) -> dict[str, Any]: ...

# What the buffer methods read and write: any buffer (numpy arrays,
# array.array, memoryview, bytes), one-dimensional (interleaved samples) or
# two-dimensional (frames, channels).
_Samples = Buffer | _ArrayInterface

# What process_array and finish_array return (type name SampleArray); not a
# module attribute.
@final
@type_check_only
class _SampleArray:
    """Output samples of shape (frames, channels). It exports them through the
    buffer protocol: numpy.asarray(a) and memoryview(a) wrap them without a
    copy."""

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...
    @property
    def shape(self) -> tuple[int, int]: ...
    @property
    def ndim(self) -> int: ...
    @property
    def format(self) -> str: ...
    @property
    def itemsize(self) -> int: ...
    @property
    def nbytes(self) -> int: ...
    def tolist(self) -> list[list[Any]]: ...
    def tobytes(self) -> bytes: ...

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
    def process(self, input: Sequence[SupportsFloat | SupportsIndex] | _Samples) -> tuple[list[float], ProcessStats]: ...
    def finish(self) -> tuple[list[float], ProcessStats]: ...
    def flush(self) -> tuple[list[float], ProcessStats]: ...
    def reset(self) -> None: ...
    def required_output_capacity(self, input_frames: SupportsIndex) -> int: ...
    def process_into(self, input: Sequence[SupportsFloat | SupportsIndex] | _Samples, output: _Samples) -> ProcessStats:
        """Writes the output to the start of `output`, a writable float32
        buffer (one-dimensional, or C-contiguous (frames, channels)) of at
        least required_output_capacity(frames) samples. `input` may be a
        (frames, channels) array of numbers of any type."""
    def finish_into(self, output: _Samples) -> ProcessStats:
        """Writes the end of the stream to the start of `output`, a writable
        float32 buffer with room for every frame still to come."""
    def process_array(self, input: Sequence[SupportsFloat | SupportsIndex] | _Samples) -> tuple[_SampleArray, ProcessStats]:
        """The output as a new (frames, channels) float32 array; numpy.asarray()
        wraps it without a copy."""
    def finish_array(self) -> tuple[_SampleArray, ProcessStats]:
        """The end of the stream as a new (frames, channels) float32 array."""
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
    def process(self, input: Sequence[SupportsIndex] | _Samples) -> tuple[list[int], ProcessStats]: ...
    def finish(self) -> tuple[list[int], ProcessStats]: ...
    def flush(self) -> tuple[list[int], ProcessStats]: ...
    def reset(self) -> None: ...
    def required_output_capacity(self, input_frames: SupportsIndex) -> int: ...
    def process_into(self, input: Sequence[SupportsIndex] | _Samples, output: _Samples) -> ProcessStats:
        """Writes the output to the start of `output`, a writable int16
        buffer (one-dimensional, or C-contiguous (frames, channels)) of at
        least required_output_capacity(frames) samples. `input` may be a
        (frames, channels) array of numbers of any type."""
    def finish_into(self, output: _Samples) -> ProcessStats:
        """Writes the end of the stream to the start of `output`, a writable
        int16 buffer with room for every frame still to come."""
    def process_array(self, input: Sequence[SupportsIndex] | _Samples) -> tuple[_SampleArray, ProcessStats]:
        """The output as a new (frames, channels) int16 array; numpy.asarray()
        wraps it without a copy."""
    def finish_array(self) -> tuple[_SampleArray, ProcessStats]:
        """The end of the stream as a new (frames, channels) int16 array."""
    @property
    def selected_backend(self) -> _BackendName: ...

def quality_values() -> list[str]:
    """The quality names, in order: fast, balanced, best. The studio-quality
    presets "hq" and "vhq" are accepted too but not listed."""

def backend_values() -> list[str]:
    """The backend names a resampler accepts (avx512f is accepted too)."""
