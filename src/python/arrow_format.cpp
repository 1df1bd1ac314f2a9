#include "python/arrow_format.hpp"

#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

namespace pyvorl {
namespace {

constexpr int MAX_PLACES = 15;
constexpr int MAX_NAME_DEPTH = 4;

struct Primitive {
    std::string_view format;
    const char* name;
    const char* dtype;
    std::uint8_t width;
};

// The formats whose values NumPy holds as they are (timestamps are matched by their prefix).
constexpr Primitive PRIMITIVES[] = {
    {"c", "int8", "int8", 1},
    {"C", "uint8", "uint8", 1},
    {"s", "int16", "int16", 2},
    {"S", "uint16", "uint16", 2},
    {"i", "int32", "int32", 4},
    {"I", "uint32", "uint32", 4},
    {"l", "int64", "int64", 8},
    {"L", "uint64", "uint64", 8},
    {"e", "float16", "float16", 2},
    {"f", "float", "float32", 4},
    {"g", "double", "float64", 8},
    {"tdm", "date64[ms]", "datetime64[ms]", 8},
    {"ttu", "time64[us]", "timedelta64[us]", 8},
    {"ttn", "time64[ns]", "timedelta64[ns]", 8},
    {"tDs", "duration[s]", "timedelta64[s]", 8},
    {"tDm", "duration[ms]", "timedelta64[ms]", 8},
    {"tDu", "duration[us]", "timedelta64[us]", 8},
    {"tDn", "duration[ns]", "timedelta64[ns]", 8},
};

constexpr Primitive WIDENED[] = {
    {"tdD", "date32[day]", "datetime64[D]", 4},
    {"tts", "time32[s]", "timedelta64[s]", 4},
    {"ttm", "time32[ms]", "timedelta64[ms]", 4},
};

constexpr Primitive TIMESTAMPS[] = {
    {"tss:", "s", "datetime64[s]", 8},
    {"tsm:", "ms", "datetime64[ms]", 8},
    {"tsu:", "us", "datetime64[us]", 8},
    {"tsn:", "ns", "datetime64[ns]", 8},
};

struct Named {
    std::string_view format;
    const char* name;
};

constexpr Named OTHER_NAMES[] = {
    {"n", "null"},
    {"b", "bool"},
    {"z", "binary"},
    {"Z", "large_binary"},
    {"vz", "binary_view"},
    {"u", "string"},
    {"U", "large_string"},
    {"vu", "string_view"},
    {"tiM", "interval[months]"},
    {"tiD", "interval[day_time]"},
    {"tin", "interval[month_day_nano]"},
};

std::optional<long> parse_number(std::string_view text) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

struct DecimalType {
    long precision;
    long scale;
    long bits;
};

// "d:P,S" or "d:P,S,B".
std::optional<DecimalType> parse_decimal(std::string_view format) {
    if (!format.starts_with("d:")) return std::nullopt;
    std::string_view rest = format.substr(2);
    const auto first = rest.find(',');
    if (first == std::string_view::npos) return std::nullopt;
    const auto second = rest.find(',', first + 1);
    const auto precision = parse_number(rest.substr(0, first));
    const auto scale =
        parse_number(rest.substr(first + 1, second == std::string_view::npos ? second : second - first - 1));
    const auto bits =
        second == std::string_view::npos ? std::optional<long>(128) : parse_number(rest.substr(second + 1));
    if (!precision || !scale || !bits) return std::nullopt;
    return DecimalType{*precision, *scale, *bits};
}

const ArrowSchema* child(const ArrowSchema& schema, std::int64_t i) {
    if (schema.children == nullptr || i < 0 || i >= schema.n_children) return nullptr;
    return schema.children[i];
}

std::string child_name(const ArrowSchema& schema, std::int64_t i, int depth) {
    const ArrowSchema* item = child(schema, i);
    return item == nullptr ? std::string("?") : arrow_type_name(*item, depth + 1);
}

std::string field_list(const ArrowSchema& schema, int depth) {
    std::string out;
    for (std::int64_t i = 0; i < schema.n_children; ++i) {
        const ArrowSchema* item = child(schema, i);
        if (i > 0) out += ", ";
        out += std::string(item != nullptr && item->name != nullptr ? item->name : "") + ": " +
               child_name(schema, i, depth);
    }
    return out;
}

std::string nested_name(std::string_view format, const ArrowSchema& schema, int depth) {
    if (format == "+l") return "list<" + child_name(schema, 0, depth) + ">";
    if (format == "+L") return "large_list<" + child_name(schema, 0, depth) + ">";
    if (format == "+vl") return "list_view<" + child_name(schema, 0, depth) + ">";
    if (format == "+vL") return "large_list_view<" + child_name(schema, 0, depth) + ">";
    if (format.starts_with("+w:")) {
        return "fixed_size_list<" + child_name(schema, 0, depth) + ">[" + std::string(format.substr(3)) + "]";
    }
    if (format == "+s") return "struct<" + field_list(schema, depth) + ">";
    if (format == "+m") {
        const ArrowSchema* entries = child(schema, 0);
        if (entries == nullptr) return "map<?>";
        return "map<" + child_name(*entries, 0, depth) + ", " + child_name(*entries, 1, depth) + ">";
    }
    if (format.starts_with("+ud:")) return "dense_union<" + field_list(schema, depth) + ">";
    if (format.starts_with("+us:")) return "sparse_union<" + field_list(schema, depth) + ">";
    if (format == "+r")
        return "run_end_encoded<" + child_name(schema, 0, depth) + ", " + child_name(schema, 1, depth) + ">";
    return "'" + std::string(format) + "'";
}

std::string value_type_name(std::string_view format, const ArrowSchema& schema, int depth) {
    for (const Primitive& type : PRIMITIVES) {
        if (format == type.format) return type.name;
    }
    for (const Primitive& type : WIDENED) {
        if (format == type.format) return type.name;
    }
    for (const Named& type : OTHER_NAMES) {
        if (format == type.format) return type.name;
    }
    for (const Primitive& type : TIMESTAMPS) {
        if (format.starts_with(type.format)) {
            const std::string_view zone = format.substr(4);
            return std::string("timestamp[") + type.name + (zone.empty() ? "" : ", tz=" + std::string(zone)) + "]";
        }
    }
    if (const auto decimal = parse_decimal(format)) {
        return "decimal" + std::to_string(decimal->bits) + "(" + std::to_string(decimal->precision) + ", " +
               std::to_string(decimal->scale) + ")";
    }
    if (format.starts_with("w:")) return "fixed_size_binary[" + std::string(format.substr(2)) + "]";
    if (depth >= MAX_NAME_DEPTH) return "...";
    return nested_name(format, schema, depth);
}

ArrowColumnPlan refused(std::string why) {
    ArrowColumnPlan plan;
    plan.refusal = std::move(why);
    return plan;
}

// The layouts of a dictionary's values and of a plain column's texts.
std::optional<ArrowColumnPlan> text_plan(std::string_view format) {
    ArrowColumnPlan plan;
    if (format == "u" || format == "U") {
        plan.layout = ArrowLayout::Text;
        plan.width = format == "u" ? 4 : 8;
    } else if (format == "vu") {
        plan.layout = ArrowLayout::TextView;
    } else {
        return std::nullopt;
    }
    return plan;
}

std::optional<ArrowColumnPlan> index_plan(std::string_view format) {
    constexpr std::string_view INDEXES = "cCsSiIlL";
    if (format.size() != 1 || INDEXES.find(format[0]) == std::string_view::npos) return std::nullopt;
    ArrowColumnPlan plan;
    plan.layout = ArrowLayout::Dictionary;
    const auto position = INDEXES.find(format[0]);
    plan.width = static_cast<std::uint8_t>(1u << (position / 2));
    plan.is_signed = position % 2 == 0;
    return plan;
}

ArrowColumnPlan dictionary_plan(const ArrowSchema& schema) {
    const ArrowSchema& values = *schema.dictionary;
    auto plan = index_plan(schema.format);
    const auto texts = values.format != nullptr ? text_plan(values.format) : std::nullopt;
    if (!plan || !texts || values.dictionary != nullptr) return refused(arrow_type_name(schema));
    plan->values = texts->layout;
    plan->values_width = texts->width;
    return *plan;
}

}  // namespace

std::string arrow_type_name(const ArrowSchema& schema, int depth) {
    if (schema.format == nullptr) return "?";
    const std::string_view format = schema.format;
    if (schema.dictionary != nullptr) {
        if (depth >= MAX_NAME_DEPTH) return "dictionary<...>";
        return "dictionary<values=" + arrow_type_name(*schema.dictionary, depth + 1) +
               ", indices=" + value_type_name(format, schema, depth) + ">";
    }
    return value_type_name(format, schema, depth);
}

ArrowColumnPlan plan_arrow_column(const ArrowSchema& schema) {
    if (schema.format == nullptr) return refused("no format");
    if (schema.dictionary != nullptr) return dictionary_plan(schema);
    const std::string_view format = schema.format;
    ArrowColumnPlan plan;
    for (const Primitive& type : PRIMITIVES) {
        if (format == type.format) {
            plan.layout = ArrowLayout::Fixed;
            plan.dtype = type.dtype;
            plan.width = type.width;
            return plan;
        }
    }
    for (const Primitive& type : TIMESTAMPS) {
        if (format.starts_with(type.format)) {
            plan.layout = ArrowLayout::Fixed;
            plan.dtype = type.dtype;
            plan.width = 8;
            return plan;
        }
    }
    for (const Primitive& type : WIDENED) {
        if (format == type.format) {
            plan.layout = ArrowLayout::Widened;
            plan.dtype = type.dtype;
            plan.width = 4;
            return plan;
        }
    }
    if (format == "b") {
        plan.layout = ArrowLayout::Bool;
        return plan;
    }
    if (const auto texts = text_plan(format)) return *texts;
    if (format == "z" || format == "Z") {
        plan.layout = ArrowLayout::Bytes;
        plan.width = format == "z" ? 4 : 8;
        return plan;
    }
    if (format == "vz") {
        plan.layout = ArrowLayout::BytesView;
        return plan;
    }
    if (const auto decimal = parse_decimal(format)) {
        const long bits = decimal->bits;
        if (bits != 32 && bits != 64 && bits != 128 && bits != 256) return refused(arrow_type_name(schema));
        if (decimal->scale < 0 || decimal->scale > MAX_PLACES) {
            return refused(arrow_type_name(schema) + ": scale outside 0 to 15");
        }
        plan.layout = ArrowLayout::Decimal;
        plan.width = static_cast<std::uint8_t>(bits / 8);
        plan.scale = static_cast<int>(decimal->scale);
        return plan;
    }
    return refused(arrow_type_name(schema));
}

}  // namespace pyvorl
