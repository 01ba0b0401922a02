// The values of a netCDF variable: its attributes, its stored type, CF packing and the values that
// stand for none, read in blocks.
#include "outside/plexa/readers/NetcdfValues.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace Plexa::detail::netcdf {

namespace {

using std::to_string;

// A text attribute (char or string); empty when it is missing or holds numbers.
std::string textAttribute(int file, int variable, const char* name) {
    const std::optional<AttributeShape> shape = attributeShape(file, variable, name);
    if (!shape || shape->Length == 0) return {};
    const std::string what = std::string("cannot read the attribute ") + name;
    if (shape->Type == NC_CHAR) {
        std::string text(shape->Length, '\0');
        ncCheck(nc_get_att_text(file, variable, name, text.data()), what);
        return text.substr(0, text.find('\0'));
    }
    if (shape->Type != NC_STRING) return {};
    std::vector<char*> texts(shape->Length);
    ncCheck(nc_get_att_string(file, variable, name, texts.data()), what);
    std::string text = texts[0] ? texts[0] : "";
    nc_free_string(shape->Length, texts.data());
    return text;
}

// The values of a numeric attribute as doubles; none when it is missing or holds text.
std::vector<double> numberAttribute(int file, int variable, const char* name) {
    const std::optional<AttributeShape> shape = attributeShape(file, variable, name);
    if (!shape || !isNumber(shape->Type)) return {};
    std::vector<double> values(shape->Length);
    ncCheck(nc_get_att_double(file, variable, name, values.data()),
            std::string("cannot read the attribute ") + name);
    return values;
}

// Calls visit with a value of the C++ type that holds a stored element of `type`.
template <class Visit> decltype(auto) withType(nc_type type, Visit&& visit) {
    switch (type) {
    case NC_BYTE:
        return visit(std::int8_t());
    case NC_UBYTE:
        return visit(std::uint8_t());
    case NC_SHORT:
        return visit(std::int16_t());
    case NC_USHORT:
        return visit(std::uint16_t());
    case NC_INT:
        return visit(std::int32_t());
    case NC_UINT:
        return visit(std::uint32_t());
    case NC_INT64:
        return visit(std::int64_t());
    case NC_UINT64:
        return visit(std::uint64_t());
    case NC_FLOAT:
        return visit(float());
    }
    return visit(double());
}

bool isUnsigned(nc_type type) {
    return type == NC_UBYTE || type == NC_USHORT || type == NC_UINT || type == NC_UINT64;
}

// The value libnetcdf writes where nothing was written, as the stored type reads it; none for
// bytes, whose default fill is a valid value, and for variables written without fill.
std::optional<double> defaultFill(const Variable& variable, nc_type stored) {
    if (stored == NC_BYTE || stored == NC_UBYTE) return std::nullopt;
    int noFill = 0;
    alignas(8) unsigned char fill[8] = {};
    ncCheck(nc_inq_var_fill(variable.Group, variable.Id, &noFill, fill),
            "cannot read the fill value of " + variable.quoted());
    if (noFill) return std::nullopt;
    return withType(stored, [&](auto type) {
        decltype(type) value;
        std::memcpy(&value, fill, sizeof value);
        return static_cast<double>(value);
    });
}

std::size_t elementCount(const Header& header, const Variable& variable) {
    std::size_t count = 1;
    for (int id : variable.Dimensions)
        count *= header.Dimensions[static_cast<std::size_t>(id)].Length;
    return count;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Attributes

std::optional<AttributeShape> attributeShape(int file, int variable, const char* name) {
    AttributeShape shape;
    const int status = nc_inq_att(file, variable, name, &shape.Type, &shape.Length);
    if (status == NC_ENOTATT) return std::nullopt;
    ncCheck(status, std::string("cannot read the attribute ") + name);
    return shape;
}

std::string attributeText(const Variable& variable, const char* name) {
    return textAttribute(variable.Group, variable.Id, name);
}

// ---------------------------------------------------------------------------------------------
// Values of one variable: stored type, CF packing and the values that stand for none

nc_type storedType(const Variable& variable) {
    if (textAttribute(variable.Group, variable.Id, "_Unsigned") != "true") return variable.Type;
    switch (variable.Type) {
    case NC_BYTE:
        return NC_UBYTE;
    case NC_SHORT:
        return NC_USHORT;
    case NC_INT:
        return NC_UINT;
    case NC_INT64:
        return NC_UINT64;
    }
    return variable.Type;
}

bool isFloating(nc_type type) {
    return type == NC_FLOAT || type == NC_DOUBLE;
}

std::size_t storedSize(nc_type type) {
    return withType(type, [](auto value) { return sizeof value; });
}

std::vector<double> attributeAs(const Variable& variable, nc_type stored, const char* name) {
    const std::optional<AttributeShape> shape = attributeShape(variable.Group, variable.Id, name);
    if (!shape || !isNumber(shape->Type)) return {};
    if (!isUnsigned(stored) || isUnsigned(shape->Type) || isFloating(shape->Type) ||
        storedSize(shape->Type) != storedSize(stored))
        return numberAttribute(variable.Group, variable.Id, name);
    std::vector<long long> signedValues(shape->Length);
    ncCheck(nc_get_att_longlong(variable.Group, variable.Id, name, signedValues.data()),
            std::string("cannot read the attribute ") + name);
    const double wrap = std::ldexp(1.0, static_cast<int>(8 * storedSize(stored)));
    std::vector<double> values;
    for (long long value : signedValues)
        values.push_back(value < 0 ? static_cast<double>(value) + wrap
                                   : static_cast<double>(value));
    return values;
}

Decoding decodingOf(const Variable& variable) {
    Decoding decoding;
    decoding.Stored = storedType(variable);
    const std::vector<double> scale = numberAttribute(variable.Group, variable.Id, "scale_factor");
    const std::vector<double> offset = numberAttribute(variable.Group, variable.Id, "add_offset");
    decoding.Packed = !scale.empty() || !offset.empty();
    if (!scale.empty()) decoding.Scale = scale[0];
    if (!offset.empty()) decoding.Offset = offset[0];
    for (const char* name : {"_FillValue", "missing_value"})
        for (double value : attributeAs(variable, decoding.Stored, name))
            decoding.NoValue.push_back(value);
    return decoding;
}

const std::type_info& fieldType(const Decoding& decoding) {
    if (decoding.Packed) return typeid(double);
    return withType(decoding.Stored,
                    [](auto value) -> const std::type_info& { return typeid(value); });
}

void readPacked(const Variable& variable, const Decoding& decoding,
                const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
                std::size_t values, double* target, std::vector<unsigned char>& buffer) {
    buffer.resize(values * storedSize(decoding.Stored));
    ncCheck(nc_get_vara(variable.Group, variable.Id, start.data(), count.data(), buffer.data()),
            "cannot read the values of " + variable.quoted());
    withType(decoding.Stored, [&](auto type) {
        const auto* stored = reinterpret_cast<const decltype(type)*>(buffer.data());
        for (std::size_t i = 0; i < values; ++i)
            target[i] = decoding.unpacked(static_cast<double>(stored[i]));
    });
}

void readPlain(const Variable& variable, const Decoding& decoding,
               const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
               std::size_t values, void* target) {
    ncCheck(nc_get_vara(variable.Group, variable.Id, start.data(), count.data(), target),
            "cannot read the values of " + variable.quoted());
    if (!decoding.makesNan()) return;
    withType(decoding.Stored, [&](auto type) {
        using Value = decltype(type);
        if constexpr (std::is_floating_point_v<Value>) {
            auto* stored = static_cast<Value*>(target);
            for (std::size_t i = 0; i < values; ++i)
                if (decoding.isNoValue(static_cast<double>(stored[i])))
                    stored[i] = std::numeric_limits<Value>::quiet_NaN();
        }
    });
}

std::vector<double> readDoubles(const Header& header, const Variable& variable, Decoding decoding) {
    const std::size_t count = elementCount(header, variable);
    std::vector<double> values(count);
    if (count == 0) return values;
    std::vector<std::size_t> start(variable.Dimensions.size(), 0), counts;
    for (int id : variable.Dimensions)
        counts.push_back(header.Dimensions[static_cast<std::size_t>(id)].Length);
    std::vector<unsigned char> buffer;
    readPacked(variable, decoding, start, counts, count, values.data(), buffer);
    return values;
}

Decoding writtenDecoding(const Variable& variable) {
    Decoding decoding = decodingOf(variable);
    if (decoding.NoValue.empty())
        if (std::optional<double> fill = defaultFill(variable, decoding.Stored))
            decoding.NoValue.push_back(*fill);
    return decoding;
}

std::vector<double> readCoordinates(const Header& header, const Variable& variable) {
    const std::vector<double> values = readDoubles(header, variable, writtenDecoding(variable));
    for (std::size_t i = 0; i < values.size(); ++i)
        if (!std::isfinite(values[i]))
            throw Failure("the coordinate variable " + variable.quoted() +
                          " has no value at index " + to_string(i) +
                          " (a fill value, NaN or an infinity); every node needs one");
    return values;
}

std::vector<std::string> readTexts(const Header& header, const Variable& variable) {
    const std::string what = "cannot read the values of " + variable.quoted();
    const std::size_t count = elementCount(header, variable);
    std::vector<std::string> texts;
    if (variable.Type == NC_STRING) {
        std::vector<char*> values(count);
        ncCheck(nc_get_var_string(variable.Group, variable.Id, values.data()), what);
        for (char* value : values)
            texts.emplace_back(value ? value : "");
        nc_free_string(count, values.data());
        return texts;
    }
    std::string chars(count, '\0');
    if (count > 0) ncCheck(nc_get_var_text(variable.Group, variable.Id, chars.data()), what);
    const std::size_t length =
        variable.Dimensions.empty()
            ? 1
            : header.Dimensions[static_cast<std::size_t>(variable.Dimensions.back())].Length;
    for (std::size_t at = 0; length > 0 && at < chars.size(); at += length) {
        const std::string row = chars.substr(at, length);
        texts.push_back(row.substr(0, row.find('\0')));
    }
    return texts;
}

} // namespace Plexa::detail::netcdf
