// The values of a netCDF variable: its attributes, its stored type, CF packing (scale_factor,
// add_offset, _Unsigned), the values that stand for none (_FillValue, missing_value) and the
// reading of blocks. Internal to Plexa.
#pragma once

#include "outside/plexa/readers/NetcdfHeader.hpp"

#include "outside/Plexa.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

namespace Plexa::detail::netcdf {

struct AttributeShape {
    nc_type Type = NC_NAT;
    std::size_t Length = 0;
};

std::optional<AttributeShape> attributeShape(int file, int variable, const char* name);
// A text attribute of the variable; empty when it is missing or holds numbers.
std::string attributeText(const Variable& variable, const char* name);

// The element type a variable's stored values are read as; "_Unsigned" marks unsigned integers in
// classic files, which have no unsigned types.
nc_type storedType(const Variable& variable);

bool isFloating(nc_type type);
// The bytes of a stored element of the type.
std::size_t storedSize(nc_type type);

// A numeric attribute of a variable in the terms of its stored type: a writer that marks the
// variable _Unsigned stores its fill and range attributes in the signed type of the same width,
// which reads as unsigned too (-1 of a short is 65535).
std::vector<double> attributeAs(const Variable& variable, nc_type stored, const char* name);

struct Decoding {
    nc_type Stored = NC_NAT;
    bool Packed = false;
    double Scale = 1;
    double Offset = 0;
    std::vector<double> NoValue; // _FillValue and missing_value, as stored

    // Packed values become doubles, so both they and floating point values mark gaps with NaN.
    bool makesNan() const { return (Packed || isFloating(Stored)) && !NoValue.empty(); }
    bool isNoValue(double stored) const {
        return std::find(NoValue.begin(), NoValue.end(), stored) != NoValue.end();
    }
    // The packed integers as the writer keeps them; the first value that stands for none is
    // the one NaN packs back to.
    Packing packing() const {
        if (!Packed) return {};
        Packing packing{{Scale}, {Offset}, std::nullopt};
        if (!NoValue.empty() && NoValue.front() == std::trunc(NoValue.front()) &&
            std::fabs(NoValue.front()) < 0x1p62)
            packing.Fill = static_cast<std::int64_t>(NoValue.front());
        return packing;
    }
    double unpacked(double stored) const {
        return isNoValue(stored) ? std::numeric_limits<double>::quiet_NaN()
                                 : stored * Scale + Offset;
    }
};

Decoding decodingOf(const Variable& variable);
// The decoding of a variable whose every value should have been written: without a fill value
// of its own, a slot nobody wrote holds libnetcdf's default fill, which then stands for none.
Decoding writtenDecoding(const Variable& variable);
// The element type of a field that holds the variable's values.
const std::type_info& fieldType(const Decoding& decoding);

// Reads the block at start/count of the variable into `target` as doubles, unpacked; `buffer`
// holds the stored values on the way and is kept for the next block.
void readPacked(const Variable& variable, const Decoding& decoding,
                const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
                std::size_t values, double* target, std::vector<unsigned char>& buffer);
// Reads the block straight into `target`, stored values as they are, gaps of floating point
// values made NaN.
void readPlain(const Variable& variable, const Decoding& decoding,
               const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
               std::size_t values, void* target);

// The whole of a variable as doubles, unpacked, fill values as NaN.
std::vector<double> readDoubles(const Header& header, const Variable& variable, Decoding decoding);
// The whole of a 1-D variable as doubles, unpacked: coordinates and times. Every value must be
// one, so a slot nobody wrote is refused as a gap, not taken as a coordinate.
std::vector<double> readCoordinates(const Header& header, const Variable& variable);
// The rows of a char array (the last dimension runs along a text), or the texts of a string
// array, each cut at its first NUL.
std::vector<std::string> readTexts(const Header& header, const Variable& variable);

} // namespace Plexa::detail::netcdf
