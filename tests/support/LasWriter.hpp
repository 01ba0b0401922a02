// Small LAS files written byte by byte as the format lays them out, for the tests and the benchmark
// of the LAS reader. Header only, so that the benchmarks use it without the test framework.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ConvLibTest {

// Every value a point record of any format can hold; each format writes its own share.
struct LasPoint {
    std::array<std::int32_t, 3> Xyz{};
    std::uint16_t Intensity = 0;
    std::uint8_t ReturnNumber = 0;
    std::uint8_t NumberOfReturns = 0;
    std::uint8_t ScanDirectionFlag = 0;
    std::uint8_t EdgeOfFlightLine = 0;
    std::uint8_t Classification = 0; // formats 0 to 5 hold 5 bits
    std::uint8_t Synthetic = 0;
    std::uint8_t KeyPoint = 0;
    std::uint8_t Withheld = 0;
    std::uint8_t Overlap = 0;        // formats 6 to 10
    std::uint8_t ScannerChannel = 0; // formats 6 to 10
    std::int16_t ScanAngle = 0;      // formats 0 to 5 hold one signed byte
    std::uint8_t UserData = 0;
    std::uint16_t PointSourceId = 0;
    double GpsTime = 0;
    std::array<std::uint16_t, 4> Colour{}; // red, green, blue, near infrared
    std::uint8_t WavePacketDescriptorIndex = 0;
    std::uint64_t ByteOffsetToWaveformData = 0;
    std::uint32_t WaveformPacketSize = 0;
    std::array<float, 4> Wave{}; // return point waveform location, Xt, Yt, Zt
    std::string Extra;           // the bytes after the format's record
};

struct LasRecord {
    std::string User;
    std::uint16_t Id = 0;
    std::string Payload;
    bool Extended = false; // after the points (LAS 1.4)
};

template <class T> void putLe(std::string& bytes, std::size_t at, const T& value) {
    std::memcpy(&bytes[at], &value, sizeof value);
}

// Where the parts of a point record lie, by format; -1 where the format has none.
struct LasPointLayout {
    std::size_t Length;
    int Gps, Colour, Infrared, Wave;
};

inline LasPointLayout lasPointLayout(unsigned format) {
    static const LasPointLayout layouts[] = {
        {20, -1, -1, -1, -1}, {28, 20, -1, -1, -1}, {26, -1, 20, -1, -1}, {34, 20, 28, -1, -1},
        {57, 20, -1, -1, 28}, {63, 20, 28, -1, 34}, {30, 22, -1, -1, -1}, {36, 22, 30, -1, -1},
        {38, 22, 30, 36, -1}, {59, 22, -1, -1, 30}, {67, 22, 30, 36, 38},
    };
    return layouts[format];
}

inline std::string lasPointRecord(unsigned format, const LasPoint& p) {
    const LasPointLayout layout = lasPointLayout(format);
    std::string r(layout.Length, '\0');
    putLe(r, 0, p.Xyz);
    putLe(r, 12, p.Intensity);
    if (format < 6) {
        r[14] = static_cast<char>(p.ReturnNumber | p.NumberOfReturns << 3 |
                                  p.ScanDirectionFlag << 6 | p.EdgeOfFlightLine << 7);
        r[15] = static_cast<char>(p.Classification | p.Synthetic << 5 | p.KeyPoint << 6 |
                                  p.Withheld << 7);
        r[16] = static_cast<char>(p.ScanAngle);
        r[17] = static_cast<char>(p.UserData);
        putLe(r, 18, p.PointSourceId);
    } else {
        r[14] = static_cast<char>(p.ReturnNumber | p.NumberOfReturns << 4);
        r[15] = static_cast<char>(p.Synthetic | p.KeyPoint << 1 | p.Withheld << 2 | p.Overlap << 3 |
                                  p.ScannerChannel << 4 | p.ScanDirectionFlag << 6 |
                                  p.EdgeOfFlightLine << 7);
        r[16] = static_cast<char>(p.Classification);
        r[17] = static_cast<char>(p.UserData);
        putLe(r, 18, p.ScanAngle);
        putLe(r, 20, p.PointSourceId);
    }
    if (layout.Gps >= 0) putLe(r, layout.Gps, p.GpsTime);
    if (layout.Colour >= 0)
        for (std::size_t c = 0; c < 3; ++c)
            putLe(r, layout.Colour + 2 * c, p.Colour[c]);
    if (layout.Infrared >= 0) putLe(r, layout.Infrared, p.Colour[3]);
    if (layout.Wave >= 0) {
        r[layout.Wave] = static_cast<char>(p.WavePacketDescriptorIndex);
        putLe(r, layout.Wave + 1, p.ByteOffsetToWaveformData);
        putLe(r, layout.Wave + 9, p.WaveformPacketSize);
        putLe(r, layout.Wave + 13, p.Wave);
    }
    return r + p.Extra;
}

