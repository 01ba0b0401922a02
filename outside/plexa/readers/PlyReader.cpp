// Point clouds in PLY files (ascii, binary little and big endian): the vertex element's x, y and z
// become the positions, its other numbers fields of their own type; lists and other elements are
// read past and named in the grid attribute "PlyNote".
#include "outside/plexa/readers/Readers.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include "outside/plexa/detail/Memory.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace Plexa::detail {

namespace {

[[noreturn]] void fail(const std::string& cause) {
    throw Failure(cause);
}

std::string inQuotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// ---------------------------------------------------------------------------------------------
// Types

enum class Type { Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32, Float64 };

struct TypeName {
    const char* Name;
    Type Kind;
};

const TypeName TypeNames[] = {
    {"char", Type::Int8},       {"int8", Type::Int8},       {"uchar", Type::UInt8},
    {"uint8", Type::UInt8},     {"short", Type::Int16},     {"int16", Type::Int16},
    {"ushort", Type::UInt16},   {"uint16", Type::UInt16},   {"int", Type::Int32},
    {"int32", Type::Int32},     {"uint", Type::UInt32},     {"uint32", Type::UInt32},
    {"float", Type::Float32},   {"float32", Type::Float32}, {"double", Type::Float64},
    {"float64", Type::Float64},
};

std::optional<Type> typeNamed(std::string_view name) {
    for (const TypeName& entry : TypeNames)
        if (name == entry.Name) return entry.Kind;
    return std::nullopt;
}

const char* nameOf(Type type) {
    for (const TypeName& entry : TypeNames)
        if (entry.Kind == type) return entry.Name;
    return "";
}

// Calls visit with a value of the C++ type that stands for `type`.
template <class Visit> auto withType(Type type, Visit&& visit) {
    switch (type) {
    case Type::Int8:
        return visit(std::int8_t());
    case Type::UInt8:
        return visit(std::uint8_t());
    case Type::Int16:
        return visit(std::int16_t());
    case Type::UInt16:
        return visit(std::uint16_t());
    case Type::Int32:
        return visit(std::int32_t());
    case Type::UInt32:
        return visit(std::uint32_t());
    case Type::Float32:
        return visit(float());
    case Type::Float64:
        break;
    }
    return visit(double());
}

std::size_t sizeOf(Type type) {
    return withType(type, [](auto value) { return sizeof value; });
}

bool isIntegral(Type type) {
    return type < Type::Float32;
}

// ---------------------------------------------------------------------------------------------
// The header

struct Property {
    std::string Name;
    Type Kind = Type::Float32; // of the items, for a list
    bool IsList = false;
    Type CountKind = Type::UInt8;
};

struct Element {
    std::string Name;
    std::uint64_t Count = 0;
    std::vector<Property> Properties;

    bool hasLists() const {
        return std::any_of(Properties.begin(), Properties.end(),
                           [](const Property& property) { return property.IsList; });
    }
    // A record's bytes when all its lists are empty.
    std::size_t leastRecordBytes() const {
        std::size_t bytes = 0;
        for (const Property& property : Properties)
            bytes += sizeOf(property.IsList ? property.CountKind : property.Kind);
        return bytes;
    }
    const Property* find(std::string_view name) const {
        for (const Property& property : Properties)
            if (property.Name == name) return &property;
        return nullptr;
    }
};

enum class Encoding { Ascii, LittleEndian, BigEndian };

struct Header {
    Encoding Format = Encoding::Ascii;
    std::vector<Element> Elements;
    std::vector<std::string> Comments;
    std::vector<std::string> ObjectInfo;

