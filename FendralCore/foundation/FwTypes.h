// Fixed-width names used across the framework, and the value and search-mode
// types that every container shares.
#pragma once

#include <cstdint>

using int8 = std::int8_t;
using int16 = std::int16_t;
using int32 = std::int32_t;
using int64 = std::int64_t;
using uint8 = std::uint8_t;
using uint16 = std::uint16_t;
using uint32 = std::uint32_t;
using uint64 = std::uint64_t;

// What a container stores per key: in practice an object pointer the caller owns.
using DataValueType = std::uint64_t;

// Search mode of the sorted containers.
enum FindOperation : int32
{
    FIND_EQ = 0,
    FIND_LT = 1,
    FIND_LE = 2,
    FIND_GT = 3,
    FIND_GE = 4,
};

// Fixed text fields of the framework's records, NUL-terminated.
using ResourceName = char[17];    // resource name of 1 to 16 characters, NUL-padded
using ApplicationID = char[9];    // application id of at most 8 characters
using FilePathName = char[101];
using LongFilePathName = char[256];
using IpAddress = char[16];       // dotted IPv4 text
