// Shared by the libFuzzer targets and the seeded randomized C++ test: a log sink
// that formats every record, and checks of every text made of a decoded message
// (JSON, debug, its EEG blocks).
#pragma once

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "proto/device_message.hpp"
#include "proto/eeg_cap/msg_builder.hpp"
#include "utils/float_text.hpp"
#include "proto/json_text.hpp"
#include "utils/log.hpp"
#include "utils/unicode.hpp"

namespace kx::test {

// Accepts every record so that every log argument is formatted; stores nothing.
class AcceptAll : public log::Sink {
public:
    bool enabled(log::Level, std::string_view) const override { return true; }
    void log(const log::Record&) override {}
};

// Compact JSON of objects, strings, numbers, true and null: what the writer may emit.
inline bool take_json_value(std::string_view& s) {
    auto take = [&s](std::string_view t) { return s.starts_with(t) ? (s.remove_prefix(t.size()), true) : false; };
    auto take_string = [&s] {
        for (std::size_t i = 1; s.starts_with('"') && i < s.size(); ++i) {
            if (static_cast<unsigned char>(s[i]) < 0x20) return false;
            if (s[i] == '"') return s.remove_prefix(i + 1), true;
            if (s[i] == '\\' && (++i == s.size() || !std::strchr("\"\\bfnrtu", s[i]))) return false;
        }
        return false;
    };
    if (take("true") || take("null")) return true;
    if (s.starts_with('"')) return take_string();
    if (take("{")) {
        if (take("}")) return true;
        do {
            if (!take_string() || !take(":") || !take_json_value(s)) return false;
        } while (take(","));
        return take("}");
    }
    double number;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), number);
    const bool ok = ec == std::errc() && end != s.data() && std::isfinite(number);
    s.remove_prefix(static_cast<std::size_t>(end - s.data()));
    return ok;
}

// Every float layout reads back as the same value; JSON and debug always show a
// point or an exponent, the plain layout never an exponent.
inline std::string check_float_texts(float value) {
    std::string json, debug, plain;
    utils::append_json_float(json, value);
    utils::append_debug_float(debug, value);
    utils::append_plain_float(plain, value, utils::WholeValues::Bare);
    auto reads_back = [value](const std::string& t) {
        float back = 0;
        const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), back);
        return ec == std::errc() && end == t.data() + t.size() && std::memcmp(&back, &value, 4) == 0;
    };
    auto marked = [](const std::string& t) { return t.find_first_of(".e") != std::string::npos; };
    const bool ok = std::isnan(value) ? json == "null" && debug == "NaN" && plain == "NaN"
                    : std::isinf(value) ? json == "null" && debug == (value > 0 ? "inf" : "-inf") && plain == debug
                                        : reads_back(json) && marked(json) && reads_back(debug) && marked(debug) &&
                                              reads_back(plain) && plain.find('e') == std::string::npos;
    return ok ? "" : json + " / " + debug + " / " + plain;
}

// Empty when every text of `parsed` could be written as it must be; else what failed.
inline std::string check_message_texts(const proto::ParsedMessage& parsed) {
    std::string json;
    const auto json_error = proto::append_json(json, parsed);
    if (json_error && (!json_error->text.starts_with("Invalid variant ") || json_error->text.ends_with(" 0")))
        return "JSON error: " + json_error->text;
    std::string_view rest = json;
    if (!json_error && !(take_json_value(rest) && rest.empty() && json.starts_with('{'))) return "not JSON: " + json;
    const std::string debug = proto::debug_string(proto::DeviceMessage("cap-\"1\"", parsed));
    if (!utils::is_valid_utf8(json) || !utils::is_valid_utf8(debug)) return "not UTF-8: " + debug;
    if (const auto* reply = std::get_if<proto::Mcu2App>(&parsed.orvel.value)) {
        const auto& data = reply->message.eeg().data();
        for (const auto* s : {&data.sample_1(), &data.sample_2(), &data.sample_3(), &data.sample_4()}) {
            const auto values = proto::eeg_cap::decode_eeg_block(
                {reinterpret_cast<const std::uint8_t*>(s->data().data()), s->data().size()},
                reply->message.eeg().config().gain());
            if (values.size() != (s->data().size() == 108 ? 32u : 0u)) return "EEG block of " + debug;
            for (float v : values)
                if (!(std::fabs(v) <= 4500000.0f)) return "EEG value " + std::to_string(v);
        }
    }
    return {};
}

}  // namespace kx::test
