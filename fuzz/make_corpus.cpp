// Writes the seed corpus of the frame reader fuzzer: frames from the packer
// covering every column type, empty columns, the varint widths, the special
// decimal and datetime cases and metadata of every kind. Each table is written
// twice: as a whole frame, and as bare content (which the fuzzer frames with
// a matching footer), so that mutations of either reach the decoder.
//
//   make_corpus DIRECTORY
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "../tests/cpp/test_support.hpp"
#include "core/frame.hpp"

namespace {

using vorl::D64;
using vorl::Metadata;
using vorl::Variant;
using vorl::testing::TableBuilder;

D64 decimal(bool negative, std::uint64_t magnitude, unsigned scale) {
    return D64::from_parts(negative, magnitude, scale);
}

Metadata every_variant_kind() {
    return vorl::make_metadata({
        {"null", Variant{std::in_place_index<0>}},
        {"datetime", vorl::datetime_variant(1'700'000'000'000'000)},
        {"int64", vorl::int64_variant(std::numeric_limits<std::int64_t>::min())},
        {"float64", Variant{std::in_place_index<3>, -0.0}},
        {"decimal", Variant{std::in_place_index<4>, decimal(true, 12345, 3)}},
        {"string", vorl::string_variant("ünïcödé")},
        {"bool", Variant{std::in_place_index<6>, true}},
        {"int32", Variant{std::in_place_index<7>, std::int32_t{-70000}}},
        {"uint32", Variant{std::in_place_index<8>, std::uint32_t{4'000'000'000u}}},
        {"uint64", Variant{std::in_place_index<9>, std::numeric_limits<std::uint64_t>::max()}},
        {"float32", Variant{std::in_place_index<10>, std::numeric_limits<float>::quiet_NaN()}},
        {"bytes", vorl::bytes_variant(std::string("\xFF\x00\x80", 3))},
    });
}

Metadata obj(std::string name) { return vorl::make_metadata({{"obj", vorl::string_variant(std::move(name))}}); }

// One column of every type, with `rows` values each (rows <= 3).
TableBuilder every_type(std::size_t rows) {
    const auto first = [rows](auto values) {
        values.resize(rows);
        return values;
    };
    TableBuilder builder;
    builder.null_column("null");
    builder.column<1>("datetime", first(std::vector<std::int64_t>{0, 60'000'000, 120'000'000}));
    builder.column<2>("int64", first(std::vector<std::int64_t>{1, -1, 300}));
    builder.column<3>("float64", first(std::vector<double>{1.5, -0.0, std::numeric_limits<double>::infinity()}));
    builder.column<4>("decimal",
                      first(std::vector<D64>{decimal(false, 150, 2), decimal(false, 175, 2), decimal(true, 125, 2)}));
    builder.text_column("string", first(std::vector<std::string>{"a", "", "日本"}));
    builder.column<6>("bool", first(std::vector<std::uint8_t>{1, 0, 1}));
    builder.column<7>("int32", first(std::vector<std::int32_t>{-2, 125, -126}));
    builder.column<8>("uint32", first(std::vector<std::uint32_t>{250, 251, 65536}));
    builder.column<9>("uint64", first(std::vector<std::uint64_t>{0, 65535, 4'294'967'296}));
    builder.column<10>("float32", first(std::vector<float>{0.25f, std::numeric_limits<float>::quiet_NaN(), -1.0f}));
    builder.text_column("bytes", first(std::vector<std::string>{std::string("\0\xFF", 2), "", "\xC3"}), true);
    return builder;
}

TableBuilder extreme_values() {
    using L64 = std::numeric_limits<std::int64_t>;
    using L32 = std::numeric_limits<std::int32_t>;
    TableBuilder builder;
    builder.column<2>("int64", std::vector<std::int64_t>{L64::min(), L64::max(), 125, -126, 32767, -32769, 1LL << 40});
    builder.column<7>("int32", std::vector<std::int32_t>{L32::min(), L32::max(), 0, -1});
    builder.column<8>("uint32", std::vector<std::uint32_t>{0, 250, 251, 65535, 65536, 0xFFFF'FFFFu});
    builder.column<9>("uint64", std::vector<std::uint64_t>{0xFFFF'FFFFull, 0x1'0000'0000ull, ~0ull});
    builder.column<3>("float64", std::vector<double>{std::nan("7"), -std::numeric_limits<double>::denorm_min()});
    builder.column<10>("float32", std::vector<float>{-std::numeric_limits<float>::infinity(), 1e-45f});
    return builder;
}

TableBuilder decimals() {
    const std::uint64_t max = vorl::D64_MAX_MAGNITUDE;
    TableBuilder builder;
    builder.column<4>("prices",
                      std::vector<D64>{decimal(false, 150, 2), decimal(false, 175, 2), decimal(false, 125, 2)});
    builder.column<4>("special_first",
                      std::vector<D64>{D64::nan(), D64::infinity(), decimal(false, 1, 3), decimal(true, 0, 3)});
    builder.column<4>("extremes",
                      std::vector<D64>{decimal(false, max, 15), decimal(true, max, 15), decimal(false, 0, 15)});
    builder.column<4>("mixed_scale", std::vector<D64>{decimal(false, 15, 1), decimal(false, 225, 2)});
    return builder;
}

TableBuilder datetimes() {
    std::vector<std::int64_t> off_grid;
    for (std::int64_t i = 0; i < 12; ++i) off_grid.push_back(i * 1'000'000);
    off_grid.push_back(12'000'007);  // beyond the first ten, off their step
    TableBuilder builder;
    builder.column<1>("minutes", std::vector<std::int64_t>{0, 60'000'000, 120'000'000});
    builder.column<1>("single", std::vector<std::int64_t>{5});
    builder.column<1>("sign_change", std::vector<std::int64_t>{0, -5, 10});
    builder.column<1>("zeros", std::vector<std::int64_t>{0, 0, 0});
    builder.column<1>("extremes", std::vector<std::int64_t>{std::numeric_limits<std::int64_t>::min(), -1,
                                                            std::numeric_limits<std::int64_t>::max()});
    builder.column<1>("off_grid", std::move(off_grid));
    return builder;
}

TableBuilder long_columns() {
    std::vector<std::int32_t> small(1000);
    std::vector<std::uint64_t> mixed(1000);
    std::vector<std::int64_t> seconds(300);
    for (std::size_t i = 0; i < small.size(); ++i) {
        small[i] = static_cast<std::int32_t>(i % 120) - 60;
        mixed[i] = i % 17 == 0 ? std::uint64_t{1} << (i % 64) : i % 251;
    }
    for (std::size_t i = 0; i < seconds.size(); ++i)
        seconds[i] = 1'700'000'000'000'000 + static_cast<std::int64_t>(i) * 1'000'000;
    TableBuilder builder;
    builder.column<7>("small", std::move(small));
    builder.column<9>("mixed", std::move(mixed));
    builder.column<1>("seconds", std::move(seconds));
    builder.text_column("long_text", {std::string(300, 'x'), std::string(3000, 'y')});
    return builder;
}

TableBuilder metadata_on_fields() {
    TableBuilder builder;
    builder.column<2>("absent", std::vector<std::int64_t>{1});
    builder.column<2>("empty", std::vector<std::int64_t>{2});
    builder.last_field().metadata = Metadata{};
    builder.column<2>("every_kind", std::vector<std::int64_t>{3});
    builder.last_field().metadata = every_variant_kind();
    return builder;
}

// A producer may pair a data type with a column of another type.
TableBuilder mismatched_type() {
    TableBuilder builder;
    builder.column<3>("declared_int64", std::vector<double>{2.5});
    builder.last_field().data_type = vorl::DataType::Int64;
    builder.null_column("declared_bytes");
    builder.last_field().data_type = vorl::DataType::Bytes;
    return builder;
}

struct Seed {
    const char* name;
    std::function<vorl::TableRef(const TableBuilder&)> table;
    std::function<TableBuilder()> builder;
};

const Seed SEEDS[] = {
    {"empty", [](const TableBuilder& b) { return b.build(std::nullopt); }, [] { return TableBuilder(); }},
    {"empty_metadata", [](const TableBuilder& b) { return b.build(Metadata{}); }, [] { return TableBuilder(); }},
    {"every_type", [](const TableBuilder& b) { return b.build(obj("quotes")); }, [] { return every_type(3); }},
    {"empty_columns", [](const TableBuilder& b) { return b.build(obj("")); }, [] { return every_type(0); }},
    {"table_metadata", [](const TableBuilder& b) { return b.build(every_variant_kind()); },
     [] { return every_type(1); }},
    {"field_metadata", [](const TableBuilder& b) { return b.build(std::nullopt); }, metadata_on_fields},
    {"extreme_values", [](const TableBuilder& b) { return b.build(obj("x")); }, extreme_values},
    {"decimals", [](const TableBuilder& b) { return b.build(obj("d")); }, decimals},
    {"datetimes", [](const TableBuilder& b) { return b.build(obj("t")); }, datetimes},
    {"long_columns", [](const TableBuilder& b) { return b.build(obj("l")); }, long_columns},
    {"mismatched_type", [](const TableBuilder& b) { return b.build(obj("m")); }, mismatched_type},
    {"odd_envelope", [](const TableBuilder& b) { return b.build(std::nullopt, 0xFFFF'FFFFu, true); },
     [] { return every_type(1); }},
    {"zero_magic_version", [](const TableBuilder& b) { return b.build(obj("z"), 0, true); },
     [] { return TableBuilder(); }},
};

void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::filesystem::path directory = argv[1];
    std::filesystem::create_directories(directory);
    for (const Seed& seed : SEEDS) {
        const TableBuilder builder = seed.builder();
        auto frame = vorl::pack_table_ref_frame(seed.table(builder));
        if (!frame) {
            std::fprintf(stderr, "%s: %s\n", seed.name, frame.error().message().c_str());
            return 1;
        }
        const std::span<const std::uint8_t> bytes = frame.value();
        write_file(directory / (std::string(seed.name) + ".frame"), bytes);
        write_file(directory / (std::string(seed.name) + ".content"),
                   bytes.subspan(vorl::TABLE_FRAME_HEADER_SIZE,
                                 bytes.size() - vorl::TABLE_FRAME_HEADER_SIZE - vorl::TABLE_FRAME_FOOTER_SIZE));
    }
    std::printf("wrote %zu seeds to %s\n", 2 * std::size(SEEDS), directory.string().c_str());
    return 0;
}
