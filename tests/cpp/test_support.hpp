// Shared helpers for the engine tests: hex byte literals and a TableRef that
// owns the storage its views point into.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "core/encoding.hpp"
#include "core/table.hpp"

namespace vorl::testing {

// "FC 01 00" -> {0xFC, 0x01, 0x00}; separators ('|' and spaces) are ignored.
inline std::vector<std::uint8_t> hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        int nibble;
        if (c >= '0' && c <= '9') nibble = c - '0';
        else if (c >= 'A' && c <= 'F') nibble = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') nibble = c - 'a' + 10;
        else continue;
        if (high < 0) {
            high = nibble;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | nibble));
            high = -1;
        }
    }
    return bytes;
}

inline std::string to_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) text += ' ';
        text += DIGITS[bytes[i] >> 4];
        text += DIGITS[bytes[i] & 15];
    }
    return text;
}

// Runs an encoder against both sinks, checks they agree, and returns the bytes.
template <class Encode>
std::vector<std::uint8_t> encode_both(Encode encode) {
    SizeWriter counter;
    encode(counter);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(counter.size()));
    VecWriter writer(bytes);
    encode(writer);
    if (!writer.status() || writer.size() != bytes.size()) throw std::runtime_error("sinks disagree");
    return bytes;
}

// Keeps column data and names alive for the FieldRefs that view them.
class TableBuilder {
public:
    template <std::size_t Index, class T>
    TableBuilder& column(std::string name, std::vector<T> values) {
        auto& stored = store<T>(std::move(values));
        names_.push_back(std::move(name));
        fields_.push_back(FieldRef::of(names_.back(), SeriesRef{std::in_place_index<Index>, std::span<const T>(stored)}));
        return *this;
    }
    TableBuilder& text_column(std::string name, std::vector<std::string> values, bool bytes = false) {
        texts_.push_back(std::move(values));
        auto& views = views_.emplace_back();
        for (const auto& text : texts_.back()) views.emplace_back(text);
        names_.push_back(std::move(name));
        const std::span<const std::string_view> span(views);
        fields_.push_back(FieldRef::of(names_.back(), bytes ? SeriesRef{std::in_place_index<11>, span}
                                                            : SeriesRef{std::in_place_index<5>, span}));
        return *this;
    }
    TableBuilder& null_column(std::string name) {
        names_.push_back(std::move(name));
        fields_.push_back(FieldRef::of(names_.back(), SeriesRef{std::in_place_index<0>}));
        return *this;
    }
    FieldRef& last_field() { return fields_.back(); }

    TableRef build(std::optional<Metadata> metadata, std::uint32_t magic_version = 0x4D7C0001,
                   bool trailer_flag = false) const {
        return TableRef{magic_version, fields_, std::move(metadata), trailer_flag};
    }

private:
    template <class T>
    std::vector<T>& store(std::vector<T> values) {
        return std::get<std::deque<std::vector<T>>>(storage_).emplace_back(std::move(values));
    }

    std::tuple<std::deque<std::vector<std::int64_t>>, std::deque<std::vector<double>>, std::deque<std::vector<D64>>,
               std::deque<std::vector<std::uint8_t>>, std::deque<std::vector<std::int32_t>>,
               std::deque<std::vector<std::uint32_t>>, std::deque<std::vector<std::uint64_t>>,
               std::deque<std::vector<float>>>
        storage_;
    std::deque<std::vector<std::string>> texts_;
    std::deque<std::vector<std::string_view>> views_;
    std::deque<std::string> names_;
    std::vector<FieldRef> fields_;
};

}  // namespace vorl::testing