// A whole file: header, variable length records, points, extended records.
struct LasWriter {
    int Minor = 2; // LAS 1.Minor
    unsigned Format = 0;
    std::array<double, 3> Scale{0.01, 0.01, 0.01};
    std::array<double, 3> Offset{0, 0, 0};
    std::uint16_t GlobalEncoding = 0;
    std::string SystemIdentifier = "test system";
    std::string GeneratingSoftware = "plexa tests";
    std::uint16_t CreationDay = 0;
    std::uint16_t CreationYear = 0;
    std::vector<LasRecord> Records;
    std::vector<LasPoint> Points;

    static constexpr std::size_t PointCountAt = 107;
    static constexpr std::size_t LongPointCountAt = 247;

    std::size_t headerSize() const { return Minor <= 2 ? 227 : Minor == 3 ? 235 : 375; }

    std::string bytes() const {
        std::string records, extended, points;
        std::uint32_t recordCount = 0, extendedCount = 0;
        for (const LasRecord& record : Records) {
            (record.Extended ? extended : records) += recordBytes(record);
            ++(record.Extended ? extendedCount : recordCount);
        }
        for (const LasPoint& point : Points)
            points += lasPointRecord(Format, point);
        const std::size_t length =
            lasPointLayout(Format).Length + (Points.empty() ? 0 : Points[0].Extra.size());
        std::string h(headerSize(), '\0');
        h.replace(0, 4, "LASF");
        putLe(h, 6, GlobalEncoding);
        h[24] = 1;
        h[25] = static_cast<char>(Minor);
        h.replace(26, SystemIdentifier.size(), SystemIdentifier);
        h.replace(58, GeneratingSoftware.size(), GeneratingSoftware);
        putLe(h, 90, CreationDay);
        putLe(h, 92, CreationYear);
        putLe(h, 94, static_cast<std::uint16_t>(h.size()));
        putLe(h, 96, static_cast<std::uint32_t>(h.size() + records.size()));
        putLe(h, 100, recordCount);
        h[104] = static_cast<char>(Format);
        putLe(h, 105, static_cast<std::uint16_t>(length));
        // LAS 1.4 leaves the legacy count 0 for the formats that older versions do not know
        if (Format < 6) putLe(h, PointCountAt, static_cast<std::uint32_t>(Points.size()));
        putLe(h, 131, Scale);
        putLe(h, 155, Offset);
        if (Minor >= 4) {
            putLe(h, 235, static_cast<std::uint64_t>(h.size() + records.size() + points.size()));
            putLe(h, 243, extendedCount);
            putLe(h, LongPointCountAt, static_cast<std::uint64_t>(Points.size()));
        }
        return h + records + points + extended;
    }

private:
    std::string recordBytes(const LasRecord& record) const {
        std::string head(record.Extended ? 60 : 54, '\0');
        if (Minor == 0) putLe(head, 0, std::uint16_t{0xAABB}); // LAS 1.0's record signature
        head.replace(2, record.User.size(), record.User);
        putLe(head, 18, record.Id);
        if (record.Extended)
            putLe(head, 20, static_cast<std::uint64_t>(record.Payload.size()));
        else
            putLe(head, 20, static_cast<std::uint16_t>(record.Payload.size()));
        return head + record.Payload;
    }
};

} // namespace ConvLibTest