    const Element* vertex() const {
        for (const Element& element : Elements)
            if (element.Name == "vertex") return &element;
        return nullptr;
    }
};

// "a, b, c" of the items' names; "none" for no items.
template <class Items> std::string namesOf(const Items& items) {
    std::string names;
    for (const auto& item : items)
        names += (names.empty() ? "" : ", ") + item.Name;
    return names.empty() ? "none" : names;
}

constexpr std::size_t MaxHeaderBytes = 64 << 10;

constexpr auto isBlank = [](char c) { return c == ' ' || c == '\t'; };

// The words of a line, split at blanks.
std::vector<std::string_view> wordsOf(std::string_view line) {
    std::vector<std::string_view> words;
    const char* cursor = line.data();
    const char* const end = cursor + line.size();
    while (cursor != end) {
        const char* start = std::find_if_not(cursor, end, isBlank);
        cursor = std::find_if(start, end, isBlank);
        if (start != cursor) words.emplace_back(start, static_cast<std::size_t>(cursor - start));
    }
    return words;
}

// The text after a line's keyword: the words of a comment with their spacing.
std::string afterKeyword(std::string_view line, std::string_view keyword) {
    line.remove_prefix(line.find(keyword) + keyword.size());
    const auto start = std::find_if_not(line.begin(), line.end(), isBlank);
    return std::string(start, line.end());
}

// Builds the header from its lines, naming the line of any fault.
class HeaderParser {
public:
    // Takes the next line; true once it was end_header.
    bool add(std::string_view line) {
        ++Line;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (std::any_of(line.begin(), line.end(),
                        [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; }))
            failAtLine("control bytes in the header (a binary file?)");
        const std::vector<std::string_view> words = wordsOf(line);
        if (Line == 1) {
            if (words.size() != 1 || words[0] != "ply") fail("not a PLY file (no \"ply\" line)");
            return false;
        }
        if (words.empty()) return false;
        const std::string_view keyword = words[0];
        if (keyword == "end_header") {
            if (words.size() != 1) failAtLine("words after end_header");
            return true;
        }
        if (keyword == "comment")
            Result.Comments.push_back(afterKeyword(line, keyword));
        else if (keyword == "obj_info")
            Result.ObjectInfo.push_back(afterKeyword(line, keyword));
        else if (keyword == "format")
            addFormat(words);
        else if (keyword == "element")
            addElement(words);
        else if (keyword == "property")
            addProperty(words);
        else
            failAtLine("unknown keyword " + inQuotes(keyword));
        return false;
    }

    // The header once it is whole, checked for what a point cloud needs.
    Header finish() const {
        if (!HasFormat) fail("no format line in the header");
        const Element* vertex = Result.vertex();
        if (!vertex)
            fail("no vertex element, so no points (elements: " + namesOf(Result.Elements) + ")");
        checkVertex(*vertex);
        for (const Element& element : Result.Elements)
            if (element.Properties.empty() && element.Count > 0)
                fail("element " + element.Name + " has records but no properties");
        return Result;
    }

private:
    [[noreturn]] void failAtLine(const std::string& cause) const {
        fail("header line " + std::to_string(Line) + ": " + cause);
    }

    void addFormat(const std::vector<std::string_view>& words) {
        if (words.size() != 3) failAtLine("expected \"format ENCODING 1.0\"");
        if (HasFormat) failAtLine("a second format line");
        if (words[1] == "ascii")
            Result.Format = Encoding::Ascii;
        else if (words[1] == "binary_little_endian")
            Result.Format = Encoding::LittleEndian;
        else if (words[1] == "binary_big_endian")
            Result.Format = Encoding::BigEndian;
        else
            failAtLine("unknown format " + inQuotes(words[1]) +
                       " (known: ascii, binary_little_endian, binary_big_endian)");
        if (words[2] != "1.0")
            failAtLine("unsupported version " + inQuotes(words[2]) + ", not 1.0");
        HasFormat = true;
    }

    void addElement(const std::vector<std::string_view>& words) {
        if (words.size() != 3) failAtLine("expected \"element NAME COUNT\"");
        Element element;
        element.Name = words[1];
        const char* end = words[2].data() + words[2].size();
        const auto parsed = std::from_chars(words[2].data(), end, element.Count);
        if (parsed.ec != std::errc() || parsed.ptr != end)
            failAtLine("bad count " + inQuotes(words[2]) + " for element " + element.Name);
        if (element.Name == "vertex" && Result.vertex()) failAtLine("a second vertex element");
        Result.Elements.push_back(std::move(element));
    }

    Type typeAt(std::string_view word, std::string_view property) const {
        const std::optional<Type> type = typeNamed(word);
        if (!type)
            failAtLine("unknown type " + inQuotes(word) + " of property " + inQuotes(property));
        return *type;
    }

