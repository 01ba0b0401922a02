// LAS point clouds 1.0 to 1.4 (".las"), uncompressed, point formats 0 to 10. Compressed files
// (".laz", or a point format with a compression bit) are refused.
#include "outside/plexa/readers/Readers.hpp"

#include "outside/plexa/detail/Memory.hpp"
#include "outside/plexa/readers/LasFormat.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <fstream>
#include <stdexcept>

namespace Plexa::detail {

namespace {

using namespace las;
using std::to_string;

using Bytes = std::vector<std::uint8_t>;

class LasFile {
public:
    explicit LasFile(const std::string& name) : In(name, std::ios::binary) {
        if (!In) throw Failure("cannot open the file");
        Size = std::filesystem::file_size(name);
    }

    std::uint64_t size() const { return Size; }

    void seek(std::uint64_t offset) {
        In.clear();
        In.seekg(static_cast<std::streamoff>(offset));
    }

    // Reads up to `count` bytes on from the last read; how many arrived.
    std::size_t read(void* into, std::size_t count) {
        In.read(static_cast<char*>(into), static_cast<std::streamsize>(count));
        if (In.bad()) throw Failure("cannot read the file");
        return static_cast<std::size_t>(In.gcount());
    }

    // Bytes that the checked header places inside the file: missing ones mean it changed.
    void readExactly(void* into, std::size_t count) {
        if (read(into, count) != count)
            throw Failure("the file ended early; it changed while it was read");
    }

