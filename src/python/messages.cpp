#include "python/messages.hpp"

#include "base/text.hpp"

namespace tenvira::python::messages {

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string join_names(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

std::string concat(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view p : parts) out.append(p);
    return out;
}

}  // namespace

std::string internal_error(std::string_view what) { return concat({"internal error: ", what}); }

std::string stats_repr(std::uint64_t input_frames, std::uint64_t output_frames, std::string_view backend) {
    return concat({"ProcessStats(input_frames=", std::to_string(input_frames),
                   ", output_frames=", std::to_string(output_frames), ", backend=", quote_text(backend), ")"});
}

std::string sent_to_another_thread(const char* type_path, unsigned long current, unsigned long owner) {
    return concat({"assertion `left == right` failed: ", type_path, " is unsendable, but sent to another thread\n  left: ",
                   std::to_string(current), "\n right: ", std::to_string(owner)});
}

std::string dropped_on_another_thread(const char* type_path) {
    return concat({type_path, " is unsendable, but is being dropped on another thread"});
}

std::string resampler_repr(const char* class_name, std::string_view backend) {
    return concat({class_name, "(selected_backend=", quote_text(backend), ")"});
}

std::string output_too_small(std::size_t room, std::uint64_t need, std::string_view call) {
    return concat({"output has room for ", std::to_string(room), " samples, but ", call, " needs ",
                   std::to_string(need)});
}

std::string wrong_output_format(const char* sample_name, char code, std::string_view format) {
    return concat({"output must be a writable buffer of ", sample_name, " samples (format '", std::string(1, code),
                   "'), not format '", format, "'"});
}

std::string wrong_shape(std::string_view what, const std::vector<std::int64_t>& shape, std::uint64_t channels) {
    std::string dims;
    for (std::size_t i = 0; i < shape.size(); ++i) dims += (i == 0 ? "" : ", ") + std::to_string(shape[i]);
    if (shape.size() == 1) dims += ",";
    std::string text = concat({what, " has shape (", dims, "), but a resampler of ", std::to_string(channels),
                               " channels takes (frames, ", std::to_string(channels), ") or interleaved samples"});
    if (shape.size() == 2 && shape[0] == static_cast<std::int64_t>(channels)) {
        text += "; for a (channels, frames) array pass its transpose, .T";
    }
    return text;
}

std::string unreadable_format(std::string_view format) {
    return concat({"input must hold integers or floats (buffer formats b, B, h, H, i, I, l, L, q, Q, f or d), "
                   "not format '", format, "'"});
}

std::string too_many_positional(std::string_view function, std::size_t required, std::size_t count,
                                std::size_t given) {
    const std::string_view verb = given == 1 ? "was" : "were";
    if (required != count) {
        return concat({function, " takes from ", std::to_string(required), " to ", std::to_string(count),
                       " positional arguments but ", std::to_string(given), " ", verb, " given"});
    }
    return concat({function, " takes ", std::to_string(count), " positional arguments but ", std::to_string(given),
                   " ", verb, " given"});
}

std::string keywords_must_be_strings(std::string_view function) { return concat({function, " keywords must be strings"}); }

std::string unexpected_keyword(std::string_view function, std::string_view name) {
    return concat({function, " got an unexpected keyword argument '", name, "'"});
}

std::string multiple_values(std::string_view function, std::string_view name) {
    return concat({function, " got multiple values for argument '", name, "'"});
}

std::string missing_required(std::string_view function, const std::vector<const char*>& names) {
    return concat({function, " missing ", std::to_string(names.size()), " required positional ",
                   names.size() == 1 ? "argument" : "arguments", ": ", join_names(names)});
}

std::string not_an_instance(std::string_view type_name, std::string_view what) {
    return concat({"'", type_name, "' object is not an instance of '", what, "'"});
}

std::string while_processing(std::string_view parameter) { return concat({"while processing '", parameter, "'"}); }

}  // namespace tenvira::python::messages
