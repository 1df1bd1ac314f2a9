// The table payload: magic_version (u32 varint), the fields (count, then per
// field its name, data type tag, optional metadata and column), the optional
// table metadata, and the trailer flag. No header, padding or end marker.
#pragma once

#include "core/encoding.hpp"
#include "core/table.hpp"
#include "core/variant.hpp"

namespace vorl {

class ChecksumTrail;

// Type names reported when a tag is out of range.
inline constexpr std::string_view DATA_TYPE_TYPE_NAME = "DataType";
inline constexpr std::string_view SERIES_TYPE_NAME = "Series";
inline constexpr std::string_view VARIANT_TYPE_NAME = "Variant";
inline constexpr std::string_view OPTIONAL_METADATA_TYPE_NAME = "Option<HashMap<String, Variant>>";

template <class Sink>
void encode_variant(Sink& sink, const Variant& value);
template <class Sink>
void encode_metadata(Sink& sink, const std::optional<Metadata>& metadata);
// A non-null `trail` over the content being written takes in the bytes of the
// column bodies that copy them (see column_codec.hpp); the rest is left for it
// to catch up on. The counting pass has no content and passes none.
template <class Sink>
void encode_payload(Sink& sink, const TableRef& table, ChecksumTrail* trail);

Result<Variant, DecodeError> decode_variant(SliceReader& reader);
Result<std::optional<Metadata>, DecodeError> decode_metadata(SliceReader& reader);
// Bytes after the trailer flag are left unread. `trail`, if not null, is over
// the content being read, as when writing.
Result<Table, DecodeError> decode_payload(SliceReader& reader, ChecksumTrail* trail, const DecodeOptions& options = {});

}  // namespace vorl