    Bytes bytesAt(std::uint64_t offset, std::size_t count) {
        Bytes bytes(count);
        seek(offset);
        readExactly(bytes.data(), count);
        return bytes;
    }

private:
    std::ifstream In;
    std::uint64_t Size = 0;
};

// The records that the reader uses, each at most once; the others are skipped.
struct KnownRecords {
    Bytes ExtraBytes;
    Bytes Wkt;
    Bytes GeoKeyDirectory;
    Bytes GeoDoubles;
    Bytes GeoAscii;
};

struct RecordPlace {
    std::string User;
    unsigned Id = 0;
    std::uint64_t Start = 0; // of the payload
    std::uint64_t Length = 0;
};

Bytes* slotFor(KnownRecords& known, const RecordPlace& record, const char*& what) {
    if (record.User == "LASF_Spec" && record.Id == 4)
        return what = "Extra Bytes", &known.ExtraBytes;
    if (record.User != "LASF_Projection") return nullptr;
    switch (record.Id) {
    case 2112:
        return what = "WKT coordinate system", &known.Wkt;
    case 34735:
        return what = "GeoTIFF key directory", &known.GeoKeyDirectory;
    case 34736:
        return what = "GeoTIFF doubles", &known.GeoDoubles;
    case 34737:
        return what = "GeoTIFF ASCII", &known.GeoAscii;
    }
    return nullptr;
}

void keep(LasFile& file, const RecordPlace& record, KnownRecords& known) {
    const char* what = nullptr;
    Bytes* slot = slotFor(known, record, what);
    if (!slot) return;
    // an empty record and a missing one mean the same
    if (!slot->empty()) throw Failure(std::string("the file holds two ") + what + " records");
    *slot = file.bytesAt(record.Start, static_cast<std::size_t>(record.Length));
}

// A run of variable length records: those between the header and the points, whose lengths
// take 2 bytes, or the extended ones of LAS 1.4 after the points, whose lengths take 8.
struct RecordRun {
    const char* Kind;
    std::uint64_t Start;
    std::uint32_t Count;
    bool Extended;
    std::uint64_t End; // where the run must end
    const char* Bound; // that place, in words
};

void readRecords(LasFile& file, const RecordRun& run, KnownRecords& known) {
    const std::size_t headSize = run.Extended ? ExtendedRecordHeaderSize : RecordHeaderSize;
    std::uint8_t head[ExtendedRecordHeaderSize];
    std::uint64_t at = run.Start;
    for (std::uint32_t i = 0; i < run.Count; ++i) {
        const auto which = [&] {
            return std::string(run.Kind) + " " + to_string(i + 1) + " of " + to_string(run.Count);
        };
        const std::uint64_t left = at > run.End ? 0 : run.End - at;
        if (left < headSize)
            throw Failure(which() + " holds " + to_string(left) + " of its " + to_string(headSize) +
                          " header bytes " + run.Bound);
        file.seek(at);
        file.readExactly(head, headSize);
        const RecordPlace record{
            textOf(head + 2, 16), load<std::uint16_t>(head + 18), at + headSize,
            run.Extended ? load<std::uint64_t>(head + 20) : load<std::uint16_t>(head + 20)};
        if (record.Length > run.End - record.Start)
            throw Failure(which() + " holds " + to_string(run.End - record.Start) + " of its " +
                          to_string(record.Length) + " bytes " + run.Bound);
        keep(file, record, known);
        at = record.Start + record.Length;
    }
}

void readAllRecords(LasFile& file, const Header& header, KnownRecords& known) {
    readRecords(file,
                {"variable length record", header.HeaderSize, header.RecordCount, false,
                 header.PointOffset, "before the point data"},
                known);
    readRecords(file,
                {"extended variable length record", header.ExtendedRecordStart,
                 header.ExtendedRecordCount, true, file.size(), "in the file"},
                known);
}

// Decodes `count` records of `stride` bytes into the column's values for those points.
using Decode = void (*)(const Column& column, const std::uint8_t* records, std::size_t count,
                        std::size_t stride, void* target);

// LAS values are little-endian like the machine's, so a tuple's bytes are its values.
template <class T>
void copyValues(const Column& column, const std::uint8_t* records, std::size_t count,
                std::size_t stride, void* target) {
    const std::size_t bytes = sizeof(T) * static_cast<std::size_t>(column.Components);
    auto* out = static_cast<std::uint8_t*>(target);
    records += column.Offset;
    for (std::size_t i = 0; i < count; ++i, records += stride, out += bytes)
        std::memcpy(out, records, bytes);
}

void copyBits(const Column& column, const std::uint8_t* records, std::size_t count,
              std::size_t stride, void* target) {
    auto* out = static_cast<std::uint8_t*>(target);
    records += column.Offset;
    for (std::size_t i = 0; i < count; ++i, records += stride)
        out[i] = static_cast<std::uint8_t>((*records >> column.Shift) & column.Mask);
}

template <class T>
void scaleValues(const Column& column, const std::uint8_t* records, std::size_t count,
                 std::size_t stride, void* target) {
    auto* out = static_cast<double*>(target);
    records += column.Offset;
    const std::size_t components = static_cast<std::size_t>(column.Components);
    for (std::size_t i = 0; i < count; ++i, records += stride)
        for (std::size_t c = 0; c < components; ++c)
            *out++ = static_cast<double>(load<T>(records + c * sizeof(T))) * column.Scale[c] +
                     column.Add[c];
}

struct Decoding {
    Decode decode;
    const std::type_info& Type;
};

template <class T> Decoding decodingOf(const Column& column) {
    if (column.Scaled) return {scaleValues<T>, typeid(double)};
    return {copyValues<T>, typeid(T)};
}

Decoding decodingFor(const Column& column) {
    if (column.Mask) return {copyBits, typeid(std::uint8_t)};
    std::optional<Decoding> decoding;
    visitElementType(*column.Stored,
                     [&](auto sample) { decoding.emplace(decodingOf<decltype(sample)>(column)); });
    return *decoding;
}

// One field of the cloud, made in its final size, and how its values come out of the records.
struct Target {
    const Column& Source;
    Decode decode;
    MemPtr Data;