    void addProperty(const std::vector<std::string_view>& words) {
        if (Result.Elements.empty()) failAtLine("a property before any element");
        Property property;
        if (words.size() == 5 && words[1] == "list") {
            property.Name = words[4];
            property.IsList = true;
            property.CountKind = typeAt(words[2], property.Name);
            property.Kind = typeAt(words[3], property.Name);
            if (!isIntegral(property.CountKind))
                failAtLine("list " + inQuotes(property.Name) + " is counted in " +
                           nameOf(property.CountKind) + "; counts must be integers");
        } else if (words.size() == 3) {
            property.Name = words[2];
            property.Kind = typeAt(words[1], property.Name);
        } else {
            failAtLine("expected \"property TYPE NAME\" or \"property list COUNTTYPE TYPE NAME\"");
        }
        Element& element = Result.Elements.back();
        if (element.Name == "vertex") checkVertexProperty(element, property);
        element.Properties.push_back(std::move(property));
    }

    // A name taken twice or "Positions" would make two arrays compete for one field.
    void checkVertexProperty(const Element& vertex, const Property& property) const {
        if (vertex.find(property.Name))
            failAtLine("vertex property " + inQuotes(property.Name) + " appears twice");
        if (property.Name == PositionsField)
            failAtLine("a vertex property named \"Positions\" would replace the positions");
    }

    static void checkVertex(const Element& vertex) {
        for (const char* axis : {"x", "y", "z"}) {
            const Property* property = vertex.find(axis);
            if (!property)
                fail(std::string("the vertex element has no property ") + axis +
                     " (properties: " + namesOf(vertex.Properties) + ")");
            if (property->IsList)
                fail(std::string("vertex property ") + axis + " is a list, not a number");
        }
        if (vertex.Count == 0) fail("no points (element vertex has 0 records)");
    }

    Header Result;
    bool HasFormat = false;
    std::size_t Line = 0;
};

// ---------------------------------------------------------------------------------------------
// The file's bytes

// Thrown where the file ends before the bytes its header promises; the caller names the place.
class BodyEnds : public std::runtime_error {
public:
    BodyEnds() : std::runtime_error("the file ends early") {}
};

constexpr std::size_t ChunkBytes = 1 << 20;

// The file through one buffer read in large chunks: bytes in place for decoding, lines for text.
class FileBytes {
public:
    explicit FileBytes(const std::string& file)
        : In(file, std::ios::binary), Size(std::filesystem::file_size(file)),
          Buffer(static_cast<std::size_t>(std::min<std::uint64_t>(Size + 1, ChunkBytes))) {
        if (!In) fail("cannot open the file");
    }

    std::uint64_t offset() const { return Offset; }
    std::uint64_t remaining() const { return Size > Offset ? Size - Offset : 0; }
    const char* data() const { return Buffer.data() + Start; }
    std::size_t lineNumber() const { return Line; }

    // Buffers at least `count` bytes unless the file ends first; returns the bytes buffered.
    std::size_t fill(std::size_t count) {
        if (End - Start >= count) return End - Start;
        std::memmove(Buffer.data(), data(), End - Start);
        End -= Start;
        Start = 0;
        if (Buffer.size() < count) Buffer.resize(std::max(count, 2 * Buffer.size()));
        while (End < count && !AtEnd) {
            In.read(Buffer.data() + End, static_cast<std::streamsize>(Buffer.size() - End));
            if (In.bad()) fail("cannot read the file");
            End += static_cast<std::size_t>(In.gcount());
            AtEnd = In.gcount() == 0;
        }
        return End;
    }

    void consume(std::size_t count) {
        Start += count;
        Offset += count;
    }

    const char* take(std::size_t count) {
        if (fill(count) < count) throw BodyEnds();
        const char* bytes = data();
        consume(count);
        return bytes;
    }

    void skip(std::uint64_t count) {
        if (count <= End - Start) return consume(static_cast<std::size_t>(count));
        if (count > remaining()) throw BodyEnds();
        count -= End - Start;
        consume(End - Start);
        In.clear();
        In.seekg(static_cast<std::streamoff>(count), std::ios::cur);
        Offset += count;
    }

    // The next line without its line end, at most `longest` bytes; false at the end of the file
    // or when no line end comes in time. The line lives until the next call.
    bool nextLine(std::string_view& line, std::size_t longest) {
        for (std::size_t searched = 0;;) {
            const std::size_t buffered = End - Start;
            const void* newline = std::memchr(data() + searched, '\n', buffered - searched);
            if (newline) return deliver(line, static_cast<const char*>(newline) - data(), 1);
            if (buffered > longest) return false;
            if (fill(buffered + 1) == buffered)
                return buffered > 0 && buffered <= longest && deliver(line, buffered, 0);
            searched = buffered;
        }
    }

private:
    bool deliver(std::string_view& line, std::ptrdiff_t length, std::size_t ending) {
        line = std::string_view(data(), static_cast<std::size_t>(length));
        consume(line.size() + ending);
        ++Line;
        return true;
    }

