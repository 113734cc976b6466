// libFuzzer target for the stream engines (tools/fuzz.sh builds and runs it).
//
// The input chooses a configuration and a script of engine calls; the target
// runs the script and checks the stream contracts after every call, not just
// that nothing crashes:
//   - construction fails exactly for zero rates, zero channels and backends
//     this processor lacks; a chunk size of 2^62 or more is the fault
//     "capacity overflow", one the machine cannot hold is std::bad_alloc;
//   - per call: input_frames is the call's frame count (0 after finish and for
//     finish itself), output_frames × channels is the output size, the output
//     is whole frames, the backend is the engine's, and a streaming call never
//     produces more than required_output_capacity promised;
//   - a misaligned call is refused with its sample and channel counts and
//     changes nothing;
//   - after finish, the stream since the last reset (or construction) has
//     produced exactly ceil(N × out / in) frames; a second finish and every
//     process call after it produce nothing;
//   - the output of each stream equals, bit for bit, that of a second engine
//     fed the same input in one call and then finished;
//   - int16 output is identical on every backend this processor has, and so
//     is float32 output on the fixed-ratio and IIR paths;
//   - finish renders exactly pending_output_frames(), and process_append and
//     finish_append, appending every call to one vector, give the same
//     samples and statistics as process and finish and leave what the vector
//     held untouched.
// A broken contract calls __builtin_trap() after printing what broke, so that
// libFuzzer saves the input.
//
// Input layout (missing bytes read as zero):
//   byte 0       sample type (bit 0: int16), rate mode (bits 1-2), chunk-size
//                mode (bits 3-4), sample source (bits 5-6)
//   rates        by rate mode: a pair from a table; two rates in 1..384000;
//                two full 32-bit rates (0 allowed); in and in × k or in / k
//   channels     one byte: 0 stays 0 (refused), else 1..8
//   quality      one byte mod 5; backend request one byte mod 6
//   chunk size   by mode: absent; 0..65535; 2^40 + x; 2^62 + x
//   seed         two bytes for the generated samples
//   script       one byte per call: process (with a frame count), a
//                misaligned process, finish or reset; up to 48 calls
//   the rest     raw sample bytes, when the sample source says so
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "backend/fir_backend.hpp"
#include "base/config.hpp"
#include "base/fault.hpp"
#include "resampler/core.hpp"