    void* at(std::size_t point) {
        return static_cast<std::uint8_t*>(Data->rawData()) +
               point * static_cast<std::size_t>(Data->components()) * Data->elementSize();
    }
};

// Refuses a cloud whose arrays would not fit in memory before any of them is made.
std::vector<Target> makeTargets(const std::vector<Column>& columns, std::uint64_t points) {
    std::uint64_t pointBytes = 0;
    for (const Column& column : columns)
        pointBytes +=
            static_cast<std::uint64_t>(column.Components) * elementSizeOf(decodingFor(column).Type);
    refuseBeyondMemory(points > UINT64_MAX / std::max<std::uint64_t>(pointBytes, 1)
                           ? UINT64_MAX
                           : points * pointBytes,
                       points);
    std::vector<Target> targets;
    for (const Column& column : columns) {
        const Decoding decoding = decodingFor(column);
        targets.push_back({column, decoding.decode,
                           makeUninitializedArray(decoding.Type, points, column.Components)});
    }
    return targets;
}

// Whole records in blocks of about this size, so that memory beyond the arrays stays small.
constexpr std::size_t BlockBytes = 1 << 20;

void readPoints(LasFile& file, const Header& header, std::vector<Target>& targets) {
    const auto points = static_cast<std::size_t>(header.PointCount);
    const std::size_t perBlock = std::max<std::size_t>(1, BlockBytes / header.RecordLength);
    Bytes block(std::min(perBlock, points) * header.RecordLength);
    file.seek(header.PointOffset);
    for (std::size_t first = 0; first < points; first += perBlock) {
        const std::size_t count = std::min(perBlock, points - first);
        file.readExactly(block.data(), count * header.RecordLength);
        for (Target& target : targets)
            target.decode(target.Source, block.data(), count, header.RecordLength,
                          target.at(first));
    }
}

using Texts = std::vector<std::pair<const char*, std::string>>;

// The grid's attributes: what the header and the coordinate system records say.
Texts headerTexts(const Header& header, const KnownRecords& known) {
    Texts texts{{"LasVersion", "1." + to_string(header.Minor)},
                {"LasPointFormat", to_string(header.Format)},
                {"LasSystemIdentifier", header.SystemIdentifier},
                {"LasGeneratingSoftware", header.GeneratingSoftware},
                {"LasCreationDate", creationDate(header.CreationDay, header.CreationYear)},
                {"LasCrsWkt", textOf(known.Wkt.data(), known.Wkt.size())}};
    if (header.FileSourceId) texts.emplace_back("LasFileSourceId", to_string(header.FileSourceId));
    if (hasGpsTime(header.Format))
        texts.emplace_back("LasGpsTimeType",
                           header.GlobalEncoding & 1
                               ? "adjusted standard GPS time (GPS time minus 1e9 s)"
                               : "GPS week time (seconds since the week began)");
    if (!known.GeoKeyDirectory.empty())
        texts.emplace_back("LasGeoKeys",
                           geoKeysText(known.GeoKeyDirectory, known.GeoDoubles, known.GeoAscii));
    return texts;
}

// Scaled values keep the integers they were made of, so the writer can store those exactly.
Packing packingOf(const Column& column) {
    if (!column.Scaled) return {};
    const auto components = static_cast<std::size_t>(column.Components);
    return {{column.Scale.begin(), column.Scale.begin() + components},
            {column.Add.begin(), column.Add.begin() + components},
            std::nullopt};
}

void readCloud(const std::string& name, Bundle& into, double time, const std::string& gridName) {
    LasFile file(name);
    std::uint8_t bytes[LargestHeader];
    const Header header = parseHeader(bytes, file.read(bytes, sizeof bytes), file.size());
    if (header.PointCount == 0) throw Failure("the header says it holds no points");
    KnownRecords known;
    readAllRecords(file, header, known);
    Texts texts = headerTexts(header, known);
    std::vector<std::string> notes;
    const std::vector<Column> columns = pointColumns(header, known.ExtraBytes, notes);
    std::string noted;
    for (const std::string& note : notes)
        noted += (noted.empty() ? "" : "; ") + note;
    texts.emplace_back("LasNote", noted);
    std::vector<Target> targets = makeTargets(columns, header.PointCount);
    readPoints(file, header, targets);

    GridPtr grid = into.addSlice(time)->addGrid(gridName);
    for (const Target& target : targets)
        grid->addField(target.Source.Name, target.Data).Packed = packingOf(target.Source);
    for (const auto& [key, text] : texts)
        if (!text.empty())
            grid->setAttribute(
                key, Quorix::StrongPtr<Quorix::ChunkBase>(new Quorix::Chunk<std::string>{text}));
}

class LasReader final : public Reader {
public:
    void read(const std::string& file, const ReadOptions& options, Bundle& staging) const override {
        readCloudFile(file, options, [&](const std::string& gridName) {
            if (isRefusedFormat(file)) throw Failure(CompressedRefusal);
            readCloud(file, staging, options.Time, gridName);
        });
    }
};

} // namespace

const Reader& lasReader() {
    static const LasReader reader;
    return reader;
}

} // namespace Plexa::detail