    std::ifstream In;
    std::uint64_t Size;
    std::uint64_t Offset = 0; // of data() in the file
    std::vector<char> Buffer;
    std::size_t Start = 0, End = 0;
    std::size_t Line = 0;
    bool AtEnd = false;
};

Header readHeader(FileBytes& bytes) {
    HeaderParser parser;
    std::string_view line;
    while (bytes.offset() < MaxHeaderBytes &&
           bytes.nextLine(line, MaxHeaderBytes - static_cast<std::size_t>(bytes.offset())))
        if (parser.add(line)) return parser.finish();
    if (bytes.lineNumber() == 0) fail("not a PLY file (no \"ply\" line)");
    fail("no end_header within the first " + std::to_string(MaxHeaderBytes) + " bytes");
}

// ---------------------------------------------------------------------------------------------
// What the header's counts must fit, checked before anything is made in their size

// a * b + c, or nothing when it exceeds 64 bits.
std::optional<std::uint64_t> productPlus(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    if (b != 0 && a > (most - c) / b) return std::nullopt;
    return a * b + c;
}

std::string amountText(const std::optional<std::uint64_t>& amount) {
    return amount ? std::to_string(*amount) : "more than 2^64";
}

void checkBinaryBody(const Header& header, std::uint64_t bodyBytes) {
    std::optional<std::uint64_t> least = 0;
    bool exact = true;
    for (const Element& element : header.Elements) {
        if (least) least = productPlus(element.Count, element.leastRecordBytes(), *least);
        exact = exact && !element.hasLists();
    }
    if (least && *least <= bodyBytes) return;
    fail("the body holds " + std::to_string(bodyBytes) + " of " + (exact ? "" : "at least ") +
         amountText(least) + " bytes the header describes");
}

// Every ascii value takes at least one character and one blank or line end.
void checkAsciiBody(const Header& header, std::uint64_t bodyBytes) {
    std::optional<std::uint64_t> values = 0;
    for (const Element& element : header.Elements)
        if (values) values = productPlus(element.Count, element.Properties.size(), *values);
    if (values && *values <= (bodyBytes + 1) / 2) return;
    fail("the header describes " + amountText(values) + " values, more than the body's " +
         std::to_string(bodyBytes) + " bytes can hold");
}

// ---------------------------------------------------------------------------------------------
// Decoding values

template <class T> T byteSwapped(T value) {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    std::reverse(bytes, bytes + sizeof(T));
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

template <class T> T decoded(const char* bytes, bool swap) {
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return swap ? byteSwapped(value) : value;
}

// Values of one property from `records` fixed-size records into every stride-th target.
using BytesDecoder = void (*)(const char* first, std::size_t records, std::size_t recordBytes,
                              void* targets, std::size_t stride);

template <class Source, class Target, bool Swap>
void decodeColumn(const char* first, std::size_t records, std::size_t recordBytes, void* targets,
                  std::size_t stride) {
    Target* target = static_cast<Target*>(targets);
    for (std::size_t i = 0; i < records; ++i, first += recordBytes, target += stride)
        *target = static_cast<Target>(decoded<Source>(first, Swap));
}

// One value of text into the target; false when it is no number of the Source type.
using TextDecoder = bool (*)(std::string_view text, void* target);

template <class T> bool parseText(std::string_view text, T& value) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value);
    return parsed.ec == std::errc() && parsed.ptr == end;
}

template <class Source, class Target> bool decodeText(std::string_view text, void* target) {
    Source value;
    if (!parseText(text, value)) return false;
    *static_cast<Target*>(target) = static_cast<Target>(value);
    return true;
}

template <class Target> BytesDecoder bytesDecoder(Type type, bool swap) {
    return withType(type, [swap](auto sample) -> BytesDecoder {
        using Source = decltype(sample);
        return swap ? decodeColumn<Source, Target, true> : decodeColumn<Source, Target, false>;
    });
}

bool isNumberOf(Type type, std::string_view text) {
    return withType(type, [text](auto value) { return parseText(text, value); });
}

// A list's item count as the file holds it; every count type fits.
std::int64_t countOf(Type type, const char* bytes, bool swap) {
    return withType(type, [&](auto sample) {
        return static_cast<std::int64_t>(decoded<decltype(sample)>(bytes, swap));
    });
}