namespace {

using namespace tenvira;

// Work per input is bounded so that every execution stays fast.
constexpr std::uint64_t max_input_samples = 1 << 14;
constexpr std::uint64_t max_output_samples = 1 << 16;
constexpr std::uint64_t max_hint_bytes = 16 << 20;
constexpr std::size_t max_calls = 48;

[[noreturn]] void broken(const std::string& what) {
    std::fprintf(stderr, "fuzz_engine: contract broken: %s\n", what.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

void require(bool ok, const std::string& what) {
    if (!ok) broken(what);
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() {
        const std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint32_t u32() {
        const std::uint32_t lo = u16();
        return lo | (static_cast<std::uint32_t>(u16()) << 16);
    }
    bool empty() const { return pos_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

enum class Kind : std::uint8_t { Process, Misaligned, Finish, Reset };

struct Call {
    Kind kind;
    std::uint64_t samples;  // Process and Misaligned
    std::uint64_t offset;   // first sample in the input pool
};

struct Plan {
    bool int16 = false;
    ResamplerConfig config;
    std::vector<Call> calls;
    std::vector<std::int16_t> pool_i16;  // the samples of every process call, in order
    std::vector<float> pool_f32;
};

// What one engine call returned.
template <typename S>
struct Outcome {
    Kind kind;
    std::vector<S> samples;
    ProcessStats stats;
    bool refused = false;
};

std::uint64_t stream_total(std::uint64_t frames, std::uint32_t in, std::uint32_t out) {
    const unsigned __int128 n = static_cast<unsigned __int128>(frames) * out;
    return static_cast<std::uint64_t>(n / in + (n % in != 0 ? 1 : 0));
}

constexpr std::uint32_t rate_pairs[][2] = {
    {8000, 16000},  {16000, 8000},  {24000, 8000}, {16000, 16000}, {44100, 48000},     {48000, 44100},
    {16000, 24000}, {24000, 16000}, {8000, 24000}, {1, 1},         {4294967295u, 1}, {1, 7},
    {48000, 7},     {3, 7},         {96000, 8000}, {11025, 48000}, {384000, 8000},    {4294967295u, 4294967294u},
};

ResamplerConfig read_config(Reader& r, std::uint8_t head) {
    ResamplerConfig c;
    switch ((head >> 1) & 3) {
        case 0: {
            const auto& p = rate_pairs[r.u8() % std::size(rate_pairs)];
            c.input_rate = p[0];
            c.output_rate = p[1];
            break;
        }
        case 1:
            c.input_rate = r.u32() % 384000 + 1;
            c.output_rate = r.u32() % 384000 + 1;
            break;
        case 2:
            c.input_rate = r.u32();
            c.output_rate = r.u32();
            break;
        default: {
            const std::uint32_t in = r.u16() + 1u;
            const std::uint8_t k = r.u8();
            const std::uint32_t factor = (k & 7) + 1;
            c.input_rate = in;
            c.output_rate = (k & 8) ? in * factor : std::max<std::uint32_t>(in / factor, 1);
            break;
        }
    }
    const std::uint8_t ch = r.u8();
    c.channels = ch == 0 ? 0 : (ch - 1) % 8 + 1;
    c.quality = static_cast<Quality>(r.u8() % 5);
    c.backend = static_cast<BackendRequest>(r.u8() % 6);
    switch ((head >> 3) & 3) {
        case 0: break;
        case 1: c.max_input_frames_per_chunk = r.u16(); break;
        case 2: c.max_input_frames_per_chunk = (std::uint64_t{1} << 40) + r.u16(); break;
        default: c.max_input_frames_per_chunk = (std::uint64_t{1} << 62) + (std::uint64_t{r.u32()} << 30); break;
    }
    return c;
}

std::uint32_t next_random(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

// Fills the sample pool for `count` samples: from the input's remaining
// bytes, or generated (full-scale noise, quiet noise or alternating extremes).
void fill_pool(Plan& plan, Reader& r, unsigned source, std::uint32_t seed, std::uint64_t count) {
    std::uint32_t state = seed;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::int16_t x = 0;
        float f = 0.0f;
        switch (source) {
            case 0: x = static_cast<std::int16_t>(next_random(state)); break;
            case 1: x = static_cast<std::int16_t>(static_cast<std::int32_t>(next_random(state) % 2001) - 1000); break;
            case 2: x = (i / 3) % 2 ? std::int16_t{-32768} : std::int16_t{32767}; break;
            default:
                if (plan.int16) {
                    x = static_cast<std::int16_t>(r.u16());
                } else {
                    // Raw float bits: NaN, infinities and subnormals included.
                    const std::uint32_t bits = r.u32();
                    std::memcpy(&f, &bits, sizeof f);
                }
                break;
        }
        if (plan.int16) {
            plan.pool_i16.push_back(x);
        } else {
            plan.pool_f32.push_back(source == 3 ? f : static_cast<float>(x) / 32768.0f);
        }
    }
}

std::optional<Plan> read_plan(const std::uint8_t* data, std::size_t size) {
    Reader r(data, size);
    Plan plan;
    const std::uint8_t head = r.u8();
    plan.int16 = head & 1;
    plan.config = read_config(r, head);
    // An int16 studio stream decimates in one stage whose filter grows with
    // the ratio: beyond 64:1 one design takes seconds.
    const ResamplerConfig& c = plan.config;
    const bool studio = c.quality == Quality::Hq || c.quality == Quality::Vhq;
    if (plan.int16 && studio && c.input_rate > 64ull * c.output_rate) return std::nullopt;
    const unsigned source = (head >> 5) & 3;
    const std::uint32_t seed = r.u16();
    const std::uint64_t channels = plan.config.channels == 0 ? 1 : plan.config.channels;

    std::uint64_t total_samples = 0;
    for (std::size_t i = 0; i < max_calls && !r.empty(); ++i) {
        const std::uint8_t op = r.u8();
        Call call{Kind::Process, 0, total_samples};
        switch (op & 7) {
            case 0: case 1: case 2: call.samples = (op >> 3) * channels; break;  // 0..31 frames
            case 3: call.samples = (r.u8() % 64) * 16 * channels; break;        // up to 1008 frames
            case 4: call.samples = static_cast<std::uint64_t>(r.u16() % 2048) * channels; break;
            case 5:
                call.kind = Kind::Misaligned;
                call.samples = (op >> 3) * channels + (channels > 1 ? 1 + (op >> 3) % (channels - 1) : 0);
                if (channels == 1) call.kind = Kind::Process;
                break;
            case 6: call.kind = Kind::Finish; break;
            default: call.kind = Kind::Reset; break;
        }
        total_samples += call.samples;
        if (total_samples > max_input_samples) return std::nullopt;
        plan.calls.push_back(call);
    }
    fill_pool(plan, r, source, seed, total_samples);
    return plan;
}

// An empty input with a non-null data pointer. Core::process computes
// input.data() + k for every channel k even when the input is empty, which is
// undefined for the null pointer of an empty std::vector (clang's UBSan:
// "applying non-zero offset to null pointer"); docs/reliability.md has the
// reproducer. Empty calls still run, through this pointer, so that the
// fuzzer can look past that fault.
template <typename S>
std::span<const S> not_null(std::span<const S> input) {
    static const S nothing[1] = {};
    return input.empty() ? std::span<const S>(nothing, 0) : input;
}

template <typename S>
std::span<const S> pool(const Plan& plan) {
    if constexpr (std::is_same_v<S, float>) {
        return plan.pool_f32;
    } else {
        return plan.pool_i16;
    }
}

// Rejects scripts whose output or output reservations would be too large to
// run quickly: every stream's total and every call's capacity hint.
template <typename S>
bool within_budget(const Plan& plan, const Core<S>& core) {
    const ResamplerConfig& c = plan.config;
    std::uint64_t frames = 0;
    auto stream_ok = [&] {
        return stream_total(frames, c.input_rate, c.output_rate) <= max_output_samples / c.channels;
    };
    for (const Call& call : plan.calls) {
        const std::uint64_t hint = core.required_output_capacity(call.samples / c.channels);
        if (hint > max_hint_bytes / sizeof(S)) return false;
        if (call.kind == Kind::Process) frames += call.samples / c.channels;
        if (call.kind == Kind::Reset) {
            if (!stream_ok()) return false;
            frames = 0;
        }
    }
    return stream_ok();
}

std::string describe(const ResamplerConfig& c) {
    return std::to_string(c.input_rate) + " -> " + std::to_string(c.output_rate) + ", " +
           std::to_string(c.channels) + " ch, quality " + std::to_string(static_cast<int>(c.quality)) +
           ", backend " + std::to_string(static_cast<int>(c.backend));
}

// Runs the script on one engine, checking every call, and returns what each
// call gave.
template <typename S>
std::vector<Outcome<S>> run_script(const Plan& plan, Core<S>& core) {
    const ResamplerConfig& c = plan.config;
    const std::span<const S> input = pool<S>(plan);
    const std::string where = describe(c);
    std::vector<Outcome<S>> outcomes;
    bool finished = false;
    std::uint64_t frames_in = 0;   // this stream's accepted input
    std::uint64_t frames_out = 0;  // this stream's output

    for (const Call& call : plan.calls) {
        Outcome<S> o{call.kind, {}, {}};
        switch (call.kind) {
            case Kind::Process:
            case Kind::Misaligned: {
                const std::uint64_t hint = core.required_output_capacity(call.samples / c.channels);
                Result<ProcessOutput<S>> r = core.process(not_null(input.subspan(call.offset, call.samples)));
                if (call.kind == Kind::Misaligned && !finished) {
                    require(!r, where + ": misaligned input accepted");
                    require(r.error().kind() == ResampleError::Kind::MisalignedInput &&
                                r.error().samples() == call.samples && r.error().channels() == c.channels,
                            where + ": wrong error for misaligned input: " + r.error().message());
                    require(core.frames_in() == static_cast<std::int64_t>(frames_in),
                            where + ": misaligned input changed the stream");
                    o.refused = true;
                    break;
                }
                require(r.ok(), where + ": process refused aligned input: " + (r ? "" : r.error().message()));
                o.samples = std::move(r.value().samples);
                o.stats = r.value().stats;
                const std::uint64_t frames = finished ? 0 : call.samples / c.channels;
                require(o.stats.input_frames == frames, where + ": input_frames " +
                        std::to_string(o.stats.input_frames) + ", expected " + std::to_string(frames));
                require(!finished || o.samples.empty(), where + ": output after finish");
                require(o.samples.size() <= hint, where + ": a call produced " + std::to_string(o.samples.size()) +
                        " samples, more than the capacity hint " + std::to_string(hint));
                frames_in += frames;
                break;
            }
            case Kind::Finish: {
                const std::uint64_t pending = core.pending_output_frames();
                ProcessOutput<S> out = core.finish();
                o.samples = std::move(out.samples);
                o.stats = out.stats;
                require(o.stats.input_frames == 0, where + ": finish reports input");
                require(o.stats.output_frames == pending, where + ": finish rendered " +
                        std::to_string(o.stats.output_frames) + " frames, pending_output_frames said " +
                        std::to_string(pending));
                require(!finished || o.samples.empty(), where + ": second finish produced output");
                break;
            }
            case Kind::Reset:
                core.reset();
                require(core.frames_in() == 0 && core.frames_out() == 0 && !core.finished(),
                        where + ": reset left stream state");
                break;
        }
        if (call.kind != Kind::Reset && !o.refused) {
            require(o.samples.size() % c.channels == 0, where + ": output is not whole frames");
            require(o.stats.output_frames * c.channels == o.samples.size(), where + ": output_frames " +
                    std::to_string(o.stats.output_frames) + " for " + std::to_string(o.samples.size()) + " samples");
            require(o.stats.backend == core.backend(), where + ": stats name another backend");
            frames_out += o.stats.output_frames;
        }
        if (call.kind == Kind::Finish) {
            const std::uint64_t want = stream_total(frames_in, c.input_rate, c.output_rate);
            require(frames_out == want, where + ": " + std::to_string(frames_in) + " frames in gave " +
                    std::to_string(frames_out) + " frames out, expected " + std::to_string(want));
            finished = true;
        }
        if (call.kind == Kind::Reset) {
            finished = false;
            frames_in = frames_out = 0;
        }
        require(core.frames_in() == static_cast<std::int64_t>(frames_in), where + ": frames_in drifted");
        require(core.frames_out() == static_cast<std::int64_t>(frames_out), where + ": frames_out drifted");
        outcomes.push_back(std::move(o));
    }
    return outcomes;
}

// The script again through process_append and finish_append, the way the
// Python classes call them: every call appends to one vector that keeps the
// output of all earlier calls.
template <typename S>
std::vector<Outcome<S>> run_script_append(const Plan& plan, Core<S>& core) {
    const ResamplerConfig& c = plan.config;
    const std::span<const S> input = pool<S>(plan);
    const std::string where = describe(c) + " (append)";
    std::vector<Outcome<S>> outcomes;
    std::vector<S> all;
    for (const Call& call : plan.calls) {
        Outcome<S> o{call.kind, {}, {}};
        const std::vector<S> before = all;
        switch (call.kind) {
            case Kind::Process:
            case Kind::Misaligned: {
                Result<ProcessStats> r = core.process_append(not_null(input.subspan(call.offset, call.samples)), all);
                if (!r) {
                    o.refused = true;
                    break;
                }
                o.stats = r.value();
                break;
            }
            case Kind::Finish: o.stats = core.finish_append(all); break;
            case Kind::Reset: core.reset(); break;
        }
        require(all.size() >= before.size() && std::equal(before.begin(), before.end(), all.begin(),
                    [](S a, S b) { return std::memcmp(&a, &b, sizeof(S)) == 0; }),
                where + ": a call changed output that was already there");
        o.samples.assign(all.begin() + static_cast<std::ptrdiff_t>(before.size()), all.end());
        outcomes.push_back(std::move(o));
    }
    return outcomes;
}

template <typename S>
bool same_samples(const std::vector<S>& a, const std::vector<S>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(S)) == 0);
}

// Each stream of the script (up to a reset or the end) against a fresh
// engine that gets the stream's accepted input in one call, then finish.
template <typename S>
void check_chunking(const Plan& plan, const std::vector<Outcome<S>>& outcomes) {
    const std::span<const S> input = pool<S>(plan);
    const std::uint64_t channels = plan.config.channels;
    std::vector<S> joined_input, chunked;
    bool finished = false;

    auto compare = [&] {
        Core<S> one = std::move(Core<S>::create(plan.config)).value();
        Result<ProcessOutput<S>> r = one.process(not_null(std::span<const S>(joined_input)));
        require(r.ok(), "one-call engine refused the joined input");
        std::vector<S> whole = std::move(r.value().samples);
        ProcessOutput<S> tail = one.finish();
        whole.insert(whole.end(), tail.samples.begin(), tail.samples.end());
        if (!finished) {
            // The scripted stream did not finish: compare what it produced
            // so far with the same prefix.
            whole.resize(std::min(whole.size(), chunked.size()));
        }
        require(same_samples(whole, chunked), describe(plan.config) + ": chunked output (" +
                std::to_string(chunked.size() / channels) + " frames) differs from one-call output (" +
                std::to_string(whole.size() / channels) + " frames)");
        joined_input.clear();
        chunked.clear();
        finished = false;
    };

    for (std::size_t i = 0; i < plan.calls.size(); ++i) {
        const Call& call = plan.calls[i];
        const Outcome<S>& o = outcomes[i];
        if (call.kind == Kind::Reset) {
            compare();
            continue;
        }
        if (call.kind == Kind::Process && !finished) {
            joined_input.insert(joined_input.end(), input.begin() + call.offset,
                                input.begin() + call.offset + call.samples);
        }
        chunked.insert(chunked.end(), o.samples.begin(), o.samples.end());
        if (call.kind == Kind::Finish) finished = true;
    }
    compare();
}

template <typename S>
void run(const Plan& plan) {
    std::optional<Result<Core<S>>> created;
    const ResamplerConfig& c = plan.config;
    const std::optional<std::uint64_t> chunk = c.max_input_frames_per_chunk;
    const bool zero = c.input_rate == 0 || c.output_rate == 0 || c.channels == 0;
    try {
        created.emplace(Core<S>::create(c));
    } catch (const InternalFault& f) {
        require(!zero && chunk && *chunk >= (std::uint64_t{1} << 62) && std::string(f.what()) == "capacity overflow",
                describe(c) + ": unexpected fault: " + f.what());
        return;
    } catch (const std::bad_alloc&) {
        // A chunk size beyond memory, or a studio design for a ratio so
        // steep that its filter cannot be held.
        const bool studio = c.quality == Quality::Hq || c.quality == Quality::Vhq;
        require(!zero && ((chunk && *chunk >= (std::uint64_t{1} << 40)) || studio),
                describe(c) + ": unexpected bad_alloc");
        return;
    }
    require(!chunk || *chunk < (std::uint64_t{1} << 40) || !created->ok(),
            describe(c) + ": a chunk size of 2^40 or more was accepted");
    if (!created->ok()) {
        const ResampleError::Kind kind = created->error().kind();
        if (c.input_rate == 0 || c.output_rate == 0) {
            require(kind == ResampleError::Kind::InvalidSampleRate, describe(c) + ": wrong error for a zero rate");
        } else if (c.channels == 0) {
            require(kind == ResampleError::Kind::InvalidChannelCount, describe(c) + ": wrong error for 0 channels");
        } else {
            require(kind == ResampleError::Kind::BackendUnavailable && !select_backend(c.backend).ok(),
                    describe(c) + ": construction refused: " + created->error().message());
        }
        return;
    }
    Core<S> core = std::move(created->value());
    if (!within_budget(plan, core)) return;

    const std::vector<Outcome<S>> outcomes = run_script(plan, core);
    check_chunking(plan, outcomes);

    // process_append and finish_append give the same samples and statistics.
    {
        Core<S> twin = std::move(Core<S>::create(c)).value();
        const std::vector<Outcome<S>> appended = run_script_append(plan, twin);
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const Outcome<S>& a = outcomes[i];
            const Outcome<S>& b = appended[i];
            require(a.refused == b.refused && same_samples(a.samples, b.samples) &&
                        a.stats.input_frames == b.stats.input_frames &&
                        a.stats.output_frames == b.stats.output_frames && a.stats.backend == b.stats.backend,
                    describe(c) + ": call " + std::to_string(i) + " differs between process/finish and the _append calls");
        }
    }

    // The same script on every other backend: int16 always identical, float32
    // identical wherever no polyphase dot product is involved.
    if (std::is_same_v<S, float> && (core.path() == RenderPath::Polyphase || core.path() == RenderPath::Studio)) return;
    for (BackendRequest other : {BackendRequest::Scalar, BackendRequest::Avx2, BackendRequest::Avx512}) {
        Result<FirBackend> b = select_backend(other);
        if (!b || b.value() == core.backend()) continue;
        Plan again = plan;
        again.config.backend = other;
        Core<S> twin = std::move(Core<S>::create(again.config)).value();
        const std::vector<Outcome<S>> twin_outcomes = run_script(again, twin);
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            require(same_samples(outcomes[i].samples, twin_outcomes[i].samples),
                    describe(c) + ": call " + std::to_string(i) + " differs on backend " + backend_name(b.value()));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<Plan> plan = read_plan(data, size);
    if (!plan) return -1;  // over the work budget: not worth keeping
    if (plan->int16) {
        run<std::int16_t>(*plan);
    } else {
        run<float>(*plan);
    }
    return 0;
}
