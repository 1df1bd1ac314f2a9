// Shared helpers for the engine tests: hex byte literals and a TableRef that
// owns the storage its views point into.
#pragma once

#include <cctype>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/encoding.hpp"
#include "core/table.hpp"

namespace vorl::testing {

// "FC 01 00" -> {0xFC, 0x01, 0x00}; anything but hex digits is ignored.
inline std::vector<std::uint8_t> hex(std::string_view text) {
    std::string digits;
    for (const char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

inline std::string to_hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const auto b : bytes)
        text += (text.empty() ? "" : " ") + std::string{"0123456789ABCDEF"[b >> 4]} + "0123456789ABCDEF"[b & 15];
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
        return add(std::move(name), SeriesRef{std::in_place_index<Index>, std::span<const T>(keep(std::move(values)))});
    }
    TableBuilder& text_column(std::string name, std::vector<std::string> values, bool bytes = false) {
        const auto& texts = keep(std::move(values));
        const auto& views = keep(std::vector<std::string_view>(texts.begin(), texts.end()));
        return add(std::move(name), bytes ? SeriesRef{std::in_place_index<11>, std::span(views)}
                                          : SeriesRef{std::in_place_index<5>, std::span(views)});
    }
    TableBuilder& null_column(std::string name) { return add(std::move(name), SeriesRef{std::in_place_index<0>}); }
    FieldRef& last_field() { return fields_.back(); }

    TableRef build(std::optional<Metadata> metadata, std::uint32_t magic_version = 0x4D7C0001,
                   bool trailer_flag = false) const {
        return TableRef{magic_version, fields_, std::move(metadata), trailer_flag};
    }

private:
    template <class T>
    const T& keep(T value) {
        auto owned = std::make_shared<T>(std::move(value));
        kept_.push_back(owned);
        return *owned;
    }
    TableBuilder& add(std::string name, SeriesRef series) {
        fields_.push_back(FieldRef::of(keep(std::move(name)), series));
        return *this;
    }

    std::vector<std::shared_ptr<const void>> kept_;
    std::vector<FieldRef> fields_;
};

}  // namespace vorl::testing