// ---------------------------------------------------------------------------------------------
// The cloud's arrays

// Where one vertex property's values go.
struct Column {
    std::size_t Offset = 0; // in a binary record, when the vertex element has no lists
    char* Values = nullptr;
    std::size_t Stride = 1;
    std::size_t TargetBytes = 0;
    BytesDecoder FromBytes = nullptr;
    TextDecoder FromText = nullptr;

    void* at(std::uint64_t record) const {
        return Values + static_cast<std::size_t>(record) * Stride * TargetBytes;
    }
};

bool isAxis(const std::string& name) {
    return name == "x" || name == "y" || name == "z";
}

// The bytes of the cloud's arrays: positions as doubles, every other number in its own type.
std::uint64_t cloudBytes(const Element& vertex) {
    std::uint64_t pointBytes = 3 * sizeof(double);
    for (const Property& property : vertex.Properties)
        if (!property.IsList && !isAxis(property.Name)) pointBytes += sizeOf(property.Kind);
    return productPlus(vertex.Count, pointBytes, 0)
        .value_or(std::numeric_limits<std::uint64_t>::max());
}

// The positions and fields of the vertex element, made once in their final size.
class Cloud {
public:
    Cloud(const Element& vertex, bool swap)
        : Positions(makeUninitializedArray<double>(vertex.Count, 3)) {
        std::size_t offset = 0;
        for (const Property& property : vertex.Properties) {
            Targets.push_back(property.IsList ? Column() : makeColumn(property, offset, swap));
            offset += sizeOf(property.IsList ? property.CountKind : property.Kind);
        }
    }

    // The column of the vertex element's n-th property; null for a list.
    const Column* target(std::size_t property) const {
        return Targets[property].Values ? &Targets[property] : nullptr;
    }
    const std::vector<Column>& targets() const { return Targets; }

    void addTo(Grid& grid) const {
        grid.addField(PositionsField, Positions);
        for (const auto& [name, values] : Fields)
            grid.addField(name, values);
    }

private:
    Column makeColumn(const Property& property, std::size_t offset, bool swap) {
        if (isAxis(property.Name)) {
            Column column = columnOf<double>(property.Kind, swap);
            column.Values = reinterpret_cast<char*>(Positions->data() + (property.Name[0] - 'x'));
            column.Stride = 3;
            column.Offset = offset;
            return column;
        }
        return withType(property.Kind, [&](auto sample) {
            using T = decltype(sample);
            MemArrayPtr<T> values = makeUninitializedArray<T>(Positions->size());
            Fields.emplace_back(property.Name, values);
            Column column = columnOf<T>(property.Kind, swap);
            column.Values = reinterpret_cast<char*>(values->data());
            column.Offset = offset;
            return column;
        });
    }

    template <class Target> static Column columnOf(Type type, bool swap) {
        Column column;
        column.TargetBytes = sizeof(Target);
        column.FromBytes = bytesDecoder<Target>(type, swap);
        column.FromText = withType(
            type, [](auto sample) -> TextDecoder { return decodeText<decltype(sample), Target>; });
        return column;
    }

    MemArrayPtr<double> Positions;
    std::vector<std::pair<std::string, MemPtr>> Fields;
    std::vector<Column> Targets; // empty ones for lists
};

// ---------------------------------------------------------------------------------------------
// Binary bodies

class BinaryBody {
public:
    BinaryBody(FileBytes& bytes, bool swap) : Bytes(bytes), Swap(swap) {}

    // Reads the element's records, storing the vertex element's numbers in the cloud.
    void read(const Element& element, Cloud* cloud) {
        std::uint64_t record = 0;
        try {
            if (cloud && !element.hasLists()) return readFixedRecords(element, *cloud, record);
            if (!element.hasLists()) return Bytes.skip(element.Count * element.leastRecordBytes());
            for (; record < element.Count; ++record)
                readRecord(element, cloud, record);
        } catch (const BodyEnds&) {
            fail("the file ends inside element " + element.Name + ", in record " +
                 std::to_string(record + 1) + " of " + std::to_string(element.Count));
        }
    }

