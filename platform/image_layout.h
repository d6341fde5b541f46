// Where the bytes of a loaded Windows image lie in its file, read from the
// image's headers (the DOS header, the PE headers and the section table).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace hotfix {

// The size of the headers (SizeOfHeaders) that headers, the first length
// bytes of an image or its file, declare; nothing when they are not the
// headers of a PE32 or PE32+ image or declare more than length bytes.
std::optional<std::size_t> ImageHeadersSize(const unsigned char* headers, std::size_t length);

// True when the headers of a loaded image (mapped) and those read from a
// file (file) are the same, length bytes each: equal byte for byte except
// the preferred load address, which the loader may rewrite when it moves
// the image.
bool SameImageHeaders(const unsigned char* mapped, const unsigned char* file, std::size_t length);

// The file offset of size bytes that start rva bytes into the loaded image;
// nothing unless all of them lie within the raw data one section carries
// in the file (bytes a section has only in memory are zeros the loader adds).
std::optional<std::uint64_t> ImageFileOffset(const unsigned char* headers, std::size_t length,
                                             std::uint32_t rva, std::uint64_t size);

}  // namespace hotfix