    void checkEnd() {
        if (const std::size_t extra = Bytes.fill(1); extra > 0)
            fail("bytes after the last element (" + std::to_string(Bytes.remaining()) +
                 " of them): the header does not describe the whole body");
    }

private:
    // Records of one size decoded a buffer at a time, one property after the other.
    void readFixedRecords(const Element& element, const Cloud& cloud, std::uint64_t& record) {
        const std::size_t recordBytes = element.leastRecordBytes();
        while (record < element.Count) {
            const std::size_t buffered = Bytes.fill(recordBytes);
            if (buffered < recordBytes) throw BodyEnds();
            const auto records = static_cast<std::size_t>(
                std::min<std::uint64_t>(element.Count - record, buffered / recordBytes));
            for (const Column& column : cloud.targets())
                column.FromBytes(Bytes.data() + column.Offset, records, recordBytes,
                                 column.at(record), column.Stride);
            Bytes.consume(records * recordBytes);
            record += records;
        }
    }

    void readRecord(const Element& element, const Cloud* cloud, std::uint64_t record) {
        for (std::size_t i = 0; i < element.Properties.size(); ++i) {
            const Property& property = element.Properties[i];
            if (property.IsList) {
                skipList(property);
                continue;
            }
            const char* value = Bytes.take(sizeOf(property.Kind));
            if (const Column* column = cloud ? cloud->target(i) : nullptr)
                column->FromBytes(value, 1, 0, column->at(record), 0);
        }
    }

    void skipList(const Property& property) {
        const std::int64_t count =
            countOf(property.CountKind, Bytes.take(sizeOf(property.CountKind)), Swap);
        if (count < 0) fail("list " + property.Name + " has a count of " + std::to_string(count));
        const auto bytes = static_cast<std::uint64_t>(count) * sizeOf(property.Kind);
        if (bytes > Bytes.remaining())
            fail("list " + property.Name + " of " + std::to_string(count) +
                 " items runs past the end of the file");
        Bytes.skip(bytes);
    }

    FileBytes& Bytes;
    bool Swap;
};

// ---------------------------------------------------------------------------------------------
// Ascii bodies: one record a line

// The words of one record's line, taken one at a time.
class RecordLine {
public:
    RecordLine(std::string_view text, std::size_t number) : Rest(text), Number(number) {}

    // The next word; empty when the line has no more.
    std::string_view next() {
        const char* end = Rest.data() + Rest.size();
        const char* start = std::find_if_not(Rest.data(), end, isBlank);
        const char* stop = std::find_if(start, end, isBlank);
        Rest = std::string_view(stop, static_cast<std::size_t>(end - stop));
        Taken += start != stop;
        return std::string_view(start, static_cast<std::size_t>(stop - start));
    }

    std::size_t taken() const { return Taken; }
    std::size_t wordCount() const {
        RecordLine rest(Rest, Number);
        while (!rest.next().empty()) {
        }
        return Taken + rest.taken();
    }

    [[noreturn]] void failHere(const std::string& cause) const {
        fail("line " + std::to_string(Number) + ": " + cause);
    }

private:
    std::string_view Rest;
    std::size_t Number;
    std::size_t Taken = 0;
};

std::string_view trimmedLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto first = std::find_if_not(line.begin(), line.end(), isBlank);
    return line.substr(static_cast<std::size_t>(first - line.begin()));
}

class AsciiBody {
public:
    explicit AsciiBody(FileBytes& bytes) : Bytes(bytes) {}

    void read(const Element& element, const Cloud* cloud) {
        for (std::uint64_t record = 0; record < element.Count; ++record) {
            std::string_view line;
            if (!nextRecordLine(line))
                fail("the file ends inside element " + element.Name + ", after " +
                     std::to_string(record) + " of " + std::to_string(element.Count) + " records");
            RecordLine words(line, Bytes.lineNumber());
            readRecord(element, cloud, record, words);
        }
    }

    void checkEnd() {
        if (std::string_view line; nextRecordLine(line))
            fail("line " + std::to_string(Bytes.lineNumber()) +
                 ": more lines than the header's elements describe");
    }

private:
    // Blank lines hold no record.
    bool nextRecordLine(std::string_view& line) {
        while (Bytes.nextLine(line, std::numeric_limits<std::size_t>::max()))
            if (!(line = trimmedLine(line)).empty()) return true;
        return false;
    }

    static void readRecord(const Element& element, const Cloud* cloud, std::uint64_t record,
                           RecordLine& words) {
        for (std::size_t i = 0; i < element.Properties.size(); ++i) {
            const Property& property = element.Properties[i];
            if (property.IsList) {
                skipList(property, words);
                continue;
            }
            const std::string_view word = words.next();
            if (word.empty()) tooFewValues(element, i, words);
            const Column* column = cloud ? cloud->target(i) : nullptr;
            if (column ? !column->FromText(word, column->at(record))
                       : !isNumberOf(property.Kind, word))
                words.failHere("bad number " + inQuotes(word) + " for " + nameOf(property.Kind) +
                               " property " + property.Name);
        }
        if (words.wordCount() > words.taken())
            words.failHere("expected " + std::to_string(words.taken()) + " values, found " +
                           std::to_string(words.wordCount()));
    }

    [[noreturn]] static void tooFewValues(const Element& element, std::size_t property,
                                          const RecordLine& words) {
        const std::size_t least = words.taken() + element.Properties.size() - property;
        words.failHere("expected " + std::string(element.hasLists() ? "at least " : "") +
                       std::to_string(least) + " values, found " + std::to_string(words.taken()));
    }

    static void skipList(const Property& property, RecordLine& words) {
        const std::string_view countWord = words.next();
        std::int64_t count = 0;
        if (!isNumberOf(property.CountKind, countWord) || !parseText(countWord, count) || count < 0)
            words.failHere("bad count " + inQuotes(countWord) + " of list " + property.Name);
        for (std::int64_t item = 0; item < count; ++item) {
            const std::string_view word = words.next();
            if (word.empty())
                words.failHere("list " + property.Name + " holds " + std::to_string(count) +
                               " items, the line ends after " + std::to_string(item));
            if (!isNumberOf(property.Kind, word))
                words.failHere("bad number " + inQuotes(word) + " in list " + property.Name);
        }
    }

    FileBytes& Bytes;
};

// ---------------------------------------------------------------------------------------------
// The whole file

bool hostIsBigEndian() {
    return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
}

// What the cloud leaves out, for the grid's "PlyNote"; empty when nothing.
std::string skippedParts(const Header& header) {
    std::string note;
    for (const Element& element : header.Elements) {
        if (element.Name != "vertex")
            note += ", element " + element.Name + " (" + std::to_string(element.Count) + ")";
        else
            for (const Property& property : element.Properties)
                if (property.IsList) note += ", vertex list " + property.Name;
    }
    return note.empty() ? note : "skipped: " + note.substr(2);
}

void setTexts(Grid& grid, const std::string& key, const std::vector<std::string>& texts) {
    if (texts.empty()) return;
    auto* chunk = new Quorix::Chunk<std::string>(texts.size());
    std::copy(texts.begin(), texts.end(), chunk->begin());
    grid.setAttribute(key, Quorix::StrongPtr<Quorix::ChunkBase>(chunk));
}

template <class Body> void readElements(const Header& header, Body& body, Cloud& cloud) {
    for (const Element& element : header.Elements)
        body.read(element, element.Name == "vertex" ? &cloud : nullptr);
    body.checkEnd();
}

void readPly(const std::string& file, double time, Bundle& into, const std::string& gridName) {
    FileBytes bytes(file);
    const Header header = readHeader(bytes);
    const bool ascii = header.Format == Encoding::Ascii;
    ascii ? checkAsciiBody(header, bytes.remaining()) : checkBinaryBody(header, bytes.remaining());
    const bool swap = (header.Format == Encoding::BigEndian) != hostIsBigEndian();
    refuseBeyondMemory(cloudBytes(*header.vertex()), header.vertex()->Count);
    Cloud cloud(*header.vertex(), swap);
    if (ascii) {
        AsciiBody body(bytes);
        readElements(header, body, cloud);
    } else {
        BinaryBody body(bytes, swap);
        readElements(header, body, cloud);
    }
    GridPtr grid = into.addSlice(time)->addGrid(gridName);
    cloud.addTo(*grid);
    setTexts(*grid, "PlyComments", header.Comments);
    setTexts(*grid, "PlyObjInfo", header.ObjectInfo);
    if (const std::string note = skippedParts(header); !note.empty())
        setTexts(*grid, "PlyNote", {note});
}

class PlyReader final : public Reader {
public:
    void read(const std::string& file, const ReadOptions& options, Bundle& staging) const override {
        readCloudFile(file, options, [&](const std::string& gridName) {
            readPly(file, options.Time, staging, gridName);
        });
    }
};

} // namespace

const Reader& plyReader() {
    static const PlyReader reader;
    return reader;
}

} // namespace Plexa::detail
